#ifndef NETCLIENTS_H
#define NETCLIENTS_H

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Bench {

std::int64_t monotonicNs();
std::int64_t realtimeNs();
void sleepNs(std::int64_t ns);

std::uint32_t ipv4(const char *text);
std::string ipv4Text(std::uint32_t address);

// A UDP port that is free on every address right now (asked of the kernel, then released).
std::uint16_t freePort();

enum Port { Metering, Config, Custom, PortCount };
using Ports = std::array<std::uint16_t, PortCount>;

// Clients of the bridge on consecutive loopback addresses, each with one socket bound on each
// of the three destination ports. One thread collects everything every half millisecond and
// checks that every socket gets the numbered messages 0, 1, 2, ... in order; arrival times
// are the kernel's receive stamps (CLOCK_REALTIME), so when this thread looks does not count.
class ClientSet
{
public:
    ClientSet(std::uint32_t firstAddress, int count, const Ports &ports);
    ~ClientSet();
    ClientSet(const ClientSet &) = delete;
    ClientSet &operator=(const ClientSet &) = delete;

    int count() const { return clientCount; }
    std::uint32_t firstAddress() const { return first; }

    // A keep-alive from each client's METERING socket to 127.0.0.1:listenPort.
    void sendKeepAlives(std::uint16_t listenPort);
    // The same, at most every five seconds, so that no client goes silent for 20 s.
    void keepAliveIfDue(std::uint16_t listenPort);

    // Collect nothing until this many sockets have a datagram waiting (1: collect at once).
    void setBatch(int readySockets);

    // Forgets everything received: message 0 is expected next on every socket.
    void reset();
    bool waitForTotal(std::uint64_t total, std::int64_t timeoutNs);
    std::uint64_t total() const;
    std::uint64_t received(int client, Port port) const;
    std::uint64_t minReceived(Port port) const;
    // Datagrams that were not ours, or not the number expected next on their socket.
    std::uint64_t errors() const;
    // Datagrams the kernel dropped because a client socket's buffer was full: lost here, in
    // the benchmark, not by the bridge. Known once a later datagram arrives on that socket.
    std::uint64_t dropped() const;
    // The last arrival of message `sequence` on the client's three sockets, or -1 when one of
    // them has not had it as its latest message.
    std::int64_t lastArrival(int client, std::uint32_t sequence) const;

private:
    struct Socket
    {
        int fd = -1;
        std::uint32_t expected = 0;
        std::uint64_t count = 0;
        std::uint32_t lastSequence = 0;
        std::int64_t lastArrivalNs = -1;
        std::uint32_t dropped = 0, droppedBefore = 0; // the kernel's count; its value at reset()
    };

    void receive();
    void drain(Socket &socket);

    const std::uint32_t first;
    const int clientCount;
    std::vector<Socket> sockets; // client * PortCount + port
    int epollFd = -1;
    std::int64_t lastKeepAliveNs = 0;

    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::uint64_t totalReceived = 0;
    std::uint64_t errorCount = 0;
    std::atomic<bool> stopping {false};
    std::atomic<int> batch {1};
    std::thread receiver;
};

// Percentile by nearest rank, of values sorted ascending; 0 for none.
double percentile(const std::vector<double> &sorted, double fraction);

} // namespace Bench

#endif // NETCLIENTS_H
