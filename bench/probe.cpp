// Preloaded (LD_PRELOAD) into an unmodified Qt program: when its event loop first runs, writes
// "ready <ns>" (CLOCK_MONOTONIC) to the descriptor TAVREL_BENCH_READY_FD names, and quits if
// TAVREL_BENCH_QUIT_WHEN_READY is 1.
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <ctime>

static void announceWhenLoopRuns()
{
    bool valid = false;
    const int fd = qEnvironmentVariableIntValue("TAVREL_BENCH_READY_FD", &valid);
    if (!valid)
        return;
    // A zero timer is delivered by the event loop itself, not before it runs.
    QTimer::singleShot(0, QCoreApplication::instance(), [fd] {
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        dprintf(fd, "ready %lld\n", now.tv_sec * 1000000000LL + now.tv_nsec);
        if (qEnvironmentVariableIntValue("TAVREL_BENCH_QUIT_WHEN_READY"))
            QCoreApplication::quit();
    });
}

Q_COREAPP_STARTUP_FUNCTION(announceWhenLoopRuns)
