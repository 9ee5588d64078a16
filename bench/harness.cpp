// The report, the programs the benchmark starts, what /proc says of them, and the window.
#include "bench.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QUdpSocket>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace Bench {

std::string number(double value, int decimals)
{
    char text[64] = "null";
    if (std::isfinite(value))
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string ratioText(double bridge, double baseline)
{
    return baseline > 0 && std::isfinite(bridge) ? number(bridge / baseline, 3) : "-";
}

std::string dropNote(std::uint64_t drops)
{
    return drops ? " (" + std::to_string(drops) + " dropped by the benchmark's client sockets)"
                 : "";
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::max(1.0, std::ceil(fraction * values.size())));
    return values[std::min(rank, values.size()) - 1];
}

void Report::values(int decimals, std::initializer_list<std::pair<std::string, double>> members)
{
    for (const auto &member : members)
        json.emplace_back(member.first, number(member.second, decimals));
}

void Report::text(const std::string &key, const std::string &value)
{
    json.emplace_back(key, "\"" + value + "\""); // our own texts: nothing to escape
}

bool Report::ratioTarget(const std::string &key, const std::string &figure, double bridge,
    const std::string &yardstick, double baseline, double limit, bool atMost, bool valid)
{
    const double ratio = bridge / baseline;
    const bool met = valid && baseline > 0 && (atMost ? ratio <= limit : ratio >= limit);
    rows.push_back({figure, number(bridge, 3), yardstick + " " + number(baseline, 3),
        number(ratio, 3), (atMost ? "<= " : ">= ") + number(limit, 2) + " x", yesNo(met)});
    values(4, {{key + "_ratio", ratio}});
    return targets[key] = met;
}

void Report::noGrowth(const std::string &key, std::array<long, 2> warm, std::array<long, 2> end)
{
    const long growth = end[0] - warm[0];
    const bool met = warm[0] >= 0 && end[0] >= 0 && growth <= LoadToleranceKiB && warm[1] >= 0
        && end[1] == warm[1];
    rows.push_back({"  same: RSS and descriptors, after the first tenth to the end",
        (growth >= 0 ? "+" : "") + std::to_string(growth) + " KiB; " + std::to_string(warm[1])
            + " -> " + std::to_string(end[1]),
        "-", "-", "<= " + std::to_string(LoadToleranceKiB) + " KiB; same", yesNo(met)});
    values(0,
        {{key + "_rss_warm_kib", warm[0]}, {key + "_rss_end_kib", end[0]},
            {key + "_fds_warm", warm[1]}, {key + "_fds_end", end[1]}});
    targets[key + "_flat"] = met;
}

