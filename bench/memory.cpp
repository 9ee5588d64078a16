// Memory: tavrel-control-bench (the program's main() and window with the simulated device)
// forwards 1,000,000 reports (--quick: 20,000), one per poll tick, to 16 clients. Targets:
// peak RSS <= 40 MiB (an empty Qt application's shown beside it, from the idle phase), RSS
// growth from the first tenth to the end <= 256 KiB, every datagram received in order.
#include "clients.h"

namespace Bench {

void memoryPhase(Context &context, Report &report)
{
    const std::uint32_t total = context.plan.memoryReports, tenth = total / 10;
    const std::string log = context.log("memory");
    QTemporaryDir dir;
    int feed[2] = {-1, -1}; // the program reads the count of reports to feed from feed[0]
    if (pipe2(feed, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    std::vector<std::string> environment = qtEnvironment(context, dir.path().toStdString(), true);
    environment.push_back("TAVREL_BENCH_FEED_FD=" + count(feed[0]));
    Child child({context.programs.bridgeBench}, environment, log, feed[0]);
    close(feed[0]);
    ClientSet clients(MemoryClients, 16, context.ports);
    const bool running = child.readyNs(10 * Sec) >= 0 && waitUntilRunning(context, clients, log);
    clients.reset();
    const std::string command = count(total) + "\n";
    const bool fed = running && write(feed[1], command.data(), command.size()) > 0;
    close(feed[1]);
    if (!fed)
        throw std::runtime_error("tavrel-control-bench did not start the bridge");

    long afterFirst = -1, beforeLast = -1;
    std::int64_t stderrBytes = 0, lastMove = clockNs(), nextProgress = lastMove + 60 * Sec,
                 nextKeepAlive = lastMove + 5 * Sec;
    const std::int64_t deadline = lastMove + (std::int64_t(total) / 500 + 60) * Sec;
    for (std::uint64_t done = 0, before = 0;
         done < total && clockNs() < deadline && clockNs() - lastMove < 15 * Sec; before = done) {
        sleepNs(5 * Ms);
        clients.poll();
        done = clients.minReceived(Custom);
        lastMove = done != before ? clockNs() : lastMove;
        if (afterFirst < 0 && done >= tenth)
            afterFirst = statusKiB(child.pid(), "VmRSS");
        if (beforeLast < 0 && done >= total - tenth)
            beforeLast = statusKiB(child.pid(), "VmRSS");
        if (clockNs() >= nextKeepAlive && (nextKeepAlive += 5 * Sec)) // none silent for 20 s
            clients.sendKeepAlives(context.listen);
        const std::int64_t size = std::filesystem::file_size(log);
        if (size > (256LL << 20) && truncate(log.c_str(), 0) == 0)
            stderrBytes += size; // the bridge appends: it goes on at 0
        if (clockNs() >= nextProgress && (nextProgress += 60 * Sec))
            context.progress(count(done) + " of " + count(total) + " reports");
    }
    sleepNs(200 * Ms);
    clients.poll();
    const long last = statusKiB(child.pid(), "VmRSS"), peak = statusKiB(child.pid(), "VmHWM");
    const std::uint64_t expected = std::uint64_t(total) * PortCount * 16;
    report.row("memory_peak_mib", "peak RSS after " + count(total) + " reports to 16 clients, MiB",
        peak / 1024.0, "Qt floor", context.floorPeakKiB > 0 ? context.floorPeakKiB / 1024.0 : NAN,
        "<= 40 MiB", peak >= 0 && peak <= 40 * 1024);
    report.check("memory_growth_kib",
        "  RSS growth from report " + count(tenth) + " to " + count(total) + ", KiB",
        change(last - afterFirst), "<= 256", afterFirst >= 0 && last - afterFirst <= 256,
        "last 10%: " + change(last - beforeLast));
    report.check("memory_delivery", "  same: datagrams received / expected, out of order",
        count(clients.total) + " / " + count(expected) + ", " + count(clients.errors), "no loss",
        clients.total == expected && clients.errors == 0);
    report.rows.back()[5] += dropNote(clients.dropped());
    report.value("memory_stderr_bytes", double(stderrBytes + std::filesystem::file_size(log)));
}

} // namespace Bench
