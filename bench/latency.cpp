// Device to client, latency at 1, 16 and 128 clients: one report at a time, queued at a
// random moment, until every client's last datagram of it arrives (the kernel's receive
// stamp). Yardstick: bench_baseline send (C, 1 ms absolute-deadline timer, sendto per client
// and port) in the same run. Targets: p99 <= 1.25 x C's; CPU per report <= 1.4 x C's at 1
// client and <= 1.3 x at 16 and 128. p50, max and the absolute figures are for information.
#include "children.h"
#include "window.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

namespace Bench {

namespace {

    struct LatencyResult
    {
        double p50 = NAN, p99 = NAN, max = NAN;
        int samples = 0;
        std::uint64_t missing = 0, errors = 0, clientDrops = 0;
    };

    // One report at a time, made readable at a random moment (0.2 to 2.2 ms after the last one
    // arrived, so the tick phase is uniform); every client's last arrival of it on its three
    // ports, minus the moment it was made readable, is one sample.
    LatencyResult latency(
        ClientSet &clients, int samples, const std::function<bool(std::uint32_t)> &queue)
    {
        LatencyResult result;
        clients.reset();
        std::mt19937 random(20240611);
        std::uniform_int_distribution<std::int64_t> gap(200000, 2200000);
        std::vector<double> values;
        values.reserve(static_cast<std::size_t>(samples) * clients.count());
        const std::uint64_t perReport = std::uint64_t(PortCount) * clients.count();
        clients.setBatch(static_cast<int>(perReport));
        for (int s = 0; s < samples; ++s) {
            sleepNs(gap(random));
            const std::int64_t readable = realtimeNs();
            if (!queue(static_cast<std::uint32_t>(s)))
                throw std::runtime_error("could not queue a report");
            if (!clients.waitForTotal((s + 1) * perReport, 500 * Ms)) {
                result.missing = (s + 1) * perReport - clients.total();
                break;
            }
            for (int c = 0; c < clients.count(); ++c) {
                const std::int64_t arrival = clients.lastArrival(c, static_cast<std::uint32_t>(s));
                if (arrival < 0)
                    ++result.missing;
                else
                    values.push_back(double(arrival - readable) / Ms);
            }
            ++result.samples;
        }
        clients.setBatch(1);
        result.clientDrops = clients.dropped();
        result.errors = clients.errors();
        std::sort(values.begin(), values.end());
        result.p50 = percentile(values, 0.50);
        result.p99 = percentile(values, 0.99);
        result.max = values.empty() ? NAN : values.back();
        return result;
    }

} // namespace

void latencyPhase(Context &context, Report &report)
{
    auto &[plan, programs, bridge, listen, ports, floorPeakKiB] = context;
    for (const int count : LatencyClients) {
        ClientSet clients(ipv4(LatencyFirstClient), count, ports);
        bridge.setPorts(listen, ports);
        bridge.startWith(clients, listen);
        const std::int64_t cpuBefore = bridge.cpuNs();
        const LatencyResult bridged = latency(clients, plan.latencySamples, [](std::uint32_t s) {
            queueOnDevice(s);
            return true;
        });
        const double bridgeCpuUs
            = double(bridge.cpuNs() - cpuBefore) / 1000 / std::max(1, bridged.samples);
        bridge.stop();

        SeqPacketDevice device;
        Child sender = startSender(programs, device, ports, clients);
        ChildGuard senderGuard(sender);
        sleepNs(200 * Ms); // past its start-up
        const LatencyResult c = latency(
            clients, plan.latencySamples, [&](std::uint32_t s) { return device.queue(s); });
        device.endOfInput();
        waitForExit(sender, 5 * Sec);
        const double cCpuUs = double(sender.cpuNsAtExit) / 1000 / std::max(1, c.samples);
        stop(sender);

        context.progress(std::to_string(count) + " clients: p50 " + number(bridged.p50, 3)
            + " ms, p99 " + number(bridged.p99, 3) + " ms (C " + number(c.p50, 3) + " / "
            + number(c.p99, 3) + "); CPU per report " + number(bridgeCpuUs, 1) + " us (C "
            + number(cCpuUs, 1) + ")");
        const std::string n = std::to_string(count);
        const bool complete = bridged.missing == 0 && bridged.errors == 0;
        const std::string figure = "latency " + n + " client" + (count > 1 ? "s" : "");
        report.rows.push_back({figure + ", p50 ms (for information)", number(bridged.p50, 3),
            "C " + number(c.p50, 3), ratioText(bridged.p50, c.p50), "-", "-"});
        report.ratioTarget("latency_" + n + "_p99", figure + ", p99 ms", bridged.p99, "C", c.p99,
            1.25, true, complete);
        report.rows.back().bridge += " (max " + number(bridged.max, 2) + ")";
        report.rows.back().met += (complete ? "" : " (lost)") + dropNote(bridged.clientDrops);
        report.ratioTarget("latency_" + n + "_cpu", "  same: CPU per report, us", bridgeCpuUs, "C",
            cCpuUs, count == 1 ? 1.4 : 1.3, true);
        report.value("latency_" + n + "_cpu_us_per_report", bridgeCpuUs, 1);
        report.value("latency_" + n + "_c_cpu_us_per_report", cCpuUs, 1);
        report.values(3,
            {{"latency_" + n + "_p50_ms", bridged.p50}, {"latency_" + n + "_p99_ms", bridged.p99},
                {"latency_" + n + "_max_ms", bridged.max}, {"latency_" + n + "_c_p50_ms", c.p50},
                {"latency_" + n + "_c_p99_ms", c.p99}});
        report.values(0,
            {{"latency_" + n + "_samples", double(bridged.samples) * count},
                {"latency_" + n + "_missing", double(bridged.missing)},
                {"latency_" + n + "_client_socket_drops", double(bridged.clientDrops)}});
    }
}

} // namespace Bench
