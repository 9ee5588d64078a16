#ifndef LOOPBACKCLIENT_H
#define LOOPBACKCLIENT_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

// One datagram as a client saw it.
struct Arrival
{
    QString address; // the client address it was sent to
    quint16 port; // the client port it arrived on
    QByteArray data;
    quint16 sourcePort;
    qint64 stampNs; // kernel receive stamp, -1 if none
};

// A UDP client at its own loopback address: sockets receiving on the METERING, CONFIG and
// CUSTOM ports, and sending sockets (separate programs on that host) that record replies too.
// Datagrams to different ports land on different sockets; the kernel's receive stamp restores
// the order they were sent in, hence plain sockets and recvmsg.
class LoopbackClient
{
public:
    enum Port { Metering, Config, Custom };

    // Zero ports are picked by the system; pass another client's ports() to share them.
    explicit LoopbackClient(const QString &address, const std::array<quint16, 3> &ports = {})
        : host(address)
    {
        for (quint16 port : ports)
            sockets.push_back(openSocket(port));
        addSender();
    }
    ~LoopbackClient()
    {
        for (const Socket &socket : sockets)
            ::close(socket.fd);
    }
    LoopbackClient(const LoopbackClient &) = delete;

    bool isValid() const { return errors.isEmpty(); }
    QString errorString() const { return errors.join(QStringLiteral("; ")); }
    QString address() const { return host; }
    // The address as the bridge's dual-stack socket reports an IPv4 sender.
    QString mappedAddress() const { return QStringLiteral("::ffff:") + host; }
    std::array<quint16, 3> ports() const
    {
        return {sockets[0].port, sockets[1].port, sockets[2].port};
    }
    quint16 port(Port which) const { return sockets[which].port; }

    // Another program on the same host; returns its index for send().
    int addSender()
    {
        sockets.push_back(openSocket(0));
        return static_cast<int>(sockets.size()) - 4;
    }
    quint16 senderPort(int sender = 0) const { return sockets[3 + sender].port; }

    // Sends to the bridge's LISTEN port on 127.0.0.1.
    bool send(const QByteArray &datagram, quint16 listenPort, int sender = 0) const
    {
        const sockaddr_in to = socketAddress(QStringLiteral("127.0.0.1"), listenPort);
        return ::sendto(sockets[3 + sender].fd, datagram.constData(), size_t(datagram.size()), 0,
                   reinterpret_cast<const sockaddr *>(&to), sizeof to)
            == datagram.size();
    }

    // Everything received so far on any of this client's sockets, in the order sent.
    QList<Arrival> arrivals()
    {
        for (const Socket &socket : sockets)
            drain(socket);
        std::stable_sort(recorded.begin(), recorded.end(), earlier);
        return recorded;
    }

    // The arrivals of several clients in one sequence, in the order sent.
    static QList<Arrival> merged(std::initializer_list<LoopbackClient *> clients)
    {
        QList<Arrival> all;
        for (LoopbackClient *client : clients)
            all += client->arrivals();
        std::stable_sort(all.begin(), all.end(), earlier);
        return all;
    }

private:
    struct Socket
    {
        int fd;
        quint16 port;
    };

    static bool earlier(const Arrival &a, const Arrival &b) { return a.stampNs < b.stampNs; }

    static sockaddr_in socketAddress(const QString &address, quint16 port)
    {
        sockaddr_in result {};
        result.sin_family = AF_INET;
        result.sin_port = htons(port);
        ::inet_pton(AF_INET, address.toLatin1().constData(), &result.sin_addr);
        return result;
    }

    Socket openSocket(quint16 port)
    {
        Socket socket {::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), 0};
        const int on = 1;
        sockaddr_in local = socketAddress(host, port);
        socklen_t length = sizeof local;
        if (socket.fd < 0
            || ::setsockopt(socket.fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0
            || ::bind(socket.fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0
            || ::getsockname(socket.fd, reinterpret_cast<sockaddr *>(&local), &length) != 0)
            errors.append(QStringLiteral("%1:%2: %3")
                              .arg(host)
                              .arg(port)
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
        socket.port = ntohs(local.sin_port);
        return socket;
    }

    void drain(const Socket &socket)
    {
        char buffer[65536];
        char control[CMSG_SPACE(sizeof(timespec))];
        for (;;) {
            sockaddr_in from {};
            iovec vector {buffer, sizeof buffer};
            msghdr message {&from, sizeof from, &vector, 1, control, sizeof control, 0};
            const ssize_t length = ::recvmsg(socket.fd, &message, 0);
            if (length < 0)
                return; // nothing more waiting
            qint64 stamp = -1;
            for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec t;
                    std::memcpy(&t, CMSG_DATA(c), sizeof t);
                    stamp = qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
                }
            recorded.append(
                {host, socket.port, QByteArray(buffer, int(length)), ntohs(from.sin_port), stamp});
        }
    }

    QString host;
    std::vector<Socket> sockets; // METERING, CONFIG, CUSTOM, then the senders
    QList<Arrival> recorded;
    QStringList errors;
};

#endif // LOOPBACKCLIENT_H
