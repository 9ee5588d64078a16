// What every phase shares: the run's plan, the report (a table and one JSON object), the
// window in this process driven from the measuring thread, and the programs started beside
// it. The loopback clients and loads are in clients.h.
#ifndef HARNESS_H
#define HARNESS_H

#include "fakehidapi.h"
#include "mainwindow.h"

#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace Bench {

constexpr std::int64_t Ms = 1000000, Sec = 1000000000;

struct Plan
{
    double timerSeconds, sustainedSeconds;
    int latencySamples, throughputDatagrams, throughputRounds; // rounds alternate both sides
    double idleSeconds;
    int startupRuns;
    std::uint32_t memoryReports;
    std::uint64_t floodDatagrams;
    int soakCycles, soakAutoConnectCycles; // each kind; auto-connect retries every 2 s
    std::set<std::string> only; // phases to run; empty: all
};
const Plan FullPlan {10, 10, 2000, 100000, 5, 10, 20, 1000000, 1000000, 200, 200, {}};
const Plan QuickPlan {2, 3, 300, 100000, 3, 3, 5, 20000, 100000, 20, 3, {}};

enum Port { Metering, Config, Custom, PortCount };
using Ports = std::array<std::uint16_t, PortCount>;

struct Programs
{
    std::string baseline, bridgeBench, real, floor, probe, deviceSim, deviceSimControl, logDir;
};

class Bridge;

struct Context
{
    Plan plan;
    Programs programs;
    Bridge &bridge;
    std::uint16_t listen = 0;
    Ports ports {};
    long floorPeakKiB = -1; // the empty Qt application's, from the idle phase

    void progress(const std::string &text) const { std::cout << "# " << text << std::endl; }
    std::string log(const std::string &name) const
    {
        return programs.logDir + "/" + name + ".stderr";
    }
};

inline std::int64_t clockNs(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec now {};
    clock_gettime(clock, &now);
    return std::int64_t(now.tv_sec) * Sec + now.tv_nsec;
}

inline void sleepNs(std::int64_t ns)
{
    timespec span {static_cast<time_t>(ns / Sec), static_cast<long>(ns % Sec)};
    while (ns > 0 && nanosleep(&span, &span) != 0 && errno == EINTR) { }
}

// As in JSON ("null" when not finite); by default fewer decimals the larger the value, none
// for a whole number, four below 0.1 (idle CPU).
inline std::string number(double value, int decimals = -1)
{
    const double size = std::fabs(value);
    if (decimals < 0)
        decimals = size >= 1000 || value == std::trunc(value) ? 0
            : size >= 10                                      ? 1
            : size >= 0.1                                     ? 3
                                                              : 4;
    char text[64] = "null";
    if (std::isfinite(value))
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

inline std::string count(std::uint64_t value)
{
    return std::to_string(value);
}
inline std::string change(long value)
{
    return (value >= 0 ? "+" : "") + std::to_string(value);
}

// Loss that the kernel counted at the benchmark's own client sockets, not the bridge's.
inline std::string dropNote(std::uint64_t drops)
{
    return drops ? " (" + count(drops) + " dropped by the benchmark's client sockets)" : "";
}

// Nearest rank, of the values there are: a round without a figure (NaN) gives none.
inline double percentile(std::vector<double> values, double fraction)
{
    values.erase(
        std::remove_if(values.begin(), values.end(), [](double v) { return !std::isfinite(v); }),
        values.end());
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::max(1.0, std::ceil(fraction * values.size())));
    return values.empty() ? NAN : values[std::min(rank, values.size()) - 1];
}

// The table (figure, bridge, baseline, ratio, target, met) and the JSON object, a row at a
// time: "<key>" is the bridge's figure (text for a row of counts), "<key>_base" and
// "<key>_ratio" come with a yardstick, and "targets": {"<key>": met} with a target.
struct Report
{
    std::vector<std::array<std::string, 6>> rows;
    std::vector<std::string> notes;
    std::vector<std::pair<std::string, std::string>> json; // key, raw JSON value
    std::map<std::string, bool> targets;

