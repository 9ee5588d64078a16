#ifndef BRIDGETEST_H
#define BRIDGETEST_H

#include "fakehidapi.h"
#include "mainwindow.h"

#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

// What the window tests and the fuzzers share: a private settings store, the bridge's debug
// lines, loopback clients and the real window driven as the operator and the network do.
namespace BridgeTest {

inline QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}

// Points XDG_CONFIG_HOME at a fresh folder: the developer's own settings are never touched.
// Call before the first window is made.
inline QString settingsPath()
{
    static QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
    return home.path() + QStringLiteral("/Quorvale/Tavrel Control.conf");
}

// Debug lines as a terminal would show them; another category or a recorded source location
// is marked, so that it fails a comparison.
inline QStringList &debugLines()
{
    static QStringList lines;
    return lines;
}

inline void recordDebug(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg)
        return;
    const bool plain = qstrcmp(context.category, "default") == 0 && !context.file;
    debugLines() << (plain ? QString() : QStringLiteral("[%1] ").arg(context.category)) + text;
}

// A client at its own loopback address: sockets on its METERING, CONFIG and CUSTOM ports
// (zero: chosen by the system) and one it sends from.
class Client
{
public:
    enum Port { Metering, Config, Custom, Sender };

    explicit Client(const char *address, const std::array<quint16, 3> &ports = {})
        : host(QString::fromLatin1(address))
    {
        for (int i = 0; i < 4; ++i)
            ok &= sockets[i].bind(host, i < 3 ? ports[i] : 0, QUdpSocket::DontShareAddress);
    }
    quint16 port(Port which) const { return sockets[which].localPort(); }
    std::array<quint16, 3> ports() const { return {port(Metering), port(Config), port(Custom)}; }
    // As the bridge's dual-stack socket names a sender: an IPv4 one in its mapped form.
    QString mapped() const
    {
        return (isV4() ? QStringLiteral("::ffff:") : QString()) + host.toString();
    }
    bool send(const QByteArray &datagram, quint16 listenPort)
    {
        const QHostAddress bridge(isV4() ? QHostAddress::LocalHost : QHostAddress::LocalHostIPv6);
        return sockets[Sender].writeDatagram(datagram, bridge, listenPort) == datagram.size();
    }
    bool isV4() const { return host.protocol() == QAbstractSocket::IPv4Protocol; }
    // What arrived since the last call, in hex: "M <bytes>" lines for METERING, then "C" and "U".
    QStringList arrivals()
    {
        QStringList lines;
        for (int i = 0; i < 3; ++i)
            while (sockets[i].hasPendingDatagrams()) {
                QByteArray data(int(sockets[i].pendingDatagramSize()), 0);
                sockets[i].readDatagram(data.data(), data.size());
                lines << QStringLiteral("%1 %2").arg("MCU"[i]).arg(
                    QString::fromLatin1(data.toHex()));
            }
        return lines;
    }
    bool ok = true;

private:
    QHostAddress host;
    QUdpSocket sockets[4];
};

// The real window, its METERING, CONFIG and CUSTOM ports the given ones and LISTEN a free port.
class Bridge
{
public:
    Bridge() = default; // the ports as the settings file left them
    explicit Bridge(const std::array<quint16, 3> &clientPorts)
    {
        setText("lineEdit_METERING", clientPorts[0]);
        setText("lineEdit_CONFIGURATION", clientPorts[1]);
        setText("lineEdit_CUSTOM", clientPorts[2]);
        QUdpSocket probe;
        probe.bind(0, QUdpSocket::DontShareAddress);
        listenPort = probe.localPort();
        setText("lineEdit_LISTEN", listenPort);
    }
    template<typename T> T *child(const char *name) { return window.findChild<T *>(name); }
    QString text(const char *name) { return child<QLineEdit>(name)->text(); }
    void setText(const char *name, int value)
    {
        child<QLineEdit>(name)->setText(QString::number(value));
    }
    void click(const char *button) { child<QPushButton>(button)->click(); }
    QString status() { return child<QLabel>("label_status_connection")->text(); }
    // RECEIVED, TRANSMITTED and CLIENTS ACTIVE as the window shows them, e.g. "1 0 2".
    QString counters()
    {
        const bool hidden = !window.isVisible();
        window.show();
        const QString shown = texts({"lineEdit_received", "lineEdit_send", "lineEdit_clients"});
        if (hidden)
            window.hide();
        return shown;
    }
    // LISTEN, METERING, CONFIG and CUSTOM, e.g. "18153 18150 18151 18152", and how many of
    // them can be edited.
    QString ports() { return texts(PortFields); }
    int editablePorts()
    {
        int editable = 0;
        for (const char *name : PortFields)
            editable += child<QLineEdit>(name)->isEnabled();
        return editable;
    }
    // "gray" or "green" by the tray icon's pixels, "other" for anything else.
    QString trayIcon()
    {
        const auto pixels = [](const QIcon &icon) { return icon.pixmap(64, 64).toImage(); };
        const QImage shown = pixels(window.findChild<QSystemTrayIcon *>()->icon());
        for (const char *colour : {"gray", "green"})
            if (shown == pixels(QIcon(QStringLiteral(":/resources/png/icon_%1.png").arg(colour))))
                return QLatin1String(colour);
        return QStringLiteral("other");
    }
    bool polling()
    {
        for (QTimer *timer : window.findChildren<QTimer *>())
            if (timer->interval() == 1)
                return timer->isActive();
        return false;
    }
    // The bridge's own slots, run at once rather than when the event loop would.
    void receive() { QMetaObject::invokeMethod(&window, "receiveUdp"); }
    void poll() { QMetaObject::invokeMethod(&window, "hid_receive_timer"); }
    bool send(Client &client, const QByteArray &datagram)
    {
        const bool sent = client.send(datagram, listenPort);
        receive(); // loopback delivers within the send
        return sent;
    }

    MainWindow window;
    quint16 listenPort = 0;

private:
    using Names = std::initializer_list<const char *>;
    static constexpr Names PortFields
        = {"lineEdit_LISTEN", "lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"};
    QString texts(Names names)
    {
        QStringList shown;
        for (const char *name : names)
            shown << text(name);
        return shown.join(' ');
    }
};

} // namespace BridgeTest

#endif // BRIDGETEST_H
