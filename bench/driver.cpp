// bench_driver: measures the bridge on loopback with the simulated device and prints a table
// and, as its last line, one JSON object. Run it through bench/run, which builds it and
// sends standard error (where the bridge writes its debug lines) to a file.
//
// The device-to-client rate, the latencies, the client-to-device throughput, the flood of the
// LISTEN port and the unplug soak are measured on the real window in this process (the
// simulated device linked in); idle CPU, start-up and memory on programs of their own: the
// real tavrel-control (with tools/devicesim preloaded when it has to run), tavrel-control-bench
// (the real main() and window with the simulated device linked in, fed numbered reports) and,
// as yardsticks, bench_baseline (plain C) and bench_qtfloor (an empty Qt application).

#include "benchreport.h"
#include "fakehidapi.h"
#include "flood.h"
#include "mainwindow.h"
#include "netclients.h"
#include "process.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

using namespace Bench;

namespace {

constexpr std::int64_t Ms = 1000000;
constexpr std::int64_t Sec = 1000000000;

// ---------------------------------------------------------------------------------------
// Run length

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

Plan quickPlan()
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

constexpr int LatencyClients[] = {1, 16, 128};
constexpr int ThroughputClients = 8;
constexpr int ThroughputWindow = 64; // datagrams in flight: a quarter of the default buffer
constexpr int MemoryClients = 16;
constexpr long FlatToleranceKiB = 256;
constexpr int FloodSenders = 200;
constexpr long LoadToleranceKiB = 512; // RSS growth allowed to the flood and the soak
constexpr std::int64_t StderrTruncateBytes = 256LL * 1024 * 1024;

// Loopback address blocks, one per kind of client, so that no two phases share an address.
const char *const SustainedClients = "127.0.1.1";
const char *const LatencyFirstClient = "127.0.2.1";
const char *const ThroughputFirstClient = "127.0.3.1";
const char *const MemoryFirstClient = "127.0.4.1";
const char *const ProbeClient = "127.0.5.1";
const char *const FloodFirstSender = "127.0.6.1";
const char *const SoakClient = "127.0.7.1";

// ---------------------------------------------------------------------------------------
// Results: rows of the table and members of the JSON object, in the order measured

std::string number(double value, int decimals)
{
    if (!std::isfinite(value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string quoted(const std::string &text)
{
    std::string result = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            result += '\\';
        result += c;
    }
    return result + "\"";
}

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

    void value(const std::string &key, double v, int decimals)
    {
        json.emplace_back(key, number(v, decimals));
    }
    void text(const std::string &key, const std::string &v) { json.emplace_back(key, quoted(v)); }
    void flag(const std::string &key, bool v) { json.emplace_back(key, v ? "true" : "false"); }
    void target(const std::string &key, bool met) { targets[key] = met; }
};

std::string ratioText(double bridge, double baseline)
{
    return baseline > 0 && std::isfinite(bridge) ? number(bridge / baseline, 3) : "-";
}

std::string yesNo(bool met)
{
    return met ? "yes" : "NO";
}

// Loss that the kernel counted at the benchmark's own client sockets, not the bridge's.
std::string dropNote(std::uint64_t drops)
{
    return drops ? " (" + std::to_string(drops) + " dropped by the benchmark's client sockets)"
                 : "";
}

// ---------------------------------------------------------------------------------------
// The window in this process, driven from the measuring thread

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

    void setPorts(std::uint16_t listen, const Ports &ports)
    {
        onGui([&] {
            field("lineEdit_LISTEN")->setText(QString::number(listen));
            field("lineEdit_METERING")->setText(QString::number(ports[Metering]));
            field("lineEdit_CONFIGURATION")->setText(QString::number(ports[Config]));
            field("lineEdit_CUSTOM")->setText(QString::number(ports[Custom]));
        });
    }

    void start()
    {
        QString status;
        onGui([&] {
            QMetaObject::invokeMethod(window, "on_START_clicked");
            status = window->findChild<QLabel *>("label_status_connection")->text();
        });
        if (status != QLatin1String("running"))
            throw std::runtime_error("the bridge did not start");
    }

    void stop()
    {
        onGui([&] { QMetaObject::invokeMethod(window, "on_STOP_clicked"); });
    }

    // CPU time of the thread the window runs on (its event loop, the poll, both paths).
    std::int64_t cpuNs()
    {
        pid_t tid = 0;
        onGui([&] { tid = static_cast<pid_t>(gettid()); });
        return threadCpuNs(tid);
    }

    int clients()
    {
        int count = -1;
        onGui([&] { count = field("lineEdit_clients")->text().toInt(); });
        return count;
    }

    // Started with these clients registered, or an exception.
    void startWith(ClientSet &clientSet, std::uint16_t listen)
    {
        start();
        if (!registerClients(clientSet, listen))
            throw std::runtime_error("clients did not register");
    }

    bool registerClients(ClientSet &clientSet, std::uint16_t listen)
    {
        const std::int64_t deadline = monotonicNs() + 3 * Sec;
        while (clients() != clientSet.count()) {
            if (monotonicNs() > deadline)
                return false;
            clientSet.sendKeepAlives(listen);
            sleepNs(20 * Ms);
        }
        return true;
    }

    // As the operator's click: nothing happens to a disabled button.
    void click(const char *button)
    {
        onGui([&] { window->findChild<QAbstractButton *>(button)->click(); });
    }

    void setAutoConnect(bool on)
    {
        onGui([&] {
            QCheckBox *box = window->findChild<QCheckBox *>("checkBox_auto_connect");
            if (box->isChecked() != on)
                box->click();
        });
    }

    bool waitForState(bool running, std::int64_t timeoutNs)
    {
        const std::int64_t deadline = monotonicNs() + timeoutNs;
        for (;;) {
            bool now = false;
            onGui([&] {
                now = window->findChild<QLabel *>("label_status_connection")->text()
                    == QLatin1String("running");
            });
            if (now == running || monotonicNs() > deadline)
                return now == running;
            sleepNs(2 * Ms);
        }
    }

    int socketDescriptor()
    {
        int fd = -1;
        onGui(
            [&] { fd = static_cast<int>(window->findChild<QUdpSocket *>()->socketDescriptor()); });
        return fd;
    }

private:
    QLineEdit *field(const char *name) { return window->findChild<QLineEdit *>(name); }

    MainWindow *window;
};

void queueOnDevice(std::uint32_t sequence)
{
    const BenchReport::Report report = BenchReport::make(sequence);
    FakeHid::queueInput(FakeHid::Bytes(report.begin(), report.end()));
}

bool waitForDeviceDrained(std::int64_t timeoutNs)
{
    const std::int64_t deadline = monotonicNs() + timeoutNs;
    while (FakeHid::pendingInput() > 0) {
        if (monotonicNs() > deadline)
            return false;
        sleepNs(Ms);
    }
    return true;
}

// Leaves the window as the next phase expects it, also when a phase throws: auto-connect off,
// stopped, no write observer, debug lines to standard error, empty simulation logs.
class BridgeReset
{
public:
    explicit BridgeReset(Bridge &bridge)
        : bridge(bridge)
    { }
    ~BridgeReset()
    {
        bridge.setAutoConnect(false);
        bridge.stop();
        FakeHid::setWriteObserver(nullptr);
        qInstallMessageHandler(nullptr);
        FakeHid::clearCalls();
        FakeHid::clearWrites();
    }
    BridgeReset(const BridgeReset &) = delete;
    BridgeReset &operator=(const BridgeReset &) = delete;

private:
    Bridge &bridge;
};

std::atomic<std::uint64_t> keepAliveLines {0};
QtMessageHandler chainedHandler = nullptr;

// Counts the keep-alive lines on their way to standard error.
void countKeepAliveLines(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg && text.startsWith(QLatin1String("Keep Alive message from: ")))
        ++keepAliveLines;
    chainedHandler(type, context, text);
}

