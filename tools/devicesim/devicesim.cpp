// Preloaded into the unmodified program (LD_PRELOAD), this library answers its hidapi calls
// with the test suite's simulated device (fakehidapi.cpp) and
// serves a control socket from a thread of its own, so that the device can be plugged,
// unplugged, fed reports and watched from outside while the program runs.
//
// Protocol: one command per line; every command gets one reply line, "ok ..." or
// "error ...". After "watch" the reply "ok watching" is followed by a line "write <hex>"
// for every report the program writes to the device, until the watcher disconnects.

#include "fakehidapi.h"
#include "simsocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using FakeHid::Bytes;

// A hidraw node buffers this many reports for a reader that falls behind, and drops the rest.
constexpr std::size_t MaxPendingReports = 64;
constexpr double MaxRateHz = 1000.0; // the program polls once a millisecond
constexpr double DefaultPatternHz = 2.0;
constexpr std::size_t MaxWatchBacklog = 4096;
constexpr std::size_t MaxCommandLength = 1024;
constexpr int IdleWakeMs = 5000;
constexpr std::size_t ReportBytes = 10;

// A slowly changing scripted input: a step counter and seven levels ramping up and down out
// of phase; every fourth report is a metering report (byte 1 = F0).
Bytes patternReport(unsigned step)
{
    Bytes report(ReportBytes, 0);
    report[0] = 0x01;
    report[1] = step % 4 == 3 ? 0xF0 : 0x00;
    report[2] = static_cast<unsigned char>(step & 0xff);
    for (unsigned channel = 0; channel < 7; ++channel) {
        const unsigned phase = (step + channel * 4) % 32;
        report[3 + channel] = static_cast<unsigned char>((phase < 16 ? phase : 31 - phase) * 17);
    }
    return report;
}

bool parseRate(const std::string &text, double &hz)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value) || value <= 0.0 || value > MaxRateHz)
        return false;
    hz = value;
    return true;
}

struct Client
{
    int fd;
    std::string input;
    bool watching = false;
};

struct Feed
{
    enum Mode { None, Pattern, Fixed } mode = None;
    double hz = 0;
    Bytes report;
    unsigned step = 0;
    Clock::time_point due;
    unsigned long long delivered = 0; // since this feed started, as are the dropped ones
    unsigned long long dropped = 0;
};

class ControlServer
{
public:
    ControlServer();
    ~ControlServer();

private:
    bool listenOn(const std::string &path);
    void run();
    void acceptClient();
    bool readFrom(Client &client); // false when the client is gone
    std::string execute(Client &client, const std::string &line);
    std::string status() const;
    void startFeed(Feed::Mode mode, double hz, Bytes report);
    void feedIfDue();
    int msUntilDue() const;
    void flushWatchLines();
    bool sendLine(Client &client, const std::string &line);
    void wake();

    std::string path;
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    std::atomic<bool> stopping {false};
    std::thread thread;
    std::deque<Client> clients;
    Feed feed;
    unsigned long long writesSeen = 0;

    std::mutex watchMutex; // the program's writing thread hands lines to the server thread
    std::deque<std::string> watchLines;
    unsigned long long watchDropped = 0;
};

ControlServer::ControlServer()
{
    // One read a millisecond would grow the call log without end.
    FakeHid::setRecordReads(false);
    path = DeviceSim::socketPath();
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0 || !listenOn(path))
        return;
    FakeHid::setWriteObserver([this](const unsigned char *data, size_t length) {
        {
            std::lock_guard<std::mutex> lock(watchMutex);
            if (watchLines.size() < MaxWatchBacklog)
                watchLines.push_back("write " + DeviceSim::toHex(Bytes(data, data + length)));
            else
                ++watchDropped;
        }
        wake();
    });
    std::fprintf(stderr,
        "tavrel-devicesim: simulated device %04x:%04x (unplugged), control socket %s\n",
        FakeHid::VendorId, FakeHid::ProductId, path.c_str());
    thread = std::thread(&ControlServer::run, this);
}

ControlServer::~ControlServer()
{
    if (thread.joinable()) {
        FakeHid::setWriteObserver(nullptr);
        stopping = true;
        wake();
        thread.join();
    }
    for (const Client &client : clients)
        close(client.fd);
    if (listenFd >= 0) {
        close(listenFd);
        unlink(path.c_str());
    }
    for (int fd : wakePipe)
        if (fd >= 0)
            close(fd);
}

