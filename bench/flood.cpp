// Flood: 1,000,000 datagrams (--quick: 100,000) from 200 loopback addresses to the LISTEN
// port of the window in this process, as fast as one thread sends them: marked data,
// keep-alives and unmarked junk. No yardstick. Targets: delivered plus the kernel's drops
// equal those sent; each marked data datagram delivered is written to the device once, in
// order; each keep-alive gives its debug line; RSS and descriptors flat after the first tenth.
#include "floodload.h"
#include "window.h"

#include <atomic>

namespace Bench {

namespace {

    std::atomic<std::uint64_t> keepAliveLines {0};
    QtMessageHandler chainedHandler = nullptr;

    // Counts the keep-alive lines on their way to standard error.
    void countKeepAliveLines(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type == QtDebugMsg && text.startsWith(QLatin1String("Keep Alive message from: ")))
            ++keepAliveLines;
        chainedHandler(type, context, text);
    }

    // Until the bridge's socket has nothing queued: the window has read everything sent.
    void waitForEmptyQueue(int fd)
    {
        const std::int64_t deadline = monotonicNs() + 120 * Sec;
        while (socketCounters(fd).queuedBytes > 0) {
            if (monotonicNs() > deadline)
                throw std::runtime_error("the bridge stopped reading its socket");
            sleepNs(5 * Ms);
        }
    }

} // namespace

// The datagram mix at full speed, from this thread while the window reads on its own. A
// first tenth warms up (registry, buffers); memory and descriptors are read after it and
// at the end.
void floodPhase(Context &context, Report &report)
{
    auto &[plan, programs, bridge, listen, ports, floorPeakKiB] = context;
    const std::uint64_t total = context.plan.floodDatagrams, warmUp = total / 10;
    bridge.setPorts(listen, context.ports);
    bridge.start();
    const int fd = bridge.socketDescriptor();
    const SocketCounters atStart = socketCounters(fd);
    if (!atStart.found)
        throw std::runtime_error("the bridge's socket is not in /proc/net/udp6 or udp");
    DeliveryCheck check(fd, FloodSenders);
    const BridgeReset reset(bridge); // before the check goes
    FakeHid::setWriteObserver([&check](const FakeHid::Bytes &bytes) { check.onWrite(bytes); });
    keepAliveLines = 0;
    chainedHandler = qInstallMessageHandler(countKeepAliveLines);
    Flooder flooder(ipv4(FloodFirstSender), FloodSenders, listen);

    const std::int64_t started = monotonicNs();
    flooder.send(warmUp);
    waitForEmptyQueue(fd);
    const Usage warm = ownUsage();
    flooder.send(total - warmUp);
    waitForEmptyQueue(fd);
    const double seconds = double(monotonicNs() - started) / Sec;
    std::uint64_t dropped = 0; // a datagram still on its way shows within moments
    for (const std::int64_t deadline = monotonicNs() + 10 * Sec;
         (dropped = socketCounters(fd).drops - atStart.drops) + check.delivered < flooder.sent
         && monotonicNs() < deadline;)
        sleepNs(10 * Ms);
    bridge.onGui([] {}); // the window is done with everything it read
    const Usage end = ownUsage();

    const std::uint64_t delivered = check.delivered;
    const bool accounted = delivered + dropped == flooder.sent;
    const bool written = check.writes == check.data && check.mismatched == 0
        && check.outOfOrder == 0 && check.unwritten() == 0;
    const bool logged = keepAliveLines == check.keepAlives;
    context.progress(std::to_string(flooder.sent) + " sent in " + number(seconds, 1) + " s, "
        + std::to_string(delivered) + " delivered, " + std::to_string(dropped)
        + " dropped by the kernel; " + std::to_string(check.writes) + " device writes");
    const std::string n = std::to_string(total);
    report.rows.push_back({"flood: " + n + " datagrams from 200 addresses, sent/s",
        number(flooder.sent / seconds, 0), "-", "-", "(for information)", "-"});
    report.rows.push_back({"  same: delivered + dropped by the kernel = sent",
        std::to_string(delivered) + " + " + std::to_string(dropped) + " = "
            + std::to_string(flooder.sent),
        "-", "-", "equal", yesNo(accounted)});
    report.rows.push_back({"  same: marked data delivered / written, wrong, out of order",
        std::to_string(check.data) + " / " + std::to_string(check.writes) + ", "
            + std::to_string(check.mismatched) + ", " + std::to_string(check.outOfOrder),
        "-", "-", "each once, in order", yesNo(written)});
    report.rows.push_back({"  same: keep-alives delivered / their debug lines",
        std::to_string(check.keepAlives) + " / " + std::to_string(keepAliveLines.load()), "-", "-",
        "equal", yesNo(logged)});
    noGrowthRow(report, "  same: RSS and descriptors, after the first tenth to the end", "flood",
        warm, end);
    report.value("flood_datagrams", double(total), 0);
    report.value("flood_seconds", seconds, 2);
    report.values(0,
        {{"flood_sent", double(flooder.sent)}, {"flood_refused", double(flooder.refused)},
            {"flood_delivered", double(delivered)}, {"flood_kernel_drops", double(dropped)},
            {"flood_data_delivered", double(check.data)},
            {"flood_device_writes", double(check.writes)},
            {"flood_writes_wrong", double(check.mismatched)},
            {"flood_out_of_order", double(check.outOfOrder)},
            {"flood_keepalives_delivered", double(check.keepAlives)},
            {"flood_keepalive_lines", double(keepAliveLines.load())}});
    report.target("flood_accounted", accounted);
    report.target("flood_written_once_in_order", written);
    report.target("flood_keepalive_lines", logged);
}

} // namespace Bench