    void value(const std::string &key, double v) { json.emplace_back(key, number(v)); }
    void text(const std::string &key, const std::string &v)
    {
        json.emplace_back(key, '"' + v + '"');
    }
    // A row of figures; an empty `yardstick` has none, an empty `target` is for information.
    void row(const std::string &key, const std::string &figure, double bridge,
        const std::string &yardstick, double base, const std::string &target = "", bool met = false)
    {
        const bool hasRatio = !yardstick.empty() && base > 0 && std::isfinite(bridge);
        value(key, bridge);
        if (!yardstick.empty())
            value(key + "_base", base);
        if (hasRatio)
            value(key + "_ratio", bridge / base);
        add(key,
            {figure, number(bridge), yardstick.empty() ? "-" : yardstick + " " + number(base),
                hasRatio ? number(bridge / base, 3) : "-", target},
            met);
    }
    // A row whose target is a ratio to the yardstick, at most `limit` or (!atMost) at least.
    void ratio(const std::string &key, const std::string &figure, double bridge,
        const std::string &yardstick, double base, double limit, bool atMost, bool valid = true)
    {
        const double r = bridge / base;
        row(key, figure, bridge, yardstick, base,
            (atMost ? "<= " : ">= ") + number(limit, 2) + " x",
            valid && base > 0 && (atMost ? r <= limit : r >= limit));
    }
    // A row of counts, as text in both the table and the JSON.
    void check(const std::string &key, const std::string &figure, const std::string &counts,
        const std::string &target, bool met, const std::string &baseCounts = "-")
    {
        text(key, counts);
        add(key, {figure, counts, baseCounts, "-", target}, met);
    }
    // No RSS growth beyond 512 KiB and no new descriptor from `warm` to `end` (the flood, soak).
    void noGrowth(const std::string &key, std::array<long, 2> warm, std::array<long, 2> end)
    {
        check(key + "_flat", "  same: RSS and descriptors, after the first tenth to the end",
            change(end[0] - warm[0]) + " KiB; " + count(warm[1]) + " -> " + count(end[1]),
            "<= 512 KiB; same",
            std::min(warm[0], warm[1]) >= 0 && end[0] - warm[0] <= 512 && end[1] == warm[1]);
    }
    void print() const;

private:
    void add(const std::string &key, const std::array<std::string, 5> &cells, bool met)
    {
        const bool target = !cells[4].empty();
        rows.push_back({cells[0], cells[1], cells[2], cells[3], target ? cells[4] : "-",
            target ? (met ? "yes" : "NO") : "-"});
        if (target)
            targets[key] = met;
    }
};

// The input reports the benchmark feeds: 01, 01 (not metering), a sequence number (bytes 2
// to 5), then a fixed pattern, so that every datagram that leaves the bridge can be checked.
inline std::array<unsigned char, 10> deviceReport(std::uint32_t sequence)
{
    std::array<unsigned char, 10> report {0x01, 0x01, 0, 0, 0, 0, 0x5A, 0x5A, 0x5A, 0x5A};
    std::memcpy(report.data() + 2, &sequence, 4);
    return report;
}

inline bool queueOnDevice(std::uint32_t sequence)
{
    const auto report = deviceReport(sequence);
    FakeHid::queueInput(FakeHid::Bytes(report.begin(), report.end()));
    return true;
}

inline std::string readFile(const std::string &path)
{
    std::ostringstream contents;
    contents << std::ifstream(path).rdbuf();
    return contents.str();
}

inline long long firstNumber(const std::string &path)
{
    long long value = -1;
    std::ifstream(path) >> value;
    return value;
}

inline long statusKiB(qint64 pid, const char *field) // a "Vm..." line of /proc/<pid>/status
{
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("\n" + std::string(field) + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(field) + 2);
}

