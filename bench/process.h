#ifndef PROCESS_H
#define PROCESS_H

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace Bench {

// A program the benchmark started, and the ends of the pipes it gave it.
struct Child
{
    pid_t pid = -1;
    std::int64_t spawnedNs = 0; // CLOCK_MONOTONIC, taken right before the spawn
    int stdinFd = -1; // write end, when asked for
    int stdoutFd = -1; // read end, when asked for
    int readyFd = -1; // read end of the descriptor named in TAVREL_BENCH_READY_FD
    std::int64_t cpuNsAtExit = -1; // user and system time, once it has ended
};

struct SpawnOptions
{
    std::vector<std::string> argv;
    std::vector<std::string> environment; // NAME=VALUE, added to or replacing the inherited ones
    int stderrFd = -1; // -1: /dev/null
    bool stdinPipe = false;
    bool stdoutPipe = false;
    bool readyPipe = false; // passed as descriptor 3
    std::vector<std::pair<int, int>> extraFds; // our descriptor, the child's number
};

Child spawn(const SpawnOptions &options);
// True when it ended within the time; its exit status then goes to *status.
bool waitForExit(Child &child, std::int64_t timeoutNs, int *status = nullptr);
// SIGTERM, and SIGKILL if it is still there two seconds later; closes our pipe ends.
void stop(Child &child);
void closePipes(Child &child);

// Stops the child when it goes out of scope, also when a measurement throws.
class ChildGuard
{
public:
    explicit ChildGuard(Child &child)
        : child(child)
    { }
    ~ChildGuard() { stop(child); }
    ChildGuard(const ChildGuard &) = delete;
    ChildGuard &operator=(const ChildGuard &) = delete;

private:
    Child &child;
};

// One line from the descriptor (without its newline), or "" after the time ran out.
std::string readLine(int fd, std::int64_t timeoutNs);
// The CLOCK_MONOTONIC time in the child's "ready <ns>" line, or -1.
std::int64_t readReady(Child &child, std::int64_t timeoutNs);

// CPU time of all the process's threads so far, in nanoseconds (scheduler statistics).
std::int64_t cpuNs(pid_t pid);
// The same for one thread of this process.
std::int64_t threadCpuNs(pid_t tid);
// A "Vm..." line of /proc/<pid>/status, in KiB; -1 if missing.
long statusKiB(pid_t pid, const char *field);
// The entries of /proc/<pid>/fd; -1 if unreadable.
int openDescriptors(pid_t pid);

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &contents);

} // namespace Bench

#endif // PROCESS_H
