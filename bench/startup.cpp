// Start-up: from the spawn of the real tavrel-control to its event loop's first run (the
// preloaded probe says when), median of 20 starts (--quick: 5), beside an empty Qt
// application's, started in turn. Target: <= 300 ms.
#include "clients.h"

#include <QTemporaryDir>

namespace Bench {

void startupPhase(Context &context, Report &report)
{
    std::vector<double> real, floor;
    QTemporaryDir dir;
    for (int run = 0; run < context.plan.startupRuns; ++run) {
        for (const bool isReal : {true, false}) {
            const std::string &program = isReal ? context.programs.real : context.programs.floor;
            Child child({program},
                qtEnvironment(context, dir.path().toStdString(), false, "", true), -1,
                context.log(isReal ? "startup" : "startup-qtfloor"));
            const std::int64_t ready = child.readyNs(10 * Sec);
            child.wait(10 * Sec);
            if (ready < 0)
                throw std::runtime_error(program + " never reached its event loop");
            (isReal ? real : floor).push_back(double(ready - child.spawnedNs) / Ms);
        }
    }
    const double median = percentile(real, 0.5), max = percentile(real, 1.0);
    report.row("startup_ms",
        "start-up to event loop, ms (median of " + count(context.plan.startupRuns) + ")", median,
        "Qt floor", percentile(floor, 0.5), "<= 300 ms", median <= 300.0);
    report.value("startup_max_ms", max);
    report.rows.back()[1] += " (max " + number(max, 1) + ")";
}

} // namespace Bench
