#ifndef WINDOWPROBE_H
#define WINDOWPROBE_H

#include "fakehidapi.h"
#include "mainwindow.h"
#include "testsupport.h"

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
    static constexpr const char *Report = "00010203040506070809"; // a plain 10-byte input report

    // A free UDP port: bound without address sharing on every address, then released.
    static quint16 freePort()
    {
        QUdpSocket probe;
        probe.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress);
        return probe.localPort();
    }

    // The device calls without the poll's reads.
    static QStringList deviceCalls()
    {
        QStringList calls = FakeHid::callLog();
        calls.removeAll(QStringLiteral("hid_read 11"));
        return calls;
    }

    // Debug texts captured; a line of another category or with context is marked, so it fails.
    static QStringList debugLines()
    {
        QStringList texts;
        for (const TestSupport::LoggedLine &line : TestSupport::DebugCapture::lines()) {
            if (line.type != QtDebugMsg)
                continue;
            const bool plain = line.category == QLatin1String("default") && !line.hasContext;
            const QString mark
                = QStringLiteral("[%1%2] ").arg(line.category, line.hasContext ? ", context" : "");
            texts << (plain ? QString() : mark) + line.text;
        }
        return texts;
    }

    WindowProbe() { setListen(QString::number(freePort())); }

    QLineEdit *field(const char *name) { return window.findChild<QLineEdit *>(name); }
    QString text(const char *name) { return field(name)->text(); }
    void setListen(const QString &text) { field("lineEdit_LISTEN")->setText(text); }
    quint16 listenPort() { return quint16(text("lineEdit_LISTEN").toInt()); }
    // RECEIVED, TRANSMITTED and CLIENTS ACTIVE in one line, e.g. "1 0 2".
    QString counters()
    {
        return text("lineEdit_received") + ' ' + text("lineEdit_send") + ' '
            + text("lineEdit_clients");
    }
    QLabel *status() { return window.findChild<QLabel *>("label_status_connection"); }
    QUdpSocket *socket() { return window.findChild<QUdpSocket *>(); }
    // Compared by pixels: cache keys differ on every load.
    bool trayShows(const char *resource)
    {
        const auto image = [](const QIcon &icon) { return icon.pixmap(32, 32).toImage(); };
        return image(window.findChild<QSystemTrayIcon *>()->icon())
            == image(QIcon(QLatin1String(resource)));
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
        return client.bind(QHostAddress(QHostAddress::LocalHost), 0) && send(client, "a0a04b41");
    }
    bool send(QUdpSocket &client, const char *hex, quint16 port = 0)
    {
        return client.writeDatagram(QByteArray::fromHex(hex), QHostAddress(QHostAddress::LocalHost),
                   port ? port : listenPort())
            > 0;
    }

    MainWindow window;
};

#endif // WINDOWPROBE_H