bool ControlServer::listenOn(const std::string &socketPath)
{
    sockaddr_un address;
    if (!DeviceSim::fillAddress(socketPath, address)) {
        std::fprintf(stderr, "tavrel-devicesim: socket path too long: %s\n", socketPath.c_str());
        return false;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // A socket file nobody answers on is left over from a program that died: replace it.
    // One that answers belongs to another simulated device, e.g. a child that inherited
    // LD_PRELOAD: leave it alone and run without control.
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        std::fprintf(stderr, "tavrel-devicesim: %s is served by another process; no control here\n",
            socketPath.c_str());
        close(fd);
        return false;
    }
    if (errno == ECONNREFUSED)
        unlink(socketPath.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || listen(fd, 8) != 0) {
        std::fprintf(stderr, "tavrel-devicesim: cannot serve %s: %s\n", socketPath.c_str(),
            std::strerror(errno));
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, O_NONBLOCK);
    listenFd = fd;
    return true;
}

void ControlServer::wake()
{
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    [[maybe_unused]] const ssize_t written = write(wakePipe[1], &byte, 1);
}

void ControlServer::run()
{
    std::vector<pollfd> fds;
    while (!stopping) {
        fds.clear();
        fds.push_back({wakePipe[0], POLLIN, 0});
        fds.push_back({listenFd, POLLIN, 0});
        for (const Client &client : clients)
            fds.push_back({client.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), msUntilDue()) < 0 && errno != EINTR)
            break;
        // Clients by their poll slots first, from the back, so that dropping one leaves the
        // slots of the others in place; accepting and flushing may change the list after.
        for (std::size_t i = clients.size(); i-- > 0;) {
            if (fds[2 + i].revents && !readFrom(clients[i])) {
                close(clients[i].fd);
                clients.erase(clients.begin() + static_cast<long>(i));
            }
        }
        if (fds[1].revents)
            acceptClient();
        if (fds[0].revents) {
            char buffer[64];
            while (read(wakePipe[0], buffer, sizeof buffer) > 0) { }
            flushWatchLines();
        }
        feedIfDue();
        // Nothing here reads the logs: keep them from growing while the program runs.
        FakeHid::clearCalls();
        FakeHid::clearWrites();
    }
}

void ControlServer::acceptClient()
{
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0)
        clients.push_back(Client {fd, std::string()});
}

bool ControlServer::readFrom(Client &client)
{
    char buffer[512];
    const ssize_t length = recv(client.fd, buffer, sizeof buffer, 0);
    if (length == 0 || (length < 0 && errno != EAGAIN && errno != EINTR))
        return false;
    if (length < 0)
        return true;
    client.input.append(buffer, static_cast<std::size_t>(length));
    std::size_t newline;
    while ((newline = client.input.find('\n')) != std::string::npos) {
        std::string line = client.input.substr(0, newline);
        client.input.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!sendLine(client, execute(client, line)))
            return false;
    }
    return client.input.size() <= MaxCommandLength;
}

std::string ControlServer::execute(Client &client, const std::string &line)
{
    std::istringstream words(line);
    std::string command, first, second, extra;
    words >> command >> first >> second >> extra;
    if (!extra.empty())
        return "error too many arguments";

    if (command == "plug" && first.empty()) {
        FakeHid::plug();
        return "ok plugged";
    }
    if (command == "unplug" && first.empty()) {
        FakeHid::unplug();
        return "ok unplugged";
    }
    if (command == "report" && !first.empty() && second.empty()) {
        Bytes report;
        if (!DeviceSim::fromHex(first, report) || report.empty())
            return "error report: expected hex bytes, e.g. 00f00102030405060708";
        if (!FakeHid::isPlugged())
            return "error unplugged: the report would go nowhere";
        FakeHid::queueInput(report);
        return FakeHid::openHandles() > 0 ? "ok queued"
                                          : "ok queued, no program has the device open yet";
    }
    if (command == "pattern" && second.empty()) {
        double hz = DefaultPatternHz;
        if (!first.empty() && !parseRate(first, hz))
            return "error pattern: rate must be above 0 and at most 1000 Hz";
        startFeed(Feed::Pattern, hz, Bytes());
        return "ok pattern";
    }
    if (command == "rate") {
        double hz = 0;
        Bytes report;
        if (!parseRate(first, hz))
            return "error rate: rate must be above 0 and at most 1000 Hz";
        if (second.empty())
            return "error rate: which report? e.g. rate " + first + " 00f00102030405060708";
        if (!DeviceSim::fromHex(second, report) || report.empty())
            return "error rate: expected hex bytes, e.g. 00f00102030405060708";
        startFeed(Feed::Fixed, hz, report);
        return "ok rate";
    }
    if (command == "stop" && first.empty()) {
        feed.mode = Feed::None;
        return "ok stopped";
    }
    if (command == "status" && first.empty())
        return "ok " + status();
    if (command == "watch" && first.empty()) {
        client.watching = true;
        return "ok watching";
    }
    return "error unknown command; try plug, unplug, report HEX, pattern [HZ], rate HZ HEX, stop, "
           "status or watch";
}

