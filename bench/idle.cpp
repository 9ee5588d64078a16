// Idle CPU. Running: the real tavrel-control with tools/devicesim preloaded and no report
// waiting, so that only the 1 ms poll runs; yardstick: bench_baseline send's poll loop with
// no report, in the same run; target <= 1.1 x C's. Stopped: the real tavrel-control with the
// bridge stopped, beside an empty Qt application; target <= 0.1 % of a core. The empty Qt
// application's peak memory is kept for the memory phase.
#include "children.h"

#include <sys/wait.h>

#include <cmath>
#include <stdexcept>

namespace Bench {

namespace {

    bool plugSimulatedDevice(const Programs &programs, const std::string &socketPath)
    {
        SpawnOptions options;
        options.argv
            = {programs.deviceSimControl, "--socket", socketPath, "--wait", "5000", "plug"};
        Child control = spawn(options);
        ChildGuard controlGuard(control);
        int status = -1;
        if (!waitForExit(control, 10 * Sec, &status)) {
            stop(control);
            return false;
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    struct Quiet
    {
        double cpuPercent = NAN; // NAN: it never reached its event loop
        long peakKiB = -1;
    };

    // A Qt program left alone in its event loop (the bridge stopped, no auto-connect).
    Quiet quietProgram(Context &context, const std::string &program, const std::string &logName)
    {
        const Programs &programs = context.programs;
        const Plan &plan = context.plan;
        ConfigHome home(context.ports, context.listen, false);
        Launch launch {program, context.log(logName), {}, false, false};
        Child child = launchQt(programs, launch, home.path());
        ChildGuard guard(child);
        Quiet result;
        if (readReady(child, 10 * Sec) >= 0) {
            sleepNs(Sec / 2);
            result.cpuPercent = cpuPercent(child.pid, plan.idleSeconds);
            result.peakKiB = statusKiB(child.pid, "VmHWM");
        }
        return result;
    }

} // namespace

void idlePhase(Context &context, Report &report)
{
    auto &[plan, programs, bridge, listen, ports, floorPeakKiB] = context;
    const double seconds = plan.idleSeconds;
    double running = NAN, stopped = NAN, cIdle = NAN, floorIdle = NAN;
    // The real program with the preloaded simulated device when that is built.
    const bool onReal = !programs.deviceSim.empty();
    const std::string runningProgram
        = onReal ? "tavrel-control + preloaded devicesim" : "tavrel-control-bench";
    {
        ConfigHome home(ports, listen, true);
        const std::string socketPath = home.path() + "/devicesim.sock";
        Launch launch {onReal ? programs.real : programs.bridgeBench, context.log("idle-running"),
            {}, false, false};
        if (onReal) {
            launch.preload = programs.deviceSim;
            launch.environment = {"TAVREL_DEVICESIM_SOCKET=" + socketPath};
        }
        Child child = launchQt(programs, launch, home.path());
        ChildGuard childGuard(child);
        ClientSet probe(ipv4(ProbeClient), 1, ports);
        bool started = readReady(child, 10 * Sec) >= 0;
        if (started && onReal)
            started = plugSimulatedDevice(programs, socketPath);
        if (!started || !waitUntilRunning(probe, listen, launch.stderrPath)) {
            stop(child);
            throw std::runtime_error(runningProgram + " did not start the bridge");
        }
        sleepNs(Sec / 2);
        running = cpuPercent(child.pid, seconds);
        stop(child);
    }
    const Quiet real = quietProgram(context, programs.real, "idle-stopped");
    if (!std::isfinite(real.cpuPercent))
        throw std::runtime_error("tavrel-control did not reach its event loop");
    stopped = real.cpuPercent;
    const Quiet floor = quietProgram(context, programs.floor, "idle-qtfloor");
    floorIdle = floor.cpuPercent;
    context.floorPeakKiB = floor.peakKiB;
    {
        ClientSet clients(ipv4(SustainedClients), 1, ports);
        SeqPacketDevice device;
        Child sender = startSender(programs, device, ports, clients);
        ChildGuard senderGuard(sender);
        sleepNs(Sec / 2);
        cIdle = cpuPercent(sender.pid, seconds);
        device.endOfInput();
        waitForExit(sender, 5 * Sec);
        stop(sender);
    }
    context.progress("running " + number(running, 3) + " %, stopped " + number(stopped, 4) + " %");
    const bool stoppedMet = stopped <= 0.1;
    report.ratioTarget("idle_running", "idle CPU, running (1 ms poll), % of a core", running,
        "C poll", cIdle, 1.1, true);
    report.rows.push_back(
        {"idle CPU, stopped, % of a core", number(stopped, 4), "Qt floor " + number(floorIdle, 4),
            ratioText(stopped, floorIdle), "<= 0.1 %", yesNo(stoppedMet)});
    report.text("idle_running_program", runningProgram);
    report.value("idle_running_cpu_pct", running, 3);
    report.value("idle_running_c_cpu_pct", cIdle, 3);
    report.value("idle_stopped_cpu_pct", stopped, 4);
    report.value("idle_stopped_qtfloor_cpu_pct", floorIdle, 4);
    report.value("idle_seconds", seconds, 0);
    report.target("idle_stopped", stoppedMet);
}

} // namespace Bench
