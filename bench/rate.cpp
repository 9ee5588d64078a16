// Device to client, sustained rate: one client, a report always waiting in the simulated
// device, so that every poll tick forwards one. Yardstick: an empty repeating 1 ms QTimer of
// the default type in the same event loop; target: >= 0.99 x its tick rate, nothing lost and
// the order kept. The C sender's rate and its absolute-deadline timer are shown beside it.
#include "clients.h"

#include <QTimer>

namespace Bench {

namespace {

    struct Rate
    {
        double perSecond = NAN;
        std::uint64_t expected = 0, received = 0, errors = 0, clientDrops = 0;
        bool lossless() const { return received == expected && errors == 0; }
        std::string loss() const
        {
            return std::to_string(expected - std::min(expected, received)) + " / "
                + std::to_string(errors);
        }
    };

    // Keeps reports waiting (`queue` says when no more fit) for `seconds` after a half-second
    // warm-up and counts what reaches the METERING socket in that time; then lets `finish`
    // drain the device and say how many were read, and checks that all reached every socket.
    Rate sustained(ClientSet &clients, double seconds, std::uint16_t listen,
        const std::function<bool(std::uint32_t)> &queue,
        const std::function<std::uint64_t(std::uint64_t)> &finish)
    {
        Rate result;
        clients.reset();
        std::uint32_t next = 0;
        const std::int64_t warm = clockNs() + Sec / 2, end = warm + std::int64_t(seconds * Sec);
        std::int64_t t0 = 0, now = 0;
        std::uint64_t c0 = 0;
        for (; (now = clockNs()) < end; sleepNs(Ms / 2)) {
            while (queue(next))
                ++next;
            clients.poll();
            if (!t0 && now >= warm)
                std::tie(t0, c0) = std::make_pair(now, clients.minReceived(Metering));
            if (listen)
                clients.keepAliveIfDue(listen);
        }
        result.perSecond = double(clients.minReceived(Metering) - c0) * Sec / double(now - t0);
        result.expected = finish(next) * PortCount;
        clients.waitForTotal(result.expected, 2 * Sec);
        sleepNs(50 * Ms); // anything beyond the expected would be a duplicate
        clients.poll();
        result.received = clients.total;
        result.errors = clients.errors;
        result.clientDrops = clients.dropped();
        return result;
    }

    double emptyQTimerRate(Bridge &bridge, double seconds)
    {
        std::atomic<std::uint64_t> ticks {0};
        QTimer *timer = nullptr;
        bridge.onGui([&] {
            timer = new QTimer; // the default type, as the bridge's poll
            QObject::connect(timer, &QTimer::timeout, [&ticks] { ++ticks; });
            timer->start(1);
        });
        sleepNs(Sec / 2);
        const std::uint64_t c0 = ticks;
        const std::int64_t t0 = clockNs();
        sleepNs(std::int64_t(seconds * Sec));
        const double rate = double(ticks - c0) * Sec / double(clockNs() - t0);
        bridge.onGui([&] { delete timer; });
        return rate;
    }

} // namespace

void ratePhase(Context &context, Report &report)
{
    auto &[plan, programs, bridge, listen, ports, floorPeakKiB] = context;
    const double qtimer = emptyQTimerRate(bridge, plan.timerSeconds);
    ClientSet clients(SustainedClients, 1, ports);
    startWith(bridge, clients, listen);
    const auto queue
        = [](std::uint32_t s) { return FakeHid::pendingInput() < 8 && (queueOnDevice(s), true); };
    const Rate bridged = sustained(clients, plan.sustainedSeconds, listen, queue, [](auto n) {
        for (const std::int64_t end = clockNs() + 2 * Sec;
             FakeHid::pendingInput() > 0 && clockNs() < end;)
            sleepNs(Ms);
        return n - FakeHid::pendingInput();
    });
    bridge.stop();
    CSender sender(context, clients);
    const Rate c = sustained(
        clients, plan.sustainedSeconds, 0, [&](std::uint32_t s) { return sender.queue(s); },
        [&](std::uint64_t n) { return sender.finish(), n; });
    const double cTicks = sender.tickRate(), ratio = bridged.perSecond / qtimer;
    report.rows.push_back({"1 ms timer, ticks/s", "QTimer " + number(qtimer, 1),
        "C abs. deadline " + number(cTicks, 1), ratioText(qtimer, cTicks), "(for information)",
        "-"});
    report.rows.push_back({"device->client rate, 1 client, reports/s", number(bridged.perSecond, 1),
        "empty QTimer " + number(qtimer, 1), number(ratio, 3), ">= 0.99 x QTimer",
        yesNo(ratio >= 0.99)});
    report.rows.push_back({"  same: lost / out of order", bridged.loss(), "C " + c.loss(), "-",
        "0 / 0", yesNo(bridged.lossless()) + dropNote(bridged.clientDrops)});
    report.rows.push_back({"  C sender rate, reports/s (for information)", "-",
        "C " + number(c.perSecond, 1), ratioText(bridged.perSecond, c.perSecond), "-", "-"});
    report.values(1, "", {{"qtimer_empty_hz", qtimer}, {"c_timer_hz", cTicks}});
    report.values(1, "d2c_rate_", {{"hz", bridged.perSecond}});
    report.values(4, "d2c_rate_", {{"ratio_to_qtimer", ratio}});
    report.values(1, "d2c_rate_", {{"c_hz", c.perSecond}});
    report.values(0, "d2c_",
        {{"reports_read", bridged.expected / PortCount}, {"datagrams_expected", bridged.expected},
            {"datagrams_received", bridged.received}, {"out_of_order", bridged.errors},
            {"client_socket_drops", bridged.clientDrops}});
    report.targets["d2c_rate"] = ratio >= 0.99 && bridged.lossless();
}

} // namespace Bench
