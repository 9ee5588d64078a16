// Flood: 1,000,000 datagrams (--quick: 100,000) from 200 loopback addresses to the LISTEN
// port of the window in this process, as fast as one thread sends them: marked data,
// keep-alives and unmarked junk. No yardstick. Targets: delivered plus the kernel's drops
// equal those sent; each marked data datagram delivered is written to the device once, in
// order; each keep-alive gives its debug line; RSS and descriptors flat after the first tenth.
#include "clients.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>

namespace Bench {

namespace {

    constexpr int Senders = 200;
    constexpr unsigned char DataTag = 0xD0; // byte 2 of data that carries sender and number

    // What the bridge's socket hands to the window, seen inside its recvmsg() calls, against
    // the device writes: each marked data datagram delivered is written exactly once, in
    // delivery order, and the numbered ones in sending order per sender.
    struct DeliveryCheck
    {
        std::atomic<std::uint64_t> delivered {0};
        std::uint64_t keepAlives = 0, data = 0, writes = 0, outOfOrder = 0;
        std::uint64_t mismatched = 0; // written with no delivered datagram waiting, or another
        std::deque<FakeHid::Bytes> expected;
        std::vector<std::uint32_t> lastNumber = std::vector<std::uint32_t>(Senders, 0);

        void onDelivered(const unsigned char *bytes, std::size_t length)
        {
            ++delivered;
            if (length < 2 || bytes[0] != 0xA0 || bytes[1] != 0xA0)
                return;
            if (length >= 4 && bytes[2] == 'K' && bytes[3] == 'A') {
                ++keepAlives;
                return;
            }
            ++data;
            FakeHid::Bytes report(11, 0); // 00, then datagram bytes 2 to 11
            std::copy(bytes + 2, bytes + std::min<std::size_t>(length, 12), report.begin() + 1);
            expected.push_back(report);
        }

        void onWrite(const FakeHid::Bytes &bytes)
        {
            if (++writes % 256 == 0) { // the simulation's logs stay small
                FakeHid::clearWrites();
                FakeHid::clearCalls();
            }
            mismatched += expected.empty() || expected.front() != bytes;
            if (!expected.empty())
                expected.pop_front();
            if (bytes.size() != 11 || bytes[1] != DataTag)
                return;
            std::uint32_t number = 0;
            std::memcpy(&number, bytes.data() + 4, 4);
            const std::size_t sender = bytes[2] << 8 | bytes[3];
            outOfOrder += sender >= Senders || number <= lastNumber[sender];
            if (sender < Senders && number > lastNumber[sender])
                lastNumber[sender] = number;
        }
    };

    std::atomic<int> watchedFd {-1};
    std::atomic<DeliveryCheck *> watcher {nullptr};
    std::atomic<std::uint64_t> keepAliveLines {0};
    QtMessageHandler chainedHandler = nullptr;

    // Counts the keep-alive lines on their way to standard error.
    void countKeepAliveLines(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type == QtDebugMsg && text.startsWith(QLatin1String("Keep Alive message from: ")))
            ++keepAliveLines;
        chainedHandler(type, context, text);
    }

    // The mix, from sockets on consecutive addresses: junk (random bytes, one marker byte only,
    // 0 or 1 byte), marked data (12 bytes numbered per sender, 13 to 1400 bytes, 2 to 8 bytes)
    // and keep-alives. The first fifth of the senders never send the marker.
    struct Flooder
    {
        std::vector<int> sockets;
        std::vector<std::uint32_t> numbers = std::vector<std::uint32_t>(Senders, 0);
        std::uint64_t random = 0x9E3779B97F4A7C15ull, sent = 0, refused = 0;

        ~Flooder()
        {
            for (const int fd : sockets)
                close(fd);
        }

        std::uint64_t next()
        {
            random ^= random << 13;
            random ^= random >> 7;
            return random ^= random << 17;
        }

        enum Kind { Junk, OneMarker, Tiny, Long, Data, ShortData, KeepAlive };

