// Client to device, throughput: 100,000 marked datagrams from 8 client addresses to the
// LISTEN port, never more than 64 unwritten, in rounds that alternate the bridge and the C
// yardstick (bench_baseline rx: recvfrom and write) so that a change of load hits both. Each
// side writes its reports to a pipe that one thread of this process checks and counts.
// Targets: writes per second >= 1 x C's and CPU per datagram <= 1.5 x C's (medians), no loss.
#include "devicewrites.h"
#include "window.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <thread>

namespace Bench {

ThroughputResult throughput(std::uint16_t listen, int total, WriteCounter &counter)
{
    ThroughputResult result;
    counter.reset();
    std::array<int, ThroughputClients> senders {};
    for (int c = 0; c < ThroughputClients; ++c) {
        senders[c] = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in from {};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(ipv4(ThroughputFirstClient) + c);
        if (bind(senders[c], reinterpret_cast<sockaddr *>(&from), sizeof from) != 0)
            throw std::runtime_error("cannot bind a sending client");
    }
    sockaddr_in bridge {};
    bridge.sin_family = AF_INET;
    bridge.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bridge.sin_port = htons(listen);

    const std::int64_t started = monotonicNs();
    for (int i = 0; i < total; ++i) {
        if (!counter.waitForRoom(static_cast<std::uint64_t>(i), ThroughputWindow))
            break;
        const int client = i % ThroughputClients;
        const std::uint32_t sequence = static_cast<std::uint32_t>(i / ThroughputClients);
        unsigned char datagram[12] = {0xA0, 0xA0, static_cast<unsigned char>(client),
            static_cast<unsigned char>(sequence), static_cast<unsigned char>(sequence >> 8),
            static_cast<unsigned char>(sequence >> 16), static_cast<unsigned char>(sequence >> 24),
            0x33, 0x33, 0x33, 0x33, 0x33};
        sendto(senders[client], datagram, sizeof datagram, 0, reinterpret_cast<sockaddr *>(&bridge),
            sizeof bridge);
        ++result.sent;
    }
    counter.waitForAll(result.sent, 2 * Sec);
    result.written = counter.count();
    result.errors = counter.errors();
    if (result.written > 0)
        result.perSecond = double(result.written) * Sec / double(counter.lastWrite() - started);
    for (const int fd : senders)
        close(fd);
    return result;
}

namespace {

    // The "device" of either side: a pipe whose 11-byte records one thread hands to the counter.
    class PipeDevice
    {
    public:
        explicit PipeDevice(WriteCounter &counter)
        {
            if (pipe2(ends, O_CLOEXEC) != 0)
                throw std::runtime_error("pipe");
            reader = std::thread([&counter, fd = ends[0]] {
                unsigned char buffer[11 * 512];
                std::size_t held = 0;
                for (;;) {
                    const ssize_t got = read(fd, buffer + held, sizeof buffer - held);
                    if (got <= 0)
                        return;
                    held += static_cast<std::size_t>(got);
                    std::size_t at = 0;
                    for (; held - at >= 11; at += 11)
                        counter.onWrite(buffer + at, 11);
                    std::memmove(buffer, buffer + at, held - at);
                    held -= at;
                }
            });
        }
        ~PipeDevice()
        {
            closeWriteEnd();
            reader.join();
            close(ends[0]);
        }
        int writeEnd() const { return ends[1]; }
        void closeWriteEnd()
        {
            if (ends[1] >= 0)
                close(ends[1]);
            ends[1] = -1;
        }

    private:
        int ends[2] = {-1, -1};
        std::thread reader;
    };

    // The window's device writes go to the pipe, as the C yardstick's do: one write() each.
    ThroughputResult bridgeThroughput(Context &context, WriteCounter &counter)
    {
        PipeDevice device(counter);
        FakeHid::setRecordWrites(false);
        FakeHid::setWriteObserver([fd = device.writeEnd()](const FakeHid::Bytes &bytes) {
            if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
                std::abort();
        });
        context.bridge.setPorts(context.listen, context.ports);
        context.bridge.start();
        const std::int64_t cpuBefore = context.bridge.cpuNs();
        ThroughputResult result
            = throughput(context.listen, context.plan.throughputDatagrams, counter);
        result.cpuUsPerDatagram
            = double(context.bridge.cpuNs() - cpuBefore) / 1000 / double(result.written);
        context.bridge.stop();
        FakeHid::setWriteObserver(nullptr);
        FakeHid::setRecordWrites(true);
        return result;
    }

