// The programs the benchmark starts beside the window in this process: the C yardstick and
// its "device", and Qt programs (the real tavrel-control, tavrel-control-bench, the empty Qt
// application) in a settings home of their own, with the readiness probe preloaded.
#ifndef CHILDREN_H
#define CHILDREN_H

#include "harness.h"

#include <QTemporaryDir>

namespace Bench {

// The C yardstick's "device": one end of a SOCK_SEQPACKET pair, one report per record.
struct SeqPacketDevice
{
    int ours = -1, theirs = -1;

    SeqPacketDevice();
    ~SeqPacketDevice();
    void handedOver();
    bool queue(std::uint32_t sequence);
    void endOfInput();
};

// bench_baseline send, to the clients' ports, reading reports from the device.
Child startSender(const Programs &programs, SeqPacketDevice &device, const Ports &ports,
    const ClientSet &clients);
// "ticks=N seconds=S reports=R" from a finished sender: its timer's rate.
double senderTickRate(Child &child);

// A settings file with these ports, in a temporary XDG_CONFIG_HOME.
class ConfigHome
{
public:
    ConfigHome(const Ports &ports, std::uint16_t listen, bool autoConnect);
    std::string path() const { return dir.path().toStdString(); }

private:
    QTemporaryDir dir;
};

struct Launch
{
    std::string program;
    std::string stderrPath;
    std::vector<std::string> environment;
    bool stdinPipe = false;
    bool quitWhenReady = false;
    std::string preload = {}; // preloaded before the readiness probe
};

// A Qt program with the readiness probe preloaded, its debug lines going to a file.
Child launchQt(const Programs &programs, const Launch &launch, const std::string &configHome);
// The process's CPU time over `seconds`, in % of a core.
double cpuPercent(pid_t pid, double seconds);
// Sends keep-alives until the bridge has logged `clients` of them: it is running.
bool waitUntilRunning(ClientSet &clients, std::uint16_t listen, const std::string &stderrPath);

} // namespace Bench

#endif // CHILDREN_H
