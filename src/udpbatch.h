#ifndef UDPBATCH_H
#define UDPBATCH_H

#include <QByteArray>
#include <QHostAddress>

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <vector>

// A destination in the form the socket's system calls take, built once per client.
struct SocketAddress
{
    union {
        sockaddr_in v4;
        sockaddr_in6 v6;
    } address {};
    socklen_t length = 0;
};

namespace UdpBatch {

// The family of the socket behind the descriptor: AF_INET, AF_INET6, or AF_UNSPEC.
int socketFamily(qintptr descriptor);

// The address as Qt's own write builds it for a socket of that family: IPv4 on an IPv6
// socket becomes ::ffff:a.b.c.d.
SocketAddress socketAddress(const QHostAddress &address, int family);

} // namespace UdpBatch

// The datagrams of one report, all with the same bytes, sent with as few system calls as the
// kernel allows, in the order they were added.
class SendBatch
{
public:
    void add(const SocketAddress &client, quint16 port);
    bool isEmpty() const { return destinations.empty(); }
    // A datagram the kernel refuses (port 0, say) is skipped; the rest still go.
    void send(qintptr descriptor, const QByteArray &message);

private:
    std::vector<SocketAddress> destinations;
    std::vector<mmsghdr> headers;
};

// Many datagrams per system call, in arrival order, with their senders.
class ReceiveBatch
{
public:
    // The bridge looks at no byte past the 12th: a longer datagram is read up to here.
    static constexpr int PrefixSize = 16;

    ReceiveBatch();
    ReceiveBatch(const ReceiveBatch &) = delete; // the headers point into this object
    ReceiveBatch &operator=(const ReceiveBatch &) = delete;
    // Reads what is waiting, without blocking: the number read, 0 when none or on failure.
    int receive(qintptr descriptor);
    bool isFull(int received) const { return received == Slots; }
    // The datagram's bytes where they were read, without a copy: the array is pointed elsewhere
    // by the next call, and the bytes are overwritten by the next receive().
    const QByteArray &datagram(int index);
    const sockaddr_storage &sender(int index) const { return senders[index]; }

private:
    static constexpr int Slots = 32;
    std::array<std::array<char, PrefixSize>, Slots> buffers {};
    std::array<sockaddr_storage, Slots> senders {};
    std::array<iovec, Slots> vectors {};
    std::array<mmsghdr, Slots> headers {};
    QByteArray view; // raw data over one of the buffers: pointing it elsewhere allocates nothing
};

// The sender's address as Qt reports it, and its text, for one datagram after another: the
// last few hosts heard from keep theirs, so that each converts its address once.
class SenderCache
{
public:
    void update(const sockaddr_storage &from);
    const QHostAddress &address() const { return known[current].address; }
    const QString &text() const { return known[current].text; }
    quint16 port() const { return senderPort; }

private:
    struct Host
    {
        sockaddr_in6 host {};
        QHostAddress address;
        QString text;
    };
    std::array<Host, 16> known;
    size_t current = 0;
    size_t replaceNext = 0;
    quint16 senderPort = 0;
};

#endif // UDPBATCH_H
