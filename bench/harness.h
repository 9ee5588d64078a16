// The harness every phase of bench_driver shares: the run's plan and sizes, the loopback
// addresses of each kind of client, the report (table rows, JSON members, targets) and the
// context a phase runs in (the window in this process, the programs it starts, the ports).
#ifndef HARNESS_H
#define HARNESS_H

#include "netclients.h"
#include "process.h"

#include <cstdint>
#include <initializer_list>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace Bench {

constexpr std::int64_t Ms = 1000000;
constexpr std::int64_t Sec = 1000000000;

struct Plan
{
    bool quick = false;
    double timerSeconds = 10;
    double sustainedSeconds = 10;
    int latencySamples = 2000;
    int throughputDatagrams = 100000;
    int throughputRounds = 5; // each side in turn, so that a change of load hits both
    double idleSeconds = 10;
    int startupRuns = 20;
    std::uint32_t memoryReports = 1000000;
    std::uint64_t floodDatagrams = 1000000;
    int soakCycles = 200; // each of unplug with the Start button and Stop/Start
    int soakAutoConnectCycles = 200; // up to 2 s each: the auto-connect timer's interval
    std::set<std::string> only; // phases to run; empty: all
};

inline Plan quickPlan()
{
    Plan plan;
    plan.quick = true;
    plan.timerSeconds = 2;
    plan.sustainedSeconds = 3;
    plan.latencySamples = 300;
    plan.throughputDatagrams = 100000;
    plan.throughputRounds = 3;
    plan.idleSeconds = 3;
    plan.startupRuns = 5;
    plan.memoryReports = 20000;
    plan.floodDatagrams = 100000;
    plan.soakCycles = 20;
    plan.soakAutoConnectCycles = 3;
    return plan;
}

inline constexpr int LatencyClients[] = {1, 16, 128};
inline constexpr int ThroughputClients = 8;
inline constexpr int ThroughputWindow = 64; // datagrams in flight: a quarter of the default buffer
inline constexpr int MemoryClients = 16;
inline constexpr long FlatToleranceKiB = 256;
inline constexpr int FloodSenders = 200;
inline constexpr long LoadToleranceKiB = 512; // RSS growth allowed to the flood and the soak
inline constexpr std::int64_t StderrTruncateBytes = 256LL * 1024 * 1024;

// Loopback address blocks, one per kind of client, so that no two phases share an address.
inline const char *const SustainedClients = "127.0.1.1";
inline const char *const LatencyFirstClient = "127.0.2.1";
inline const char *const ThroughputFirstClient = "127.0.3.1";
inline const char *const MemoryFirstClient = "127.0.4.1";
inline const char *const ProbeClient = "127.0.5.1";
inline const char *const FloodFirstSender = "127.0.6.1";
inline const char *const SoakClient = "127.0.7.1";

// Results: rows of the table and members of the JSON object, in the order measured.
std::string number(double value, int decimals);
std::string ratioText(double bridge, double baseline);
std::string yesNo(bool met);
// Loss that the kernel counted at the benchmark's own client sockets, not the bridge's.
std::string dropNote(std::uint64_t drops);

struct Row
{
    std::string figure, bridge, baseline, ratio, target, met;
};

struct Report
{
    std::vector<Row> rows;
    std::vector<std::string> notes;
    std::vector<std::pair<std::string, std::string>> json; // key, raw JSON value
    std::map<std::string, bool> targets;

    void value(const std::string &key, double v, int decimals);
    void values(int decimals, std::initializer_list<std::pair<std::string, double>> members);
    void text(const std::string &key, const std::string &v);
    void flag(const std::string &key, bool v) { json.emplace_back(key, v ? "true" : "false"); }
    void target(const std::string &key, bool met) { targets[key] = met; }
    // A target that is a ratio to the yardstick: a row, the ratio in the JSON, the target.
    bool ratioTarget(const std::string &key, const std::string &figure, double bridge,
        const std::string &yardstick, double baseline, double limit, bool atMost,
        bool valid = true);
    void print() const;
};

#ifndef BENCH_DEVICESIM_PRELOAD
#define BENCH_DEVICESIM_PRELOAD ""
#define BENCH_DEVICESIM_CONTROL ""
#endif

struct Programs
{
    std::string baseline, bridgeBench, real, floor, probe, logDir;
    std::string deviceSim = BENCH_DEVICESIM_PRELOAD; // empty: not built
    std::string deviceSimControl = BENCH_DEVICESIM_CONTROL;
};

class Bridge;

// What a phase works with: the plan, the programs, the window in this process, the ports.
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

double median(std::vector<double> values);

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
