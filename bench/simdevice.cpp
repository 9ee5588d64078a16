// Linked into tavrel-control-bench (the program's own main() and window with the simulated
// device instead of hidapi): the device is plugged in from the start unless
// TAVREL_BENCH_NO_DEVICE is set, the simulation's call log leaves out the reads of the 1 ms
// poll, and with TAVREL_BENCH_FEED set a line "feed N" on standard input queues N
// non-metering reports numbered 0 to N-1, keeping a few always waiting.

#include "benchreport.h"
#include "fakehidapi.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

constexpr std::size_t KeepWaiting = 16;

void feed(std::uint32_t count)
{
    std::uint32_t next = 0;
    while (next < count) {
        while (next < count && FakeHid::pendingInput() < KeepWaiting) {
            const BenchReport::Report report = BenchReport::make(next++);
            FakeHid::queueInput(FakeHid::Bytes(report.begin(), report.end()));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void serveCommands()
{
    std::string command;
    while (std::cin >> command) {
        unsigned long count = 0;
        if (command == "feed" && std::cin >> count)
            feed(static_cast<std::uint32_t>(count));
    }
}

struct SimulatedDevice
{
    SimulatedDevice()
    {
        FakeHid::setRecordReads(false);
        if (!std::getenv("TAVREL_BENCH_NO_DEVICE"))
            FakeHid::plug();
        if (std::getenv("TAVREL_BENCH_FEED"))
            std::thread(serveCommands).detach();
    }
};

const SimulatedDevice simulatedDevice;

} // namespace
