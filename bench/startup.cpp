// Start-up: from the spawn of the real tavrel-control to its event loop's first run (the
// preloaded probe says when), median of 20 starts (--quick: 5), beside an empty Qt
// application's, started in turn. Target: <= 300 ms.
#include "clients.h"

namespace Bench {

void startupPhase(Context &context, Report &report)
{
    std::vector<double> ms[2]; // the real program's, the floor's
    QTemporaryDir dir;
    for (int run = 0; run < context.plan.startupRuns; ++run)
        for (const bool floor : {false, true}) {
            const std::string &program = floor ? context.programs.floor : context.programs.real;
            Child child({program}, // the settings written afresh each time
                qtEnvironment(context, dir.path().toStdString(), false, "", true),
                context.log(floor ? "startup-qtfloor" : "startup"));
            const std::int64_t ready = child.readyNs(10 * Sec);
            child.wait(10 * Sec);
            if (ready < 0)
                throw std::runtime_error(program + " never reached its event loop");
            ms[floor].push_back(double(ready - child.spawnedNs) / Ms);
        }
    const double median = percentile(ms[0], 0.5), max = percentile(ms[0], 1.0);
    report.row("startup_ms",
        "start-up to event loop, ms (median of " + count(context.plan.startupRuns) + ")", median,
        "Qt floor", percentile(ms[1], 0.5), "<= 300 ms", median <= 300.0);
    report.value("startup_max_ms", max);
    report.rows.back()[1] += " (max " + number(max, 1) + ")";
}

} // namespace Bench