// This process's memory and descriptors, where the window runs.
struct Usage
{
    long rssKiB = -1;
    int descriptors = -1;
};

Usage ownUsage()
{
    return {statusKiB(getpid(), "VmRSS"), openDescriptors(getpid())};
}

// A row and the JSON members for no growth from `warm` to `end`; true when met.
bool noGrowthRow(Report &report, const std::string &figure, const std::string &key,
    const Usage &warm, const Usage &end)
{
    const long growth = end.rssKiB - warm.rssKiB;
    const bool met = warm.rssKiB >= 0 && end.rssKiB >= 0 && growth <= LoadToleranceKiB
        && warm.descriptors >= 0 && end.descriptors == warm.descriptors;
    report.rows.push_back({figure,
        (growth >= 0 ? "+" : "") + std::to_string(growth) + " KiB; "
            + std::to_string(warm.descriptors) + " -> " + std::to_string(end.descriptors),
        "-", "-", "<= " + std::to_string(LoadToleranceKiB) + " KiB; same", yesNo(met)});
    report.value(key + "_rss_warm_kib", double(warm.rssKiB), 0);
    report.value(key + "_rss_end_kib", double(end.rssKiB), 0);
    report.value(key + "_fds_warm", warm.descriptors, 0);
    report.value(key + "_fds_end", end.descriptors, 0);
    report.target(key + "_flat", met);
    return met;
}

// ---------------------------------------------------------------------------------------
// The C yardstick's "device": one end of a SOCK_SEQPACKET pair, one report per record

struct SeqPacketDevice
{
    int ours = -1, theirs = -1;

    SeqPacketDevice()
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
            throw std::runtime_error("socketpair");
        ours = ends[0];
        theirs = ends[1];
        fcntl(ours, F_SETFL, fcntl(ours, F_GETFL) | O_NONBLOCK);
    }
    ~SeqPacketDevice()
    {
        close(ours);
        if (theirs >= 0)
            close(theirs);
    }
    void handedOver()
    {
        close(theirs);
        theirs = -1;
    }
    bool queue(std::uint32_t sequence)
    {
        const BenchReport::Report report = BenchReport::make(sequence);
        return write(ours, report.data(), report.size()) == static_cast<ssize_t>(report.size());
    }
    void endOfInput() { shutdown(ours, SHUT_WR); }
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

Child startSender(
    const Programs &programs, SeqPacketDevice &device, const Ports &ports, const ClientSet &clients)
{
    SpawnOptions options;
    options.argv = {programs.baseline, "send", "3", std::to_string(ports[Metering]),
        std::to_string(ports[Config]), std::to_string(ports[Custom]),
        ipv4Text(clients.firstAddress()), std::to_string(clients.count())};
    options.stdoutPipe = true;
    options.extraFds = {{device.theirs, 3}};
    Child child = spawn(options);
    device.handedOver();
    return child;
}

// "ticks=N seconds=S reports=R" from a finished sender: its timer's rate.
double senderTickRate(Child &child)
{
    const std::string line = readLine(child.stdoutFd, 5 * Sec);
    long ticks = 0, reports = 0;
    double seconds = 0;
    if (std::sscanf(line.c_str(), "ticks=%ld seconds=%lf reports=%ld", &ticks, &seconds, &reports)
            != 3
        || seconds <= 0)
        return NAN;
    return ticks / seconds;
}

// ---------------------------------------------------------------------------------------
// Device to client: sustained rate

struct RateResult
{
    double perSecond = NAN;
    std::uint64_t queued = 0, expected = 0, received = 0, errors = 0;
    std::uint64_t clientDrops = 0; // by the benchmark's own client sockets
    bool lossless() const { return received == expected && errors == 0; }
};

// Keeps a report always waiting for `seconds` after a half-second warm-up and counts what
// reaches client 0's METERING socket in that time; then stops feeding, lets `finish` drain
// the device, and checks that every report read reached every socket, in order.
RateResult sustainedRate(ClientSet &clients, double seconds, std::uint16_t listen,
    const std::function<bool(std::uint32_t)> &queue, const std::function<bool()> &keepWaiting,
    const std::function<std::uint64_t(std::uint64_t)> &finish)
{
    RateResult result;
    clients.reset();
    std::uint32_t next = 0;
    const std::int64_t warm = monotonicNs() + Sec / 2;
    const std::int64_t end = warm + static_cast<std::int64_t>(seconds * Sec);
    std::int64_t t0 = 0;
    std::uint64_t c0 = 0;
    for (;;) {
        while (keepWaiting() && queue(next))
            ++next;
        const std::int64_t now = monotonicNs();
        if (!t0 && now >= warm) {
            t0 = now;
            c0 = clients.received(0, Metering);
        }
        if (now >= end) {
            result.perSecond = double(clients.received(0, Metering) - c0) * Sec / double(now - t0);
            break;
        }
        if (listen)
            clients.keepAliveIfDue(listen);
        sleepNs(Ms / 2);
    }
    result.queued = next;
    const std::uint64_t read = finish(next);
    result.expected = read * PortCount * clients.count();
    clients.waitForTotal(result.expected, 2 * Sec);
    sleepNs(50 * Ms); // anything beyond the expected would be a duplicate
    result.received = clients.total();
    result.errors = clients.errors();
    result.clientDrops = clients.dropped();
    return result;
}

// ---------------------------------------------------------------------------------------
// Device to client: latency

struct LatencyResult
{
    double p50 = NAN, p99 = NAN, max = NAN;
    int samples = 0;
    std::uint64_t missing = 0, errors = 0, clientDrops = 0;
};

// One report at a time, made readable at a random moment (0.2 to 2.2 ms after the last one
// arrived, so the tick phase is uniform); every client's last arrival of it on its three
// ports, minus the moment it was made readable, is one sample.
LatencyResult latency(
    ClientSet &clients, int samples, const std::function<bool(std::uint32_t)> &queue)
{
    LatencyResult result;
    clients.reset();
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::int64_t> gap(200000, 2200000);
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(samples) * clients.count());
    const std::uint64_t perReport = std::uint64_t(PortCount) * clients.count();
    clients.setBatch(static_cast<int>(perReport));
    for (int s = 0; s < samples; ++s) {
        sleepNs(gap(random));
        const std::int64_t readable = realtimeNs();
        if (!queue(static_cast<std::uint32_t>(s)))
            throw std::runtime_error("could not queue a report");
        if (!clients.waitForTotal((s + 1) * perReport, 500 * Ms)) {
            result.missing = (s + 1) * perReport - clients.total();
            break;
        }
        for (int c = 0; c < clients.count(); ++c) {
            const std::int64_t arrival = clients.lastArrival(c, static_cast<std::uint32_t>(s));
            if (arrival < 0)
                ++result.missing;
            else
                values.push_back(double(arrival - readable) / Ms);
        }
        ++result.samples;
    }
    clients.setBatch(1);
    result.clientDrops = clients.dropped();
    result.errors = clients.errors();
    std::sort(values.begin(), values.end());
    result.p50 = percentile(values, 0.50);
    result.p99 = percentile(values, 0.99);
    result.max = values.empty() ? NAN : values.back();
    return result;
}

// ---------------------------------------------------------------------------------------
// Client to device: throughput

