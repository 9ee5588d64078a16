// The loopback side of the benchmark: clients that receive from the bridge, the C sender,
// and the client->device load with the device writes it makes.
#ifndef CLIENTS_H
#define CLIENTS_H

#include "harness.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace Bench {

constexpr int ThroughputClients = 8, ThroughputWindow = 64; // a quarter of the default buffer
// Loopback blocks, one per kind of client, so that no two phases share an address.
constexpr std::uint32_t SustainedClients = 0x7F000101, LatencyClients = 0x7F000201,
                        ThroughputSenders = 0x7F000301, MemoryClients = 0x7F000401,
                        ProbeClient = 0x7F000501, FloodSenders = 0x7F000601,
                        SoakClient = 0x7F000701;

inline sockaddr_in ipv4(std::uint32_t address, std::uint16_t port)
{
    return {AF_INET, htons(port), {htonl(address)}, {}};
}

inline int boundSocket(std::uint32_t address, std::uint16_t port, int flags = 0) // UDP, or throws
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | flags, 0);
    const sockaddr_in local = ipv4(address, port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        throw std::runtime_error(std::string("cannot bind ") + inet_ntoa(local.sin_addr));
    return fd;
}

inline ssize_t sendTo(int fd, const void *bytes, std::size_t length, std::uint16_t listen)
{
    const sockaddr_in bridge = ipv4(INADDR_LOOPBACK, listen);
    return sendto(fd, bytes, length, 0, reinterpret_cast<const sockaddr *>(&bridge), sizeof bridge);
}

inline std::uint16_t freePort() // asked of the kernel, then released
{
    sockaddr_in any {};
    socklen_t length = sizeof any;
    const int fd = boundSocket(INADDR_ANY, 0);
    getsockname(fd, reinterpret_cast<sockaddr *>(&any), &length);
    close(fd);
    return ntohs(any.sin_port);
}

inline std::uint32_t socketMemInfo(int fd, int which) // SK_MEMINFO_DROPS, ... of a socket
{
    std::uint32_t info[SK_MEMINFO_VARS] {};
    socklen_t length = sizeof info;
    getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length);
    return info[which];
}

