// Memory: tavrel-control-bench (the program's main() and window with the simulated device)
// forwards 1,000,000 reports (--quick: 20,000), one per poll tick, to 16 clients. Targets:
// peak RSS <= 40 MiB (an empty Qt application's shown beside it, from the idle phase), RSS
// growth from the first tenth to the end <= 256 KiB, every datagram received in order.
#include "children.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace Bench {

void memoryPhase(Context &context, Report &report)
{
    auto &[plan, programs, bridge, listen, ports, floorPeakKiB] = context;
    const std::uint32_t total = plan.memoryReports;
    const std::uint32_t window = total / 10;
    ConfigHome home(ports, listen, true);
    Launch launch {
        programs.bridgeBench, context.log("memory"), {"TAVREL_BENCH_FEED=1"}, true, false};
    Child child = launchQt(programs, launch, home.path());
    ChildGuard childGuard(child);
    ClientSet clients(ipv4(MemoryFirstClient), MemoryClients, ports);
    if (readReady(child, 10 * Sec) < 0 || !waitUntilRunning(clients, listen, launch.stderrPath)) {
        stop(child);
        throw std::runtime_error("tavrel-control-bench did not start the bridge");
    }
    clients.reset();
    const std::string command = "feed " + std::to_string(total) + "\n";
    if (write(child.stdinFd, command.data(), command.size())
        != static_cast<ssize_t>(command.size()))
        throw std::runtime_error("cannot feed the device");

    long afterFirst = -1, beforeLast = -1;
    std::int64_t stderrBytes = 0;
    const std::int64_t deadline
        = monotonicNs() + (static_cast<std::int64_t>(total) / 500 + 60) * Sec;
    std::int64_t nextProgress = monotonicNs() + 60 * Sec;
    std::uint64_t done = 0, before = 0;
    std::int64_t lastMove = monotonicNs();
    while (done < total && monotonicNs() < deadline && monotonicNs() - lastMove < 15 * Sec) {
        sleepNs(50 * Ms);
        done = clients.minReceived(Custom);
        if (done != before) {
            before = done;
            lastMove = monotonicNs();
        }
        if (afterFirst < 0 && done >= window)
            afterFirst = statusKiB(child.pid, "VmRSS");
        if (beforeLast < 0 && done >= total - window)
            beforeLast = statusKiB(child.pid, "VmRSS");
        clients.keepAliveIfDue(listen);
        struct stat info
        {
        };
        if (stat(launch.stderrPath.c_str(), &info) == 0 && info.st_size > StderrTruncateBytes) {
            stderrBytes += info.st_size;
            truncate(launch.stderrPath.c_str(), 0); // the bridge appends: it goes on at 0
        }
        if (monotonicNs() >= nextProgress) {
            context.progress(std::to_string(done) + " of " + std::to_string(total)
                + " reports, RSS " + std::to_string(statusKiB(child.pid, "VmRSS")) + " KiB");
            nextProgress += 60 * Sec;
        }
    }
    sleepNs(200 * Ms);
    const long last = statusKiB(child.pid, "VmRSS");
    const long peak = statusKiB(child.pid, "VmHWM");
    struct stat info
    {
    };
    if (stat(launch.stderrPath.c_str(), &info) == 0)
        stderrBytes += info.st_size;
    const std::uint64_t expected = std::uint64_t(total) * PortCount * MemoryClients;
    const std::uint64_t received = clients.total();
    const std::uint64_t errors = clients.errors();
    const std::uint64_t drops = clients.dropped();
    stop(child);

    const long growth = last - afterFirst;
    const bool complete = received == expected && errors == 0;
    const bool peakMet = peak >= 0 && peak <= 40 * 1024;
    const bool flatMet = afterFirst >= 0 && growth <= FlatToleranceKiB;
    context.progress(
        "peak " + std::to_string(peak) + " KiB, growth " + std::to_string(growth) + " KiB");
    const std::string n = std::to_string(total);
    report.rows.push_back({"peak RSS after " + n + " reports to 16 clients, MiB",
        number(peak / 1024.0, 1), "Qt floor " + number(floorPeakKiB / 1024.0, 1),
        ratioText(peak, floorPeakKiB), "<= 40 MiB", yesNo(peakMet)});
    report.rows.push_back(
        {"  RSS growth from report " + std::to_string(window) + " to " + n + ", KiB",
            (growth >= 0 ? "+" : "") + std::to_string(growth),
            "last 10%: " + std::to_string(last - beforeLast), "-",
            "<= " + std::to_string(FlatToleranceKiB), yesNo(flatMet)});
    report.rows.push_back({"  same: datagrams received / expected, out of order",
        std::to_string(received) + " / " + std::to_string(expected) + ", " + std::to_string(errors),
        "-", "-", "no loss", yesNo(complete) + dropNote(drops)});
    report.values(0,
        {{"memory_reports", total}, {"memory_peak_kib", double(peak)},
            {"memory_rss_after_first_window_kib", double(afterFirst)},
            {"memory_rss_before_last_window_kib", double(beforeLast)},
            {"memory_rss_end_kib", double(last)}, {"memory_growth_kib", double(growth)},
            {"memory_qtfloor_peak_kib", double(floorPeakKiB)},
            {"memory_datagrams_expected", double(expected)},
            {"memory_datagrams_received", double(received)},
            {"memory_out_of_order", double(errors)}, {"memory_client_socket_drops", double(drops)},
            {"memory_stderr_bytes", double(stderrBytes)}});
    report.target("memory_peak", peakMet);
    report.target("memory_flat", flatMet);
}

} // namespace Bench