inline std::array<long, 2> ownUsage() // RSS in KiB and open descriptors, where the window runs
{
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return {statusKiB(getpid(), "VmRSS"), long(std::distance(begin(fds), end(fds)))};
}

// % of a core that all the process's threads took over `seconds`, from the scheduler.
inline double cpuPercent(qint64 pid, double seconds)
{
    const auto cpuNs = [tasks = "/proc/" + std::to_string(pid) + "/task"] {
        std::int64_t total = 0;
        for (const auto &task : std::filesystem::directory_iterator(tasks))
            total += firstNumber(task.path().string() + "/schedstat");
        return total;
    };
    const std::int64_t c0 = cpuNs(), t0 = clockNs();
    if (c0 <= 0) // no schedstat in this kernel, or the process is gone: no figure at all
        throw std::runtime_error("no scheduler statistics for process " + std::to_string(pid));
    sleepNs(static_cast<std::int64_t>(seconds * Sec));
    return 100.0 * double(cpuNs() - c0) / double(clockNs() - t0);
}

// A program the benchmark started, with `environment` added to ours and standard error to
// `stderrPath`; `passed` is a descriptor it inherits. Stopped (SIGTERM, then SIGKILL) when it
// goes out of scope, also when a measurement throws.
class Child
{
public:
    Child(const std::vector<std::string> &argv, const std::vector<std::string> &environment = {},
        const std::string &stderrPath = "/dev/null", int passed = -1)
    {
        QProcessEnvironment inherited = QProcessEnvironment::systemEnvironment();
        for (const std::string &entry : environment)
            inherited.insert(QString::fromStdString(entry.substr(0, entry.find('='))),
                QString::fromStdString(entry.substr(entry.find('=') + 1)));
        process.setProcessEnvironment(inherited);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QString::fromStdString(stderrPath));
        QStringList arguments;
        for (std::size_t i = 1; i < argv.size(); ++i)
            arguments << QString::fromStdString(argv[i]);
        const int flags = passed >= 0 ? fcntl(passed, F_GETFD) : -1;
        if (flags >= 0) // inherited through this start only: the fork is made in start()
            fcntl(passed, F_SETFD, flags & ~FD_CLOEXEC);
        spawnedNs = clockNs();
        process.start(QString::fromStdString(argv[0]), arguments);
        if (flags >= 0)
            fcntl(passed, F_SETFD, flags);
        if (!process.waitForStarted(10000))
            throw std::runtime_error(
                "cannot start " + argv[0] + ": " + process.errorString().toStdString());
    }
    ~Child()
    {
        process.terminate();
        if (!wait(2 * Sec))
            process.kill(), wait(2 * Sec);
    }
    bool wait(std::int64_t timeoutNs) // true: it ended
    {
        return process.state() == QProcess::NotRunning
            || process.waitForFinished(int(timeoutNs / Ms));
    }
    bool succeeded() const
    {
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    std::string line(std::int64_t timeoutNs) // from its standard output; "" after the time
    {
        for (const std::int64_t end = clockNs() + timeoutNs;
             !process.canReadLine() && clockNs() < end;)
            if (!process.waitForReadyRead(int(std::max<std::int64_t>(1, (end - clockNs()) / Ms)))
                && process.state() == QProcess::NotRunning)
                break; // it ended without the line
        return process.canReadLine() ? process.readLine().trimmed().toStdString() : "";
    }
    std::int64_t readyNs(std::int64_t timeoutNs) // the readiness probe's "ready <ns>", or -1
    {
        const std::string text = line(timeoutNs);
        return text.rfind("ready ", 0) == 0 ? std::atoll(text.c_str() + 6) : -1;
    }
    qint64 pid() const { return process.processId(); }

    std::int64_t spawnedNs = 0; // CLOCK_MONOTONIC

private:
    QProcess process;
};