        Kind pick(int sender)
        {
            const int roll = next() % 100;
            if (sender < Senders / 5)
                return roll < 50 ? Junk : roll < 80 ? OneMarker : Tiny;
            static const int below[] = {10, 20, 25, 35, 75, 80}; // each kind's share, in turn
            return Kind(std::upper_bound(below, below + 6, roll) - below);
        }

        std::size_t fill(int sender, unsigned char *bytes)
        {
            static const std::size_t least[] = {0, 2, 0, 13, 12, 2, 4},
                                     more[] = {200, 30, 2, 1388, 1, 7, 20};
            const Kind kind = pick(sender);
            const std::size_t length = least[kind] + next() % more[kind];
            for (std::size_t i = 0; i < length; ++i)
                bytes[i] = static_cast<unsigned char>(next());
            const std::uint32_t number = kind == Long || kind == Data ? ++numbers[sender] : 0;
            const unsigned char data[] = {0xA0, 0xA0, DataTag,
                static_cast<unsigned char>(sender >> 8), static_cast<unsigned char>(sender)};
            switch (kind) {
            case Junk:
                bytes[1] = length >= 2 && bytes[0] == 0xA0 ? 0x00 : bytes[1];
                break;
            case OneMarker: // the first marker byte alone, or the second
                bytes[0] = next() & 1 ? 0xA0 : 0xA1;
                bytes[1] = bytes[0] ^ 1;
                break;
            case Tiny:
                bytes[0] = 0xA0;
                break;
            case Long: // only bytes 2 to 11 reach the device
            case Data:
                std::memcpy(bytes, data, sizeof data);
                std::memcpy(bytes + sizeof data, &number, 4);
                break;
            case ShortData: // the report bytes it does not reach are 0
                std::memcpy(bytes, "\xA0\xA0\xD1", std::min<std::size_t>(length, 3));
                break;
            case KeepAlive:
                std::memcpy(bytes, "\xA0\xA0KA", 4);
                break;
            }
            return length;
        }

        void send(std::uint64_t count, std::uint16_t listen)
        {
            sockaddr_in bridge {AF_INET, htons(listen), {htonl(INADDR_LOOPBACK)}, {}};
            unsigned char bytes[1400];
            for (std::uint64_t i = 0; i < count; ++i) {
                const int sender = next() % sockets.size();
                const std::size_t length = fill(sender, bytes);
                const bool ok = sendto(sockets[sender], bytes, length, 0,
                                    reinterpret_cast<sockaddr *>(&bridge), sizeof bridge)
                    == ssize_t(length);
                (ok ? sent : refused) += 1; // a refused one is not counted as sent
            }
        }
    };

    // Until the bridge's socket has nothing queued: the window has read everything sent.
    void waitForEmptyQueue(int fd)
    {
        for (const std::int64_t end = clockNs() + 120 * Sec;
             socketMemInfo(fd, SK_MEMINFO_RMEM_ALLOC) > 0; sleepNs(5 * Ms))
            if (clockNs() > end)
                throw std::runtime_error("the bridge stopped reading its socket");
    }

} // namespace

// Qt reads each datagram with recvmsg(); a peek for its size leaves it queued.
extern "C" ssize_t recvmsg(int fd, msghdr *message, int flags)
{
    using Real = ssize_t (*)(int, msghdr *, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "recvmsg"));
    const ssize_t length = real(fd, message, flags);
    DeliveryCheck *check = watcher.load();
    if (length >= 0 && !(flags & MSG_PEEK) && check && fd == watchedFd.load()) {
        const bool buffer = message->msg_iovlen > 0;
        check->onDelivered(
            static_cast<const unsigned char *>(buffer ? message->msg_iov[0].iov_base : nullptr),
            buffer ? std::min(std::size_t(length), message->msg_iov[0].iov_len) : 0);
    }
    return length;
}

