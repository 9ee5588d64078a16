// The window in this process, driven from the measuring thread: every call runs on the
// window's own thread, as the operator's clicks and the poll do.
#ifndef WINDOW_H
#define WINDOW_H

#include "benchreport.h"
#include "fakehidapi.h"
#include "harness.h"
#include "mainwindow.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QUdpSocket>

#include <stdexcept>
#include <unistd.h>

namespace Bench {

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

inline void queueOnDevice(std::uint32_t sequence)
{
    const BenchReport::Report report = BenchReport::make(sequence);
    FakeHid::queueInput(FakeHid::Bytes(report.begin(), report.end()));
}

inline bool waitForDeviceDrained(std::int64_t timeoutNs)
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

// This process's memory and descriptors, where the window runs.
struct Usage
{
    long rssKiB = -1;
    int descriptors = -1;
};

inline Usage ownUsage()
{
    return {statusKiB(getpid(), "VmRSS"), openDescriptors(getpid())};
}

// A row and the JSON members for no growth from `warm` to `end`; true when met.
inline bool noGrowthRow(Report &report, const std::string &figure, const std::string &key,
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

} // namespace Bench

#endif // WINDOW_H
