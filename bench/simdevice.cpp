// Linked into tavrel-control-bench (the program's own main() and window with the simulated
// device instead of hidapi): the device is plugged in from the start, the simulation's call
// log leaves out the reads of the 1 ms poll, and with TAVREL_BENCH_FEED set a line "feed N"
// on standard input queues N non-metering reports numbered 0 to N-1, a few always waiting.
#include "harness.h"

#include <thread>

namespace {

void serveCommands()
{
    std::string command;
    for (std::uint32_t total = 0; std::cin >> command >> total;)
        for (std::uint32_t next = 0; next < total;
             std::this_thread::sleep_for(std::chrono::milliseconds(2)))
            while (next < total && FakeHid::pendingInput() < 16)
                Bench::queueOnDevice(next++);
}

const bool simulatedDevice = [] {
    FakeHid::setRecordReads(false);
    FakeHid::plug();
    if (qEnvironmentVariableIsSet("TAVREL_BENCH_FEED"))
        std::thread(serveCommands).detach();
    return true;
}();

} // namespace
