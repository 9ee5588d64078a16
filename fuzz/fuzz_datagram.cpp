// Any bytes a client can send, checked against the layouts written out byte by byte.
#include "bridgeformat.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const auto at = [&](size_t i) { return i < size ? data[i] : 0; };
    const bool marked = size >= 2 && data[0] == 0xA0 && data[1] == 0xA0;
    bool sound = BridgeFormat::hasMarker(datagram) == marked
        && BridgeFormat::isKeepAlive(datagram)
            == (marked && size >= 4 && at(2) == 'K' && at(3) == 'A')
        && BridgeFormat::isMetering(datagram) == (size > 3 && at(3) == 0xF0);
    const BridgeFormat::ControlReport report = BridgeFormat::controlReport(datagram);
    for (size_t i = 0; i < report.size(); ++i)
        sound = sound && report[i] == (i == 0 ? 0 : at(i + 1));
    if (!sound)
        std::abort();
    return 0;
}
