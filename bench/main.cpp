// bench_driver: measures the bridge on loopback with the simulated device and prints a table
// and, as its last line, one JSON object. Run it through bench/run, which builds it and
// sends standard error (where the bridge writes its debug lines) to a file. One file per
// phase says what it measures and against which yardstick; harness.h and clients.h are what
// they share.
#include "clients.h"

#include <QApplication>
#include <QTemporaryDir>

#include <thread>

using namespace Bench;

namespace {

const std::pair<const char *, void (*)(Context &, Report &)> Phases[] = {{"rate", ratePhase},
    {"latency", latencyPhase}, {"throughput", throughputPhase}, {"idle", idlePhase},
    {"startup", startupPhase}, {"memory", memoryPhase}, {"flood", floodPhase}, {"soak", soakPhase}};

// Runs the phases asked for; a phase that throws is named in the result, and every phase
// leaves the window stopped for the next.
std::vector<std::string> runPhases(Context context, Report &report)
{
    context.listen = freePort();
    for (std::uint16_t &port : context.ports)
        port = freePort();
    Bridge &bridge = context.bridge; // the fields keep the ports
    bridge.setText("lineEdit_LISTEN", context.listen);
    bridge.setText("lineEdit_METERING", context.ports[Metering]);
    bridge.setText("lineEdit_CONFIGURATION", context.ports[Config]);
    bridge.setText("lineEdit_CUSTOM", context.ports[Custom]);
    std::vector<std::string> failures;
    for (const auto &[name, run] : Phases) {
        if (!context.plan.only.empty() && context.plan.only.count(name) == 0)
            continue;
        context.progress(std::string(name) + " ...");
        try {
            run(context, report);
        } catch (const std::exception &error) {
            context.progress(std::string(name) + " failed: " + error.what());
            failures.push_back(std::string(name) + ": " + error.what());
        }
        bridge.reset();
    }
    return failures;
}

std::string loadAverage()
{
    std::istringstream text(readFile("/proc/loadavg"));
    std::string one, five, fifteen;
    text >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

} // namespace

// The table, its notes, then the JSON object on one line.
void Bench::Report::print() const
{
    std::array<std::size_t, 6> widths {};
    const std::array<std::string, 6> head {
        "figure", "bridge", "baseline", "ratio", "target", "met"};
    for (const auto &row : rows)
        for (std::size_t i = 0; i < 6; ++i)
            widths[i] = std::max({widths[i], row[i].size(), head[i].size()});
    const auto line = [&](const std::array<std::string, 6> &cells, char pad, const char *between) {
        std::string text;
        for (std::size_t i = 0; i < 6; ++i)
            text += (i ? between : "") + cells[i] + std::string(widths[i] - cells[i].size(), pad);
        std::cout << text.substr(0, text.find_last_not_of(' ') + 1) << "\n";
    };
    std::cout << "\n";
    line(head, ' ', " | ");
    line({}, '-', "-+-");
    std::for_each(rows.begin(), rows.end(), [&](auto &row) { line(row, ' ', " | "); });
    std::cout << "\n";
    for (const std::string &note : notes)
        std::cout << note << "\n";
    std::string object = "{", results;
    std::size_t met = 0;
    for (const auto &member : json)
        object += "\"" + member.first + "\":" + member.second + ",";
    for (const auto &target : targets) {
        results += (results.empty() ? "\"" : ",\"") + target.first + "\":";
        results += target.second ? "true" : "false";
        met += target.second;
    }
    std::cout << "targets met: " << met << " of " << targets.size() << "\n"
              << object << "\"targets\":{" << results << "},\"targets_met\":" << met
              << ",\"targets_total\":" << targets.size() << "}" << std::endl;
}

int main(int argc, char *argv[])
{
    Plan plan = FullPlan;
    std::set<std::string> only;
    Programs programs {BENCH_BASELINE, BENCH_BRIDGE_BENCH, BENCH_REAL, BENCH_QTFLOOR, BENCH_PROBE,
        BENCH_DEVICESIM_PRELOAD, BENCH_DEVICESIM_CONTROL, "."};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            plan = QuickPlan;
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
    const std::int64_t started = clockNs();
    const std::string loadBefore = loadAverage();
    std::vector<std::string> failures;
    std::thread measuring([&] {
        failures = runPhases(Context {plan, programs, bridge}, report);
        QMetaObject::invokeMethod(&app, "quit", Qt::QueuedConnection);
    });
    app.exec();
    measuring.join();

    const double minutes = double(clockNs() - started) / Sec / 60;
    const std::string loadAfter = loadAverage();
    report.notes = {"mode: " + std::string(plan.quick ? "quick" : "full") + ", "
            + number(minutes, 1) + " min; load average before " + loadBefore + ", after "
            + loadAfter + "; " + std::to_string(std::thread::hardware_concurrency()) + " cores",
        "debug lines (stderr) of every bridge measured went to files, not a terminal: "
            + programs.logDir,
        "latency: from the report being queued in the simulated device to the kernel's receive "
        "stamp of the client's last datagram of it (CONFIG, CUSTOM after METERING), non-metering "
        "reports; baseline: bench_baseline (C, 1 ms absolute-deadline timer)",
        "rate, latency, throughput, flood and soak: the window in this process (simulated device "
        "linked in); idle running: the real tavrel-control with tools/devicesim preloaded; "
        "memory: tavrel-control-bench (src/main.cpp + window + simulated device); idle stopped "
        "and start-up: the real tavrel-control"};
    for (const std::string &failure : failures)
        report.notes.push_back("FAILED: " + failure);
    report.text("mode", plan.quick ? "quick" : "full");
    report.text("load_before", loadBefore);
    report.text("load_after", loadAfter);
    report.values(2, "", {{"minutes", minutes}});
    report.text("stderr", "file");
    report.values(0, "", {{"failures", failures.size()}});
    report.print();
    return failures.empty() ? 0 : 1;
}