// Loopback clients on consecutive addresses, each with a socket on each of the three ports,
// checking that every socket gets our numbered messages 0, 1, 2, ... in order. Nothing is
// read while no one waits; arrival times are the kernel's receive stamps (CLOCK_REALTIME).
class ClientSet
{
public:
    ClientSet(std::uint32_t first, int count, const Ports &ports)
        : first(first)
        , count(count)
        , sockets(std::size_t(count) * PortCount)
    {
        const int on = 1, buffer = 1 << 20; // a second of traffic, should we be kept off the CPU
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            sockets[i].fd = boundSocket(first + i / PortCount, ports[i % PortCount], SOCK_NONBLOCK);
            epoll_event event {EPOLLIN, {}};
            event.data.u64 = i;
            setsockopt(sockets[i].fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
            setsockopt(sockets[i].fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
            epoll_ctl(epollFd, EPOLL_CTL_ADD, sockets[i].fd, &event);
        }
    }
    ~ClientSet()
    {
        for (const Socket &socket : sockets)
            close(socket.fd);
        close(epollFd);
    }
    ClientSet(const ClientSet &) = delete;
    ClientSet &operator=(const ClientSet &) = delete;

    void sendKeepAlives(std::uint16_t listen) // from each METERING socket
    {
        for (int client = 0; client < count; ++client)
            sendTo(sockets[client * PortCount + Metering].fd, "\xA0\xA0KA", 4, listen);
    }
    void reset() // forgets what came: message 0 is expected next on every socket
    {
        for (Socket &socket : sockets)
            socket = {socket.fd, 0, 0, socketMemInfo(socket.fd, SK_MEMINFO_DROPS), -1};
        total = errors = 0;
    }
    // Reads what has come; with a batch, only once that many sockets have something (or 50 ms
    // have passed), so as not to compete for the CPU with a walk over many clients. It looks
    // rather than sleeps on the sockets: a receiver waiting on a loopback socket is woken from
    // inside the sender's sendmsg(), which would charge the sender for our wake-ups.
    void poll(int batch = 1)
    {
        epoll_event events[1024];
        for (int ready = 1024; ready == 1024;) {
            ready = epoll_wait(epollFd, events, 1024, 0);
            readySince = ready <= 0 ? -1 : readySince < 0 ? clockNs() : readySince;
            if (ready <= 0 || (ready < batch && clockNs() - readySince < 50 * Ms))
                return;
            readySince = -1;
            for (int i = 0; i < ready; ++i)
                drain(sockets[events[i].data.u64]);
        }
    }
    bool waitForTotal(std::uint64_t wanted, std::int64_t timeoutNs, int batch = 1)
    {
        const std::int64_t end = clockNs() + timeoutNs;
        for (poll(batch); total < wanted && clockNs() < end; poll(batch))
            sleepNs(Ms / 2);
        return total >= wanted;
    }
    std::uint64_t minReceived(Port port) const
    {
        std::uint64_t least = UINT64_MAX;
        for (int client = 0; client < count; ++client)
            least = std::min(least, sockets[client * PortCount + port].count);
        return least;
    }
    std::uint64_t dropped() const // by the kernel, at our sockets: lost here, not by the bridge
    {
        std::uint64_t drops = 0;
        for (const Socket &socket : sockets)
            drops += socketMemInfo(socket.fd, SK_MEMINFO_DROPS) - socket.dropsBefore;
        return drops;
    }
    // The last arrival of message `sequence` on the client's sockets; -1 if one lacks it.
    std::int64_t lastArrival(int client, std::uint32_t sequence) const
    {
        std::int64_t latest = -1;
        for (int port = client * PortCount; port < (client + 1) * PortCount; ++port)
            if (sockets[port].count == 0 || sockets[port].expected != sequence + 1)
                return -1;
            else
                latest = std::max(latest, sockets[port].lastNs);
        return latest;
    }

    const std::uint32_t first;
    const int count;
    std::uint64_t total = 0, errors = 0; // errors: not ours, or not the number expected

private:
    struct Socket
    {
        int fd;
        std::uint32_t expected; // one past the last of ours
        std::uint64_t count, dropsBefore;
        std::int64_t lastNs;
    };

    void drain(Socket &socket)
    {
        unsigned char data[64];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        iovec vector {data, sizeof data};
        msghdr message {nullptr, 0, &vector, 1, control, sizeof control, 0};
        for (ssize_t length; (length = recvmsg(socket.fd, &message, MSG_DONTWAIT)) >= 0;
             message.msg_controllen = sizeof control) {
            const cmsghdr *header = CMSG_FIRSTHDR(&message);
            timespec stamp {};
            if (header && header->cmsg_type == SCM_TIMESTAMPNS)
                std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
            std::uint32_t sequence = 0;
            std::memcpy(&sequence, data + 4, 4);
            // Ours: A0 A0 and one of our reports, whole and unaltered apart from its number.
            const auto report = deviceReport(sequence);
            const bool ours = length == 12 && data[0] == 0xA0 && data[1] == 0xA0
                && std::equal(report.begin(), report.end(), data + 2);
            ++total;
            errors += !ours || sequence != socket.expected;
            if (!ours)
                continue;
            socket.expected = sequence + 1;
            ++socket.count;
            socket.lastNs = header ? std::int64_t(stamp.tv_sec) * Sec + stamp.tv_nsec
                                   : clockNs(CLOCK_REALTIME);
        }
    }

    std::vector<Socket> sockets; // client * PortCount + port
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    std::int64_t readySince = -1;
};

// Sends keep-alives until the window counts every client.
inline bool registerClients(Bridge &bridge, ClientSet &clients, std::uint16_t listen)
{
    const auto counted = [&] { return bridge.property("lineEdit_clients", "text").toInt(); };
    for (const std::int64_t end = clockNs() + 3 * Sec;
         counted() != clients.count && clockNs() < end;)
        clients.sendKeepAlives(listen), sleepNs(20 * Ms);
    return counted() == clients.count;
}

inline void startWith(Bridge &bridge, ClientSet &clients, std::uint16_t listen)
{
    bridge.start();
    if (!registerClients(bridge, clients, listen))
        throw std::runtime_error("clients did not register");
}

// Sends keep-alives until a bridge started as a program has logged one from every client.
inline bool waitUntilRunning(const Context &context, ClientSet &clients, const std::string &log)
{
    for (const std::int64_t end = clockNs() + 10 * Sec; clockNs() < end;) {
        clients.sendKeepAlives(context.listen);
        sleepNs(100 * Ms);
        const std::string text = readFile(log);
        int lines = 0;
        for (std::size_t at = 0; (at = text.find("Keep Alive message from", at)) != text.npos; ++at)
            ++lines;
        if (lines >= clients.count)
            return true;
    }
    return false;
}

inline std::array<int, 2> seqPacketPair() // the first end non-blocking
{
    std::array<int, 2> ends {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends.data()) != 0)
        throw std::runtime_error("socketpair");
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    return ends;
}

// bench_baseline send, to the clients' ports, reading the reports we queue from the other
// end of a SOCK_SEQPACKET pair.
struct CSender
{
    CSender(const Context &context, const ClientSet &clients)
        : pair(seqPacketPair())
        , child({context.programs.baseline, "send", count(pair[1]), count(context.ports[Metering]),
                    count(context.ports[Config]), count(context.ports[Custom]),
                    count(clients.first), count(clients.count)},
              {}, "/dev/null", pair[1])
    {
        close(pair[1]);
    }
    ~CSender() { close(pair[0]); }
    bool queue(std::uint32_t sequence) // false when the pair is full
    {
        const auto report = deviceReport(sequence);
        return write(pair[0], report.data(), report.size()) == ssize_t(report.size());
    }
    void finish() // end of input: its timer's tick rate and its CPU from its first report
    {
        shutdown(pair[0], SHUT_WR);
        if (std::sscanf(child.line(10 * Sec).c_str(), "%lf %lf", &ticksPerSecond, &cpuNs) != 2)
            ticksPerSecond = cpuNs = NAN;
    }

