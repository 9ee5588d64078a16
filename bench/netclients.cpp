#include "netclients.h"

#include "benchreport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace Bench {

namespace {

    std::int64_t clockNs(clockid_t clock)
    {
        timespec now {};
        clock_gettime(clock, &now);
        return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    }

    sockaddr_in ipv4Address(std::uint32_t address, std::uint16_t port)
    {
        sockaddr_in result {};
        result.sin_family = AF_INET;
        result.sin_addr.s_addr = htonl(address);
        result.sin_port = htons(port);
        return result;
    }

    [[noreturn]] void fail(const std::string &what)
    {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }

    constexpr std::int64_t KeepAliveEveryNs = 5000000000;
    constexpr int ClientBufferBytes = 1 << 20;
    const unsigned char KeepAlive[] = {0xA0, 0xA0, 'K', 'A'};

} // namespace

std::int64_t monotonicNs()
{
    return clockNs(CLOCK_MONOTONIC);
}

std::int64_t realtimeNs()
{
    return clockNs(CLOCK_REALTIME);
}

void sleepNs(std::int64_t ns)
{
    if (ns <= 0)
        return;
    timespec span {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&span, &span) != 0 && errno == EINTR) { }
}

std::uint32_t ipv4(const char *text)
{
    in_addr address {};
    if (inet_pton(AF_INET, text, &address) != 1)
        throw std::runtime_error(std::string("not an IPv4 address: ") + text);
    return ntohl(address.s_addr);
}

std::string ipv4Text(std::uint32_t address)
{
    char text[INET_ADDRSTRLEN];
    const in_addr raw {htonl(address)};
    inet_ntop(AF_INET, &raw, text, sizeof text);
    return text;
}

std::uint16_t freePort()
{
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 any {};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    socklen_t length = sizeof any;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0
        || getsockname(fd, reinterpret_cast<sockaddr *>(&any), &length) != 0)
        fail("free port");
    close(fd);
    return ntohs(any.sin6_port);
}

ClientSet::ClientSet(std::uint32_t firstAddress, int count, const Ports &ports)
    : first(firstAddress)
    , clientCount(count)
    , sockets(static_cast<std::size_t>(count) * PortCount)
{
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0)
        fail("epoll");
    for (int client = 0; client < count; ++client) {
        for (int port = 0; port < PortCount; ++port) {
            const std::size_t index = static_cast<std::size_t>(client) * PortCount + port;
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            const int on = 1;
            const sockaddr_in address = ipv4Address(firstAddress + client, ports[port]);
            // Room for a second of traffic, should this process be kept off the CPU for a while.
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &ClientBufferBytes, sizeof ClientBufferBytes);
            if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0
                || setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0
                || bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
                fail("client socket " + ipv4Text(firstAddress + client) + ":"
                    + std::to_string(ports[port]));
            sockets[index].fd = fd;
            epoll_event event {};
            event.events = EPOLLIN;
            event.data.u64 = index;
            if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0)
                fail("epoll_ctl");
        }
    }
    receiver = std::thread(&ClientSet::receive, this);
}

ClientSet::~ClientSet()
{
    stopping = true;
    receiver.join();
    for (const Socket &socket : sockets)
        close(socket.fd);
    close(epollFd);
}

void ClientSet::sendKeepAlives(std::uint16_t listenPort)
{
    const sockaddr_in bridge = ipv4Address(INADDR_LOOPBACK, listenPort);
    for (int client = 0; client < clientCount; ++client)
        sendto(sockets[static_cast<std::size_t>(client) * PortCount + Metering].fd, KeepAlive,
            sizeof KeepAlive, 0, reinterpret_cast<const sockaddr *>(&bridge), sizeof bridge);
    lastKeepAliveNs = monotonicNs();
}

void ClientSet::setBatch(int readySockets)
{
    batch = std::max(1, readySockets);
}

void ClientSet::keepAliveIfDue(std::uint16_t listenPort)
{
    if (monotonicNs() - lastKeepAliveNs >= KeepAliveEveryNs)
        sendKeepAlives(listenPort);
}

void ClientSet::reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    for (Socket &socket : sockets) {
        socket.expected = 0;
        socket.count = 0;
        socket.lastSequence = 0;
        socket.lastArrivalNs = -1;
        socket.droppedBefore = socket.dropped;
    }
    totalReceived = 0;
    errorCount = 0;
}