// A first tenth warms up (registry, buffers); memory and descriptors are read after it and at
// the end.
void floodPhase(Context &context, Report &report)
{
    auto &[plan, programs, bridge, listen, ports, floorPeakKiB] = context;
    const std::uint64_t total = plan.floodDatagrams;
    bridge.setPorts(listen, ports);
    bridge.start();
    const int fd = bridge.socketDescriptor();
    const std::uint32_t dropsBefore = socketMemInfo(fd, SK_MEMINFO_DROPS);
    DeliveryCheck check;
    struct Stop // the window neither writes nor logs to the check once it goes
    {
        Bridge &bridge;
        ~Stop() { bridge.reset(), watcher = nullptr; }
    } stop {bridge};
    FakeHid::setWriteObserver([&check](const FakeHid::Bytes &bytes) { check.onWrite(bytes); });
    keepAliveLines = 0;
    chainedHandler = qInstallMessageHandler(countKeepAliveLines);
    watchedFd = fd;
    watcher = &check;
    Flooder flooder;
    for (int s = 0; s < Senders; ++s)
        flooder.sockets.push_back(boundSocket(FloodSenders + s, 0));

    const std::int64_t started = clockNs();
    flooder.send(total / 10, listen);
    waitForEmptyQueue(fd);
    const std::array<long, 2> warm = ownUsage();
    flooder.send(total - total / 10, listen);
    waitForEmptyQueue(fd);
    const double seconds = double(clockNs() - started) / Sec;
    std::uint64_t dropped = 0; // a datagram still on its way shows within moments
    for (const std::int64_t end = clockNs() + 10 * Sec;
         (dropped = socketMemInfo(fd, SK_MEMINFO_DROPS) - dropsBefore) + check.delivered
             < flooder.sent
         && clockNs() < end;)
        sleepNs(10 * Ms);
    bridge.onGui([] {}); // the window is done with everything it read
    const std::array<long, 2> end = ownUsage();

    const std::uint64_t delivered = check.delivered, lines = keepAliveLines;
    const bool accounted = delivered + dropped == flooder.sent;
    const bool written = check.writes == check.data && check.mismatched == 0
        && check.outOfOrder == 0 && check.expected.empty();
    const auto text = [](std::initializer_list<std::uint64_t> figures, const char *between) {
        std::string joined;
        for (const std::uint64_t figure : figures)
            joined += (joined.empty() ? "" : between) + std::to_string(figure);
        return joined;
    };
    report.rows.push_back(
        {"flood: " + std::to_string(total) + " datagrams from 200 addresses, sent/s",
            number(flooder.sent / seconds, 0), "-", "-", "(for information)", "-"});
    report.rows.push_back({"  same: delivered + dropped by the kernel = sent",
        text({delivered, dropped}, " + ") + " = " + std::to_string(flooder.sent), "-", "-", "equal",
        yesNo(accounted)});
    report.rows.push_back({"  same: marked data delivered / written, wrong, out of order",
        text({check.data, check.writes}, " / ") + ", "
            + text({check.mismatched, check.outOfOrder}, ", "),
        "-", "-", "each once, in order", yesNo(written)});
    report.rows.push_back({"  same: keep-alives delivered / their debug lines",
        text({check.keepAlives, lines}, " / "), "-", "-", "equal",
        yesNo(lines == check.keepAlives)});
    report.noGrowth("flood", warm, end);
    report.values(0, {{"flood_datagrams", total}});
    report.values(2, {{"flood_seconds", seconds}});
    report.values(0,
        {{"flood_sent", flooder.sent}, {"flood_refused", flooder.refused},
            {"flood_delivered", delivered}, {"flood_kernel_drops", dropped},
            {"flood_data_delivered", check.data}, {"flood_device_writes", check.writes},
            {"flood_writes_wrong", check.mismatched}, {"flood_out_of_order", check.outOfOrder},
            {"flood_keepalives_delivered", check.keepAlives}, {"flood_keepalive_lines", lines}});
    report.targets["flood_accounted"] = accounted;
    report.targets["flood_written_once_in_order"] = written;
    report.targets["flood_keepalive_lines"] = lines == check.keepAlives;
}

} // namespace Bench
