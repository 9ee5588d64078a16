// Start-up: from the spawn of the real tavrel-control to its event loop's first run (the
// preloaded probe says when), median of 20 starts (--quick: 5), beside an empty Qt
// application's, started in turn. Target: <= 300 ms.
#include "children.h"

#include <algorithm>
#include <stdexcept>

namespace Bench {

void startupPhase(Context &context, Report &report)
{
    auto &[plan, programs, bridge, listen, ports, floorPeakKiB] = context;
    std::vector<double> real, floor;
    ConfigHome home(context.ports, context.listen, false);
    for (int run = 0; run < plan.startupRuns; ++run) {
        for (const bool isReal : {true, false}) {
            Launch launch {isReal ? programs.real : programs.floor,
                context.log(isReal ? "startup" : "startup-qtfloor"), {}, false, true};
            Child child = launchQt(programs, launch, home.path());
            ChildGuard childGuard(child);
            const std::int64_t ready = readReady(child, 10 * Sec);
            if (!waitForExit(child, 10 * Sec))
                stop(child);
            closePipes(child);
            if (ready < 0)
                throw std::runtime_error(launch.program + " never reached its event loop");
            (isReal ? real : floor).push_back(double(ready - child.spawnedNs) / Ms);
        }
    }
    std::sort(real.begin(), real.end());
    std::sort(floor.begin(), floor.end());
    const double median = percentile(real, 0.5), floorMedian = percentile(floor, 0.5);
    const bool met = median <= 300.0;
    context.progress(
        "median " + number(median, 1) + " ms, Qt floor " + number(floorMedian, 1) + " ms");
    report.rows.push_back(
        {"start-up to event loop, ms (median of " + std::to_string(plan.startupRuns) + ")",
            number(median, 1) + " (max " + number(real.back(), 1) + ")",
            "Qt floor " + number(floorMedian, 1), ratioText(median, floorMedian), "<= 300 ms",
            yesNo(met)});
    report.values(1,
        {{"startup_median_ms", median}, {"startup_max_ms", real.back()},
            {"startup_qtfloor_median_ms", floorMedian}});
    report.value("startup_runs", plan.startupRuns, 0);
    report.target("startup", met);
}

} // namespace Bench
