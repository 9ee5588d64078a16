#include "bridgeclient.h"

#include "bridgeformat.h"

#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>

namespace {

const QByteArray KeepAlive = QByteArray::fromHex("a0a04b41");

void printLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout); // one line per datagram, visible at once even through a pipe
}

void printDiagnostic(const QString &text)
{
    std::fprintf(stderr, "tavrel-client: %s\n", qPrintable(text));
    std::fflush(stderr);
}

} // namespace

BridgeClient::BridgeClient(const ClientOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
{ }

bool BridgeClient::start()
{
    if (!bindPorts())
        return false;
    if (options.timeoutMs > 0)
        QTimer::singleShot(options.timeoutMs, this, &BridgeClient::timedOut);
    if (options.intervalMs > 0) {
        keepAliveTimer = new QTimer(this);
        connect(keepAliveTimer, &QTimer::timeout, this, &BridgeClient::sendKeepAlive);
        keepAliveTimer->start(options.intervalMs);
        sendKeepAlive();
    }
    for (const QByteArray &datagram : qAsConst(options.datagrams))
        send(datagram);
    return true;
}

bool BridgeClient::bindPorts()
{
    QStringList ports;
    for (const quint16 port : qAsConst(options.receivePorts)) {
        auto *socket = new QUdpSocket(this);
        if (!socket->bind(options.bind, port)) {
            printDiagnostic(QStringLiteral("cannot receive on %1 port %2: %3")
                                .arg(options.bind.toString())
                                .arg(port)
                                .arg(socket->errorString()));
            return false;
        }
        connect(socket, &QUdpSocket::readyRead, this, [this, socket] { drain(socket); });
        sockets.append(socket);
        ports.append(QString::number(port));
    }
    printDiagnostic(
        QStringLiteral("receiving on %1 ports %2, bridge %3 port %4")
            .arg(options.bind.toString(), ports.join(QLatin1Char(' ')), options.bridge.toString())
            .arg(options.listenPort));
    return true;
}

void BridgeClient::sendKeepAlive()
{
    send(KeepAlive);
}

void BridgeClient::send(const QByteArray &datagram)
{
    // From the METERING socket, so the bridge sees the client's own address and a known port.
    QUdpSocket *socket = sockets.first();
    if (socket->writeDatagram(datagram, options.bridge, options.listenPort) != datagram.size())
        printDiagnostic(QStringLiteral("cannot send %1 to %2 port %3: %4")
                            .arg(QString::fromLatin1(datagram.toHex()), options.bridge.toString())
                            .arg(options.listenPort)
                            .arg(socket->errorString()));
}

void BridgeClient::drain(QUdpSocket *socket)
{
    while (!done && socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        if (!datagram.isValid())
            return; // a failed read: what is still pending comes with the next notification
        const QByteArray data = datagram.data();
        printLine("port=" + QByteArray::number(socket->localPort()) + " data=" + data.toHex()
            + " metering=" + (BridgeFormat::isMetering(data) ? "yes" : "no") + '\n');
        ++received;
        if (options.count > 0 && received >= options.count) {
            done = true;
            emit finished(0);
        }
    }
}

void BridgeClient::timedOut()
{
    if (done)
        return;
    done = true;
    if (options.count > 0)
        printDiagnostic(
            QStringLiteral("timed out after %1 of %2 messages").arg(received).arg(options.count));
    emit finished(options.count > 0 ? 1 : 0);
}
