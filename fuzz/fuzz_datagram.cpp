// Any bytes a client can send: the marker and keep-alive tests and the control report
// built from them, checked against the layouts written out byte by byte.
#include "bridgeformat.h"

#include <cstdio>
#include <cstdlib>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_datagram: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), static_cast<int>(size));

    const bool marked = size >= 2 && data[0] == 0xA0 && data[1] == 0xA0;
    if (BridgeFormat::hasMarker(datagram) != marked)
        fail("marker test disagrees with bytes 0 and 1");

    const bool keepAlive = marked && size >= 4 && data[2] == 0x4B && data[3] == 0x41;
    if (BridgeFormat::isKeepAlive(datagram) != keepAlive)
        fail("keep-alive test disagrees with bytes 0 to 3");

    // Report id 0, then datagram bytes 2..11, zero where the datagram ends early.
    const BridgeFormat::ControlReport report = BridgeFormat::controlReport(datagram);
    if (report.size() != 11)
        fail("control report is not 11 bytes");
    if (report[0] != 0)
        fail("control report id is not 0");
    for (size_t i = 1; i < 11; ++i) {
        const unsigned char expected = i + 1 < size ? data[i + 1] : 0;
        if (report[i] != expected)
            fail("control report byte differs from the datagram");
    }

    // The same bytes seen as a bridge message: metering only by byte 3.
    const bool metering = size > 3 && data[3] == 0xF0;
    if (BridgeFormat::isMetering(datagram) != metering)
        fail("metering test disagrees with byte 3");
    return 0;
}
