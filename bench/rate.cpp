// Device to client, sustained rate: one client, a report always waiting in the simulated
// device, so that every poll tick forwards one. Yardstick: an empty repeating 1 ms QTimer of
// the default type in the same event loop; target: >= 0.99 x its tick rate, nothing lost and
// the order kept. The C sender's rate and its absolute-deadline timer are shown beside it.
#include "children.h"
#include "window.h"

#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>

namespace Bench {

namespace {

    struct RateResult
    {
        double perSecond = NAN;
        std::uint64_t queued = 0, expected = 0, received = 0, errors = 0;
        std::uint64_t clientDrops = 0; // by the benchmark's own client sockets
        bool lossless() const { return received == expected && errors == 0; }
    };

    // Keeps a report always waiting for `seconds` after a half-second warm-up and counts what
    // reaches client 0's METERING socket in that time; then stops feeding, lets `finish` drain
    // the device, and checks that every report read reached every socket, in order.
    RateResult sustainedRate(ClientSet &clients, double seconds, std::uint16_t listen,
        const std::function<bool(std::uint32_t)> &queue, const std::function<bool()> &keepWaiting,
        const std::function<std::uint64_t(std::uint64_t)> &finish)
    {
        RateResult result;
        clients.reset();
        std::uint32_t next = 0;
        const std::int64_t warm = monotonicNs() + Sec / 2;
        const std::int64_t end = warm + static_cast<std::int64_t>(seconds * Sec);
        std::int64_t t0 = 0;
        std::uint64_t c0 = 0;
        for (;;) {
            while (keepWaiting() && queue(next))
                ++next;
            const std::int64_t now = monotonicNs();
            if (!t0 && now >= warm) {
                t0 = now;
                c0 = clients.received(0, Metering);
            }
            if (now >= end) {
                result.perSecond
                    = double(clients.received(0, Metering) - c0) * Sec / double(now - t0);
                break;
            }
            if (listen)
                clients.keepAliveIfDue(listen);
            sleepNs(Ms / 2);
        }
        result.queued = next;
        const std::uint64_t read = finish(next);
        result.expected = read * PortCount * clients.count();
        clients.waitForTotal(result.expected, 2 * Sec);
        sleepNs(50 * Ms); // anything beyond the expected would be a duplicate
        result.received = clients.total();
        result.errors = clients.errors();
        result.clientDrops = clients.dropped();
        return result;
    }

    double emptyQTimerRate(Bridge &bridge, const Plan &plan)
    {
        std::atomic<std::uint64_t> ticks {0};
        QTimer *timer = nullptr;
        bridge.onGui([&] {
            timer = new QTimer; // the default type, as the bridge's poll
            QObject::connect(timer, &QTimer::timeout, [&ticks] { ticks.fetch_add(1); });
            timer->start(1);
        });
        sleepNs(Sec / 2);
        const std::uint64_t c0 = ticks;
        const std::int64_t t0 = monotonicNs();
        sleepNs(static_cast<std::int64_t>(plan.timerSeconds * Sec));
        const std::uint64_t c1 = ticks;
        const std::int64_t t1 = monotonicNs();
        bridge.onGui([&] { delete timer; });
        return double(c1 - c0) * Sec / double(t1 - t0);
    }

} // namespace

void ratePhase(Context &context, Report &report)
{
    auto &[plan, programs, bridge, listen, ports, floorPeakKiB] = context;
    const double qtimer = emptyQTimerRate(bridge, plan);
    context.progress("empty 1 ms QTimer: " + number(qtimer, 1) + " ticks/s");

    RateResult bridged;
    {
        ClientSet clients(ipv4(SustainedClients), 1, ports);
        bridge.setPorts(listen, ports);
        bridge.startWith(clients, listen);
        bridged = sustainedRate(
            clients, plan.sustainedSeconds, listen,
            [](std::uint32_t s) {
                queueOnDevice(s);
                return true;
            },
            [] { return FakeHid::pendingInput() < 8; },
            [](std::uint64_t queued) {
                waitForDeviceDrained(2 * Sec);
                return queued - FakeHid::pendingInput();
            });
        bridge.stop();
    }
    context.progress("bridge: " + number(bridged.perSecond, 1) + " reports/s");

    RateResult c;
    double cTicks = NAN;
    {
        ClientSet clients(ipv4(SustainedClients), 1, ports);
        SeqPacketDevice device;
        Child sender = startSender(programs, device, ports, clients);
        ChildGuard senderGuard(sender);
        c = sustainedRate(
            clients, plan.sustainedSeconds, 0, [&](std::uint32_t s) { return device.queue(s); },
            [] { return true; },
            [&](std::uint64_t queued) {
                device.endOfInput();
                waitForExit(sender, 10 * Sec);
                return queued;
            });
        cTicks = senderTickRate(sender);
        stop(sender);
    }
    context.progress(
        "C: " + number(c.perSecond, 1) + " reports/s, timer " + number(cTicks, 1) + " ticks/s");

    report.rows.push_back({"1 ms timer, ticks/s", "QTimer " + number(qtimer, 1),
        "C abs. deadline " + number(cTicks, 1), ratioText(qtimer, cTicks), "(for information)",
        "-"});
    const double ratio = bridged.perSecond / qtimer;
    const bool met = ratio >= 0.99 && bridged.lossless();
    report.rows.push_back({"device->client rate, 1 client, reports/s", number(bridged.perSecond, 1),
        "empty QTimer " + number(qtimer, 1), number(ratio, 3), ">= 0.99 x QTimer",
        yesNo(ratio >= 0.99)});
    report.rows.push_back({"  same: lost / out of order",
        std::to_string(bridged.expected - std::min(bridged.expected, bridged.received)) + " / "
            + std::to_string(bridged.errors),
        "C " + std::to_string(c.expected - std::min(c.expected, c.received)) + " / "
            + std::to_string(c.errors),
        "-", "0 / 0", yesNo(bridged.lossless()) + dropNote(bridged.clientDrops)});
    report.rows.push_back({"  C sender rate, reports/s (for information)", "-",
        "C " + number(c.perSecond, 1), ratioText(bridged.perSecond, c.perSecond), "-", "-"});
    report.values(1,
        {{"qtimer_empty_hz", qtimer}, {"c_timer_hz", cTicks}, {"d2c_rate_hz", bridged.perSecond}});
    report.value("d2c_rate_ratio_to_qtimer", ratio, 4);
    report.value("d2c_rate_c_hz", c.perSecond, 1);
    report.values(0,
        {{"d2c_reports_read", double(bridged.expected / PortCount)},
            {"d2c_datagrams_expected", double(bridged.expected)},
            {"d2c_datagrams_received", double(bridged.received)},
            {"d2c_out_of_order", double(bridged.errors)},
            {"d2c_client_socket_drops", double(bridged.clientDrops)}});
    report.target("d2c_rate", met);
}

} // namespace Bench
