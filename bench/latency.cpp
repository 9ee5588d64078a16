// Device to client, latency at 1, 16 and 128 clients: one report at a time, queued at a
// random moment, until every client's last datagram of it arrives (the kernel's receive
// stamp). Yardstick: bench_baseline send (C, 1 ms absolute-deadline timer, sendto per client
// and port) in the same run. Targets: p99 <= 1.25 x C's; CPU per report <= 1.4 x C's at 1
// client and <= 1.3 x at 16 and 128. p50, max and the absolute figures are for information.
#include "clients.h"

#include <random>

namespace Bench {

namespace {

    struct Latency
    {
        double p50 = NAN, p99 = NAN, max = NAN, cpuUs = NAN;
        int samples = 0;
        bool complete = true; // every datagram came, ours and in order
    };

    // One report at a time, made readable 0.2 to 2.2 ms after the last one arrived (so the
    // tick phase is uniform); every client's last arrival of it on its three ports, minus
    // the moment it was made readable, is one sample.
    Latency latency(
        ClientSet &clients, int samples, const std::function<bool(std::uint32_t)> &queue)
    {
        Latency result;
        clients.reset();
        std::mt19937 random(20240611);
        std::uniform_int_distribution<std::int64_t> gap(200000, 2200000);
        std::vector<double> values;
        const int perReport = PortCount * clients.count;
        for (; result.samples < samples && result.complete; ++result.samples) {
            const auto s = static_cast<std::uint32_t>(result.samples);
            sleepNs(gap(random));
            const std::int64_t readable = clockNs(CLOCK_REALTIME);
            if (!queue(s))
                throw std::runtime_error("could not queue a report");
            result.complete = clients.waitForTotal((s + 1) * perReport, 500 * Ms, perReport);
            for (int c = 0; c < clients.count; ++c) {
                const std::int64_t arrival = clients.lastArrival(c, s);
                result.complete = result.complete && arrival >= 0;
                if (arrival >= 0)
                    values.push_back(double(arrival - readable) / Ms);
            }
        }
        result.complete = result.complete && clients.errors == 0;
        result.p50 = percentile(values, 0.50);
        result.p99 = percentile(values, 0.99);
        result.max = percentile(values, 1.0);
        return result;
    }

} // namespace

void latencyPhase(Context &context, Report &report)
{
    for (const int n : {1, 16, 128}) {
        Bridge &bridge = context.bridge;
        ClientSet clients(LatencyClients, n, context.ports);
        startWith(bridge, clients, context.listen);
        const std::int64_t cpuBefore = bridge.cpuNs();
        Latency bridged = latency(clients, context.plan.latencySamples, queueOnDevice);
        bridged.cpuUs = double(bridge.cpuNs() - cpuBefore) / 1000 / bridged.samples;
        const std::uint64_t drops = clients.dropped();
        bridge.stop();
        CSender sender(context, clients);
        sleepNs(200 * Ms); // past its start-up
        Latency c = latency(
            clients, context.plan.latencySamples, [&](std::uint32_t s) { return sender.queue(s); });
        sender.finish();
        c.cpuUs = double(sender.child.cpuNsAtExit) / 1000 / c.samples;

        const std::string key = "latency_" + count(n);
        const std::string figure = "latency " + count(n) + " client" + (n > 1 ? "s" : "");
        report.row(key + "_p50", figure + ", p50 ms", bridged.p50, "C", c.p50);
        report.ratio(key + "_p99", figure + ", p99 ms", bridged.p99, "C", c.p99, 1.25, true,
            bridged.complete);
        report.value(key + "_max", bridged.max);
        report.rows.back()[1] += " (max " + number(bridged.max, 2) + ")";
        report.rows.back()[5] += (bridged.complete ? "" : " (lost)") + dropNote(drops);
        report.ratio(key + "_cpu_us", "  same: CPU per report, us", bridged.cpuUs, "C", c.cpuUs,
            n == 1 ? 1.4 : 1.3, true);
    }
}

} // namespace Bench