    ThroughputResult cThroughput(Context &context, WriteCounter &counter)
    {
        PipeDevice device(counter);
        const std::uint16_t cListen = freePort();
        SpawnOptions options;
        options.argv = {context.programs.baseline, "rx", std::to_string(cListen),
            std::to_string(context.plan.throughputDatagrams), "3"};
        options.stdoutPipe = true;
        options.extraFds = {{device.writeEnd(), 3}};
        Child receiver = spawn(options);
        ChildGuard receiverGuard(receiver);
        device.closeWriteEnd();
        ThroughputResult result;
        if (readLine(receiver.stdoutFd, 5 * Sec) == "ready")
            result = throughput(cListen, context.plan.throughputDatagrams, counter);
        waitForExit(receiver, 5 * Sec);
        if (receiver.cpuNsAtExit >= 0 && result.written > 0)
            result.cpuUsPerDatagram = double(receiver.cpuNsAtExit) / 1000 / double(result.written);
        stop(receiver);
        return result;
    }

} // namespace

void throughputPhase(Context &context, Report &report)
{
    const Plan &plan = context.plan;
    WriteCounter counter;
    std::vector<double> bridgeRates, cRates, bridgeCpu, cCpu, ratios;
    ThroughputResult bridged, c; // the worst rounds for loss and order
    bridged.sent = c.sent = 0;
    bool bridgeLossless = true;
    std::string lossText, cLossText;
    for (int round = 0; round < plan.throughputRounds; ++round) {
        const ThroughputResult b = bridgeThroughput(context, counter);
        const ThroughputResult cRound = cThroughput(context, counter);
        bridgeRates.push_back(b.perSecond);
        cRates.push_back(cRound.perSecond);
        bridgeCpu.push_back(b.cpuUsPerDatagram);
        cCpu.push_back(cRound.cpuUsPerDatagram);
        ratios.push_back(b.perSecond / cRound.perSecond);
        bridgeLossless = bridgeLossless && b.lossless();
        if (round == 0 || !b.lossless())
            bridged = b;
        if (round == 0 || !cRound.lossless())
            c = cRound;
        context.progress("round " + std::to_string(round + 1) + ": bridge " + number(b.perSecond, 0)
            + "/s (" + number(b.cpuUsPerDatagram, 2) + " us CPU each), C "
            + number(cRound.perSecond, 0) + "/s (" + number(cRound.cpuUsPerDatagram, 2) + " us)");
    }
    const double bridgeRate = median(bridgeRates), cRate = median(cRates);
    const double bridgeUs = median(bridgeCpu), cUs = median(cCpu);
    const double ratio = bridgeRate / cRate;
    const std::string what = std::to_string(plan.throughputDatagrams) + " from 8 clients";
    report.ratioTarget("c2d_throughput",
        "client->device, " + what + ", writes/s (median of " + std::to_string(plan.throughputRounds)
            + ")",
        bridgeRate, "C", cRate, 1.0, false);
    report.ratioTarget("c2d_cpu", "  same: CPU per datagram, us", bridgeUs, "C", cUs, 1.5, true);
    report.rows.push_back({"  same: written / sent, out of order (worst round)",
        std::to_string(bridged.written) + " / " + std::to_string(bridged.sent) + ", "
            + std::to_string(bridged.errors),
        "C " + std::to_string(c.written) + " / " + std::to_string(c.sent) + ", "
            + std::to_string(c.errors),
        "-", "no loss", yesNo(bridgeLossless)});
    report.target("c2d_lossless", bridgeLossless);
    report.value("c2d_writes_per_s", bridgeRate, 0);
    report.value("c2d_c_writes_per_s", cRate, 0);
    report.value("c2d_ratio_to_c", ratio, 4);
    std::string perRound = "[";
    for (std::size_t i = 0; i < ratios.size(); ++i)
        perRound += (i ? "," : "") + number(ratios[i], 3);
    report.json.emplace_back("c2d_round_ratios", perRound + "]");
    report.value("c2d_cpu_us_per_datagram", bridgeUs, 3);
    report.value("c2d_c_cpu_us_per_datagram", cUs, 3);
    report.values(0,
        {{"c2d_datagrams_per_round", plan.throughputDatagrams},
            {"c2d_rounds", plan.throughputRounds}, {"c2d_window", ThroughputWindow}});
}

} // namespace Bench
