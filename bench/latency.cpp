// Device to client, latency at 1, 16 and 128 clients: one report at a time, queued at a
// random moment, until every client's last datagram of it arrives (the kernel's receive
// stamp). Yardstick: bench_baseline send (C, 1 ms absolute-deadline timer, sendto per client
// and port) in the same run. Targets: p99 <= 1.25 x C's; CPU per report <= 1.4 x C's at 1
// client and <= 1.3 x at 16 and 128, both sides' CPU counted over the samples alone (the
// bridge's around them, C's from its first report), the poll ticks between reports included.
// p50, max and the absolute figures are for information.
#include "clients.h"

#include <random>

namespace Bench {

namespace {

    struct Latency
    {
        std::vector<double> ms;
        int reports = 0;
        bool complete = true; // every datagram came, ours and in order
        double at(double fraction) const { return percentile(ms, fraction); }
    };

    // One report at a time, made readable 0.2 to 2.2 ms after the last one arrived (so the
    // tick phase is uniform); every client's last arrival of it on its three ports, minus
    // the moment it was made readable, is one sample.
    template<typename Queue> Latency latency(ClientSet &clients, int samples, Queue queue)
    {
        Latency result;
        clients.reset();
        std::mt19937 random(20240611);
        std::uniform_int_distribution<std::int64_t> gap(200000, 2200000);
        const int perReport = PortCount * clients.count;
        for (; result.reports < samples && result.complete; ++result.reports) {
            const auto s = static_cast<std::uint32_t>(result.reports);
            sleepNs(gap(random));
            const std::int64_t readable = clockNs(CLOCK_REALTIME);
            if (!queue(s))
                throw std::runtime_error("could not queue a report");
            result.complete = clients.waitForTotal((s + 1) * perReport, 500 * Ms, perReport);
            for (int c = 0; c < clients.count; ++c) {
                const std::int64_t arrival = clients.lastArrival(c, s);
                result.complete = result.complete && arrival >= 0;
                if (arrival >= 0)
                    result.ms.push_back(double(arrival - readable) / Ms);
            }
        }
        result.complete = result.complete && clients.errors == 0;
        return result;
    }

} // namespace

void latencyPhase(Context &context, Report &report)
{
    const int samples = context.plan.latencySamples;
    for (const int n : {1, 16, 128}) {
        ClientSet clients(LatencyClients, n, context.ports);
        startWith(context.bridge, clients, context.listen);
        const std::int64_t cpuBefore = context.bridge.cpuNs();
        const Latency bridged = latency(clients, samples, queueOnDevice);
        const double cpuUs = double(context.bridge.cpuNs() - cpuBefore) / 1000 / bridged.reports;
        const std::uint64_t drops = clients.dropped();
        context.bridge.stop();
        CSender sender(context, clients);
        sleepNs(200 * Ms); // past its start-up
        const Latency c
            = latency(clients, samples, [&](std::uint32_t s) { return sender.queue(s); });
        sender.finish();

        const std::string key = "latency_" + count(n);
        const std::string figure = "latency " + count(n) + " client" + (n > 1 ? "s" : "");
        report.row(key + "_p50", figure + ", p50 ms", bridged.at(0.5), "C", c.at(0.5));
        report.ratio(key + "_p99", figure + ", p99 ms", bridged.at(0.99), "C", c.at(0.99), 1.25,
            true, bridged.complete);
        report.value(key + "_max", bridged.at(1));
        report.rows.back()[1] += " (max " + number(bridged.at(1), 2) + ")";
        report.rows.back()[5] += (bridged.complete ? "" : " (lost)") + dropNote(drops);
        report.ratio(key + "_cpu_us", "  same: CPU per report, us", cpuUs, "C",
            sender.cpuNs / 1000 / c.reports, n == 1 ? 1.4 : 1.3, true);
    }
}

} // namespace Bench
