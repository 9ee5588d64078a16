// Linked into tavrel-control-bench (the program's own main() and window with the simulated
// device instead of hidapi): the device is plugged in from the start, the simulation's call
// log leaves out the reads of the 1 ms poll, and with TAVREL_BENCH_FEED_FD set a count N read
// from that descriptor queues N non-metering reports numbered 0 to N-1, a few always waiting.
#include "harness.h"

#include <thread>

namespace {

void feed(int fd)
{
    char text[16] = {};
    const std::uint32_t total = read(fd, text, sizeof text - 1) > 0 ? std::atol(text) : 0;
    close(fd);
    for (std::uint32_t next = 0; next < total;
         std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        while (next < total && FakeHid::pendingInput() < 16)
            Bench::queueOnDevice(next++);
}

const bool simulatedDevice = [] {
    FakeHid::setRecordReads(false);
    FakeHid::plug();
    bool valid = false;
    const int fd = qEnvironmentVariableIntValue("TAVREL_BENCH_FEED_FD", &valid);
    if (valid)
        std::thread(feed, fd).detach();
    return true;
}();

} // namespace
