// What every phase of bench_driver shares: the run's plan, the report, the programs it starts,
// the loopback clients and the window in this process, driven from the measuring thread.
#ifndef BENCH_H
#define BENCH_H

#include "fakehidapi.h"
#include "mainwindow.h"

#include <QLabel>
#include <QLineEdit>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <unistd.h>
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

constexpr int ThroughputClients = 8, ThroughputWindow = 64; // a quarter of the default buffer
constexpr long LoadToleranceKiB = 512; // RSS growth allowed to the flood and the soak
// Loopback blocks, one per kind of client, so that no two phases share an address.
constexpr std::uint32_t SustainedClients = 0x7F000101, LatencyClients = 0x7F000201,
                        ThroughputSenders = 0x7F000301, MemoryClients = 0x7F000401,
                        ProbeClient = 0x7F000501, FloodSenders = 0x7F000601,
                        SoakClient = 0x7F000701;

std::int64_t monotonicNs();
std::int64_t realtimeNs();
void sleepNs(std::int64_t ns);
std::uint16_t freePort(); // free on every address right now (asked of the kernel)
std::string ipv4Text(std::uint32_t address);
std::uint32_t socketMemInfo(int fd, int which); // SK_MEMINFO_DROPS, ... of a socket of ours
int boundSocket(std::uint32_t address, std::uint16_t port, int flags = 0); // UDP, or throws
double percentile(std::vector<double> values, double fraction); // nearest rank; 0 for none
std::string number(double value, int decimals); // "null" when not finite
std::string ratioText(double bridge, double baseline);
inline std::string yesNo(bool met)
{
    return met ? "yes" : "NO";
}
std::string dropNote(std::uint64_t drops); // loss at the benchmark's own client sockets

// Rows of the table (figure, bridge, baseline, ratio, target, met) and JSON members, in the
// order measured, and the targets.
struct Report
{
    std::vector<std::array<std::string, 6>> rows;
    std::vector<std::string> notes;
    std::vector<std::pair<std::string, std::string>> json; // key, raw JSON value
    std::map<std::string, bool> targets;

    void values(int decimals, std::initializer_list<std::pair<std::string, double>> members);
    void text(const std::string &key, const std::string &value);
    // A target that is a ratio to the yardstick: a row, the ratio in the JSON, the target.
    bool ratioTarget(const std::string &key, const std::string &figure, double bridge,
        const std::string &yardstick, double baseline, double limit, bool atMost,
        bool valid = true);
    // No RSS growth beyond LoadToleranceKiB and no new descriptor from `warm` to `end`.
    void noGrowth(const std::string &key, std::array<long, 2> warm, std::array<long, 2> end);
    void print() const;
};

// This process's RSS in KiB and open descriptors, where the window runs.
std::array<long, 2> ownUsage();
long statusKiB(pid_t pid, const char *field); // a "Vm..." line of /proc/<pid>/status
std::int64_t cpuNs(pid_t pid); // all its threads, from the scheduler's statistics
std::int64_t threadCpuNs(pid_t tid); // one thread of this process
std::string readFile(const std::string &path);

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
    std::string log(const std::string &name) const { return programs.logDir + "/" + name; }
};

// A program the benchmark started: standard output comes back through a pipe, descriptor 3
// is `fd3` when given, standard error goes to `stderrPath` (or /dev/null). Stopped (SIGTERM,
// then SIGKILL) when it goes out of scope, also when a measurement throws.
class Child
{
public:
    Child(const std::vector<std::string> &argv, const std::vector<std::string> &environment = {},
        int fd3 = -1, const std::string &stderrPath = "", bool stdinPipe = false);
    ~Child() { stop(); }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool wait(std::int64_t timeoutNs, int *status = nullptr); // true: it ended
    void stop();
    std::string line(std::int64_t timeoutNs); // from its standard output; "" after the time
    std::int64_t readyNs(std::int64_t timeoutNs); // the probe's "ready <ns>" line, or -1

    pid_t pid = -1;
    int in = -1, out = -1;
    std::int64_t spawnedNs = 0, cpuNsAtExit = -1; // CLOCK_MONOTONIC; user + system time
};

// A settings folder (XDG_CONFIG_HOME) with these ports.
std::string writeConfigHome(const std::string &dir, const Context &context, bool autoConnect);
// The environment of a Qt program started in that folder: the offscreen platform, and the
// readiness probe (`preload` before it) preloaded, writing "ready <ns>" to standard output.
std::vector<std::string> qtEnvironment(const Context &context, const std::string &home,
    const std::string &preload = "", bool quitWhenReady = false);