void Report::print() const
{
    std::array<std::size_t, 6> widths {};
    const std::array<std::string, 6> head {
        "figure", "bridge", "baseline", "ratio", "target", "met"};
    for (const auto &row : rows)
        for (std::size_t i = 0; i < 6; ++i)
            widths[i] = std::max({widths[i], row[i].size(), head[i].size()});
    auto line = [&](const std::array<std::string, 6> &cells, char pad, const char *between) {
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

std::string readFile(const std::string &path)
{
    std::ostringstream contents;
    contents << std::ifstream(path).rdbuf();
    return contents.str();
}

long statusKiB(pid_t pid, const char *field)
{
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("\n" + std::string(field) + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(field) + 2);
}

std::int64_t threadCpuNs(pid_t tid)
{
    long long onCpu = -1;
    std::ifstream("/proc/self/task/" + std::to_string(tid) + "/schedstat") >> onCpu;
    return onCpu;
}

// Counts the entries of a /proc folder, and calls `each` with the path of every one.
int forEachEntry(const std::string &folder, const std::function<void(const std::string &)> &each)
{
    DIR *dir = opendir(folder.c_str());
    int count = 0;
    for (const dirent *entry; dir && (entry = readdir(dir));)
        if (entry->d_name[0] != '.' && ++count)
            each(folder + "/" + entry->d_name);
    if (dir)
        closedir(dir);
    return dir ? count : -1;
}

std::int64_t cpuNs(pid_t pid)
{
    std::int64_t total = 0;
    const int tasks = forEachEntry("/proc/" + std::to_string(pid) + "/task", [&](auto &task) {
        long long onCpu = 0;
        std::ifstream(task + "/schedstat") >> onCpu;
        total += onCpu;
    });
    return tasks > 0 ? total : -1;
}

std::array<long, 2> ownUsage()
{
    return {statusKiB(getpid(), "VmRSS"), forEachEntry("/proc/self/fd", [](auto &) {})};
}

double cpuPercent(pid_t pid, double seconds)
{
    const std::int64_t c0 = cpuNs(pid), t0 = monotonicNs();
    if (c0 <= 0) // a process that reached its event loop has used some CPU
        throw std::runtime_error("no scheduler statistics for process " + std::to_string(pid));
    sleepNs(static_cast<std::int64_t>(seconds * Sec));
    return 100.0 * double(cpuNs(pid) - c0) / double(monotonicNs() - t0);
}

Child::Child(const std::vector<std::string> &argv, const std::vector<std::string> &environment,
    int fd3, const std::string &stderrPath, bool stdinPipe)
{
    int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
    if ((stdinPipe && pipe2(inPipe, O_CLOEXEC) != 0) || pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinPipe)
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2,
        stderrPath.empty() ? "/dev/null" : stderrPath.c_str(),
        O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (fd3 >= 0)
        posix_spawn_file_actions_adddup2(&actions, fd3, 3);
    // The environment given replaces inherited variables of the same names.
    std::vector<std::string> merged = environment;
    for (char **entry = environ; *entry; ++entry) {
        const std::string name = std::string(*entry).substr(0, std::strcspn(*entry, "=") + 1);
        if (std::none_of(merged.begin(), merged.end(), [&](auto &e) { return !e.rfind(name, 0); }))
            merged.emplace_back(*entry);
    }
    std::vector<char *> args, envp;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    for (const std::string &entry : merged)
        envp.push_back(const_cast<char *>(entry.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    spawnedNs = monotonicNs();
    const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    out = outPipe[0];
    if (stdinPipe) {
        close(inPipe[0]);
        in = inPipe[1];
    }
    if (error != 0) {
        pid = -1;
        stop();
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }
}

bool Child::wait(std::int64_t timeoutNs, int *status)
{
    const std::int64_t deadline = monotonicNs() + timeoutNs;
    for (int result = 0; pid > 0; sleepNs(2 * Ms)) {
        rusage usage {};
        const pid_t done = wait4(pid, &result, WNOHANG, &usage);
        if (done == pid) {
            pid = -1;
            cpuNsAtExit = (std::int64_t(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * Sec
                + (std::int64_t(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
            if (status)
                *status = result;
        } else if (done < 0 || monotonicNs() >= deadline) {
            return false;
        }
    }
    return true;
}

void Child::stop()
{
    for (const int signal : {SIGTERM, SIGKILL})
        if (pid > 0 && kill(pid, signal) == 0)
            wait(2 * Sec);
    for (int *fd : {&in, &out})
        if (*fd >= 0 && close(*fd) == 0)
            *fd = -1;
}

std::string Child::line(std::int64_t timeoutNs)
{
    const std::int64_t deadline = monotonicNs() + timeoutNs;
    std::string text;
    for (std::int64_t left; (left = deadline - monotonicNs()) > 0;) {
        pollfd readable {out, POLLIN, 0};
        char c = 0;
        if (poll(&readable, 1, static_cast<int>(left / Ms) + 1) <= 0)
            continue;
        if (read(out, &c, 1) <= 0) // byte by byte: nothing past the line is taken
            break;
        if (c == '\n')
            return text;
        text += c;
    }
    return "";
}

std::int64_t Child::readyNs(std::int64_t timeoutNs)
{
    const std::string text = line(timeoutNs);
    return text.rfind("ready ", 0) == 0 ? std::atoll(text.c_str() + 6) : -1;
}

std::string writeConfigHome(const std::string &dir, const Context &context, bool autoConnect)
{
    mkdir((dir + "/Quorvale").c_str(), 0700);
    std::ofstream(dir + "/Quorvale/Tavrel Control.conf")
        << "[General]\nauto_connect=" << (autoConnect ? "true" : "false")
        << "\nudp_config_port=" << context.ports[Config]
        << "\nudp_custom_port=" << context.ports[Custom]
        << "\nudp_default_ports=false\nudp_listen_port=" << context.listen
        << "\nudp_metering_port=" << context.ports[Metering] << "\n";
    return dir;
}

std::vector<std::string> qtEnvironment(
    const Context &context, const std::string &home, const std::string &preload, bool quitWhenReady)
{
    // Its own runtime folder and no session bus: a copy the user has running elsewhere is not
    // the one instance that this start would hand over to.
    std::vector<std::string> environment {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + home,
        "XDG_RUNTIME_DIR=" + home, "DBUS_SESSION_BUS_ADDRESS=unix:path=" + home + "/no-bus",
        "LD_PRELOAD=" + (preload.empty() ? "" : preload + ":") + context.programs.probe,
        "TAVREL_BENCH_READY_FD=1", "TAVREL_DEVICESIM_SOCKET=" + home + "/devicesim.sock"};
    if (quitWhenReady)
        environment.push_back("TAVREL_BENCH_QUIT_WHEN_READY=1");
    return environment;
}

bool waitUntilRunning(const Context &context, ClientSet &clients, const std::string &log)
{
    for (const std::int64_t end = monotonicNs() + 10 * Sec; monotonicNs() < end;) {
        clients.sendKeepAlives(context.listen);
        sleepNs(100 * Ms);
        const std::string text = readFile(log);
        int lines = 0;
        for (std::size_t at = 0; (at = text.find("Keep Alive message from", at)) != text.npos; ++at)
            ++lines;
        if (lines >= clients.count)
            return true;
    }
    return false;
}

std::array<int, 2> seqPacketPair()
{
    std::array<int, 2> ends {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends.data()) != 0)
        throw std::runtime_error("socketpair");
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    return ends;
}

CSender::CSender(const Context &context, const ClientSet &clients)
    : pair(seqPacketPair())
    , child({context.programs.baseline, "send", "3", std::to_string(context.ports[Metering]),
                std::to_string(context.ports[Config]), std::to_string(context.ports[Custom]),
                ipv4Text(clients.first), std::to_string(clients.count)},
          {}, pair[1])
{
    close(pair[1]); // now the child's descriptor 3
}

CSender::~CSender()
{
    close(pair[0]);
}

bool CSender::queue(std::uint32_t sequence)
{
    const auto report = deviceReport(sequence);
    return write(pair[0], report.data(), report.size()) == ssize_t(report.size());
}

void CSender::finish()
{
    shutdown(pair[0], SHUT_WR);
    child.wait(10 * Sec);
}

double CSender::tickRate()
{
    long ticks = 0, reports = 0;
    double seconds = 0;
    const std::string text = child.line(5 * Sec);
    return std::sscanf(
               text.c_str(), "ticks=%ld seconds=%lf reports=%ld", &ticks, &seconds, &reports)
                == 3
            && seconds > 0
        ? ticks / seconds
        : NAN;
}

void Bridge::setPorts(std::uint16_t listen, const Ports &ports)
{
    onGui([&] {
        const char *const fields[]
            = {"lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"};
        child<QLineEdit>("lineEdit_LISTEN")->setText(QString::number(listen));
        for (int port = 0; port < PortCount; ++port)
            child<QLineEdit>(fields[port])->setText(QString::number(ports[port]));
    });
}

void Bridge::start()
{
    onGui([&] { QMetaObject::invokeMethod(window, "on_START_clicked"); });
    if (!running())
        throw std::runtime_error("the bridge did not start");
}

void Bridge::click(const char *button)
{
    onGui([&] { child<QAbstractButton>(button)->click(); });
}

void Bridge::setAutoConnect(bool on)
{
    onGui([&] {
        if (child<QCheckBox>("checkBox_auto_connect")->isChecked() != on)
            child<QCheckBox>("checkBox_auto_connect")->click();
    });
}

bool Bridge::running()
{
    bool now = false;
    onGui([&] { now = child<QLabel>("label_status_connection")->text() == "running"; });
    return now;
}

bool Bridge::waitForState(bool wanted, std::int64_t timeoutNs)
{
    const std::int64_t deadline = monotonicNs() + timeoutNs;
    while (running() != wanted && monotonicNs() < deadline)
        sleepNs(2 * Ms);
    return running() == wanted;
}

bool Bridge::registerClients(ClientSet &clients, std::uint16_t listen)
{
    const std::int64_t deadline = monotonicNs() + 3 * Sec;
    int registered = -1;
    while (registered != clients.count && monotonicNs() < deadline) {
        clients.sendKeepAlives(listen);
        sleepNs(20 * Ms);
        onGui([&] { registered = child<QLineEdit>("lineEdit_clients")->text().toInt(); });
    }
    return registered == clients.count;
}

void Bridge::startWith(ClientSet &clients, std::uint16_t listen)
{
    start();
    if (!registerClients(clients, listen))
        throw std::runtime_error("clients did not register");
}

int Bridge::socketDescriptor()
{
    int fd = -1;
    onGui([&] { fd = static_cast<int>(window->findChild<QUdpSocket *>()->socketDescriptor()); });
    return fd;
}

void Bridge::reset()
{
    setAutoConnect(false);
    stop();
    FakeHid::setWriteObserver(nullptr);
    FakeHid::setRecordWrites(true);
    qInstallMessageHandler(nullptr);
    FakeHid::clearCalls();
    FakeHid::clearWrites();
}

} // namespace Bench
