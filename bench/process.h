// The programs the benchmark starts, and what /proc says of them and of this process.
#ifndef PROCESS_H
#define PROCESS_H

#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

namespace Bench {

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

} // namespace Bench

#endif // PROCESS_H