double cpuPercent(pid_t pid, double seconds); // the process's CPU time, % of a core
class ClientSet;
// Sends keep-alives until a bridge started as a program has logged one from every client.
bool waitUntilRunning(const Context &context, ClientSet &clients, const std::string &log);

// Loopback clients on consecutive addresses, each with a socket on each of the three ports,
// checking that every socket gets our numbered messages 0, 1, 2, ... in order. Nothing is
// read while no one waits; arrival times are the kernel's receive stamps (CLOCK_REALTIME).
class ClientSet
{
public:
    ClientSet(std::uint32_t firstAddress, int count, const Ports &ports);
    ~ClientSet();
    ClientSet(const ClientSet &) = delete;
    ClientSet &operator=(const ClientSet &) = delete;

    void sendKeepAlives(std::uint16_t listen); // from each METERING socket
    void keepAliveIfDue(std::uint16_t listen); // every 5 s, so that none falls silent for 20 s
    void reset(); // forgets what came: message 0 is expected next on every socket
    // Reads what has come; with `batch`, only once that many sockets have something (or
    // 50 ms have passed), so as not to compete for the CPU with a walk over many clients.
    void poll(int batch = 1);
    bool waitForTotal(std::uint64_t wanted, std::int64_t timeoutNs, int batch = 1);
    std::uint64_t minReceived(Port port) const;
    std::uint64_t dropped() const; // by the kernel, at these sockets: lost here, not by the bridge
    // The last arrival of message `sequence` on the client's sockets; -1 if one lacks it.
    std::int64_t lastArrival(int client, std::uint32_t sequence) const;

    const std::uint32_t first;
    const int count;
    std::uint64_t total = 0, errors = 0; // errors: not ours, or not the number expected

private:
    struct Socket
    {
        int fd = -1;
        std::uint32_t expected = 0, last = 0;
        std::uint64_t count = 0, dropsBefore = 0;
        std::int64_t lastNs = -1;
    };
    void drain(Socket &socket);

    std::vector<Socket> sockets; // client * PortCount + port
    int epollFd = -1;
    std::int64_t lastKeepAliveNs = 0, readySince = -1;
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

// bench_baseline send, to the clients' ports, reading reports from a SOCK_SEQPACKET pair.
class CSender
{
public:
    CSender(const Context &context, const ClientSet &clients);
    ~CSender();
    bool queue(std::uint32_t sequence); // false when the pair is full
    void finish(); // end of input; waits for it to end (child.cpuNsAtExit)
    double tickRate(); // of its timer, from its last line

    std::array<int, 2> pair; // ours, and the one it reads as descriptor 3
    Child child;
};

// The device writes of either side, in a pipe that the sender of the load reads back:
// 00, the client's number, its datagram number and a pattern, in order per client.
class DeviceWrites
{
public:
    DeviceWrites();
    ~DeviceWrites();
    void reset();
    bool readFor(std::int64_t timeoutNs); // false when nothing came in that time
    void closeWriteEnd();

    int ends[2] = {-1, -1};
    std::uint64_t written = 0, errors = 0;
    std::int64_t lastWriteNs = 0;

private:
    std::array<std::uint32_t, ThroughputClients> expected {};
    std::vector<unsigned char> held;
};

struct Throughput
{
    double perSecond = 0, cpuUsPerDatagram = 0; // of the receiving side
    std::uint64_t sent = 0, written = 0, errors = 0;
    bool lossless() const { return written == sent && errors == 0; }
};
// `total` datagrams from 8 client addresses, round robin, at most ThroughputWindow unwritten.
Throughput throughput(std::uint16_t listen, int total, DeviceWrites &writes);
// The window's device writes go to the pipe, one write() each, as the C yardstick's do.
void writeDeviceTo(int fd);

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
    template<typename T> T *child(const char *name) { return window->findChild<T *>(name); }
    void setPorts(std::uint16_t listen, const Ports &ports);
    void start(); // throws when it does not run
    void stop()
    {
        onGui([&] { QMetaObject::invokeMethod(window, "on_STOP_clicked"); });
    }
    void click(const char *button); // as the operator's: a disabled button does nothing
    void setAutoConnect(bool on);
    bool running();
    bool waitForState(bool running, std::int64_t timeoutNs);
    bool registerClients(ClientSet &clients, std::uint16_t listen);
    void startWith(ClientSet &clients, std::uint16_t listen);
    std::int64_t cpuNs() { return threadCpuNs(getpid()); } // the window's (main) thread
    int socketDescriptor();
    void reset(); // auto-connect off, stopped, writes recorded and not observed, logs empty

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

#endif // BENCH_H