// Counts the device writes (the bridge's, or the C yardstick's) and checks each: 00, the
// client's number, its datagram number, and the pattern, in order per client. The sender
// is woken only once half of its window has been written, not at every write.
class WriteCounter
{
public:
    void reset()
    {
        std::lock_guard<std::mutex> lock(mutex);
        written = errorCount = 0;
        expected.fill(0);
        lastWriteNs = 0;
        wakeAt = NoWaiter;
    }

    void onWrite(const unsigned char *data, std::size_t length)
    {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++written;
            lastWriteNs = monotonicNs();
            const unsigned client = length > 1 ? data[1] : 255;
            bool valid = length == 11 && data[0] == 0 && client < ThroughputClients;
            for (std::size_t i = 6; valid && i < length; ++i)
                valid = data[i] == 0x33;
            const std::uint32_t sequence = valid
                ? std::uint32_t(data[2]) | std::uint32_t(data[3]) << 8
                    | std::uint32_t(data[4]) << 16 | std::uint32_t(data[5]) << 24
                : 0;
            if (!valid || sequence != expected[client])
                ++errorCount;
            if (valid)
                expected[client] = sequence + 1;
            wake = written >= wakeAt;
        }
        if (wake)
            changed.notify_all();
    }

    // Returns at once while fewer than `window` of `sent` are unwritten; otherwise waits until
    // half of them are. False if nothing is written for a second.
    bool waitForRoom(std::uint64_t sent, std::uint64_t window)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (sent - written < window)
            return true;
        wakeAt = sent - window / 2;
        for (;;) {
            const std::uint64_t before = written;
            if (written >= wakeAt) {
                wakeAt = NoWaiter;
                return true;
            }
            if (!changed.wait_for(
                    lock, std::chrono::seconds(1), [&] { return written != before; })) {
                wakeAt = NoWaiter;
                return false;
            }
        }
    }

    // Until all of `sent` are written, or the time runs out.
    void waitForAll(std::uint64_t sent, std::int64_t timeoutNs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        wakeAt = sent;
        changed.wait_for(
            lock, std::chrono::nanoseconds(timeoutNs), [&] { return written >= sent; });
        wakeAt = NoWaiter;
    }

    std::uint64_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return written;
    }
    std::uint64_t errors()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return errorCount;
    }
    std::int64_t lastWrite()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lastWriteNs;
    }

private:
    static constexpr std::uint64_t NoWaiter = UINT64_MAX;
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t written = 0, errorCount = 0;
    std::array<std::uint32_t, ThroughputClients> expected {};
    std::int64_t lastWriteNs = 0;
    std::uint64_t wakeAt = NoWaiter;
};

struct ThroughputResult
{
    double perSecond = NAN;
    double cpuUsPerDatagram = NAN; // of the receiving side: the bridge's thread, the C process
    std::uint64_t sent = 0, written = 0, errors = 0;
    bool lossless() const { return written == sent && errors == 0; }
};

// `total` marked datagrams from 8 client addresses, round robin, never more than
// ThroughputWindow of them unwritten, so that the receive buffer cannot overflow.
ThroughputResult throughput(std::uint16_t listen, int total, WriteCounter &counter)
{
    ThroughputResult result;
    counter.reset();
    std::array<int, ThroughputClients> senders {};
    for (int c = 0; c < ThroughputClients; ++c) {
        senders[c] = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in from {};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(ipv4(ThroughputFirstClient) + c);
        if (bind(senders[c], reinterpret_cast<sockaddr *>(&from), sizeof from) != 0)
            throw std::runtime_error("cannot bind a sending client");
    }
    sockaddr_in bridge {};
    bridge.sin_family = AF_INET;
    bridge.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bridge.sin_port = htons(listen);

    const std::int64_t started = monotonicNs();
    for (int i = 0; i < total; ++i) {
        if (!counter.waitForRoom(static_cast<std::uint64_t>(i), ThroughputWindow))
            break;
        const int client = i % ThroughputClients;
        const std::uint32_t sequence = static_cast<std::uint32_t>(i / ThroughputClients);
        unsigned char datagram[12] = {0xA0, 0xA0, static_cast<unsigned char>(client),
            static_cast<unsigned char>(sequence), static_cast<unsigned char>(sequence >> 8),
            static_cast<unsigned char>(sequence >> 16), static_cast<unsigned char>(sequence >> 24),
            0x33, 0x33, 0x33, 0x33, 0x33};
        sendto(senders[client], datagram, sizeof datagram, 0, reinterpret_cast<sockaddr *>(&bridge),
            sizeof bridge);
        ++result.sent;
    }
    counter.waitForAll(result.sent, 2 * Sec);
    result.written = counter.count();
    result.errors = counter.errors();
    if (result.written > 0)
        result.perSecond = double(result.written) * Sec / double(counter.lastWrite() - started);
    for (const int fd : senders)
        close(fd);
    return result;
}

// ---------------------------------------------------------------------------------------
// Programs of their own: settings, readiness, CPU, memory

std::string settingsText(const Ports &ports, std::uint16_t listen, bool autoConnect)
{
    std::ostringstream text;
    text << "[General]\nauto_connect=" << (autoConnect ? "true" : "false")
         << "\nudp_config_port=" << ports[Config] << "\nudp_custom_port=" << ports[Custom]
         << "\nudp_default_ports=false\nudp_listen_port=" << listen
         << "\nudp_metering_port=" << ports[Metering] << "\n";
    return text.str();
}

class ConfigHome
{
public:
    ConfigHome(const Ports &ports, std::uint16_t listen, bool autoConnect)
    {
        if (!dir.isValid())
            throw std::runtime_error("no temporary folder");
        const std::string base = dir.path().toStdString();
        mkdir((base + "/Quorvale").c_str(), 0700);
        writeFile(base + "/Quorvale/Tavrel Control.conf", settingsText(ports, listen, autoConnect));
    }
    std::string path() const { return dir.path().toStdString(); }

private:
    QTemporaryDir dir;
};

struct Launch
{
    std::string program;
    std::string stderrPath;
    std::vector<std::string> environment;
    bool stdinPipe = false;
    bool quitWhenReady = false;
    std::string preload = {}; // preloaded before the readiness probe
};

int openLog(const std::string &path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    return fd;
}

// A Qt program with the readiness probe preloaded, its debug lines going to a file.
Child launchQt(const Programs &programs, const Launch &launch, const std::string &configHome)
{
    SpawnOptions options;
    options.argv = {launch.program};
    // Its own runtime folder and no session bus: a copy the user has running elsewhere is not
    // the one instance that this start would hand over to.
    options.environment = {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + configHome,
        "XDG_RUNTIME_DIR=" + configHome,
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + configHome + "/no-bus",
        "LD_PRELOAD=" + (launch.preload.empty() ? "" : launch.preload + ":") + programs.probe,
        "TAVREL_BENCH_READY_FD=3"};
    if (launch.quitWhenReady)
        options.environment.push_back("TAVREL_BENCH_QUIT_WHEN_READY=1");
    options.environment.insert(
        options.environment.end(), launch.environment.begin(), launch.environment.end());
    options.readyPipe = true;
    options.stdinPipe = launch.stdinPipe;
    const int log = openLog(launch.stderrPath);
    options.stderrFd = log;
    Child child = spawn(options);
    close(log);
    return child;
}

double cpuPercent(pid_t pid, double seconds)
{
    const std::int64_t c0 = cpuNs(pid), t0 = monotonicNs();
    if (c0 <= 0) // a process that reached its event loop has used some CPU
        throw std::runtime_error("no scheduler statistics for process " + std::to_string(pid));
    sleepNs(static_cast<std::int64_t>(seconds * Sec));
    const std::int64_t c1 = cpuNs(pid), t1 = monotonicNs();
    return 100.0 * double(c1 - c0) / double(t1 - t0);
}

