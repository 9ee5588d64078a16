// The loopback side: clients that receive from the bridge, and the client->device load with
// the device writes it makes.
#include "bench.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace Bench {

namespace {

    std::int64_t clockNs(clockid_t clock)
    {
        timespec now {};
        clock_gettime(clock, &now);
        return std::int64_t(now.tv_sec) * Sec + now.tv_nsec;
    }

    sockaddr_in ipv4Address(std::uint32_t address, std::uint16_t port)
    {
        sockaddr_in result {};
        result.sin_family = AF_INET;
        result.sin_addr.s_addr = htonl(address);
        result.sin_port = htons(port);
        return result;
    }

    void sendTo(int fd, const void *bytes, std::size_t length, std::uint16_t listen)
    {
        const sockaddr_in bridge = ipv4Address(INADDR_LOOPBACK, listen);
        sendto(fd, bytes, length, 0, reinterpret_cast<const sockaddr *>(&bridge), sizeof bridge);
    }

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
    timespec span {static_cast<time_t>(ns / Sec), static_cast<long>(ns % Sec)};
    while (ns > 0 && nanosleep(&span, &span) != 0 && errno == EINTR) { }
}

std::string ipv4Text(std::uint32_t address)
{
    char text[INET_ADDRSTRLEN];
    const in_addr raw {htonl(address)};
    return inet_ntop(AF_INET, &raw, text, sizeof text);
}

int boundSocket(std::uint32_t address, std::uint16_t port, int flags)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | flags, 0);
    const sockaddr_in local = ipv4Address(address, port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        throw std::runtime_error("cannot bind " + ipv4Text(address) + ":" + std::to_string(port)
            + ": " + std::strerror(errno));
    return fd;
}

std::uint32_t socketMemInfo(int fd, int which)
{
    std::uint32_t info[SK_MEMINFO_VARS] {};
    socklen_t length = sizeof info;
    getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length);
    return info[which];
}

std::uint16_t freePort()
{
    const int fd = boundSocket(INADDR_ANY, 0);
    sockaddr_in any {};
    socklen_t length = sizeof any;
    getsockname(fd, reinterpret_cast<sockaddr *>(&any), &length);
    close(fd);
    return ntohs(any.sin_port);
}

ClientSet::ClientSet(std::uint32_t firstAddress, int count, const Ports &ports)
    : first(firstAddress)
    , count(count)
    , sockets(static_cast<std::size_t>(count) * PortCount)
    , epollFd(epoll_create1(EPOLL_CLOEXEC))
{
    const int on = 1, buffer = 1 << 20; // a second of traffic, should we be kept off the CPU
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        const int fd = boundSocket(first + i / PortCount, ports[i % PortCount], SOCK_NONBLOCK);
        sockets[i].fd = fd;
        epoll_event event {EPOLLIN, {}};
        event.data.u64 = i;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0
            || epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0)
            throw std::runtime_error("client socket set-up");
    }
}

ClientSet::~ClientSet()
{
    for (const Socket &socket : sockets)
        close(socket.fd);
    close(epollFd);
}

void ClientSet::sendKeepAlives(std::uint16_t listen)
{
    const unsigned char keepAlive[] = {0xA0, 0xA0, 'K', 'A'};
    for (int client = 0; client < count; ++client)
        sendTo(sockets[client * PortCount + Metering].fd, keepAlive, sizeof keepAlive, listen);
    lastKeepAliveNs = monotonicNs();
}

void ClientSet::keepAliveIfDue(std::uint16_t listen)
{
    if (monotonicNs() - lastKeepAliveNs >= 5 * Sec)
        sendKeepAlives(listen);
}

void ClientSet::reset()
{
    for (Socket &socket : sockets)
        socket = {socket.fd, 0, 0, 0, socketMemInfo(socket.fd, SK_MEMINFO_DROPS), -1};
    total = errors = 0;
}

std::uint64_t ClientSet::dropped() const
{
    std::uint64_t drops = 0;
    for (const Socket &socket : sockets)
        drops += socketMemInfo(socket.fd, SK_MEMINFO_DROPS) - socket.dropsBefore;
    return drops;
}

// Looks without sleeping on the sockets: a receiver waiting on a loopback socket is woken
// from inside the sender's own sendmsg(), which would charge the bridge (or the C yardstick)
// for the benchmark's wake-ups.
void ClientSet::poll(int batch)
{
    epoll_event events[1024];
    for (int ready = 1024; ready == 1024;) {
        ready = epoll_wait(epollFd, events, 1024, 0);
        const std::int64_t now = monotonicNs();
        readySince = ready <= 0 ? -1 : readySince < 0 ? now : readySince;
        if (ready <= 0 || (ready < batch && now - readySince < 50 * Ms))
            return;
        readySince = -1;
        for (int i = 0; i < ready; ++i)
            drain(sockets[events[i].data.u64]);
    }
}

bool ClientSet::waitForTotal(std::uint64_t wanted, std::int64_t timeoutNs, int batch)
{
    const std::int64_t deadline = monotonicNs() + timeoutNs;
    for (poll(batch); total < wanted && monotonicNs() < deadline; poll(batch))
        sleepNs(Ms / 2);
    return total >= wanted;
}

