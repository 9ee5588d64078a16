// What every phase of bench_driver shares: the run's plan, the report and the window in this
// process, driven from the measuring thread. The programs it starts are in process.h, the
// loopback clients and loads in clients.h.
#ifndef HARNESS_H
#define HARNESS_H

#include "fakehidapi.h"
#include "mainwindow.h"

#include <QUdpSocket>

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
    QVariant property(const char *object, const char *name)
    {
        QVariant value;
        onGui([&] { value = window->findChild<QObject *>(object)->property(name); });
        return value;
    }
    void setText(const char *object, int number)
    {
        onGui([&] {
            window->findChild<QObject *>(object)->setProperty("text", QString::number(number));
        });
    }
    void invoke(const char *object, const char *slot) // a button's click(): not if disabled
    {
        onGui([&] {
            QMetaObject::invokeMethod(object ? window->findChild<QObject *>(object) : window, slot);
        });
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
        long long ns = -1;
        std::ifstream("/proc/self/task/" + std::to_string(getpid()) + "/schedstat") >> ns;
        return ns;
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
