// What every phase of bench_driver shares: the run's plan, the report, the programs it starts
// and what /proc says of them, and the window in this process, driven from the measuring
// thread. The loopback clients and loads are in clients.h.
#ifndef HARNESS_H
#define HARNESS_H

#include "fakehidapi.h"
#include "mainwindow.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QUdpSocket>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
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
    bool quick;
    double timerSeconds, sustainedSeconds;
    int latencySamples, throughputDatagrams, throughputRounds; // rounds alternate both sides
    double idleSeconds;
    int startupRuns;
    std::uint32_t memoryReports;
    std::uint64_t floodDatagrams;
    int soakCycles, soakAutoConnectCycles; // each kind; auto-connect retries every 2 s
    std::set<std::string> only; // phases to run; empty: all
};
const Plan FullPlan {false, 10, 10, 2000, 100000, 5, 10, 20, 1000000, 1000000, 200, 200, {}};
const Plan QuickPlan {true, 2, 3, 300, 100000, 3, 3, 5, 20000, 100000, 20, 3, {}};

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

inline std::string number(double value, int decimals) // "null" when not finite, as in JSON
{
    char text[64] = "null";
    if (std::isfinite(value))
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

inline std::string ratioText(double bridge, double baseline)
{
    return baseline > 0 && std::isfinite(bridge) ? number(bridge / baseline, 3) : "-";
}

inline std::string yesNo(bool met)
{
    return met ? "yes" : "NO";
}

// Loss that the kernel counted at the benchmark's own client sockets, not the bridge's.
inline std::string dropNote(std::uint64_t drops)
{
    return drops ? " (" + std::to_string(drops) + " dropped by the benchmark's client sockets)"
                 : "";
}

inline double percentile(std::vector<double> values, double fraction) // nearest rank
{
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::max(1.0, std::ceil(fraction * values.size())));
    return values.empty() ? 0.0 : values[std::min(rank, values.size()) - 1];
}

// Rows of the table (figure, bridge, baseline, ratio, target, met) and JSON members, in the
// order measured, and the targets.
struct Report
{
    std::vector<std::array<std::string, 6>> rows;
    std::vector<std::string> notes;
    std::vector<std::pair<std::string, std::string>> json; // key, raw JSON value
    std::map<std::string, bool> targets;

    void values(int decimals, const std::string &prefix,
        std::initializer_list<std::pair<std::string, double>> members)
    {
        for (const auto &member : members)
            json.emplace_back(prefix + member.first, number(member.second, decimals));
    }
    void text(const std::string &key, const std::string &v)
    {
        json.emplace_back(key, '"' + v + '"');
    }
    // A target that is a ratio to the yardstick: a row, the ratio in the JSON, the target.
    bool ratioTarget(const std::string &key, const std::string &figure, double bridge,
        const std::string &yardstick, double baseline, double limit, bool atMost, bool valid = true)
    {
        const double ratio = bridge / baseline;
        const bool met = valid && baseline > 0 && (atMost ? ratio <= limit : ratio >= limit);
        rows.push_back({figure, number(bridge, 3), yardstick + " " + number(baseline, 3),
            number(ratio, 3), (atMost ? "<= " : ">= ") + number(limit, 2) + " x", yesNo(met)});
        values(4, key, {{"_ratio", ratio}});
        return targets[key] = met;
    }
    // No RSS growth beyond 512 KiB and no new descriptor from `warm` to `end` (the flood, soak).
    void noGrowth(const std::string &key, std::array<long, 2> warm, std::array<long, 2> end)
    {
        const long growth = end[0] - warm[0];
        const bool met = std::min(warm[0], warm[1]) >= 0 && growth <= 512 && end[1] == warm[1];
        rows.push_back({"  same: RSS and descriptors, after the first tenth to the end",
            (growth >= 0 ? "+" : "") + std::to_string(growth) + " KiB; " + std::to_string(warm[1])
                + " -> " + std::to_string(end[1]),
            "-", "-", "<= 512 KiB; same", yesNo(met)});
        values(0, key + "_",
            {{"rss_warm_kib", warm[0]}, {"rss_end_kib", end[0]}, {"fds_warm", warm[1]},
                {"fds_end", end[1]}});
        targets[key + "_flat"] = met;
    }
    void print() const;
};

inline std::string readFile(const std::string &path)
{
    std::ostringstream contents;
    contents << std::ifstream(path).rdbuf();
    return contents.str();
}

inline long statusKiB(pid_t pid, const char *field) // a "Vm..." line of /proc/<pid>/status
{
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("\n" + std::string(field) + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(field) + 2);
}

