// The programs the benchmark starts, and what /proc says of them and of this process.
#ifndef PROCESS_H
#define PROCESS_H

#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

namespace Bench {

inline long statusKiB(pid_t pid, const char *field) // a "Vm..." line of /proc/<pid>/status
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
inline double cpuPercent(pid_t pid, double seconds)
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

// A program the benchmark started: standard output comes back through a pipe, descriptor 3
// is `fd3` when given, standard error goes to `stderrPath`, and `environment` replaces
// inherited variables of the same names. Stopped (SIGTERM, then SIGKILL) when it goes out of
// scope, also when a measurement throws.
class Child
{
public:
    Child(const std::vector<std::string> &argv, std::vector<std::string> environment = {},
        int fd3 = -1, const std::string &stderrPath = "/dev/null")
    {
        for (char **entry = environ; *entry; ++entry)
            if (std::none_of(environment.begin(), environment.end(), [&](const std::string &e) {
                    return std::strncmp(e.c_str(), *entry, e.find('=') + 1) == 0;
                }))
                environment.emplace_back(*entry);
        int outPipe[2] = {-1, -1};
        if (pipe2(outPipe, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot start " + argv[0]);
        posix_spawn_file_actions_t actions; // in order: no target is a source still to come
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        const int append = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND;
        posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), append, 0644);
        if (fd3 >= 0) // onto itself, it loses close-on-exec
            posix_spawn_file_actions_adddup2(&actions, fd3, 3);
        spawnedNs = clockNs();
        const int failed = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr,
            pointers(argv).data(), pointers(environment).data());
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        out = outPipe[0];
        if (failed)
            throw std::runtime_error("cannot start " + argv[0]);
    }
    ~Child() { stop(); }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool wait(std::int64_t timeoutNs) // true: it ended (exitStatus, cpuNsAtExit)
    {
        rusage usage {};
        for (const std::int64_t end = clockNs() + timeoutNs; pid > 0; sleepNs(2 * Ms)) {
            const pid_t done = wait4(pid, &exitStatus, WNOHANG, &usage);
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
        if (out >= 0)
            close(out), out = -1;
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
    int out = -1, exitStatus = -1;
    std::int64_t spawnedNs = 0, cpuNsAtExit = -1; // CLOCK_MONOTONIC; user and system time

private:
    static std::vector<char *> pointers(const std::vector<std::string> &strings)
    {
        std::vector<char *> list;
        for (const std::string &text : strings)
            list.push_back(const_cast<char *>(text.c_str()));
        return list.push_back(nullptr), list;
    }
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
