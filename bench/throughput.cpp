// Client to device, throughput: 100,000 marked datagrams from 8 client addresses to the
// LISTEN port, never more than 64 unwritten, in rounds that alternate the bridge and the C
// yardstick (bench_baseline rx: recvfrom and write) so that a change of load hits both. Each
// side writes its reports to a pipe that the sending thread reads back and checks.
// Targets: writes per second >= 1 x C's and CPU per datagram <= 1.5 x C's (medians), no loss.
#include "clients.h"

namespace Bench {

namespace {

    Throughput bridgeRound(Context &context)
    {
        DeviceWrites writes;
        writes.observeWindow();
        context.bridge.start();
        const std::int64_t cpuBefore = context.bridge.cpuNs();
        Throughput result = writes.load(context.listen, context.plan.throughputDatagrams);
        result.cpuUsPerDatagram
            = double(context.bridge.cpuNs() - cpuBefore) / 1000 / result.written;
        context.bridge.reset(); // no more writes to the pipe
        return result;
    }

    Throughput cRound(Context &context)
    {
        DeviceWrites writes;
        const std::uint16_t listen = freePort();
        const int total = context.plan.throughputDatagrams;
        Child receiver(
            {context.programs.baseline, "rx", std::to_string(listen), std::to_string(total), "3"},
            {}, writes.ends[1]);
        writes.closeWriteEnd();
        Throughput result;
        if (receiver.line(5 * Sec) == "ready")
            result = writes.load(listen, total);
        receiver.wait(5 * Sec);
        result.cpuUsPerDatagram = double(receiver.cpuNsAtExit) / 1000 / result.written;
        return result;
    }

    std::string lossText(const Throughput &round)
    {
        return std::to_string(round.written) + " / " + std::to_string(round.sent) + ", "
            + std::to_string(round.errors);
    }

} // namespace

void throughputPhase(Context &context, Report &report)
{
    const int rounds = context.plan.throughputRounds;
    std::vector<double> rates[2], cpu[2];
    std::string ratios;
    Throughput worst[2]; // the bridge's and C's, the first round or a lossy one
    for (int round = 0; round < rounds; ++round) {
        const Throughput sides[2] = {bridgeRound(context), cRound(context)};
        for (int side = 0; side < 2; ++side) {
            rates[side].push_back(sides[side].perSecond);
            cpu[side].push_back(sides[side].cpuUsPerDatagram);
            if (round == 0 || !sides[side].lossless())
                worst[side] = sides[side];
        }
        ratios += (round ? "," : "") + number(sides[0].perSecond / sides[1].perSecond, 3);
    }
    const double rate = percentile(rates[0], 0.5), cRate = percentile(rates[1], 0.5);
    const double us = percentile(cpu[0], 0.5), cUs = percentile(cpu[1], 0.5);
    const bool lossless = worst[0].lossless();
    report.ratioTarget("c2d_throughput",
        "client->device, " + std::to_string(context.plan.throughputDatagrams)
            + " from 8 clients, writes/s (median of " + std::to_string(rounds) + ")",
        rate, "C", cRate, 1.0, false);
    report.ratioTarget("c2d_cpu", "  same: CPU per datagram, us", us, "C", cUs, 1.5, true);
    report.rows.push_back({"  same: written / sent, out of order (worst round)", lossText(worst[0]),
        "C " + lossText(worst[1]), "-", "no loss", yesNo(lossless)});
    report.targets["c2d_lossless"] = lossless;
    report.values(0, "c2d_", {{"writes_per_s", rate}, {"c_writes_per_s", cRate}});
    report.values(4, "c2d_", {{"ratio_to_c", rate / cRate}});
    report.json.emplace_back("c2d_round_ratios", "[" + ratios + "]");
    report.values(3, "c2d_", {{"cpu_us_per_datagram", us}, {"c_cpu_us_per_datagram", cUs}});
    report.values(0, "c2d_",
        {{"datagrams_per_round", context.plan.throughputDatagrams}, {"rounds", rounds},
            {"window", ThroughputWindow}});
}

} // namespace Bench
