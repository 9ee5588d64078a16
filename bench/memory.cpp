// Memory: tavrel-control-bench (the program's main() and window with the simulated device)
// forwards 1,000,000 reports (--quick: 20,000), one per poll tick, to 16 clients. Targets:
// peak RSS <= 40 MiB (an empty Qt application's shown beside it, from the idle phase), RSS
// growth from the first tenth to the end <= 256 KiB, every datagram received in order.
#include "clients.h"

#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace Bench {

void memoryPhase(Context &context, Report &report)
{
    const std::uint32_t total = context.plan.memoryReports, tenth = total / 10;
    const std::uint16_t listen = context.listen;
    QTemporaryDir dir;
    const std::string log = context.log("memory");
    const auto logSize = [&log] {
        struct stat info = {};
        return stat(log.c_str(), &info) == 0 ? std::int64_t(info.st_size) : 0;
    };
    std::vector<std::string> environment = qtEnvironment(context, dir.path().toStdString(), true);
    environment.push_back("TAVREL_BENCH_FEED=1");
    Child child({context.programs.bridgeBench}, environment, -1, log, true);
    ClientSet clients(MemoryClients, 16, context.ports);
    if (child.readyNs(10 * Sec) < 0 || !waitUntilRunning(context, clients, log))
        throw std::runtime_error("tavrel-control-bench did not start the bridge");
    clients.reset();
    const std::string command = "feed " + std::to_string(total) + "\n";
    if (write(child.in, command.data(), command.size()) != ssize_t(command.size()))
        throw std::runtime_error("cannot feed the device");

    long afterFirst = -1, beforeLast = -1;
    std::int64_t stderrBytes = 0, lastMove = clockNs(), nextProgress = lastMove + 60 * Sec;
    const std::int64_t deadline = lastMove + (std::int64_t(total) / 500 + 60) * Sec;
    for (std::uint64_t done = 0, before = 0;
         done < total && clockNs() < deadline && clockNs() - lastMove < 15 * Sec; before = done) {
        sleepNs(5 * Ms);
        clients.poll();
        done = clients.minReceived(Custom);
        lastMove = done != before ? clockNs() : lastMove;
        if (afterFirst < 0 && done >= tenth)
            afterFirst = statusKiB(child.pid, "VmRSS");
        if (beforeLast < 0 && done >= total - tenth)
            beforeLast = statusKiB(child.pid, "VmRSS");
        clients.keepAliveIfDue(listen);
        const std::int64_t size = logSize();
        if (size > (256LL << 20) && truncate(log.c_str(), 0) == 0)
            stderrBytes += size; // the bridge appends: it goes on at 0
        if (clockNs() >= nextProgress) {
            context.progress(std::to_string(done) + " of " + std::to_string(total) + " reports");
            nextProgress += 60 * Sec;
        }
    }
    sleepNs(200 * Ms);
    clients.poll();
    const long last = statusKiB(child.pid, "VmRSS"), peak = statusKiB(child.pid, "VmHWM");
    stderrBytes += logSize();
    const std::uint64_t expected = std::uint64_t(total) * PortCount * 16;
    const std::uint64_t drops = clients.dropped();
    const long growth = last - afterFirst, floor = context.floorPeakKiB;
    const bool complete = clients.total == expected && clients.errors == 0;
    const bool peakMet = peak >= 0 && peak <= 40 * 1024, flatMet = afterFirst >= 0 && growth <= 256;
    const std::string n = std::to_string(total);
    report.rows.push_back({"peak RSS after " + n + " reports to 16 clients, MiB",
        number(peak / 1024.0, 1), "Qt floor " + number(floor / 1024.0, 1), ratioText(peak, floor),
        "<= 40 MiB", yesNo(peakMet)});
    report.rows.push_back(
        {"  RSS growth from report " + std::to_string(tenth) + " to " + n + ", KiB",
            (growth >= 0 ? "+" : "") + std::to_string(growth),
            "last 10%: " + std::to_string(last - beforeLast), "-", "<= 256", yesNo(flatMet)});
    report.rows.push_back({"  same: datagrams received / expected, out of order",
        std::to_string(clients.total) + " / " + std::to_string(expected) + ", "
            + std::to_string(clients.errors),
        "-", "-", "no loss", yesNo(complete) + dropNote(drops)});
    report.values(0, "memory_",
        {{"reports", total}, {"peak_kib", peak}, {"rss_after_first_window_kib", afterFirst},
            {"rss_before_last_window_kib", beforeLast}, {"rss_end_kib", last},
            {"growth_kib", growth}, {"qtfloor_peak_kib", floor}, {"datagrams_expected", expected},
            {"datagrams_received", clients.total}, {"out_of_order", clients.errors},
            {"client_socket_drops", drops}, {"stderr_bytes", stderrBytes}});
    report.targets["memory_peak"] = peakMet;
    report.targets["memory_flat"] = flatMet;
}

} // namespace Bench
