#ifndef FLOODLOAD_H
#define FLOODLOAD_H

#include "fakehidapi.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

namespace Bench {

// Datagrams from sockets on consecutive loopback addresses to 127.0.0.1:port, as fast as the
// kernel takes them: junk (random bytes, one marker byte only, 0 or 1 byte), marked data (12
// bytes numbered per sender, 13 to 1400 bytes, 2 to 8 bytes) and keep-alives. The first fifth
// of the senders never send the marker.
class Flooder
{
public:
    enum Kind { Junk, Unmarked, Tiny, Long, Data, ShortData, KeepAlive, KindCount };

    Flooder(std::uint32_t firstAddress, int senders, std::uint16_t port);
    ~Flooder();
    Flooder(const Flooder &) = delete;
    Flooder &operator=(const Flooder &) = delete;

    void send(std::uint64_t count);

    std::uint64_t sent = 0;
    std::uint64_t refused = 0; // sendto() errors: not counted as sent
    std::array<std::uint64_t, KindCount> kinds {};

private:
    std::uint64_t nextRandom();
    Kind pick(int sender);
    std::size_t fill(Kind kind, int sender, unsigned char *bytes);

    std::vector<int> sockets;
    std::vector<std::uint32_t> sequence;
    std::array<unsigned char, 16> target {}; // a sockaddr_in
    std::uint64_t random = 0x9E3779B97F4A7C15ull;
};

// What the bridge's socket handed to the program, seen inside recvmsg() on the bridge's thread,
// against the device writes: each marked data datagram delivered is written exactly once, in
// delivery order, and the numbered ones in sending order per sender.
class DeliveryCheck
{
public:
    DeliveryCheck(int fd, int senders);
    ~DeliveryCheck(); // stops watching

    void onDelivered(const unsigned char *bytes, std::size_t length);
    void onWrite(const FakeHid::Bytes &bytes);

    std::atomic<std::uint64_t> delivered {0};
    std::uint64_t keepAlives = 0, data = 0, writes = 0;
    std::uint64_t mismatched = 0; // written with no delivered datagram waiting, or another one
    std::uint64_t outOfOrder = 0;
    std::size_t unwritten() const { return expected.size(); }

private:
    std::deque<std::array<unsigned char, 11>> expected;
    std::vector<std::uint32_t> lastSequence;
};

// The kernel's figures for one of this process's UDP sockets, from /proc/net/udp6 or udp.
struct SocketCounters
{
    std::uint64_t queuedBytes = 0;
    std::uint64_t drops = 0;
    bool found = false;
};

SocketCounters socketCounters(int fd);

} // namespace Bench

#endif // FLOODLOAD_H
