#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "clientregistry.h"
#include "udpbatch.h"

#include <QByteArray>
#include <QList>
#include <QMainWindow>
#include <QSystemTrayIcon>

#include <hidapi.h>

class QCloseEvent;
class QShowEvent;
class QHostAddress;
class QLineEdit;
class QMenu;
class QTimer;
class QUdpSocket;
class Ui_MainWindow;

// The whole bridge: the form, the device link, the UDP socket, the client registry,
// the counters, the tray icon and the timers, all on the GUI thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Switches the device's control LEDs off; nothing in the bridge calls it.
    void doControlLedsOff();

signals:
    void readyUdp();

private slots:
    void on_START_clicked();
    void on_STOP_clicked();
    void resetGuiElements();
    void usb_status_slot(int status);
    void hid_receive_timer();
    void sendUdp();
    void receiveUdp();
    void on_checkBox_use_defaults_clicked();
    void on_checkBox_auto_connect_clicked();
    void systray_activated(QSystemTrayIcon::ActivationReason reason);
    void systray_message_clicked();
    void closeEvent(QCloseEvent *event) override;
    void close_exit();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void readSettings();
    void writeSettings();
    void createTrayIcon();
    void setTrayImage(const QString &resourcePath);
    void notify(const QString &text, QSystemTrayIcon::MessageIcon icon);
    bool receiveBatch(qintptr descriptor);
    bool receiveThroughQt();
    void handleDatagram(const QByteArray &datagram, const QHostAddress &sender,
        const QString &senderText, quint16 senderPort);
    void registerClient(const QString &address);
    void retireClient(const QString &address);
    void sendToLiveClients(const QByteArray &message);
    void sendToPort(
        const QByteArray &message, const ClientEntry &client, quint16 port, qintptr descriptor);
    void followPort(QLineEdit *field, quint16 *port);
    void showClientCount();
    void showCounter(QLineEdit *field, int count);

    Ui_MainWindow *ui;
    QUdpSocket *udpSocket = nullptr;
    QByteArray hidMessage;
    ReceiveBatch receiveBatches;
    SenderCache lastSender;
    SendBatch reportDatagrams;
    quint16 meteringPort = 0;
    quint16 configPort = 0;
    quint16 customPort = 0;
    int receivedCount = 0;
    int transmittedCount = 0;
    QList<QByteArray> udpQueue;
    ClientRegistry clientMap;
    QSystemTrayIcon *trayIcon = nullptr;
    QTimer *autoConnectTimer = nullptr;
    hid_device *hidDevice = nullptr;
    QTimer *hidPollTimer = nullptr;
    QMenu *trayMenu = nullptr;
    bool exitRequested = false;
    bool countersBehind = false; // RECEIVED or TRANSMITTED moved while the window was hidden
};

#endif // MAINWINDOW_H
