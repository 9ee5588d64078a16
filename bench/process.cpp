#include "process.h"

#include "netclients.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace Bench {

namespace {

    void pipeOrThrow(int ends[2])
    {
        if (pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }

    void closeFd(int &fd)
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

    std::vector<std::string> mergedEnvironment(const std::vector<std::string> &overrides)
    {
        std::vector<std::string> result;
        for (char **entry = environ; *entry; ++entry) {
            const std::string text(*entry);
            const std::string name = text.substr(0, text.find('=') + 1);
            bool replaced = false;
            for (const std::string &override : overrides)
                replaced = replaced || override.compare(0, name.size(), name) == 0;
            if (!replaced)
                result.push_back(text);
        }
        result.insert(result.end(), overrides.begin(), overrides.end());
        return result;
    }

} // namespace

Child spawn(const SpawnOptions &options)
{
    Child child;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, ready[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.stdinPipe) {
        pipeOrThrow(in);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (options.stdoutPipe) {
        pipeOrThrow(out);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (options.stderrFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.stderrFd, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (options.readyPipe) {
        pipeOrThrow(ready);
        posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    }
    for (const auto &fd : options.extraFds)
        posix_spawn_file_actions_adddup2(&actions, fd.first, fd.second);

    std::vector<char *> argv;
    for (const std::string &arg : options.argv)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    const std::vector<std::string> environment = mergedEnvironment(options.environment);
    std::vector<char *> envp;
    for (const std::string &entry : environment)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);

    child.spawnedNs = monotonicNs();
    const int error = posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    closeFd(in[0]);
    closeFd(out[1]);
    closeFd(ready[1]);
    child.stdinFd = in[1];
    child.stdoutFd = out[0];
    child.readyFd = ready[0];
    if (error != 0) {
        closePipes(child);
        throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(error));
    }
    return child;
}

bool waitForExit(Child &child, std::int64_t timeoutNs, int *status)
{
    const std::int64_t deadline = monotonicNs() + timeoutNs;
    for (;;) {
        int result = 0;
        rusage usage {};
        const pid_t done = wait4(child.pid, &result, WNOHANG, &usage);
        if (done == child.pid) {
            child.pid = -1;
            child.cpuNsAtExit
                = (std::int64_t(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000
                + (std::int64_t(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
            if (status)
                *status = result;
            return true;
        }
        if (done < 0 || monotonicNs() >= deadline)
            return false;
        sleepNs(2000000);
    }
}

void stop(Child &child)
{
    if (child.pid > 0) {
        kill(child.pid, SIGTERM);
        if (!waitForExit(child, 2000000000)) {
            kill(child.pid, SIGKILL);
            waitForExit(child, 2000000000);
        }
    }
    closePipes(child);
}

void closePipes(Child &child)
{
    closeFd(child.stdinFd);
    closeFd(child.stdoutFd);
    closeFd(child.readyFd);
}

std::string readLine(int fd, std::int64_t timeoutNs)
{
    const std::int64_t deadline = monotonicNs() + timeoutNs;
    std::string line;
    for (;;) {
        const std::int64_t left = deadline - monotonicNs();
        if (left <= 0)
            return "";
        pollfd readable {fd, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(left / 1000000) + 1) <= 0)
            continue;
        char c;
        const ssize_t got = read(fd, &c, 1); // byte by byte: nothing past the line is taken
        if (got <= 0)
            return "";
        if (c == '\n')
            return line;
        line += c;
    }
}

std::int64_t readReady(Child &child, std::int64_t timeoutNs)
{
    const std::string line = readLine(child.readyFd, timeoutNs);
    if (line.compare(0, 6, "ready ") != 0)
        return -1;
    return std::strtoll(line.c_str() + 6, nullptr, 10);
}

std::int64_t cpuNs(pid_t pid)
{
    const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(taskDir.c_str());
    if (!tasks)
        return -1;
    std::int64_t total = 0;
    while (const dirent *task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        std::ifstream stat(taskDir + "/" + task->d_name + "/schedstat");
        long long onCpu = 0;
        if (stat >> onCpu)
            total += onCpu;
    }
    closedir(tasks);
    return total;
}

std::int64_t threadCpuNs(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    long long onCpu = -1;
    stat >> onCpu;
    return onCpu;
}

long statusKiB(pid_t pid, const char *field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    return -1;
}

int openDescriptors(pid_t pid)
{
    DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!fds)
        return -1;
    int count = 0;
    while (const dirent *entry = readdir(fds))
        count += entry->d_name[0] != '.';
    closedir(fds);
    return count;
}

std::string readFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

void writeFile(const std::string &path, const std::string &contents)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << contents;
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

} // namespace Bench
