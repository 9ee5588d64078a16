// Flood: 1,000,000 datagrams (--quick: 100,000) from 200 loopback addresses to the LISTEN
// port of the window in this process, as fast as one thread sends them: marked data,
// keep-alives and unmarked junk. No yardstick. Targets: delivered plus the kernel's drops
// equal those sent; each marked data datagram delivered is written to the device once, in
// order; each keep-alive gives its debug line; RSS and descriptors flat after the first tenth.
#include "clients.h"

#include <QUdpSocket>

#include <dlfcn.h>

#include <atomic>
#include <deque>

namespace Bench {

namespace {

    constexpr int Senders = 200;

    struct DeliveryCheck;
    std::atomic<DeliveryCheck *> watcher {nullptr};
    QtMessageHandler chainedHandler = nullptr;

    // What the bridge's socket hands to the window, seen inside its receive calls, against
    // the device writes and debug lines: each marked data datagram delivered is written
    // exactly once, in delivery order, and the numbered ones (byte 2 D0, then sender and
    // number) in sending order per sender; each keep-alive gives its line. Watches the
    // running bridge from construction until destruction, which stops it first.
    struct DeliveryCheck
    {
        explicit DeliveryCheck(Bridge &bridge)
            : bridge(bridge)
        {
            bridge.onGui([&] {
                fd = int(bridge.find(nullptr)->findChild<QUdpSocket *>()->socketDescriptor());
            });
            dropsBefore = socketMemInfo(fd, SK_MEMINFO_DROPS);
            watcher = this;
            FakeHid::setRecordWrites(false);
            FakeHid::setWriteObserver(
                [this](const unsigned char *data, std::size_t length) { onWrite(data, length); });
            chainedHandler = qInstallMessageHandler(countKeepAliveLines);
        }
        ~DeliveryCheck() { bridge.reset(), watcher = nullptr; }

        void onDelivered(const unsigned char *bytes, std::size_t length)
        {
            ++delivered;
            if (length < 2 || bytes[0] != 0xA0 || bytes[1] != 0xA0)
                return;
            if (length >= 4 && bytes[2] == 'K' && bytes[3] == 'A' && ++keepAlives)
                return;
            std::array<unsigned char, 11> report {}; // 00, then datagram bytes 2 to 11
            std::copy(bytes + 2, bytes + std::min<std::size_t>(length, 12), report.begin() + 1);
            expected.push_back(report);
            ++data;
        }
        static void countKeepAliveLines(
            QtMsgType type, const QMessageLogContext &context, const QString &text)
        {
            DeliveryCheck *check = watcher.load();
            if (check && type == QtDebugMsg && text.startsWith("Keep Alive message from: "))
                ++check->keepAliveLines;
            chainedHandler(type, context, text);
        }
        std::uint64_t dropped() const { return socketMemInfo(fd, SK_MEMINFO_DROPS) - dropsBefore; }
        bool written() const
        {
            return writes == data && mismatched == 0 && outOfOrder == 0 && expected.empty();
        }

        int fd = -1; // the bridge's socket
        std::uint32_t dropsBefore = 0;
        std::atomic<std::uint64_t> delivered {0}, keepAliveLines {0};
        std::uint64_t keepAlives = 0, data = 0, writes = 0, outOfOrder = 0;
        std::uint64_t mismatched = 0; // written with no delivered datagram waiting, or another
        Bridge &bridge;
        std::deque<std::array<unsigned char, 11>> expected;
        std::array<std::uint32_t, Senders> lastNumber {};

        void onWrite(const unsigned char *bytes, std::size_t length)
        {
            ++writes;
            mismatched += expected.empty()
                || !std::equal(
                    bytes, bytes + length, expected.front().begin(), expected.front().end());
            if (!expected.empty())
                expected.pop_front();
            std::uint32_t number = 0, sender = length == 11 ? bytes[2] << 8 | bytes[3] : 0;
            if (length != 11 || bytes[1] != 0xD0 || sender >= Senders)
                return;
            std::memcpy(&number, bytes + 4, 4);
            outOfOrder += number <= lastNumber[sender];
            lastNumber[sender] = std::max(number, lastNumber[sender]);
        }
    };

    void seenDelivered(int fd, const msghdr &message, std::size_t length)
    {
        DeliveryCheck *check = watcher.load();
        const iovec *buffer = message.msg_iovlen > 0 ? message.msg_iov : nullptr;
        if (check && fd == check->fd)
            check->onDelivered(static_cast<const unsigned char *>(buffer ? buffer->iov_base : 0),
                buffer ? std::min(length, buffer->iov_len) : 0);
    }

    // The mix: junk (random bytes, one marker byte only, 0 or 1 byte), marked data (12 bytes
    // numbered per sender, 13 to 1400 bytes of which only 2 to 11 count, 2 to 8 bytes of which
    // the missing report bytes are 0) and keep-alives. The first fifth of the senders never
    // send the marker.
    struct Flooder
    {
        std::vector<int> sockets;
        std::vector<std::uint32_t> numbers = std::vector<std::uint32_t>(Senders, 0);
        std::uint64_t random = 0x9E3779B97F4A7C15ull, sent = 0;

