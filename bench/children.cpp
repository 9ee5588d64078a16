#include "children.h"

#include "benchreport.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace Bench {

namespace {

    std::string settingsText(const Ports &ports, std::uint16_t listen, bool autoConnect)
    {
        std::ostringstream text;
        text << "[General]\nauto_connect=" << (autoConnect ? "true" : "false")
             << "\nudp_config_port=" << ports[Config] << "\nudp_custom_port=" << ports[Custom]
             << "\nudp_default_ports=false\nudp_listen_port=" << listen
             << "\nudp_metering_port=" << ports[Metering] << "\n";
        return text.str();
    }

    int openLog(const std::string &path)
    {
        const int fd
            = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0)
            throw std::runtime_error("cannot open " + path);
        return fd;
    }

    std::size_t countOccurrences(const std::string &text, const std::string &what)
    {
        std::size_t count = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1))
            ++count;
        return count;
    }

} // namespace

SeqPacketDevice::SeqPacketDevice()
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::runtime_error("socketpair");
    ours = ends[0];
    theirs = ends[1];
    fcntl(ours, F_SETFL, fcntl(ours, F_GETFL) | O_NONBLOCK);
}
SeqPacketDevice::~SeqPacketDevice()
{
    close(ours);
    if (theirs >= 0)
        close(theirs);
}
void SeqPacketDevice::handedOver()
{
    close(theirs);
    theirs = -1;
}
bool SeqPacketDevice::queue(std::uint32_t sequence)
{
    const BenchReport::Report report = BenchReport::make(sequence);
    return write(ours, report.data(), report.size()) == static_cast<ssize_t>(report.size());
}
void SeqPacketDevice::endOfInput()
{
    shutdown(ours, SHUT_WR);
}

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

ConfigHome::ConfigHome(const Ports &ports, std::uint16_t listen, bool autoConnect)
{
    if (!dir.isValid())
        throw std::runtime_error("no temporary folder");
    const std::string base = dir.path().toStdString();
    mkdir((base + "/Quorvale").c_str(), 0700);
    writeFile(base + "/Quorvale/Tavrel Control.conf", settingsText(ports, listen, autoConnect));
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

} // namespace Bench
