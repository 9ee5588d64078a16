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
        std::uint64_t missing = 0, errors = 0, clientDrops = 0;
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
        for (int s = 0; s < samples; ++s, ++result.samples) {
            sleepNs(gap(random));
            const std::int64_t readable = clockNs(CLOCK_REALTIME);
            if (!queue(static_cast<std::uint32_t>(s)))
                throw std::runtime_error("could not queue a report");
            if (!clients.waitForTotal((s + 1) * perReport, 500 * Ms, perReport)) {
                result.missing = (s + 1) * perReport - clients.total;
                break;
            }
            for (int c = 0; c < clients.count; ++c) {
                const std::int64_t arrival = clients.lastArrival(c, static_cast<std::uint32_t>(s));
                result.missing += arrival < 0;
                if (arrival >= 0)
                    values.push_back(double(arrival - readable) / Ms);
            }
        }
        result.clientDrops = clients.dropped();
        result.errors = clients.errors;
        result.p50 = percentile(values, 0.50);
        result.p99 = percentile(values, 0.99);
        result.max = percentile(values, 1.0);
        return result;
    }

} // namespace

void latencyPhase(Context &context, Report &report)
{
    for (const int count : {1, 16, 128}) {
        Bridge &bridge = context.bridge;
        ClientSet clients(LatencyClients, count, context.ports);
        startWith(bridge, clients, context.listen);
        const std::int64_t cpuBefore = bridge.cpuNs();
        Latency bridged = latency(clients, context.plan.latencySamples,
            [](std::uint32_t s) { return queueOnDevice(s), true; });
        bridged.cpuUs = double(bridge.cpuNs() - cpuBefore) / 1000 / std::max(1, bridged.samples);
        bridge.stop();
        CSender sender(context, clients);
        sleepNs(200 * Ms); // past its start-up
        Latency c = latency(
            clients, context.plan.latencySamples, [&](std::uint32_t s) { return sender.queue(s); });
        sender.finish();
        c.cpuUs = double(sender.child.cpuNsAtExit) / 1000 / std::max(1, c.samples);

        const std::string n = std::to_string(count), key = "latency_" + n;
        const std::string figure = "latency " + n + " client" + (count > 1 ? "s" : "");
        const bool complete = bridged.missing == 0 && bridged.errors == 0;
        report.rows.push_back({figure + ", p50 ms (for information)", number(bridged.p50, 3),
            "C " + number(c.p50, 3), ratioText(bridged.p50, c.p50), "-", "-"});
        report.ratioTarget(
            key + "_p99", figure + ", p99 ms", bridged.p99, "C", c.p99, 1.25, true, complete);
        report.rows.back()[1] += " (max " + number(bridged.max, 2) + ")";
        report.rows.back()[5] += (complete ? "" : " (lost)") + dropNote(bridged.clientDrops);
        report.ratioTarget(key + "_cpu", "  same: CPU per report, us", bridged.cpuUs, "C", c.cpuUs,
            count == 1 ? 1.4 : 1.3, true);
        report.values(
            1, key, {{"_cpu_us_per_report", bridged.cpuUs}, {"_c_cpu_us_per_report", c.cpuUs}});
        report.values(3, key,
            {{"_p50_ms", bridged.p50}, {"_p99_ms", bridged.p99}, {"_max_ms", bridged.max},
                {"_c_p50_ms", c.p50}, {"_c_p99_ms", c.p99}});
        report.values(0, key,
            {{"_samples", double(bridged.samples) * count}, {"_missing", bridged.missing},
                {"_client_socket_drops", bridged.clientDrops}});
    }
}

} // namespace Bench