inline long long firstNumber(const std::string &path)
{
    long long value = -1;
    std::ifstream(path) >> value;
    return value;
}

// The entries of a /proc folder (-1 when unreadable), and `each` called with every path.
inline int forEachEntry(const std::string &folder, const std::function<void(std::string)> &each)
{
    DIR *dir = opendir(folder.c_str());
    int count = 0;
    for (const dirent *entry; dir && (entry = readdir(dir));)
        if (entry->d_name[0] != '.' && ++count)
            each(folder + "/" + entry->d_name);
    return dir && closedir(dir) == 0 ? count : -1;
}

// CPU time of all the process's threads, from the scheduler's statistics.
inline std::int64_t cpuNs(pid_t pid)
{
    std::int64_t total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    return forEachEntry(tasks, [&](std::string task) { total += firstNumber(task + "/schedstat"); })
            > 0
        ? total
        : -1;
}

inline std::array<long, 2> ownUsage() // RSS in KiB and open descriptors, where the window runs
{
    return {statusKiB(getpid(), "VmRSS"), forEachEntry("/proc/self/fd", [](std::string) {})};
}

inline double cpuPercent(pid_t pid, double seconds) // % of a core
{
    const std::int64_t c0 = cpuNs(pid), t0 = clockNs();
    if (c0 <= 0) // a process that reached its event loop has used some CPU
        throw std::runtime_error("no scheduler statistics for process " + std::to_string(pid));
    sleepNs(static_cast<std::int64_t>(seconds * Sec));
    return 100.0 * double(cpuNs(pid) - c0) / double(clockNs() - t0);
}