std::uint64_t ClientSet::minReceived(Port port) const
{
    std::uint64_t least = count ? UINT64_MAX : 0;
    for (int client = 0; client < count; ++client)
        least = std::min(least, sockets[client * PortCount + port].count);
    return least;
}

std::int64_t ClientSet::lastArrival(int client, std::uint32_t sequence) const
{
    std::int64_t latest = -1;
    for (int port = 0; port < PortCount; ++port) {
        const Socket &socket = sockets[client * PortCount + port];
        if (socket.count == 0 || socket.last != sequence)
            return -1;
        latest = std::max(latest, socket.lastNs);
    }
    return latest;
}

void ClientSet::drain(Socket &socket)
{
    unsigned char data[64];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    iovec vector {data, sizeof data};
    msghdr message {nullptr, 0, &vector, 1, control, sizeof control, 0};
    for (ssize_t length; (length = recvmsg(socket.fd, &message, MSG_DONTWAIT)) >= 0;
         message.msg_controllen = sizeof control) {
        timespec stamp {};
        const cmsghdr *header = CMSG_FIRSTHDR(&message);
        if (header && header->cmsg_type == SCM_TIMESTAMPNS)
            std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
        ++total;
        // Ours: A0 A0 and one of our reports, whole and unaltered apart from its number.
        if (length != 12 || data[0] != 0xA0 || data[1] != 0xA0 || data[2] != 0x01
            || !std::all_of(data + 8, data + 12, [](unsigned char b) { return b == 0x5A; })) {
            ++errors;
            continue;
        }
        std::uint32_t sequence = 0;
        std::memcpy(&sequence, data + 4, 4);
        errors += sequence != socket.expected;
        socket.expected = sequence + 1;
        socket.last = sequence;
        socket.lastNs = header ? std::int64_t(stamp.tv_sec) * Sec + stamp.tv_nsec : realtimeNs();
        ++socket.count;
    }
}

DeviceWrites::DeviceWrites()
{
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
}

DeviceWrites::~DeviceWrites()
{
    FakeHid::setWriteObserver(nullptr); // the window's writes may go to this pipe
    closeWriteEnd();
    close(ends[0]);
}

void DeviceWrites::closeWriteEnd()
{
    if (ends[1] >= 0)
        close(ends[1]);
    ends[1] = -1;
}

void DeviceWrites::reset()
{
    written = errors = 0;
    expected.fill(0);
}

// One read of what the pipe holds, each 11-byte record checked.
bool DeviceWrites::readFor(std::int64_t timeoutNs)
{
    pollfd readable {ends[0], POLLIN, 0};
    unsigned char buffer[11 * 512];
    const ssize_t got = ::poll(&readable, 1, static_cast<int>(timeoutNs / Ms)) > 0
        ? read(ends[0], buffer, sizeof buffer)
        : 0;
    if (got <= 0)
        return false;
    lastWriteNs = monotonicNs();
    held.insert(held.end(), buffer, buffer + got);
    std::size_t at = 0;
    for (; held.size() - at >= 11; at += 11, ++written) {
        const unsigned char *record = held.data() + at;
        const unsigned client = record[1];
        std::uint32_t sequence = 0;
        std::memcpy(&sequence, record + 2, 4);
        const bool valid = record[0] == 0 && client < ThroughputClients
            && std::all_of(record + 6, record + 11, [](unsigned char b) { return b == 0x33; });
        errors += !valid || sequence != expected[client];
        if (valid)
            expected[client] = sequence + 1;
    }
    held.erase(held.begin(), held.begin() + at);
    return true;
}

Throughput throughput(std::uint16_t listen, int total, DeviceWrites &writes)
{
    Throughput result;
    writes.reset();
    std::array<int, ThroughputClients> senders {};
    for (int c = 0; c < ThroughputClients; ++c)
        senders[c] = boundSocket(ThroughputSenders + c, 0);
    const std::int64_t started = monotonicNs();
    bool stalled = false; // nothing written for a second
    for (int i = 0; i < total; ++result.sent, ++i) {
        // Send while fewer than the window are unwritten; then read until half of them are.
        if (result.sent - writes.written >= ThroughputWindow)
            while (!stalled && result.sent - writes.written > ThroughputWindow / 2)
                stalled = !writes.readFor(Sec);
        if (stalled)
            break;
        const int client = i % ThroughputClients;
        const std::uint32_t sequence = i / ThroughputClients;
        unsigned char datagram[12] = {0xA0, 0xA0, static_cast<unsigned char>(client)};
        std::memcpy(datagram + 3, &sequence, 4);
        std::memset(datagram + 7, 0x33, 5);
        sendTo(senders[client], datagram, sizeof datagram, listen);
    }
    for (const std::int64_t end = monotonicNs() + 2 * Sec;
         writes.written < result.sent && monotonicNs() < end;)
        writes.readFor(100 * Ms);
    result.written = writes.written;
    result.errors = writes.errors;
    result.perSecond = double(result.written) * Sec / double(writes.lastWriteNs - started);
    for (const int fd : senders)
        close(fd);
    return result;
}

void writeDeviceTo(int fd)
{
    FakeHid::setRecordWrites(false);
    FakeHid::setWriteObserver([fd](const FakeHid::Bytes &bytes) {
        const ssize_t written = write(fd, bytes.data(), bytes.size()); // a short one shows as loss
        static_cast<void>(written);
    });
}

} // namespace Bench
