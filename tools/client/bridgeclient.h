#ifndef BRIDGECLIENT_H
#define BRIDGECLIENT_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QVector>

class QTimer;
class QUdpSocket;

struct ClientOptions
{
    QHostAddress bridge;
    quint16 listenPort = 18153;
    QHostAddress bind = QHostAddress(QHostAddress::Any);
    QVector<quint16> receivePorts; // METERING first: keep-alives and payloads leave from it
    int intervalMs = 5000; // 0: no keep-alives
    QList<QByteArray> datagrams; // sent once, in order, right after the first keep-alive
    int count = 0; // 0: no limit
    int timeoutMs = 0; // 0: no limit
};

// A UDP client of the bridge: keeps itself registered, prints every datagram that reaches
// its ports as one line on stdout and sends the given datagrams once.
class BridgeClient : public QObject
{
    Q_OBJECT

public:
    explicit BridgeClient(const ClientOptions &options, QObject *parent = nullptr);

    // Binds the receive ports; false (with a message on stderr) when one is taken.
    bool start();

signals:
    void finished(int exitCode);

private:
    bool bindPorts();
    void sendKeepAlive();
    void send(const QByteArray &datagram);
    void drain(QUdpSocket *socket);
    void timedOut();

    ClientOptions options;
    QList<QUdpSocket *> sockets;
    QTimer *keepAliveTimer = nullptr;
    int received = 0;
    bool done = false;
};

#endif // BRIDGECLIENT_H
