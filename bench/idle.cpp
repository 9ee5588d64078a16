// Idle CPU. Running: the real tavrel-control with tools/devicesim preloaded and no report
// waiting, so that only the 1 ms poll runs; yardstick: bench_baseline send's poll loop with
// no report, in the same run; target <= 1.1 x C's. Beside it for information, Qt's own floor
// for a 1 ms poll: an empty Qt application running an empty 1 ms QTimer. Stopped: the real
// tavrel-control with the bridge stopped, beside an empty Qt application; target <= 0.1 % of
// a core. The empty Qt application's peak memory is kept for the memory phase.
#include "clients.h"

namespace Bench {

namespace {

    // A Qt program in its event loop, with auto-connect and the simulated device plugged in
    // (`running`) or alone: its CPU in % of a core, and its peak RSS in KiB.
    std::pair<double, long> idle(
        Context &context, const std::vector<std::string> &argv, const char *name, bool running)
    {
        const Programs &programs = context.programs;
        const std::string log = context.log(std::string("idle-") + name);
        QTemporaryDir dir;
        const std::string home = dir.path().toStdString();
        Child child(
            argv, qtEnvironment(context, home, running, running ? programs.deviceSim : ""), log);
        ClientSet probe(ProbeClient, 1, context.ports);
        bool ready = child.readyNs(10 * Sec) >= 0;
        if (ready && running) {
            Child plug({programs.deviceSimControl, "--socket", home + "/devicesim.sock", "--wait",
                "5000", "plug"});
            ready
                = plug.wait(10 * Sec) && plug.succeeded() && waitUntilRunning(context, probe, log);
        }
        if (!ready)
            throw std::runtime_error(argv[0] + " did not start, or not the bridge");
        sleepNs(Sec / 2);
        const double cpu = cpuPercent(child.pid(), context.plan.idleSeconds);
        return {cpu, statusKiB(child.pid(), "VmHWM")};
    }

} // namespace

void idlePhase(Context &context, Report &report)
{
    const std::string &real = context.programs.real, &floor = context.programs.floor;
    const double running = idle(context, {real}, "running", true).first;
    const double stopped = idle(context, {real}, "stopped", false).first;
    const auto [floorIdle, floorPeakKiB] = idle(context, {floor}, "qtfloor", false);
    const double qtTimer = idle(context, {floor, "timer"}, "qtfloor-timer", false).first;
    context.floorPeakKiB = floorPeakKiB;
    ClientSet clients(SustainedClients, 1, context.ports);
    CSender sender(context, clients);
    sleepNs(Sec / 2);
    const double cIdle = cpuPercent(sender.child.pid(), context.plan.idleSeconds);
    report.ratio("idle_running_cpu_pct", "idle CPU, running (1 ms poll), % of a core", running,
        "C poll", cIdle, 1.1, true);
    report.row("idle_qt_timer_cpu_pct", "  Qt floor for it: empty application, empty 1 ms QTimer",
        qtTimer, "C poll", cIdle);
    report.row("idle_stopped_cpu_pct", "idle CPU, stopped, % of a core", stopped, "Qt floor",
        floorIdle, "<= 0.1 %", stopped <= 0.1);
}

} // namespace Bench
