// bench_driver: measures the bridge on loopback with the simulated device and prints a table
// and, as its last line, one JSON object. Run it through bench/run, which builds it and
// sends standard error (where the bridge writes its debug lines) to a file. One file per
// phase (rate, latency, throughput, idle, startup, memory, flood, soak) says what it measures
// and against which yardstick; harness.h, window.h, children.h and report.cpp are shared.
#include "harness.h"
#include "window.h"

#include <QApplication>
#include <QTemporaryDir>

#include <functional>
#include <sstream>
#include <thread>

using namespace Bench;

namespace {

struct Phase
{
    const char *key, *name;
    void (*run)(Context &, Report &);
};

const Phase Phases[] = {{"rate", "timers and device-to-client rate", ratePhase},
    {"latency", "device-to-client latency", latencyPhase},
    {"throughput", "client-to-device throughput", throughputPhase}, {"idle", "idle CPU", idlePhase},
    {"startup", "start-up", startupPhase}, {"memory", "memory", memoryPhase},
    {"flood", "flood of the LISTEN port", floodPhase}, {"soak", "unplug soak", soakPhase}};

// Runs the phases asked for; a phase that throws is named in the result and the next one
// starts from a stopped bridge.
std::vector<std::string> runPhases(Context context, Report &report)
{
    context.listen = freePort();
    for (std::uint16_t &port : context.ports)
        port = freePort();
    const Ports &ports = context.ports;
    context.progress("mode " + std::string(context.plan.quick ? "quick" : "full")
        + ", ports listen " + std::to_string(context.listen) + ", metering "
        + std::to_string(ports[Metering]) + ", config " + std::to_string(ports[Config])
        + ", custom " + std::to_string(ports[Custom]));
    std::vector<std::string> failures;
    for (const Phase &phase : Phases) {
        if (!context.plan.only.empty() && context.plan.only.count(phase.key) == 0)
            continue;
        context.progress(std::string(phase.name) + " ...");
        try {
            phase.run(context, report);
        } catch (const std::exception &error) {
            context.progress(std::string(phase.name) + " failed: " + error.what());
            failures.push_back(std::string(phase.name) + ": " + error.what());
            context.bridge.stop();
            FakeHid::setWriteObserver(nullptr);
        }
    }
    return failures;
}

std::string loadAverage()
{
    const std::string text = readFile("/proc/loadavg");
    return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

} // namespace

int main(int argc, char *argv[])
{
    Plan plan;
    std::set<std::string> only;
    Programs programs {
        BENCH_BASELINE, BENCH_BRIDGE_BENCH, BENCH_REAL, BENCH_QTFLOOR, BENCH_PROBE, "."};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            plan = quickPlan();
        } else if (arg == "--log-dir" && i + 1 < argc) {
            programs.logDir = argv[++i];
        } else if (arg == "--only" && i + 1 < argc) {
            std::istringstream list(argv[++i]);
            for (std::string phase; std::getline(list, phase, ',');)
                only.insert(phase);
        } else {
            std::cout << "usage: bench_driver [--quick] [--only PHASE,...] [--log-dir DIR]\n"
                         "phases: rate latency throughput idle startup memory flood soak\n";
            return 2;
        }
    }
    plan.only = only;

    // This process's own window: an offscreen display and a private settings store.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
    QApplication app(argc, argv);
    FakeHid::reset();
    FakeHid::setRecordReads(false); // the 1 ms poll would fill the simulation's call log
    FakeHid::plug();
    MainWindow window;
    Bridge bridge(&window);

    Report report;
    const std::int64_t started = monotonicNs();
    const std::string loadBefore = loadAverage();
    std::vector<std::string> failures;
    std::thread measuring([&] {
        failures = runPhases(Context {plan, programs, bridge}, report);
        QMetaObject::invokeMethod(&app, "quit", Qt::QueuedConnection);
    });
    app.exec();
    measuring.join();

    const double minutes = double(monotonicNs() - started) / Sec / 60;
    const std::string loadAfter = loadAverage();
    report.notes.push_back("mode: " + std::string(plan.quick ? "quick" : "full") + ", "
        + number(minutes, 1) + " min; load average before " + loadBefore + ", after " + loadAfter
        + "; " + std::to_string(std::thread::hardware_concurrency()) + " cores");
    report.notes.push_back(
        "debug lines (stderr) of every bridge measured went to files, not a terminal: "
        + programs.logDir);
    report.notes.push_back(
        "latency: from the report being queued in the simulated device to the kernel's receive "
        "stamp of the client's last datagram of it (CONFIG, CUSTOM after METERING), non-metering "
        "reports; baseline: bench_baseline (C, 1 ms absolute-deadline timer)");
    report.notes.push_back(
        "rate, latency, throughput: the window in this process (simulated device linked in); "
        "idle running: "
        + std::string(programs.deviceSim.empty()
                ? "tavrel-control-bench (src/main.cpp + window + simulated device)"
                : "the real tavrel-control with tools/devicesim preloaded")
        + "; memory: tavrel-control-bench (src/main.cpp + window + simulated device); idle stopped "
          "and "
          "start-up: the real tavrel-control; flood and soak: the window in this process");
    for (const std::string &failure : failures)
        report.notes.push_back("FAILED: " + failure);
    report.text("mode", plan.quick ? "quick" : "full");
    report.text("load_before", loadBefore);
    report.text("load_after", loadAfter);
    report.value("minutes", minutes, 2);
    report.text("stderr", "file");
    report.value("failures", double(failures.size()), 0);
    report.print();
    return failures.empty() ? 0 : 1;
}
