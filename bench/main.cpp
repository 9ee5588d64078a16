// bench_driver: measures the bridge on loopback with the simulated device and prints a table
// and, as its last line, one JSON object. bench/run builds it and sends standard error (where
// the bridge writes its debug lines) to a file.
#include "clients.h"

#include <QApplication>
#include <QThread>

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
    context.bridge.onGui([&] { // the fields keep the ports
        const char *fields[] = {"lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"};
        context.bridge.find("lineEdit_LISTEN")->setProperty("text", context.listen);
        for (int port = 0; port < PortCount; ++port)
            context.bridge.find(fields[port])->setProperty("text", context.ports[port]);
    });
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
        context.bridge.reset();
    }
    return failures;
}

std::string loadAverage() // over 1, 5 and 15 minutes
{
    const std::string text = readFile("/proc/loadavg");
    return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

} // namespace

// The table, its notes, then the JSON object on one line.
void Bench::Report::print() const
{
    const std::array<std::string, 6> head {
        "figure", "bridge", "baseline", "ratio", "target", "met"};
    std::array<std::size_t, 6> widths {};
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
    for (const auto &row : rows)
        line(row, ' ', " | ");
    std::cout << "\n";
    for (const std::string &note : notes)
        std::cout << note << "\n";
    std::string object = "{", results;
    std::size_t met = 0;
    for (const auto &[key, value] : json)
        object += "\"" + key + "\":" + value + ",";
    for (const auto &[key, value] : targets) {
        results += (results.empty() ? "\"" : ",\"") + key + (value ? "\":true" : "\":false");
        met += value;
    }
    std::cout << "targets met: " << met << " of " << targets.size() << "\n"
              << object << "\"targets\":{" << results << "},\"targets_met\":" << met
              << ",\"targets_total\":" << targets.size() << "}" << std::endl;
}

int main(int argc, char *argv[])
{
    bool quick = false;
    std::set<std::string> only;
    Programs programs {BENCH_BASELINE, BENCH_BRIDGE_BENCH, BENCH_REAL, BENCH_QTFLOOR, BENCH_PROBE,
        BENCH_DEVICESIM_PRELOAD, BENCH_DEVICESIM_CONTROL, "."};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::istringstream list(i + 1 < argc ? argv[i + 1] : "");
        if (arg == "--quick")
            quick = true;
        else if (arg == "--log-dir" && ++i < argc)
            programs.logDir = argv[i];
        else if (arg == "--only" && ++i < argc)
            for (std::string phase; std::getline(list, phase, ',');)
                only.insert(phase);
        else {
            std::cout << "usage: bench_driver [--quick] [--only PHASE,...] [--log-dir DIR]\n"
                         "phases: rate latency throughput idle startup memory flood soak\n";
            return 2;
        }
    }
    Plan plan = quick ? QuickPlan : FullPlan;
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
    // A thread of Qt's own, so that the programs it starts can be watched from it.
    QThread *measuring = QThread::create([&] {
        failures = runPhases(Context {plan, programs, bridge}, report);
        QMetaObject::invokeMethod(&app, "quit", Qt::QueuedConnection);
    });
    measuring->start();
    app.exec();
    measuring->wait();
    delete measuring;

    const double minutes = double(clockNs() - started) / Sec / 60;
    const std::string load = loadBefore + " -> " + loadAverage();
    report.notes = {"mode: " + std::string(quick ? "quick" : "full") + ", " + number(minutes, 1)
            + " min; load average " + load + "; " + count(std::thread::hardware_concurrency())
            + " cores",
        "debug lines (stderr) of every bridge measured went to files: " + programs.logDir};
    for (const std::string &failure : failures)
        report.notes.push_back("FAILED: " + failure);
    report.text("mode", quick ? "quick" : "full");
    report.text("load", load);
    report.value("minutes", minutes);
    report.value("failures", failures.size());
    report.print();
    return failures.empty() ? 0 : 1;
}
