#ifndef WINDOWPROBE_H
#define WINDOWPROBE_H

#include "mainwindow.h"

#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

// The real window as the operator and the network reach it: widgets by object name, the
// Start and Stop buttons, the LISTEN socket, the tray icon and the 1 ms poll timer.
class WindowProbe
{
public:
    static constexpr const char *GrayIcon = ":/resources/png/icon_gray.png";
    static constexpr const char *GreenIcon = ":/resources/png/icon_green.png";

    // A free UDP port: bound without address sharing on every address, then released.
    static quint16 freePort()
    {
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress))
            return 0;
        return probe.localPort();
    }

    // Pixels to compare icons by; cache keys differ on every load.
    static QImage iconImage(const QIcon &icon)
    {
        return icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }

    WindowProbe() { setListen(QString::number(freePort())); }

    QLineEdit *field(const char *name) { return window.findChild<QLineEdit *>(name); }
    QString text(const char *name) { return field(name)->text(); }
    void setListen(const QString &text) { field("lineEdit_LISTEN")->setText(text); }
    quint16 listenPort() { return quint16(text("lineEdit_LISTEN").toInt()); }
    QLabel *status() { return window.findChild<QLabel *>("label_status_connection"); }
    QUdpSocket *socket() { return window.findChild<QUdpSocket *>(); }
    QSystemTrayIcon *tray() { return window.findChild<QSystemTrayIcon *>(); }
    bool trayShows(const char *resource)
    {
        return iconImage(tray()->icon()) == iconImage(QIcon(QLatin1String(resource)));
    }

    void start() { QTest::mouseClick(window.findChild<QPushButton *>("START"), Qt::LeftButton); }
    void stop() { QTest::mouseClick(window.findChild<QPushButton *>("STOP"), Qt::LeftButton); }

    // The run state is the poll timer's activity; it is the window's only 1 ms timer.
    QTimer *pollTimer()
    {
        for (QTimer *timer : window.findChildren<QTimer *>())
            if (timer->interval() == 1)
                return timer;
        return nullptr;
    }
    bool polling()
    {
        QTimer *timer = pollTimer();
        return timer && timer->isActive();
    }

    // Binds a loopback client and sends its keep-alive, which registers it once received.
    bool addClient(QUdpSocket &client)
    {
        if (!client.bind(QHostAddress(QHostAddress::LocalHost), 0))
            return false;
        client.writeDatagram(
            QByteArray::fromHex("a0a04b41"), QHostAddress(QHostAddress::LocalHost), listenPort());
        return true;
    }

    MainWindow window;
};

#endif // WINDOWPROBE_H