    std::array<int, 2> pair;
    Child child;
    double ticksPerSecond = NAN, cpuNs = NAN;
};

struct Throughput
{
    double perSecond = 0, cpuUsPerDatagram = 0; // of the receiving side
    std::uint64_t sent = 0, written = 0, errors = 0;
    bool lossless() const { return written == sent && errors == 0; }
};

// The device writes of either side, in a pipe that one thread of this process reads and
// checks: 00, the client's number, its datagram number and a pattern, in order per client.
// The sender of the load is woken only once half of its window has been written.
class DeviceWrites
{
public:
    DeviceWrites()
    {
        if (pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        reader = std::thread([this] { readAll(); });
    }
    ~DeviceWrites()
    {
        FakeHid::setWriteObserver(nullptr); // the window's writes may go to this pipe
        closeWriteEnd();
        reader.join(); // at the end of the pipe: no writer is left
        close(ends[0]);
    }
    void closeWriteEnd()
    {
        if (ends[1] >= 0)
            close(ends[1]), ends[1] = -1;
    }
    // The window's device writes go to the pipe, one write() each, as the C yardstick's do.
    void observeWindow()
    {
        FakeHid::setRecordWrites(false);
        FakeHid::setWriteObserver([fd = ends[1]](const unsigned char *data, size_t length) {
            static_cast<void>(write(fd, data, length)); // a short one shows as loss
        });
    }

    // `total` datagrams from 8 client addresses, round robin: while fewer than the window are
    // unwritten it sends, else waits until half of them are.
    Throughput load(std::uint16_t listen, int total)
    {
        Throughput result;
        std::unique_lock<std::mutex> lock(mutex);
        written = errors = 0;
        expected.fill(0);
        std::array<int, ThroughputClients> senders {};
        for (int c = 0; c < ThroughputClients; ++c)
            senders[c] = boundSocket(ThroughputSenders + c, 0);
        const std::int64_t started = lastWriteNs = clockNs();
        for (int i = 0; i < total
             && (result.sent - written < ThroughputWindow
                 || waitFor(lock, result.sent - ThroughputWindow / 2));
             ++i, ++result.sent) {
            lock.unlock();
            const std::uint32_t client = i % ThroughputClients, sequence = i / ThroughputClients;
            unsigned char datagram[12] = {0xA0, 0xA0, static_cast<unsigned char>(client)};
            std::memcpy(datagram + 3, &sequence, 4);
            std::memset(datagram + 7, 0x33, 5);
            sendTo(senders[client], datagram, sizeof datagram, listen);
            lock.lock();
        }
        waitFor(lock, result.sent);
        for (const int fd : senders)
            close(fd);
        result.perSecond = double(written) * Sec / double(lastWriteNs - started);
        std::tie(result.written, result.errors) = std::make_pair(written, errors);
        return result;
    }

    int ends[2] = {-1, -1};

private:
    // Until `count` are written; false when none is written for a second.
    bool waitFor(std::unique_lock<std::mutex> &lock, std::uint64_t count)
    {
        wakeAt = count;
        for (std::uint64_t before = ~0ull; written < count && written != before;) {
            before = written;
            changed.wait_for(lock, std::chrono::seconds(1), [&] { return written >= count; });
        }
        wakeAt = ~0ull;
        return written >= count;
    }
    void readAll()
    {
        // Each write of 11 bytes reaches the pipe whole (less than PIPE_BUF), so a read of a
        // multiple of 11 bytes holds whole records.
        unsigned char buffer[11 * 512];
        for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) > 0;) {
            std::lock_guard<std::mutex> lock(mutex);
            for (const unsigned char *record = buffer; record + 11 <= buffer + got; record += 11) {
                std::uint32_t sequence = 0;
                std::memcpy(&sequence, record + 2, 4);
                const bool valid = record[0] == 0 && record[1] < ThroughputClients
                    && std::all_of(
                        record + 6, record + 11, [](unsigned char b) { return b == 0x33; });
                errors += !valid || sequence != expected[record[1]];
                if (valid)
                    expected[record[1]] = sequence + 1;
                ++written;
            }
            lastWriteNs = clockNs();
            if (written >= wakeAt)
                changed.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t written = 0, errors = 0, wakeAt = ~0ull;
    std::int64_t lastWriteNs = 0;
    std::array<std::uint32_t, ThroughputClients> expected {};
    std::thread reader;
};

} // namespace Bench

#endif // CLIENTS_H
