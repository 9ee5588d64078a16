#ifndef LOOPBACKCLIENT_H
#define LOOPBACKCLIENT_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

// One datagram as a client saw it.
struct Arrival
{
    QString address; // the client address it was sent to, e.g. "127.0.0.2"
    quint16 port; // the client port it arrived on
    QByteArray data;
    quint16 sourcePort;
    qint64 stampNs; // kernel receive time, orders arrivals across sockets; -1 if none
};

// A UDP client at its own loopback address: three sockets receiving on the METERING, CONFIG
// and CUSTOM ports, and one or more sending sockets (each a separate "program" on that host,
// bound to a port of its own) that also record anything sent back to them.
//
// Datagrams to different ports land on different sockets, so the order in which they were
// sent is not visible from the sockets alone; each datagram carries the kernel's receive
// stamp (taken on loopback as it is sent), which restores that order. Plain POSIX sockets,
// because the stamp needs recvmsg.
class LoopbackClient
{
public:
    enum Port { Metering, Config, Custom };

    // Zero ports are picked by the system; pass the first client's ports() to another
    // address so that all clients receive on the same port numbers.
    explicit LoopbackClient(const QString &address, const std::array<quint16, 3> &ports = {})
        : host(address)
    {
        for (quint16 port : ports)
            receivers.push_back(openSocket(port));
        addSender();
    }
    ~LoopbackClient()
    {
        for (const Socket &socket : receivers)
            ::close(socket.fd);
        for (const Socket &socket : senders)
            ::close(socket.fd);
    }
    LoopbackClient(const LoopbackClient &) = delete;
    LoopbackClient &operator=(const LoopbackClient &) = delete;

    bool isValid() const { return errors.isEmpty(); }
    QString errorString() const { return errors.join(QStringLiteral("; ")); }

    QString address() const { return host; }
    // The address as the bridge's dual-stack socket reports an IPv4 sender.
    QString mappedAddress() const { return QStringLiteral("::ffff:") + host; }

    std::array<quint16, 3> ports() const
    {
        return {receivers[0].port, receivers[1].port, receivers[2].port};
    }
    quint16 port(Port which) const { return receivers[which].port; }

    // Another program on the same host; returns its index for send().
    int addSender()
    {
        senders.push_back(openSocket(0));
        return static_cast<int>(senders.size()) - 1;
    }
    quint16 senderPort(int sender = 0) const { return senders[sender].port; }

    // Sends to the bridge's LISTEN port on 127.0.0.1 from this client's address.
    bool send(const QByteArray &datagram, quint16 listenPort, int sender = 0) const
    {
        sockaddr_in to = socketAddress(QStringLiteral("127.0.0.1"), listenPort);
        const ssize_t sent = ::sendto(senders[sender].fd, datagram.constData(),
            static_cast<size_t>(datagram.size()), 0, reinterpret_cast<const sockaddr *>(&to),
            sizeof to);
        return sent == datagram.size();
    }

    // Everything received so far, on any of this client's sockets, in the order sent.
    QList<Arrival> arrivals()
    {
        for (const Socket &socket : receivers)
            drain(socket);
        for (const Socket &socket : senders)
            drain(socket);
        std::stable_sort(recorded.begin(), recorded.end(), earlier);
        return recorded;
    }
    int count() { return arrivals().size(); }
    void forget() { recorded.clear(); }

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
            || ::getsockname(socket.fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
            errors.append(QStringLiteral("%1:%2: %3")
                              .arg(host)
                              .arg(port)
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
        }
        socket.port = ntohs(local.sin_port);
        return socket;
    }

    void drain(const Socket &socket)
    {
        for (;;) {
            char buffer[65536];
            char control[CMSG_SPACE(sizeof(timespec))];
            sockaddr_in from {};
            iovec vector {buffer, sizeof buffer};
            msghdr message {};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &vector;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t length = ::recvmsg(socket.fd, &message, 0);
            if (length < 0)
                return; // nothing more waiting (non-blocking)
            const qint64 stamp = stampOf(message);
            if (stamp < 0)
                errors.append(QStringLiteral("a datagram on port %1 came without a receive stamp")
                                  .arg(socket.port));
            recorded.append({host, socket.port, QByteArray(buffer, static_cast<int>(length)),
                ntohs(from.sin_port), stamp});
        }
    }

    // -1 when the kernel gave none: the order across sockets is then unknown.
    static qint64 stampOf(msghdr &message)
    {
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp;
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                return qint64(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
            }
        }
        return -1;
    }

    QString host;
    std::vector<Socket> receivers;
    std::vector<Socket> senders;
    QList<Arrival> recorded;
    QStringList errors;
};

#endif // LOOPBACKCLIENT_H
