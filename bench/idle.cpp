// Idle CPU. Running: the real tavrel-control with tools/devicesim preloaded and no report
// waiting, so that only the 1 ms poll runs; yardstick: bench_baseline send's poll loop with
// no report, in the same run; target <= 1.1 x C's. Stopped: the real tavrel-control with the
// bridge stopped, beside an empty Qt application; target <= 0.1 % of a core. The empty Qt
// application's peak memory is kept for the memory phase.
#include "clients.h"

#include <QTemporaryDir>

#include <sys/wait.h>

#include <cmath>

namespace Bench {

namespace {

    // The running bridge's idle cost, on the real program when the preloadable simulated
    // device is built, else on tavrel-control-bench.
    double runningIdle(Context &context, const std::string &program)
    {
        const Programs &programs = context.programs;
        const bool onReal = !programs.deviceSim.empty();
        QTemporaryDir dir;
        const std::string home = dir.path().toStdString();
        Child child({onReal ? programs.real : programs.bridgeBench},
            qtEnvironment(context, home, true, programs.deviceSim), -1,
            context.log("idle-running"));
        ClientSet probe(ProbeClient, 1, context.ports);
        bool started = child.readyNs(10 * Sec) >= 0;
        if (started && onReal) {
            int status = -1;
            Child plug({programs.deviceSimControl, "--socket", home + "/devicesim.sock", "--wait",
                "5000", "plug"});
            started = plug.wait(10 * Sec, &status) && WIFEXITED(status) && !WEXITSTATUS(status);
        }
        if (!started || !waitUntilRunning(context, probe, context.log("idle-running")))
            throw std::runtime_error(program + " did not start the bridge");
        sleepNs(Sec / 2);
        return cpuPercent(child.pid, context.plan.idleSeconds);
    }

    // A Qt program left alone in its event loop (no auto-connect): its CPU % and peak KiB.
    std::pair<double, long> quiet(Context &context, const std::string &program, const char *log)
    {
        QTemporaryDir dir;
        Child child({program}, qtEnvironment(context, dir.path().toStdString(), false), -1,
            context.log(log));
        if (child.readyNs(10 * Sec) < 0)
            throw std::runtime_error(program + " did not reach its event loop");
        sleepNs(Sec / 2);
        const double cpu = cpuPercent(child.pid, context.plan.idleSeconds);
        return {cpu, statusKiB(child.pid, "VmHWM")};
    }

} // namespace

void idlePhase(Context &context, Report &report)
{
    const std::string program = context.programs.deviceSim.empty()
        ? "tavrel-control-bench"
        : "tavrel-control + preloaded devicesim";
    const double running = runningIdle(context, program);
    const double stopped = quiet(context, context.programs.real, "idle-stopped").first;
    const auto [floorIdle, floorPeakKiB] = quiet(context, context.programs.floor, "idle-qtfloor");
    context.floorPeakKiB = floorPeakKiB;
    double cIdle = NAN;
    {
        ClientSet clients(SustainedClients, 1, context.ports);
        CSender sender(context, clients);
        sleepNs(Sec / 2);
        cIdle = cpuPercent(sender.child.pid, context.plan.idleSeconds);
    }
    report.ratioTarget("idle_running", "idle CPU, running (1 ms poll), % of a core", running,
        "C poll", cIdle, 1.1, true);
    report.rows.push_back(
        {"idle CPU, stopped, % of a core", number(stopped, 4), "Qt floor " + number(floorIdle, 4),
            ratioText(stopped, floorIdle), "<= 0.1 %", yesNo(stopped <= 0.1)});
    report.text("idle_running_program", program);
    report.values(3, {{"idle_running_cpu_pct", running}, {"idle_running_c_cpu_pct", cIdle}});
    report.values(
        4, {{"idle_stopped_cpu_pct", stopped}, {"idle_stopped_qtfloor_cpu_pct", floorIdle}});
    report.values(0, {{"idle_seconds", context.plan.idleSeconds}});
    report.targets["idle_stopped"] = stopped <= 0.1;
}

} // namespace Bench