        Flooder()
        {
            for (int s = 0; s < Senders; ++s)
                sockets.push_back(boundSocket(FloodSenders + s, 0));
        }
        ~Flooder() { std::for_each(sockets.begin(), sockets.end(), close); }
        std::uint64_t next()
        {
            random ^= random << 13;
            random ^= random >> 7;
            return random ^= random << 17;
        }
        std::size_t fill(int sender, unsigned char *bytes)
        {
            // Each kind's share (cumulative %), least length and spread, and first bytes.
            static const int below[2][7]
                = {{10, 20, 25, 35, 75, 80, 100}, {50, 80, 100, 100, 100, 100, 100}};
            static const std::size_t least[] = {0, 2, 0, 13, 12, 2, 4},
                                     spread[] = {200, 30, 2, 1388, 1, 7, 20};
            static const char *const head[]
                = {"", "", "\xA0", "", "", "\xA0\xA0\xD1", "\xA0\xA0KA"};
            const int *shares = below[sender < Senders / 5], roll = next() % 100;
            const int kind = std::upper_bound(shares, shares + 7, roll) - shares;
            const std::size_t length = least[kind] + next() % spread[kind];
            for (std::size_t i = 0; i < length; ++i)
                bytes[i] = static_cast<unsigned char>(next());
            std::memcpy(bytes, head[kind], std::min(length, std::strlen(head[kind])));
            if (kind == 0 && bytes[0] == 0xA0) // junk that happens to start like a marker
                bytes[1] = 0x00;
            if (kind == 1) // the first marker byte alone, or the second
                bytes[1] = (bytes[0] = next() & 1 ? 0xA0 : 0xA1) ^ 1;
            if (kind == 3 || kind == 4) {
                const unsigned char numbered[] = {0xA0, 0xA0, 0xD0,
                    static_cast<unsigned char>(sender >> 8), static_cast<unsigned char>(sender)};
                std::memcpy(bytes, numbered, 5);
                std::memcpy(bytes + 5, &++numbers[sender], 4);
            }
            return length;
        }
        // Sends `total`, then waits until the bridge's socket has nothing queued.
        void send(std::uint64_t total, std::uint16_t listen, int bridgeFd)
        {
            unsigned char bytes[1400];
            for (std::uint64_t i = 0; i < total; ++i, ++sent) { // blocking sockets: none refused
                const int sender = next() % sockets.size();
                sendTo(sockets[sender], bytes, fill(sender, bytes), listen);
            }
            for (const std::int64_t end = clockNs() + 120 * Sec;
                 socketMemInfo(bridgeFd, SK_MEMINFO_RMEM_ALLOC) > 0; sleepNs(5 * Ms))
                if (clockNs() > end)
                    throw std::runtime_error("the bridge stopped reading its socket");
        }
    };

} // namespace

// The window takes bursts with recvmmsg() and ends each drain with Qt's recvmsg(); a peek for
// a size leaves the datagram queued.
extern "C" ssize_t recvmsg(int fd, msghdr *message, int flags)
{
    using Real = ssize_t (*)(int, msghdr *, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "recvmsg"));
    const ssize_t length = real(fd, message, flags);
    if (length >= 0 && !(flags & MSG_PEEK))
        seenDelivered(fd, *message, std::size_t(length));
    return length;
}

extern "C" int recvmmsg(int fd, mmsghdr *messages, unsigned count, int flags, timespec *timeout)
{
    using Real = int (*)(int, mmsghdr *, unsigned, int, timespec *);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "recvmmsg"));
    const int received = real(fd, messages, count, flags, timeout);
    for (int i = 0; i < received && !(flags & MSG_PEEK); ++i)
        seenDelivered(fd, messages[i].msg_hdr, messages[i].msg_len);
    return received;
}

// A first tenth warms up (registry, buffers); memory and descriptors are read after it and at
// the end.
void floodPhase(Context &context, Report &report)
{
    const std::uint64_t total = context.plan.floodDatagrams;
    context.bridge.start();
    DeliveryCheck check(context.bridge);
    Flooder flooder;
    const std::int64_t started = clockNs();
    flooder.send(total / 10, context.listen, check.fd);
    const std::array<long, 2> warm = ownUsage();
    flooder.send(total - total / 10, context.listen, check.fd);
    const double seconds = double(clockNs() - started) / Sec;
    for (const std::int64_t end = clockNs() + 10 * Sec; // one still on its way shows soon
         check.dropped() + check.delivered < flooder.sent && clockNs() < end;)
        sleepNs(10 * Ms);
    context.bridge.onGui([] {}); // the window is done with everything it read

    const std::uint64_t delivered = check.delivered, dropped = check.dropped();
    report.row("flood_sent_per_s",
        "flood: " + count(total) + " datagrams from 200 addresses, sent/s", flooder.sent / seconds,
        "", NAN);
    report.check("flood_accounted", "  same: delivered + dropped by the kernel = sent",
        count(delivered) + " + " + count(dropped) + " = " + count(flooder.sent), "equal",
        delivered + dropped == flooder.sent);
    report.check("flood_written_once_in_order",
        "  same: marked data delivered / written, wrong, out of order",
        count(check.data) + " / " + count(check.writes) + ", " + count(check.mismatched) + ", "
            + count(check.outOfOrder),
        "each once, in order", check.written());
    report.check("flood_keepalive_lines", "  same: keep-alives delivered / their debug lines",
        count(check.keepAlives) + " / " + count(check.keepAliveLines), "equal",
        check.keepAliveLines == check.keepAlives);
    report.noGrowth("flood", warm, ownUsage());
}

} // namespace Bench