std::size_t countOccurrences(const std::string &text, const std::string &what)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// Sends keep-alives until the bridge has logged `clients` of them: it is running.
bool waitUntilRunning(ClientSet &clients, std::uint16_t listen, const std::string &stderrPath)
{
    const std::int64_t deadline = monotonicNs() + 10 * Sec;
    while (monotonicNs() < deadline) {
        clients.sendKeepAlives(listen);
        sleepNs(100 * Ms);
        if (countOccurrences(readFile(stderrPath), "Keep Alive message from")
            >= static_cast<std::size_t>(clients.count()))
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// The phases

class Benchmark
{
public:
    Benchmark(const Plan &plan, const Programs &programs, Bridge &bridge)
        : plan(plan)
        , programs(programs)
        , bridge(bridge)
    {
        listen = freePort();
        for (std::uint16_t &port : ports)
            port = freePort();
    }

    void run(Report &report)
    {
        const std::string mode = plan.quick ? "quick" : "full";
        progress("mode " + mode + ", ports listen " + std::to_string(listen) + ", metering "
            + std::to_string(ports[Metering]) + ", config " + std::to_string(ports[Config])
            + ", custom " + std::to_string(ports[Custom]));
        phase("rate", "timers and device-to-client rate", [&] { rates(report); });
        phase("latency", "device-to-client latency", [&] { latencies(report); });
        phase("throughput", "client-to-device throughput", [&] { clientToDevice(report); });
        phase("idle", "idle CPU", [&] { idle(report); });
        phase("startup", "start-up", [&] { startup(report); });
        phase("memory", "memory", [&] { memory(report); });
        phase("flood", "flood of the LISTEN port", [&] { flood(report); });
        phase("soak", "unplug soak", [&] { soak(report); });
    }

private:
    void progress(const std::string &text) { std::cout << "# " << text << std::endl; }

    void phase(const std::string &key, const std::string &name, const std::function<void()> &body)
    {
        if (!plan.only.empty() && plan.only.count(key) == 0)
            return;
        progress(name + " ...");
        try {
            body();
        } catch (const std::exception &error) {
            progress(name + " failed: " + error.what());
            failures.push_back(name + ": " + error.what());
            bridge.stop(); // the next phase starts from a stopped bridge, whatever happened
            FakeHid::setWriteObserver(nullptr);
        }
    }

public:
    std::vector<std::string> failures;

private:
    double emptyQTimerRate()
    {
        std::atomic<std::uint64_t> ticks {0};
        QTimer *timer = nullptr;
        bridge.onGui([&] {
            timer = new QTimer; // the default type, as the bridge's poll
            QObject::connect(timer, &QTimer::timeout, [&ticks] { ticks.fetch_add(1); });
            timer->start(1);
        });
        sleepNs(Sec / 2);
        const std::uint64_t c0 = ticks;
        const std::int64_t t0 = monotonicNs();
        sleepNs(static_cast<std::int64_t>(plan.timerSeconds * Sec));
        const std::uint64_t c1 = ticks;
        const std::int64_t t1 = monotonicNs();
        bridge.onGui([&] { delete timer; });
        return double(c1 - c0) * Sec / double(t1 - t0);
    }

    void rates(Report &report)
    {
        const double qtimer = emptyQTimerRate();
        progress("empty 1 ms QTimer: " + number(qtimer, 1) + " ticks/s");

        RateResult bridged;
        {
            ClientSet clients(ipv4(SustainedClients), 1, ports);
            bridge.setPorts(listen, ports);
            bridge.startWith(clients, listen);
            bridged = sustainedRate(
                clients, plan.sustainedSeconds, listen,
                [](std::uint32_t s) {
                    queueOnDevice(s);
                    return true;
                },
                [] { return FakeHid::pendingInput() < 8; },
                [](std::uint64_t queued) {
                    waitForDeviceDrained(2 * Sec);
                    return queued - FakeHid::pendingInput();
                });
            bridge.stop();
        }
        progress("bridge: " + number(bridged.perSecond, 1) + " reports/s");

        RateResult c;
        double cTicks = NAN;
        {
            ClientSet clients(ipv4(SustainedClients), 1, ports);
            SeqPacketDevice device;
            Child sender = startSender(programs, device, ports, clients);
            ChildGuard senderGuard(sender);
            c = sustainedRate(
                clients, plan.sustainedSeconds, 0, [&](std::uint32_t s) { return device.queue(s); },
                [] { return true; },
                [&](std::uint64_t queued) {
                    device.endOfInput();
                    waitForExit(sender, 10 * Sec);
                    return queued;
                });
            cTicks = senderTickRate(sender);
            stop(sender);
        }
        progress(
            "C: " + number(c.perSecond, 1) + " reports/s, timer " + number(cTicks, 1) + " ticks/s");

        report.rows.push_back({"1 ms timer, ticks/s", "QTimer " + number(qtimer, 1),
            "C abs. deadline " + number(cTicks, 1), ratioText(qtimer, cTicks), "(for information)",
            "-"});
        const double ratio = bridged.perSecond / qtimer;
        const bool met = ratio >= 0.99 && bridged.lossless();
        report.rows.push_back({"device->client rate, 1 client, reports/s",
            number(bridged.perSecond, 1), "empty QTimer " + number(qtimer, 1), number(ratio, 3),
            ">= 0.99 x QTimer", yesNo(ratio >= 0.99)});
        report.rows.push_back({"  same: lost / out of order",
            std::to_string(bridged.expected - std::min(bridged.expected, bridged.received)) + " / "
                + std::to_string(bridged.errors),
            "C " + std::to_string(c.expected - std::min(c.expected, c.received)) + " / "
                + std::to_string(c.errors),
            "-", "0 / 0", yesNo(bridged.lossless()) + dropNote(bridged.clientDrops)});
        report.rows.push_back({"  C sender rate, reports/s (for information)", "-",
            "C " + number(c.perSecond, 1), ratioText(bridged.perSecond, c.perSecond), "-", "-"});
        report.value("qtimer_empty_hz", qtimer, 1);
        report.value("c_timer_hz", cTicks, 1);
        report.value("d2c_rate_hz", bridged.perSecond, 1);
        report.value("d2c_rate_ratio_to_qtimer", ratio, 4);
        report.value("d2c_rate_c_hz", c.perSecond, 1);
        report.value("d2c_reports_read", double(bridged.expected / PortCount), 0);
        report.value("d2c_datagrams_expected", double(bridged.expected), 0);
        report.value("d2c_datagrams_received", double(bridged.received), 0);
        report.value("d2c_out_of_order", double(bridged.errors), 0);
        report.value("d2c_client_socket_drops", double(bridged.clientDrops), 0);
        report.target("d2c_rate", met);
    }

    void latencies(Report &report)
    {
        for (const int count : LatencyClients) {
            ClientSet clients(ipv4(LatencyFirstClient), count, ports);
            bridge.setPorts(listen, ports);
            bridge.startWith(clients, listen);
            const std::int64_t cpuBefore = bridge.cpuNs();
            const LatencyResult bridged
                = latency(clients, plan.latencySamples, [](std::uint32_t s) {
                      queueOnDevice(s);
                      return true;
                  });
            const double bridgeCpuUs
                = double(bridge.cpuNs() - cpuBefore) / 1000 / std::max(1, bridged.samples);
            bridge.stop();

            SeqPacketDevice device;
            Child sender = startSender(programs, device, ports, clients);
            ChildGuard senderGuard(sender);
            sleepNs(200 * Ms); // past its start-up
            const LatencyResult c = latency(
                clients, plan.latencySamples, [&](std::uint32_t s) { return device.queue(s); });
            device.endOfInput();
            waitForExit(sender, 5 * Sec);
            const double cCpuUs = double(sender.cpuNsAtExit) / 1000 / std::max(1, c.samples);
            stop(sender);

            progress(std::to_string(count) + " clients: p50 " + number(bridged.p50, 3) + " ms, p99 "
                + number(bridged.p99, 3) + " ms (C " + number(c.p50, 3) + " / " + number(c.p99, 3)
                + "); CPU per report " + number(bridgeCpuUs, 1) + " us (C " + number(cCpuUs, 1)
                + ")");
            const std::string n = std::to_string(count);
            const bool complete = bridged.missing == 0 && bridged.errors == 0;
            std::string p50Target = "-", p99Target = "-";
            bool p50Met = true, p99Met = complete;
            if (count == 1) {
                p50Target = "<= 1.0 ms";
                p99Target = "<= 2.0 ms";
                p50Met = bridged.p50 <= 1.0 && complete;
                p99Met = bridged.p99 <= 2.0 && complete;
            } else if (count == 128) {
                p99Target = "<= 3.0 ms";
                p99Met = bridged.p99 <= 3.0 && complete;
            }
            report.rows.push_back({"latency " + n + " client" + (count > 1 ? "s" : "") + ", p50 ms",
                number(bridged.p50, 3), "C " + number(c.p50, 3), ratioText(bridged.p50, c.p50),
                p50Target, p50Target == "-" ? "-" : yesNo(p50Met)});
            report.rows.push_back({"latency " + n + " client" + (count > 1 ? "s" : "") + ", p99 ms",
                number(bridged.p99, 3) + " (max " + number(bridged.max, 2) + ")",
                "C " + number(c.p99, 3), ratioText(bridged.p99, c.p99), p99Target,
                (p99Target == "-" ? (complete ? "-" : "NO (lost)") : yesNo(p99Met))
                    + dropNote(bridged.clientDrops)});
            report.rows.push_back(
                {"  same: CPU per report, us (for information)", number(bridgeCpuUs, 1),
                    "C " + number(cCpuUs, 1), ratioText(bridgeCpuUs, cCpuUs), "-", "-"});
            report.value("latency_" + n + "_cpu_us_per_report", bridgeCpuUs, 1);
            report.value("latency_" + n + "_c_cpu_us_per_report", cCpuUs, 1);
            report.value("latency_" + n + "_p50_ms", bridged.p50, 3);
            report.value("latency_" + n + "_p99_ms", bridged.p99, 3);
            report.value("latency_" + n + "_max_ms", bridged.max, 3);
            report.value("latency_" + n + "_c_p50_ms", c.p50, 3);
            report.value("latency_" + n + "_c_p99_ms", c.p99, 3);
            report.value("latency_" + n + "_samples", double(bridged.samples) * count, 0);
            report.value("latency_" + n + "_missing", double(bridged.missing), 0);
            report.value("latency_" + n + "_client_socket_drops", double(bridged.clientDrops), 0);
            if (count == 1) {
                report.target("latency_1_p50", p50Met);
                report.target("latency_1_p99", p99Met);
            } else if (count == 128) {
                report.target("latency_128_p99", p99Met);
            }
        }
    }

    ThroughputResult bridgeThroughput(WriteCounter &counter)
    {
        FakeHid::setWriteObserver([&counter](const FakeHid::Bytes &bytes) {
            counter.onWrite(bytes.data(), bytes.size());
        });
        bridge.setPorts(listen, ports);
        bridge.start();
        const std::int64_t cpuBefore = bridge.cpuNs();
        ThroughputResult result = throughput(listen, plan.throughputDatagrams, counter);
        result.cpuUsPerDatagram
            = double(bridge.cpuNs() - cpuBefore) / 1000 / double(result.written);
        bridge.stop();
        FakeHid::setWriteObserver(nullptr);
        FakeHid::clearCalls();
        FakeHid::clearWrites();
        return result;
    }

    ThroughputResult cThroughput(WriteCounter &counter)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        const std::uint16_t cListen = freePort();
        SpawnOptions options;
        options.argv = {programs.baseline, "rx", std::to_string(cListen),
            std::to_string(plan.throughputDatagrams), "3"};
        options.stdoutPipe = true;
        options.extraFds = {{out[1], 3}};
        Child receiver = spawn(options);
        ChildGuard receiverGuard(receiver);
        close(out[1]);
        std::thread reader([&counter, fd = out[0]] {
            unsigned char buffer[11 * 512];
            std::size_t held = 0;
            for (;;) {
                const ssize_t got = read(fd, buffer + held, sizeof buffer - held);
                if (got <= 0)
                    return;
                held += static_cast<std::size_t>(got);
                std::size_t at = 0;
                for (; held - at >= 11; at += 11)
                    counter.onWrite(buffer + at, 11);
                std::memmove(buffer, buffer + at, held - at);
                held -= at;
            }
        });
        ThroughputResult result;
        if (readLine(receiver.stdoutFd, 5 * Sec) == "ready")
            result = throughput(cListen, plan.throughputDatagrams, counter);
        waitForExit(receiver, 5 * Sec);
        if (receiver.cpuNsAtExit >= 0 && result.written > 0)
            result.cpuUsPerDatagram = double(receiver.cpuNsAtExit) / 1000 / double(result.written);
        stop(receiver);
        reader.join();
        close(out[0]);
        return result;
    }

    static double median(std::vector<double> values)
    {
        std::sort(values.begin(), values.end());
        return percentile(values, 0.5);
    }

    void clientToDevice(Report &report)
    {
        WriteCounter counter;
        std::vector<double> bridgeRates, cRates, bridgeCpu, cCpu, ratios;
        ThroughputResult bridged, c; // the worst rounds for loss and order
        bridged.sent = c.sent = 0;
        bool bridgeLossless = true;
        std::string lossText, cLossText;
        for (int round = 0; round < plan.throughputRounds; ++round) {
            const ThroughputResult b = bridgeThroughput(counter);
            const ThroughputResult cRound = cThroughput(counter);
            bridgeRates.push_back(b.perSecond);
            cRates.push_back(cRound.perSecond);
            bridgeCpu.push_back(b.cpuUsPerDatagram);
            cCpu.push_back(cRound.cpuUsPerDatagram);
            ratios.push_back(b.perSecond / cRound.perSecond);
            bridgeLossless = bridgeLossless && b.lossless();
            if (round == 0 || !b.lossless())
                bridged = b;
            if (round == 0 || !cRound.lossless())
                c = cRound;
            progress("round " + std::to_string(round + 1) + ": bridge " + number(b.perSecond, 0)
                + "/s (" + number(b.cpuUsPerDatagram, 2) + " us CPU each), C "
                + number(cRound.perSecond, 0) + "/s (" + number(cRound.cpuUsPerDatagram, 2)
                + " us)");
        }
        const double bridgeRate = median(bridgeRates), cRate = median(cRates);
        const double bridgeUs = median(bridgeCpu), cUs = median(cCpu);
        const double ratio = bridgeRate / cRate;
        const bool met = ratio >= 0.5 && bridgeLossless;
        const std::string what = std::to_string(plan.throughputDatagrams) + " from 8 clients";
        report.rows.push_back({"client->device, " + what + ", writes/s (median of "
                + std::to_string(plan.throughputRounds) + ")",
            number(bridgeRate, 0), "C " + number(cRate, 0), number(ratio, 3), ">= 0.50 x C",
            yesNo(ratio >= 0.5)});
        report.rows.push_back({"  same: CPU per datagram, us (for information)",
            number(bridgeUs, 2), "C " + number(cUs, 2), ratioText(bridgeUs, cUs), "-", "-"});
        report.rows.push_back({"  same: written / sent, out of order (worst round)",
            std::to_string(bridged.written) + " / " + std::to_string(bridged.sent) + ", "
                + std::to_string(bridged.errors),
            "C " + std::to_string(c.written) + " / " + std::to_string(c.sent) + ", "
                + std::to_string(c.errors),
            "-", "no loss", yesNo(bridgeLossless)});
        report.value("c2d_writes_per_s", bridgeRate, 0);
        report.value("c2d_c_writes_per_s", cRate, 0);
        report.value("c2d_ratio_to_c", ratio, 4);
        std::string perRound = "[";
        for (std::size_t i = 0; i < ratios.size(); ++i)
            perRound += (i ? "," : "") + number(ratios[i], 3);
        report.json.emplace_back("c2d_round_ratios", perRound + "]");
        report.value("c2d_cpu_us_per_datagram", bridgeUs, 3);
        report.value("c2d_c_cpu_us_per_datagram", cUs, 3);
        report.value("c2d_datagrams_per_round", plan.throughputDatagrams, 0);
        report.value("c2d_rounds", plan.throughputRounds, 0);
        report.flag("c2d_lossless", bridgeLossless);
        report.value("c2d_window", ThroughputWindow, 0);
        report.target("c2d_throughput", met);
    }

    std::string log(const std::string &name) const
    {
        return programs.logDir + "/" + name + ".stderr";
    }

    bool plugSimulatedDevice(const std::string &socketPath)
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
    Quiet quietProgram(const std::string &program, const std::string &logName)
    {
        ConfigHome home(ports, listen, false);
        Launch launch {program, log(logName), {}, false, false};
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

    void idle(Report &report)
    {
        const double seconds = plan.idleSeconds;
        double running = NAN, stopped = NAN, cIdle = NAN, floorIdle = NAN;
        // The real program with the preloaded simulated device when that is built.
        const bool onReal = !programs.deviceSim.empty();
        const std::string runningProgram
            = onReal ? "tavrel-control + preloaded devicesim" : "tavrel-control-bench";
        {
            ConfigHome home(ports, listen, true);
            const std::string socketPath = home.path() + "/devicesim.sock";
            Launch launch {onReal ? programs.real : programs.bridgeBench, log("idle-running"), {},
                false, false};
            if (onReal) {
                launch.preload = programs.deviceSim;
                launch.environment = {"TAVREL_DEVICESIM_SOCKET=" + socketPath};
            }
            Child child = launchQt(programs, launch, home.path());
            ChildGuard childGuard(child);
            ClientSet probe(ipv4(ProbeClient), 1, ports);
            bool started = readReady(child, 10 * Sec) >= 0;
            if (started && onReal)
                started = plugSimulatedDevice(socketPath);
            if (!started || !waitUntilRunning(probe, listen, launch.stderrPath)) {
                stop(child);
                throw std::runtime_error(runningProgram + " did not start the bridge");
            }
            sleepNs(Sec / 2);
            running = cpuPercent(child.pid, seconds);
            stop(child);
        }
        const Quiet real = quietProgram(programs.real, "idle-stopped");
        if (!std::isfinite(real.cpuPercent))
            throw std::runtime_error("tavrel-control did not reach its event loop");
        stopped = real.cpuPercent;
        const Quiet floor = quietProgram(programs.floor, "idle-qtfloor");
        floorIdle = floor.cpuPercent;
        floorPeakKiB = floor.peakKiB;
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
        progress("running " + number(running, 3) + " %, stopped " + number(stopped, 4) + " %");
        const bool runningMet = running <= 3.0, stoppedMet = stopped <= 0.1;
        report.rows.push_back({"idle CPU, running (1 ms poll), % of a core", number(running, 3),
            "C poll " + number(cIdle, 3), ratioText(running, cIdle), "<= 3 %", yesNo(runningMet)});
        report.rows.push_back({"idle CPU, stopped, % of a core", number(stopped, 4),
            "Qt floor " + number(floorIdle, 4), ratioText(stopped, floorIdle), "<= 0.1 %",
            yesNo(stoppedMet)});
        report.text("idle_running_program", runningProgram);
        report.value("idle_running_cpu_pct", running, 3);
        report.value("idle_running_c_cpu_pct", cIdle, 3);
        report.value("idle_stopped_cpu_pct", stopped, 4);
        report.value("idle_stopped_qtfloor_cpu_pct", floorIdle, 4);
        report.value("idle_seconds", seconds, 0);
        report.target("idle_running", runningMet);
        report.target("idle_stopped", stoppedMet);
    }

    void startup(Report &report)
    {
        std::vector<double> real, floor;
        ConfigHome home(ports, listen, false);
        for (int run = 0; run < plan.startupRuns; ++run) {
            for (const bool isReal : {true, false}) {
                Launch launch {isReal ? programs.real : programs.floor,
                    log(isReal ? "startup" : "startup-qtfloor"), {}, false, true};
                Child child = launchQt(programs, launch, home.path());
                ChildGuard childGuard(child);
                const std::int64_t ready = readReady(child, 10 * Sec);
                if (!waitForExit(child, 10 * Sec))
                    stop(child);
                closePipes(child);
                if (ready < 0)
                    throw std::runtime_error(launch.program + " never reached its event loop");
                (isReal ? real : floor).push_back(double(ready - child.spawnedNs) / Ms);
            }
        }
        std::sort(real.begin(), real.end());
        std::sort(floor.begin(), floor.end());
        const double median = percentile(real, 0.5), floorMedian = percentile(floor, 0.5);
        const bool met = median <= 300.0;
        progress("median " + number(median, 1) + " ms, Qt floor " + number(floorMedian, 1) + " ms");
        report.rows.push_back(
            {"start-up to event loop, ms (median of " + std::to_string(plan.startupRuns) + ")",
                number(median, 1) + " (max " + number(real.back(), 1) + ")",
                "Qt floor " + number(floorMedian, 1), ratioText(median, floorMedian), "<= 300 ms",
                yesNo(met)});
        report.value("startup_median_ms", median, 1);
        report.value("startup_max_ms", real.back(), 1);
        report.value("startup_qtfloor_median_ms", floorMedian, 1);
        report.value("startup_runs", plan.startupRuns, 0);
        report.target("startup", met);
    }

    void memory(Report &report)
    {
        const std::uint32_t total = plan.memoryReports;
        const std::uint32_t window = total / 10;
        ConfigHome home(ports, listen, true);
        Launch launch {programs.bridgeBench, log("memory"), {"TAVREL_BENCH_FEED=1"}, true, false};
        Child child = launchQt(programs, launch, home.path());
        ChildGuard childGuard(child);
        ClientSet clients(ipv4(MemoryFirstClient), MemoryClients, ports);
        if (readReady(child, 10 * Sec) < 0
            || !waitUntilRunning(clients, listen, launch.stderrPath)) {
            stop(child);
            throw std::runtime_error("tavrel-control-bench did not start the bridge");
        }
        clients.reset();
        const std::string command = "feed " + std::to_string(total) + "\n";
        if (write(child.stdinFd, command.data(), command.size())
            != static_cast<ssize_t>(command.size()))
            throw std::runtime_error("cannot feed the device");

        long afterFirst = -1, beforeLast = -1;
        std::int64_t stderrBytes = 0;
        const std::int64_t deadline
            = monotonicNs() + (static_cast<std::int64_t>(total) / 500 + 60) * Sec;
        std::int64_t nextProgress = monotonicNs() + 60 * Sec;
        std::uint64_t done = 0, before = 0;
        std::int64_t lastMove = monotonicNs();
        while (done < total && monotonicNs() < deadline && monotonicNs() - lastMove < 15 * Sec) {
            sleepNs(50 * Ms);
            done = clients.minReceived(Custom);
            if (done != before) {
                before = done;
                lastMove = monotonicNs();
            }
            if (afterFirst < 0 && done >= window)
                afterFirst = statusKiB(child.pid, "VmRSS");
            if (beforeLast < 0 && done >= total - window)
                beforeLast = statusKiB(child.pid, "VmRSS");
            clients.keepAliveIfDue(listen);
            struct stat info
            {
            };
            if (stat(launch.stderrPath.c_str(), &info) == 0 && info.st_size > StderrTruncateBytes) {
                stderrBytes += info.st_size;
                truncate(launch.stderrPath.c_str(), 0); // the bridge appends: it goes on at 0
            }
            if (monotonicNs() >= nextProgress) {
                progress(std::to_string(done) + " of " + std::to_string(total) + " reports, RSS "
                    + std::to_string(statusKiB(child.pid, "VmRSS")) + " KiB");
                nextProgress += 60 * Sec;
            }
        }
        sleepNs(200 * Ms);
        const long last = statusKiB(child.pid, "VmRSS");
        const long peak = statusKiB(child.pid, "VmHWM");
        struct stat info
        {
        };
        if (stat(launch.stderrPath.c_str(), &info) == 0)
            stderrBytes += info.st_size;
        const std::uint64_t expected = std::uint64_t(total) * PortCount * MemoryClients;
        const std::uint64_t received = clients.total();
        const std::uint64_t errors = clients.errors();
        const std::uint64_t drops = clients.dropped();
        stop(child);

        const long growth = last - afterFirst;
        const bool complete = received == expected && errors == 0;
        const bool peakMet = peak >= 0 && peak <= 40 * 1024;
        const bool flatMet = afterFirst >= 0 && growth <= FlatToleranceKiB;
        progress(
            "peak " + std::to_string(peak) + " KiB, growth " + std::to_string(growth) + " KiB");
        const std::string n = std::to_string(total);
        report.rows.push_back({"peak RSS after " + n + " reports to 16 clients, MiB",
            number(peak / 1024.0, 1), "Qt floor " + number(floorPeakKiB / 1024.0, 1),
            ratioText(peak, floorPeakKiB), "<= 40 MiB", yesNo(peakMet)});
        report.rows.push_back(
            {"  RSS growth from report " + std::to_string(window) + " to " + n + ", KiB",
                (growth >= 0 ? "+" : "") + std::to_string(growth),
                "last 10%: " + std::to_string(last - beforeLast), "-",
                "<= " + std::to_string(FlatToleranceKiB), yesNo(flatMet)});
        report.rows.push_back({"  same: datagrams received / expected, out of order",
            std::to_string(received) + " / " + std::to_string(expected) + ", "
                + std::to_string(errors),
            "-", "-", "no loss", yesNo(complete) + dropNote(drops)});
        report.value("memory_reports", total, 0);
        report.value("memory_peak_kib", double(peak), 0);
        report.value("memory_rss_after_first_window_kib", double(afterFirst), 0);
        report.value("memory_rss_before_last_window_kib", double(beforeLast), 0);
        report.value("memory_rss_end_kib", double(last), 0);
        report.value("memory_growth_kib", double(growth), 0);
        report.value("memory_qtfloor_peak_kib", double(floorPeakKiB), 0);
        report.value("memory_datagrams_expected", double(expected), 0);
        report.value("memory_datagrams_received", double(received), 0);
        report.value("memory_out_of_order", double(errors), 0);
        report.value("memory_client_socket_drops", double(drops), 0);
        report.value("memory_stderr_bytes", double(stderrBytes), 0);
        report.target("memory_peak", peakMet);
        report.target("memory_flat", flatMet);
    }

    // Until the bridge's socket has nothing queued: the window has read everything sent.
    static void waitForEmptyQueue(int fd)
    {
        const std::int64_t deadline = monotonicNs() + 120 * Sec;
        while (socketCounters(fd).queuedBytes > 0) {
            if (monotonicNs() > deadline)
                throw std::runtime_error("the bridge stopped reading its socket");
            sleepNs(5 * Ms);
        }
    }

    // The datagram mix at full speed, from this thread while the window reads on its own. A
    // first tenth warms up (registry, buffers); memory and descriptors are read after it and
    // at the end.
    void flood(Report &report)
    {
        const std::uint64_t total = plan.floodDatagrams, warmUp = total / 10;
        bridge.setPorts(listen, ports);
        bridge.start();
        const int fd = bridge.socketDescriptor();
        const SocketCounters atStart = socketCounters(fd);
        if (!atStart.found)
            throw std::runtime_error("the bridge's socket is not in /proc/net/udp6 or udp");
        DeliveryCheck check(fd, FloodSenders);
        const BridgeReset reset(bridge); // before the check goes
        FakeHid::setWriteObserver([&check](const FakeHid::Bytes &bytes) { check.onWrite(bytes); });
        keepAliveLines = 0;
        chainedHandler = qInstallMessageHandler(countKeepAliveLines);
        Flooder flooder(ipv4(FloodFirstSender), FloodSenders, listen);

        const std::int64_t started = monotonicNs();
        flooder.send(warmUp);
        waitForEmptyQueue(fd);
        const Usage warm = ownUsage();
        flooder.send(total - warmUp);
        waitForEmptyQueue(fd);
        const double seconds = double(monotonicNs() - started) / Sec;
        std::uint64_t dropped = 0; // a datagram still on its way shows within moments
        for (const std::int64_t deadline = monotonicNs() + 10 * Sec;
             (dropped = socketCounters(fd).drops - atStart.drops) + check.delivered < flooder.sent
             && monotonicNs() < deadline;)
            sleepNs(10 * Ms);
        bridge.onGui([] {}); // the window is done with everything it read
        const Usage end = ownUsage();

        const std::uint64_t delivered = check.delivered;
        const bool accounted = delivered + dropped == flooder.sent;
        const bool written = check.writes == check.data && check.mismatched == 0
            && check.outOfOrder == 0 && check.unwritten() == 0;
        const bool logged = keepAliveLines == check.keepAlives;
        progress(std::to_string(flooder.sent) + " sent in " + number(seconds, 1) + " s, "
            + std::to_string(delivered) + " delivered, " + std::to_string(dropped)
            + " dropped by the kernel; " + std::to_string(check.writes) + " device writes");
        const std::string n = std::to_string(total);
        report.rows.push_back({"flood: " + n + " datagrams from 200 addresses, sent/s",
            number(flooder.sent / seconds, 0), "-", "-", "(for information)", "-"});
        report.rows.push_back({"  same: delivered + dropped by the kernel = sent",
            std::to_string(delivered) + " + " + std::to_string(dropped) + " = "
                + std::to_string(flooder.sent),
            "-", "-", "equal", yesNo(accounted)});
        report.rows.push_back({"  same: marked data delivered / written, wrong, out of order",
            std::to_string(check.data) + " / " + std::to_string(check.writes) + ", "
                + std::to_string(check.mismatched) + ", " + std::to_string(check.outOfOrder),
            "-", "-", "each once, in order", yesNo(written)});
        report.rows.push_back({"  same: keep-alives delivered / their debug lines",
            std::to_string(check.keepAlives) + " / " + std::to_string(keepAliveLines.load()), "-",
            "-", "equal", yesNo(logged)});
        noGrowthRow(report, "  same: RSS and descriptors, after the first tenth to the end",
            "flood", warm, end);
        report.value("flood_datagrams", double(total), 0);
        report.value("flood_seconds", seconds, 2);
        report.value("flood_sent", double(flooder.sent), 0);
        report.value("flood_refused", double(flooder.refused), 0);
        report.value("flood_delivered", double(delivered), 0);
        report.value("flood_kernel_drops", double(dropped), 0);
        report.value("flood_data_delivered", double(check.data), 0);
        report.value("flood_device_writes", double(check.writes), 0);
        report.value("flood_writes_wrong", double(check.mismatched), 0);
        report.value("flood_out_of_order", double(check.outOfOrder), 0);
        report.value("flood_keepalives_delivered", double(check.keepAlives), 0);
        report.value("flood_keepalive_lines", double(keepAliveLines.load()), 0);
        report.target("flood_accounted", accounted);
        report.target("flood_written_once_in_order", written);
        report.target("flood_keepalive_lines", logged);
    }

    struct SoakMode
    {
        std::string key, name;
        bool autoConnect, unplug; // unplug: or the Stop button, with the device left in
        int cycles;
    };

    // The running bridge serves both ways: the client registers, a device report reaches its
    // three sockets, and a datagram from each of 8 clients reaches the device.
    bool serves(ClientSet &clients, WriteCounter &counter)
    {
        clients.reset();
        if (!bridge.registerClients(clients, listen))
            return false;
        queueOnDevice(0);
        return clients.waitForTotal(PortCount, 2 * Sec) && clients.errors() == 0
            && throughput(listen, ThroughputClients, counter).lossless();
    }

    void soak(Report &report)
    {
        WriteCounter counter;
        const BridgeReset reset(bridge);
        FakeHid::setWriteObserver([&counter](const FakeHid::Bytes &bytes) {
            counter.onWrite(bytes.data(), bytes.size());
        });
        ClientSet clients(ipv4(SoakClient), 1, ports);
        bridge.setPorts(listen, ports);
        // The quick cycles first: whatever the window keeps once (buffers, caches) is in place
        // before the long auto-connect cycles are measured.
        const SoakMode modes[] = {
            {"soak_start", "unplug, Start button", false, true, plan.soakCycles},
            {"soak_stopstart", "Stop and Start buttons", false, false, plan.soakCycles},
            {"soak_autoconnect", "unplug, auto-connect", true, true, plan.soakAutoConnectCycles}};
        for (const SoakMode &mode : modes)
            soakCycles(report, mode, clients, counter);
    }

    // Each cycle: served both ways, the device goes (or Stop), the device comes back (or
    // Start) and the bridge must be running again within the auto-connect interval. Memory and
    // descriptors are read after the first tenth of the cycles (at least 2) and at the end.
    void soakCycles(Report &report, const SoakMode &mode, ClientSet &clients, WriteCounter &counter)
    {
        const std::int64_t backWithin = mode.autoConnect ? 5 * Sec : Sec;
        if (mode.autoConnect)
            bridge.setAutoConnect(true);
        else
            bridge.click("START");
        bool running = bridge.waitForState(true, backWithin);
        if (!running)
            throw std::runtime_error(mode.name + ": the bridge did not start");
        int back = 0, served = 0;
        Usage warm;
        for (int cycle = 1; running && cycle <= mode.cycles; ++cycle) {
            served += serves(clients, counter) ? 1 : 0;
            if (cycle == std::min(std::max(2, mode.cycles / 10), mode.cycles))
                warm = ownUsage();
            if (mode.unplug)
                FakeHid::unplug();
            else
                bridge.click("STOP");
            if (!bridge.waitForState(false, 2 * Sec) || FakeHid::openHandles() != 0)
                throw std::runtime_error(mode.name + ": not stopped, or the device left open");
            FakeHid::clearCalls();
            FakeHid::clearWrites();
            if (mode.unplug)
                FakeHid::plug();
            if (!mode.autoConnect)
                bridge.click("START");
            running = bridge.waitForState(true, backWithin);
            back += running ? 1 : 0;
        }
        const Usage end = ownUsage();
        bridge.setAutoConnect(false);
        bridge.stop();

        const bool met = back == mode.cycles && served == mode.cycles;
        progress(mode.name + ": back " + std::to_string(back) + ", served " + std::to_string(served)
            + " of " + std::to_string(mode.cycles) + "; RSS " + std::to_string(warm.rssKiB) + " -> "
            + std::to_string(end.rssKiB) + " KiB");
        report.rows.push_back(
            {"soak, " + mode.name + ": back running / serving, of " + std::to_string(mode.cycles),
                std::to_string(back) + " / " + std::to_string(served), "-", "-", "every cycle",
                yesNo(met)});
        noGrowthRow(report, "  same: RSS and descriptors, after the first tenth to the end",
            mode.key, warm, end);
        report.value(mode.key + "_cycles", mode.cycles, 0);
        report.value(mode.key + "_back", back, 0);
        report.value(mode.key + "_served", served, 0);
        report.target(mode.key + "_back", met);
    }

    const Plan plan;
    const Programs programs;
    Bridge &bridge;
    std::uint16_t listen = 0;
    Ports ports {};
    long floorPeakKiB = -1;
};

std::string loadAverage()
{
    const std::string text = readFile("/proc/loadavg");
    return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

void print(const Report &report)
{
    const char *const headings[] = {"figure", "bridge", "baseline", "ratio", "target", "met"};
    std::array<std::size_t, 6> widths {};
    auto cells = [](const Row &row) {
        return std::array<std::string, 6> {
            row.figure, row.bridge, row.baseline, row.ratio, row.target, row.met};
    };
    for (std::size_t i = 0; i < 6; ++i)
        widths[i] = std::strlen(headings[i]);
    for (const Row &row : report.rows) {
        const auto c = cells(row);
        for (std::size_t i = 0; i < 6; ++i)
            widths[i] = std::max(widths[i], c[i].size());
    }
    auto line = [&](const std::array<std::string, 6> &c) {
        std::string text;
        for (std::size_t i = 0; i < 6; ++i) {
            text += c[i] + std::string(widths[i] - c[i].size(), ' ');
            if (i < 5)
                text += " | ";
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        std::cout << text << "\n";
    };
    std::cout << "\n";
    line({headings[0], headings[1], headings[2], headings[3], headings[4], headings[5]});
    std::string rule;
    for (std::size_t i = 0; i < 6; ++i)
        rule += std::string(widths[i], '-') + (i < 5 ? "-+-" : "");
    std::cout << rule << "\n";
    for (const Row &row : report.rows)
        line(cells(row));
    std::cout << "\n";
    for (const std::string &note : report.notes)
        std::cout << note << "\n";

    std::size_t met = 0;
    std::string json = "{";
    for (const auto &member : report.json)
        json += quoted(member.first) + ":" + member.second + ",";
    json += "\"targets\":{";
    for (auto target = report.targets.begin(); target != report.targets.end(); ++target) {
        json += (target == report.targets.begin() ? "" : ",") + quoted(target->first) + ":"
            + (target->second ? "true" : "false");
        met += target->second ? 1 : 0;
    }
    json += "},\"targets_met\":" + std::to_string(met)
        + ",\"targets_total\":" + std::to_string(report.targets.size()) + "}";
    std::cout << "targets met: " << met << " of " << report.targets.size() << "\n";
    std::cout << json << std::endl;
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
        Benchmark benchmark(plan, programs, bridge);
        benchmark.run(report);
        failures = benchmark.failures;
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
    print(report);
    return failures.empty() ? 0 : 1;
}
