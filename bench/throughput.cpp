// Client to device, throughput: 100,000 marked datagrams from 8 client addresses to the
// LISTEN port, never more than 64 unwritten, in rounds that alternate the bridge and the C
// yardstick (bench_baseline rx: recvfrom and write) so that a change of load hits both. Each
// side writes its reports to a pipe that a thread of the benchmark reads back and checks.
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
            {context.programs.baseline, "rx", count(writes.ends[1]), count(listen), count(total)},
            {}, "/dev/null", writes.ends[1]);
        writes.closeWriteEnd();
        Throughput result;
        if (receiver.line(5 * Sec) == "ready")
            result = writes.load(listen, total);
        double cpuNs = NAN; // none when it did not write them all
        std::sscanf(receiver.line(5 * Sec).c_str(), "%lf", &cpuNs);
        result.cpuUsPerDatagram = cpuNs / 1000 / double(result.written);
        return result;
    }

    std::string counts(const Throughput &side)
    {
        return count(side.written) + " / " + count(side.sent) + ", " + count(side.errors);
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
    report.ratio("c2d_writes_per_s",
        "client->device, " + count(context.plan.throughputDatagrams)
            + " from 8 clients, writes/s (median of " + count(rounds) + ")",
        percentile(rates[0], 0.5), "C", percentile(rates[1], 0.5), 1.0, false);
    report.json.emplace_back("c2d_round_ratios", "[" + ratios + "]");
    report.ratio("c2d_cpu_us", "  same: CPU per datagram, us", percentile(cpu[0], 0.5), "C",
        percentile(cpu[1], 0.5), 1.5, true);
    report.check("c2d_lossless", "  same: written / sent, out of order (worst round)",
        counts(worst[0]), "no loss", worst[0].lossless(), "C " + counts(worst[1]));
}

} // namespace Bench