// A settings folder (XDG_CONFIG_HOME) with these ports, and the environment of a Qt program
// started in it: the offscreen platform, its own runtime folder and no session bus (a copy
// the user has running elsewhere is not the one instance it would hand over to), and the
// readiness probe (`preload` before it) preloaded, writing "ready <ns>" to standard output.
inline std::vector<std::string> qtEnvironment(const Context &context, const std::string &home,
    bool autoConnect, const std::string &preload = "", bool quitWhenReady = false)
{
    std::filesystem::create_directories(home + "/Quorvale");
    std::ofstream(home + "/Quorvale/Tavrel Control.conf")
        << "[General]\nauto_connect=" << (autoConnect ? "true" : "false")
        << "\nudp_config_port=" << context.ports[Config]
        << "\nudp_custom_port=" << context.ports[Custom]
        << "\nudp_default_ports=false\nudp_listen_port=" << context.listen
        << "\nudp_metering_port=" << context.ports[Metering] << "\n";
    return {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + home, "XDG_RUNTIME_DIR=" + home,
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + home + "/no-bus",
        "LD_PRELOAD=" + (preload.empty() ? "" : preload + ":") + context.programs.probe,
        "TAVREL_BENCH_READY_FD=1", "TAVREL_DEVICESIM_SOCKET=" + home + "/devicesim.sock",
        "TAVREL_BENCH_QUIT_WHEN_READY=" + std::string(quitWhenReady ? "1" : "0")};
}

// The window in this process, driven through its objects' names: every call runs on the
// window's thread, as the operator's clicks and the poll do.
class Bridge
{
public:
    explicit Bridge(MainWindow *window)
        : window(window)
    { }
    template<typename F> void onGui(F function)
    {
        QMetaObject::invokeMethod(window, function, Qt::BlockingQueuedConnection);
    }
    QObject *find(const char *name) { return name ? window->findChild<QObject *>(name) : window; }
    QVariant property(const char *object, const char *name)
    {
        QVariant value;
        onGui([&] { value = find(object)->property(name); });
        return value;
    }
    // A button's click() (nothing if disabled), or a slot of the window itself.
    void invoke(const char *object, const char *slot)
    {
        onGui([&] { QMetaObject::invokeMethod(find(object), slot); });
    }
    void start()
    {
        invoke(nullptr, "on_START_clicked");
        if (!running())
            throw std::runtime_error("the bridge did not start");
    }
    void stop() { invoke(nullptr, "on_STOP_clicked"); }
    bool running() { return property("label_status_connection", "text") == "running"; }
    void setAutoConnect(bool on)
    {
        if (property("checkBox_auto_connect", "checked").toBool() != on)
            invoke("checkBox_auto_connect", "click");
    }
    bool waitForState(bool wanted, std::int64_t timeoutNs)
    {
        for (const std::int64_t end = clockNs() + timeoutNs; running() != wanted; sleepNs(2 * Ms))
            if (clockNs() > end)
                return false;
        return true;
    }
    std::int64_t cpuNs() // the window's thread: this process's main thread
    {
        return firstNumber("/proc/self/task/" + std::to_string(getpid()) + "/schedstat");
    }
    void reset() // auto-connect off, stopped, writes recorded and not observed, logs empty
    {
        setAutoConnect(false);
        stop();
        FakeHid::setWriteObserver(nullptr);
        FakeHid::setRecordWrites(true);
        qInstallMessageHandler(nullptr);
        FakeHid::clearCalls();
        FakeHid::clearWrites();
    }

private:
    MainWindow *window;
};

void ratePhase(Context &context, Report &report);
void latencyPhase(Context &context, Report &report);
void throughputPhase(Context &context, Report &report);
void idlePhase(Context &context, Report &report);
void startupPhase(Context &context, Report &report);
void memoryPhase(Context &context, Report &report);
void floodPhase(Context &context, Report &report);
void soakPhase(Context &context, Report &report);

} // namespace Bench

#endif // HARNESS_H
