// Device writes seen by the benchmark, and the client->device load that makes them.
#ifndef DEVICEWRITES_H
#define DEVICEWRITES_H

#include "harness.h"

#include <array>
#include <cmath>
#include <condition_variable>
#include <mutex>

namespace Bench {

// Counts the device writes (the bridge's, or the C yardstick's) and checks each: 00, the
// client's number, its datagram number, and the pattern, in order per client. The sender
// is woken only once half of its window has been written, not at every write.
class WriteCounter
{
public:
    void reset()
    {
        std::lock_guard<std::mutex> lock(mutex);
        written = errorCount = 0;
        expected.fill(0);
        lastWriteNs = 0;
        wakeAt = NoWaiter;
    }

    void onWrite(const unsigned char *data, std::size_t length)
    {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++written;
            lastWriteNs = monotonicNs();
            const unsigned client = length > 1 ? data[1] : 255;
            bool valid = length == 11 && data[0] == 0 && client < ThroughputClients;
            for (std::size_t i = 6; valid && i < length; ++i)
                valid = data[i] == 0x33;
            const std::uint32_t sequence = valid
                ? std::uint32_t(data[2]) | std::uint32_t(data[3]) << 8
                    | std::uint32_t(data[4]) << 16 | std::uint32_t(data[5]) << 24
                : 0;
            if (!valid || sequence != expected[client])
                ++errorCount;
            if (valid)
                expected[client] = sequence + 1;
            wake = written >= wakeAt;
        }
        if (wake)
            changed.notify_all();
    }

    // Returns at once while fewer than `window` of `sent` are unwritten; otherwise waits until
    // half of them are. False if nothing is written for a second.
    bool waitForRoom(std::uint64_t sent, std::uint64_t window)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (sent - written < window)
            return true;
        wakeAt = sent - window / 2;
        for (;;) {
            const std::uint64_t before = written;
            if (written >= wakeAt) {
                wakeAt = NoWaiter;
                return true;
            }
            if (!changed.wait_for(
                    lock, std::chrono::seconds(1), [&] { return written != before; })) {
                wakeAt = NoWaiter;
                return false;
            }
        }
    }

    // Until all of `sent` are written, or the time runs out.
    void waitForAll(std::uint64_t sent, std::int64_t timeoutNs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        wakeAt = sent;
        changed.wait_for(
            lock, std::chrono::nanoseconds(timeoutNs), [&] { return written >= sent; });
        wakeAt = NoWaiter;
    }

    std::uint64_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return written;
    }
    std::uint64_t errors()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return errorCount;
    }
    std::int64_t lastWrite()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lastWriteNs;
    }

private:
    static constexpr std::uint64_t NoWaiter = UINT64_MAX;
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t written = 0, errorCount = 0;
    std::array<std::uint32_t, ThroughputClients> expected {};
    std::int64_t lastWriteNs = 0;
    std::uint64_t wakeAt = NoWaiter;
};

struct ThroughputResult
{
    double perSecond = NAN;
    double cpuUsPerDatagram = NAN; // of the receiving side: the bridge's thread, the C process
    std::uint64_t sent = 0, written = 0, errors = 0;
    bool lossless() const { return written == sent && errors == 0; }
};

// `total` marked datagrams from 8 client addresses, round robin, never more than
// ThroughputWindow of them unwritten, so that the receive buffer cannot overflow.
ThroughputResult throughput(std::uint16_t listen, int total, WriteCounter &counter);

} // namespace Bench

#endif // DEVICEWRITES_H