std::string ControlServer::status() const
{
    std::ostringstream text;
    text << "plugged=" << (FakeHid::isPlugged() ? "yes" : "no")
         << " handles=" << FakeHid::openHandles() << " pending=" << FakeHid::pendingInput();
    switch (feed.mode) {
    case Feed::None:
        text << " feeding=none";
        break;
    case Feed::Pattern:
        text << " feeding=pattern hz=" << feed.hz;
        break;
    case Feed::Fixed:
        text << " feeding=rate hz=" << feed.hz << " report=" << DeviceSim::toHex(feed.report);
        break;
    }
    const auto watchers = std::count_if(
        clients.begin(), clients.end(), [](const Client &client) { return client.watching; });
    text << " fed=" << feed.delivered << " dropped=" << feed.dropped << " writes=" << writesSeen
         << " watchers=" << watchers;
    return text.str();
}

void ControlServer::startFeed(Feed::Mode mode, double hz, Bytes report)
{
    feed.mode = mode;
    feed.hz = hz;
    feed.report = std::move(report);
    feed.step = 0;
    feed.due = Clock::now();
    feed.delivered = 0;
    feed.dropped = 0;
}

// Like the hardware, the simulation produces reports whether or not anyone reads them: with
// no program holding the device, or a reader far behind, they are lost.
void ControlServer::feedIfDue()
{
    if (feed.mode == Feed::None)
        return;
    const auto now = Clock::now();
    if (now < feed.due)
        return;
    const bool reader = FakeHid::isPlugged() && FakeHid::openHandles() > 0;
    if (reader && FakeHid::pendingInput() < MaxPendingReports) {
        FakeHid::queueInput(feed.mode == Feed::Pattern ? patternReport(feed.step) : feed.report);
        ++feed.delivered;
    } else {
        ++feed.dropped;
    }
    ++feed.step;
    const auto period
        = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / feed.hz));
    feed.due += period;
    if (feed.due < now) // fell behind: carry on from now rather than in a burst
        feed.due = now + period;
}

int ControlServer::msUntilDue() const
{
    if (feed.mode == Feed::None)
        return IdleWakeMs;
    const auto left = feed.due - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    return static_cast<int>(std::min<long long>(ms, IdleWakeMs));
}

void ControlServer::flushWatchLines()
{
    std::deque<std::string> lines;
    unsigned long long dropped = 0;
    {
        std::lock_guard<std::mutex> lock(watchMutex);
        lines.swap(watchLines);
        std::swap(dropped, watchDropped);
    }
    writesSeen += lines.size() + dropped;
    if (dropped)
        lines.push_back("dropped " + std::to_string(dropped));
    for (std::size_t i = clients.size(); i-- > 0;) {
        if (!clients[i].watching)
            continue;
        for (const std::string &line : lines) {
            if (!sendLine(clients[i], line)) {
                close(clients[i].fd);
                clients.erase(clients.begin() + static_cast<long>(i));
                break;
            }
        }
    }
}

// A client that stops reading until its socket buffer is full is dropped rather than
// allowed to stall the server.
bool ControlServer::sendLine(Client &client, const std::string &line)
{
    return DeviceSim::sendAll(client.fd, line + '\n', MSG_DONTWAIT);
}

ControlServer server;

} // namespace