// A program the benchmark started: standard output comes back through a pipe, descriptor 3
// is `fd3` when given, standard error goes to `stderrPath` (or /dev/null), and `environment`
// replaces inherited variables of the same names. Stopped (SIGTERM, then SIGKILL) when it
// goes out of scope, also when a measurement throws.
class Child
{
public:
    Child(const std::vector<std::string> &argv, std::vector<std::string> environment = {},
        int fd3 = -1, const std::string &stderrPath = "/dev/null", bool stdinPipe = false)
    {
        for (char **entry = environ; *entry; ++entry)
            if (std::none_of(environment.begin(), environment.end(), [&](const std::string &e) {
                    return std::strncmp(e.c_str(), *entry, e.find('=') + 1) == 0;
                }))
                environment.emplace_back(*entry);
        std::vector<char *> args, envp;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        for (const std::string &entry : environment)
            envp.push_back(const_cast<char *>(entry.c_str()));
        args.push_back(nullptr);
        envp.push_back(nullptr);
        int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
        const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if ((stdinPipe && pipe2(inPipe, O_CLOEXEC) != 0) || pipe2(outPipe, O_CLOEXEC) != 0
            || err < 0)
            throw std::runtime_error("cannot start " + argv[0]);
        spawnedNs = clockNs();
        if ((pid = fork()) == 0) { // only async-signal-safe calls until exec
            const int fds[]
                = {stdinPipe ? inPipe[0] : open("/dev/null", O_RDONLY), outPipe[1], err, fd3};
            for (int to = 0; to < 4; ++to)
                if (fds[to] >= 0) // dup2() clears close-on-exec, but not on itself
                    fds[to] == to ? fcntl(to, F_SETFD, 0) : dup2(fds[to], to);
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        close(err);
        close(outPipe[1]);
        if (pid < 0)
            throw std::runtime_error("cannot start " + argv[0]);
        out = outPipe[0];
        if (stdinPipe && close(inPipe[0]) == 0)
            in = inPipe[1];
    }
    ~Child() { stop(); }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool wait(std::int64_t timeoutNs, int *status = nullptr) // true: it ended
    {
        rusage usage {};
        for (const std::int64_t end = clockNs() + timeoutNs; pid > 0; sleepNs(2 * Ms)) {
            const pid_t done = wait4(pid, status ? status : &exitStatus, WNOHANG, &usage);
            if (done < 0 || (done == 0 && clockNs() >= end))
                return false;
            if (done == pid) {
                pid = -1;
                cpuNsAtExit = (std::int64_t(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * Sec
                    + (std::int64_t(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
            }
        }
        return true;
    }
    void stop()
    {
        for (const int signal : {SIGTERM, SIGKILL})
            if (pid > 0 && kill(pid, signal) == 0)
                wait(2 * Sec);
        for (int *fd : {&in, &out})
            if (*fd >= 0 && close(*fd) == 0)
                *fd = -1;
    }
    std::string line(std::int64_t timeoutNs) // from its standard output; "" after the time
    {
        std::string text;
        pollfd readable {out, POLLIN, 0};
        const std::int64_t end = clockNs() + timeoutNs;
        for (char c; poll(&readable, 1, int(std::max<std::int64_t>(0, end - clockNs()) / Ms)) > 0
             && read(out, &c, 1) > 0;)
            if (c == '\n') // byte by byte: nothing past the line is taken
                return text;
            else
                text += c;
        return "";
    }
    std::int64_t readyNs(std::int64_t timeoutNs) // the readiness probe's "ready <ns>", or -1
    {
        const std::string text = line(timeoutNs);
        return text.rfind("ready ", 0) == 0 ? std::atoll(text.c_str() + 6) : -1;
    }

    pid_t pid = -1;
    int in = -1, out = -1, exitStatus = 0;
    std::int64_t spawnedNs = 0, cpuNsAtExit = -1; // CLOCK_MONOTONIC; user and system time
};

// A settings folder (XDG_CONFIG_HOME) with these ports, and the environment of a Qt program
// started in it: the offscreen platform, its own runtime folder and no session bus (a copy
// the user has running elsewhere is not the one instance it would hand over to), and the
// readiness probe (`preload` before it) preloaded, writing "ready <ns>" to standard output.
inline std::vector<std::string> qtEnvironment(const Context &context, const std::string &home,
    bool autoConnect, const std::string &preload = "", bool quitWhenReady = false)
{
    mkdir((home + "/Quorvale").c_str(), 0700);
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

// The input reports the benchmark feeds: 01, 01 (not metering), a sequence number (bytes 2
// to 5), then a fixed pattern, so that every datagram that leaves the bridge can be checked.
inline std::array<unsigned char, 10> deviceReport(std::uint32_t sequence)
{
    std::array<unsigned char, 10> report {0x01, 0x01, 0, 0, 0, 0, 0x5A, 0x5A, 0x5A, 0x5A};
    std::memcpy(report.data() + 2, &sequence, 4);
    return report;
}

inline void queueOnDevice(std::uint32_t sequence)
{
    const auto report = deviceReport(sequence);
    FakeHid::queueInput(FakeHid::Bytes(report.begin(), report.end()));
}

// The window in this process: every call runs on the window's thread, as the operator's
// clicks and the poll do.
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
    template<typename T> T *find(const char *name) { return window->findChild<T *>(name); }
    void setPorts(std::uint16_t listen, const Ports &ports)
    {
        onGui([&] {
            find<QLineEdit>("lineEdit_LISTEN")->setText(QString::number(listen));
            find<QLineEdit>("lineEdit_METERING")->setText(QString::number(ports[Metering]));
            find<QLineEdit>("lineEdit_CONFIGURATION")->setText(QString::number(ports[Config]));
            find<QLineEdit>("lineEdit_CUSTOM")->setText(QString::number(ports[Custom]));
        });
    }
    void invoke(const char *slot)
    {
        onGui([&] { QMetaObject::invokeMethod(window, slot); });
    }
    void start()
    {
        invoke("on_START_clicked");
        if (!running())
            throw std::runtime_error("the bridge did not start");
    }
    void stop() { invoke("on_STOP_clicked"); }
    // As the operator's: a disabled button does nothing.
    void click(const char *button)
    {
        onGui([&] { find<QAbstractButton>(button)->click(); });
    }
    void setAutoConnect(bool on)
    {
        onGui([&] {
            if (find<QCheckBox>("checkBox_auto_connect")->isChecked() != on)
                find<QCheckBox>("checkBox_auto_connect")->click();
        });
    }
    bool running()
    {
        bool now = false;
        onGui([&] { now = find<QLabel>("label_status_connection")->text() == "running"; });
        return now;
    }
    bool waitForState(bool wanted, std::int64_t timeoutNs)
    {
        for (const std::int64_t end = clockNs() + timeoutNs; running() != wanted; sleepNs(2 * Ms))
            if (clockNs() > end)
                return false;
        return true;
    }
    int clients()
    {
        int count = -1;
        onGui([&] { count = find<QLineEdit>("lineEdit_clients")->text().toInt(); });
        return count;
    }
    std::int64_t cpuNs() // the window's thread: this process's main thread
    {
        return firstNumber("/proc/self/task/" + std::to_string(getpid()) + "/schedstat");
    }
    int socketDescriptor()
    {
        int fd = -1;
        onGui([&] { fd = int(window->findChild<QUdpSocket *>()->socketDescriptor()); });
        return fd;
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