bool ClientSet::waitForTotal(std::uint64_t total, std::int64_t timeoutNs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(
        lock, std::chrono::nanoseconds(timeoutNs), [&] { return totalReceived >= total; });
}

std::uint64_t ClientSet::total() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return totalReceived;
}

std::uint64_t ClientSet::received(int client, Port port) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return sockets[static_cast<std::size_t>(client) * PortCount + port].count;
}

std::uint64_t ClientSet::minReceived(Port port) const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::uint64_t least = UINT64_MAX;
    for (int client = 0; client < clientCount; ++client)
        least = std::min(least, sockets[static_cast<std::size_t>(client) * PortCount + port].count);
    return clientCount ? least : 0;
}

std::uint64_t ClientSet::dropped() const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::uint64_t total = 0;
    for (const Socket &socket : sockets)
        total += socket.dropped - socket.droppedBefore;
    return total;
}

std::uint64_t ClientSet::errors() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return errorCount;
}

std::int64_t ClientSet::lastArrival(int client, std::uint32_t sequence) const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::int64_t latest = -1;
    for (int port = 0; port < PortCount; ++port) {
        const Socket &socket = sockets[static_cast<std::size_t>(client) * PortCount + port];
        if (socket.count == 0 || socket.lastSequence != sequence)
            return -1;
        latest = std::max(latest, socket.lastArrivalNs);
    }
    return latest;
}

// Looks every half millisecond instead of sleeping on the sockets: a receiver waiting on a
// loopback socket is woken from inside the sender's own sendmsg(), which would charge the
// bridge (or the C yardstick) for this thread's wake-ups. With a batch set it also leaves the
// sockets alone until that many have something (or 50 ms have passed), so that it does not
// compete for the CPU with a walk over many clients that is still going on.
void ClientSet::receive()
{
    constexpr int MaxEvents = 1024;
    constexpr std::int64_t LongestHoldNs = 50000000;
    epoll_event events[MaxEvents];
    std::int64_t readySince = -1;
    while (!stopping) {
        const int ready = epoll_wait(epollFd, events, MaxEvents, 0);
        const std::int64_t now = monotonicNs();
        if (ready > 0 && readySince < 0)
            readySince = now;
        const bool hold = ready > 0 && ready < batch && now - readySince < LongestHoldNs;
        if (ready > 0 && !hold) {
            readySince = -1;
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (int i = 0; i < ready; ++i)
                    drain(sockets[events[i].data.u64]);
            }
            arrived.notify_all();
            if (ready == MaxEvents)
                continue;
        }
        sleepNs(500000);
    }
}

void ClientSet::drain(Socket &socket)
{
    for (;;) {
        unsigned char data[64];
        alignas(
            cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))];
        iovec vector {data, sizeof data};
        msghdr message {};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t length = recvmsg(socket.fd, &message, MSG_DONTWAIT);
        if (length < 0)
            return;
        std::int64_t stamp = -1;
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); header;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
                timespec kernel {};
                std::memcpy(&kernel, CMSG_DATA(header), sizeof kernel);
                stamp = std::int64_t(kernel.tv_sec) * 1000000000 + kernel.tv_nsec;
            } else if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL) {
                std::uint32_t dropped = 0; // by this socket's queue so far
                std::memcpy(&dropped, CMSG_DATA(header), sizeof dropped);
                socket.dropped = dropped;
            }
        }
        if (stamp < 0)
            stamp = realtimeNs();
        ++totalReceived;
        if (!BenchReport::isMessage(data, static_cast<std::size_t>(length))) {
            ++errorCount;
            continue;
        }
        const std::uint32_t sequence = BenchReport::sequenceOfMessage(data);
        if (sequence != socket.expected)
            ++errorCount;
        socket.expected = sequence + 1;
        socket.lastSequence = sequence;
        socket.lastArrivalNs = stamp;
        ++socket.count;
    }
}

double percentile(const std::vector<double> &sorted, double fraction)
{
    if (sorted.empty())
        return 0.0;
    const double rank = std::ceil(fraction * static_cast<double>(sorted.size()));
    const std::size_t index = static_cast<std::size_t>(std::max(1.0, rank)) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

} // namespace Bench
