// Soak: the simulated device unplugged and plugged back under the running window in this
// process, 200 cycles with the Start button and 200 Stop/Start clicks with the device left
// in, then 200 with auto-connect (--quick: 20, 20, 3). No yardstick. Targets: after every
// cycle the bridge runs again and serves both ways (a client registers, a report reaches it,
// datagrams from 8 clients reach the device); RSS and descriptors flat after the first tenth.
#include "clients.h"

namespace Bench {

namespace {

    struct Mode
    {
        const char *key, *name;
        bool autoConnect, unplug; // unplug: or the Stop button, with the device left in
        int cycles;
    };

    // Each cycle: served both ways, the device goes (or Stop), comes back (or Start), and the
    // bridge must run again within the auto-connect interval.
    void cycles(Context &context, Report &report, const Mode &mode, ClientSet &clients,
        DeviceWrites &writes)
    {
        Bridge &bridge = context.bridge;
        const std::int64_t backWithin = mode.autoConnect ? 5 * Sec : Sec;
        mode.autoConnect ? bridge.setAutoConnect(true) : bridge.invoke("START", "click");
        if (!bridge.waitForState(true, backWithin))
            throw std::runtime_error(std::string(mode.name) + ": the bridge did not start");
        int back = 0, served = 0;
        std::array<long, 2> warm {-1, -1};
        for (int cycle = 1; cycle <= mode.cycles && back == cycle - 1; ++cycle) {
            clients.reset();
            served += registerClients(bridge, clients, context.listen) && queueOnDevice(0)
                && clients.waitForTotal(PortCount, 2 * Sec) && clients.errors == 0
                && writes.load(context.listen, ThroughputClients).lossless();
            if (cycle == std::min(std::max(2, mode.cycles / 10), mode.cycles))
                warm = ownUsage();
            mode.unplug ? FakeHid::unplug() : bridge.invoke("STOP", "click");
            if (!bridge.waitForState(false, 2 * Sec) || FakeHid::openHandles() != 0)
                throw std::runtime_error(std::string(mode.name) + ": not stopped, or left open");
            FakeHid::clearCalls();
            if (mode.unplug)
                FakeHid::plug();
            if (!mode.autoConnect)
                bridge.invoke("START", "click");
            back += bridge.waitForState(true, backWithin);
        }
        const std::array<long, 2> end = ownUsage();
        bridge.setAutoConnect(false);
        bridge.stop();
        report.check(mode.key + std::string("_back"),
            "soak, " + std::string(mode.name) + ": back running / serving, of "
                + count(mode.cycles),
            count(back) + " / " + count(served), "every cycle",
            back == mode.cycles && served == mode.cycles);
        report.noGrowth(mode.key, warm, end);
    }

} // namespace

void soakPhase(Context &context, Report &report)
{
    DeviceWrites writes;
    writes.observeWindow();
    ClientSet clients(SoakClient, 1, context.ports);
    // The quick cycles first: whatever the window keeps once (buffers, caches) is in place
    // before the long auto-connect cycles are measured.
    const int quick = context.plan.soakCycles, autoConnect = context.plan.soakAutoConnectCycles;
    for (const Mode &mode : {Mode {"soak_start", "unplug, Start button", false, true, quick},
             Mode {"soak_stopstart", "Stop and Start buttons", false, false, quick},
             Mode {"soak_autoconnect", "unplug, auto-connect", true, true, autoConnect}})
        cycles(context, report, mode, clients, writes);
}

} // namespace Bench
