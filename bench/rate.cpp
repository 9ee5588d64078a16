// Device to client, sustained rate: one client, a report always waiting in the simulated
// device, so that every poll tick forwards one. Yardstick: an empty repeating 1 ms QTimer of
// the default type in the same event loop; targets: >= 0.99 x its tick rate, nothing lost and
// the order kept. The C sender's rate and its absolute-deadline timer are shown beside it.
#include "clients.h"

#include <QTimer>

#include <functional>

namespace Bench {

namespace {

    struct Rate
    {
        double perSecond;
        std::string loss; // lost / out of order
        bool lossless;
        std::uint64_t clientDrops;
    };

    // Keeps reports waiting (`queue` says when no more fit) for `seconds` after a half-second
    // warm-up and counts what reaches the METERING socket in that time; then `finish` drains
    // the device and says how many were read, and every socket must have had them all.
    Rate sustained(ClientSet &clients, double seconds,
        const std::function<bool(std::uint32_t)> &queue,
        const std::function<std::uint64_t(std::uint64_t)> &finish)
    {
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
        }
        const double rate = double(clients.minReceived(Metering) - c0) * Sec / double(now - t0);
        const std::uint64_t expected = finish(next) * PortCount;
        clients.waitForTotal(expected, 2 * Sec);
        sleepNs(50 * Ms); // anything beyond the expected would be a duplicate
        clients.poll();
        const std::uint64_t lost = expected - std::min(expected, clients.total);
        return {rate, count(lost) + " / " + count(clients.errors),
            clients.total == expected && clients.errors == 0, clients.dropped()};
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
    const double seconds = context.plan.sustainedSeconds;
    const double qtimer = emptyQTimerRate(context.bridge, context.plan.timerSeconds);
    ClientSet clients(SustainedClients, 1, context.ports);
    startWith(context.bridge, clients, context.listen); // 20 s of registration: no keep-alive due
    const auto keepWaiting
        = [](std::uint32_t s) { return FakeHid::pendingInput() < 8 && queueOnDevice(s); };
    const Rate bridged = sustained(clients, seconds, keepWaiting, [](std::uint64_t queued) {
        for (const std::int64_t end = clockNs() + 2 * Sec;
             FakeHid::pendingInput() > 0 && clockNs() < end;)
            sleepNs(Ms);
        return queued - FakeHid::pendingInput();
    });
    context.bridge.stop();
    CSender sender(context, clients);
    const Rate c = sustained(
        clients, seconds, [&](std::uint32_t s) { return sender.queue(s); },
        [&](std::uint64_t queued) { return sender.finish(), queued; });

    report.row("timer_hz", "1 ms timer, ticks/s: empty QTimer, C absolute deadline", qtimer, "C",
        sender.ticksPerSecond);
    report.ratio("d2c_rate", "device->client rate, 1 client, reports/s", bridged.perSecond,
        "QTimer", qtimer, 0.99, false);
    report.check("d2c_lossless", "  same: lost / out of order", bridged.loss, "0 / 0",
        bridged.lossless, "C " + c.loss);
    report.rows.back()[5] += dropNote(bridged.clientDrops);
    report.row(
        "d2c_rate_c", "  same, beside the C sender's rate", bridged.perSecond, "C", c.perSecond);
}

} // namespace Bench
