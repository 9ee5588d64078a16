// Client datagrams and device reports of any content, interleaved, through the real window:
// every marked datagram but a keep-alive reaches the device once as its control report, every
// 10-byte report reaches the client, and nothing else moves. An input is a run of chunks: a
// byte (length * 2 + 1 for a device report, length * 2 for a datagram), then that many bytes.
#include "bridgeformat.h"
#include "bridgetest.h"

#include <QApplication>

#include <cstdlib>

using namespace BridgeTest;

namespace {

// Made once and never destroyed: the process ends without tearing Qt down.
Bridge &runningBridge(Client &client)
{
    static int argc = 1;
    static char name[] = "fuzz_bridge";
    static char *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    settingsPath();
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    new QApplication(argc, argv);
    auto *bridge = new Bridge(client.ports());
    FakeHid::plug();
    bridge->click("START");
    return *bridge;
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    static Client &client = *new Client("127.0.0.2");
    static Bridge &bridge = runningBridge(client);
    bridge.send(client, hex("a0a04b41"));
    FakeHid::clearWrites();
    QStringList writes, reports, others; // others: all but metering reports
    for (size_t at = 0; at < size;) {
        const int length = int(std::min<size_t>(data[at] / 2, size - at - 1));
        const QByteArray chunk(reinterpret_cast<const char *>(data + at + 1), length);
        const bool fromDevice = data[at] % 2;
        at += 1 + size_t(length);
        if (fromDevice) {
            FakeHid::queueInput(chunk);
            bridge.poll();
            const QString message = "a0a0" + hexText(chunk);
            if (length == 10)
                reports << message;
            if (length == 10 && !BridgeFormat::isMetering(hex("a0a0") + chunk))
                others << message;
        } else {
            bridge.send(client, chunk);
            if (BridgeFormat::hasMarker(chunk) && !BridgeFormat::isKeepAlive(chunk))
                writes << hexText(hex("00") + chunk.mid(2, 10).leftJustified(10, '\0'));
        }
    }
    QStringList arrivals;
    for (const QString &m : reports)
        arrivals << "M " + m;
    for (const char *port : {"C ", "U "})
        for (const QString &m : others)
            arrivals << port + m;
    QStringList written;
    for (const QByteArray &report : FakeHid::writtenReports())
        written << hexText(report);
    if (written != writes || client.arrivals() != arrivals || bridge.status() != "running")
        std::abort();
    return 0;
}
