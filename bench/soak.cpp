// Soak: the simulated device unplugged and plugged back under the running window in this
// process, 200 cycles with the Start button and 200 Stop/Start clicks with the device left
// in, then 200 with auto-connect (--quick: 20, 20, 3). No yardstick. Targets: after every
// cycle the bridge runs again and serves both ways (a client registers, a report reaches it,
// datagrams from 8 clients reach the device); RSS and descriptors flat after the first tenth.
#include "devicewrites.h"
#include "window.h"

#include <algorithm>

namespace Bench {

namespace {

    struct SoakMode
    {
        std::string key, name;
        bool autoConnect, unplug; // unplug: or the Stop button, with the device left in
        int cycles;
    };

    // The running bridge serves both ways: the client registers, a device report reaches its
    // three sockets, and a datagram from each of 8 clients reaches the device.
    bool serves(Context &context, ClientSet &clients, WriteCounter &counter)
    {
        const std::uint16_t listen = context.listen;
        clients.reset();
        if (!context.bridge.registerClients(clients, listen))
            return false;
        queueOnDevice(0);
        return clients.waitForTotal(PortCount, 2 * Sec) && clients.errors() == 0
            && throughput(listen, ThroughputClients, counter).lossless();
    }

    void soakCycles(Context &context, Report &report, const SoakMode &mode, ClientSet &clients,
        WriteCounter &counter)
    {
        Bridge &bridge = context.bridge;
        const std::int64_t backWithin = mode.autoConnect ? 5 * Sec : Sec;
        if (mode.autoConnect)
            bridge.setAutoConnect(true);
        else
            bridge.click("START");
        bool running = bridge.waitForState(true, backWithin);
        if (!running)
            throw std::runtime_error(mode.name + ": the bridge did not start");
        int back = 0, served = 0;
        Usage warm;
        for (int cycle = 1; running && cycle <= mode.cycles; ++cycle) {
            served += serves(context, clients, counter) ? 1 : 0;
            if (cycle == std::min(std::max(2, mode.cycles / 10), mode.cycles))
                warm = ownUsage();
            if (mode.unplug)
                FakeHid::unplug();
            else
                bridge.click("STOP");
            if (!bridge.waitForState(false, 2 * Sec) || FakeHid::openHandles() != 0)
                throw std::runtime_error(mode.name + ": not stopped, or the device left open");
            FakeHid::clearCalls();
            FakeHid::clearWrites();
            if (mode.unplug)
                FakeHid::plug();
            if (!mode.autoConnect)
                bridge.click("START");
            running = bridge.waitForState(true, backWithin);
            back += running ? 1 : 0;
        }
        const Usage end = ownUsage();
        bridge.setAutoConnect(false);
        bridge.stop();

        const bool met = back == mode.cycles && served == mode.cycles;
        context.progress(mode.name + ": back " + std::to_string(back) + ", served "
            + std::to_string(served) + " of " + std::to_string(mode.cycles) + "; RSS "
            + std::to_string(warm.rssKiB) + " -> " + std::to_string(end.rssKiB) + " KiB");
        report.rows.push_back(
            {"soak, " + mode.name + ": back running / serving, of " + std::to_string(mode.cycles),
                std::to_string(back) + " / " + std::to_string(served), "-", "-", "every cycle",
                yesNo(met)});
        noGrowthRow(report, "  same: RSS and descriptors, after the first tenth to the end",
            mode.key, warm, end);
        report.values(0,
            {{mode.key + "_cycles", mode.cycles}, {mode.key + "_back", back},
                {mode.key + "_served", served}});
        report.target(mode.key + "_back", met);
    }

} // namespace

void soakPhase(Context &context, Report &report)
{
    auto &[plan, programs, bridge, listen, ports, floorPeakKiB] = context;
    WriteCounter counter;
    const BridgeReset reset(bridge);
    FakeHid::setWriteObserver(
        [&counter](const FakeHid::Bytes &bytes) { counter.onWrite(bytes.data(), bytes.size()); });
    ClientSet clients(ipv4(SoakClient), 1, context.ports);
    bridge.setPorts(context.listen, context.ports);
    // The quick cycles first: whatever the window keeps once (buffers, caches) is in place
    // before the long auto-connect cycles are measured.
    const SoakMode modes[] = {{"soak_start", "unplug, Start button", false, true, plan.soakCycles},
        {"soak_stopstart", "Stop and Start buttons", false, false, plan.soakCycles},
        {"soak_autoconnect", "unplug, auto-connect", true, true, plan.soakAutoConnectCycles}};
    for (const SoakMode &mode : modes)
        soakCycles(context, report, mode, clients, counter);
}

// Each cycle: served both ways, the device goes (or Stop), the device comes back (or
// Start) and the bridge must be running again within the auto-connect interval. Memory and

} // namespace Bench
