#ifndef PROCESSWATCH_H
#define PROCESSWATCH_H

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

// For the long-running tests: a real event loop to wait in, and the process's own memory
// and descriptor counts to show that nothing piles up.
namespace ProcessWatch {

// Runs a real event loop, as the program's exec() does, until the condition holds or the
// time is up; returns the condition. QTest::qWait sleeps between its rounds, which a flood
// of datagrams would fill.
template<typename Condition> bool runUntil(Condition condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    return condition();
}

// VmRSS in KiB, -1 if unknown.
inline qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

inline int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::NoDotAndDotDot | QDir::System)
        .size();
}

} // namespace ProcessWatch

#endif // PROCESSWATCH_H
