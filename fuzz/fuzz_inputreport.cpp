// Device reads of any content, framed into bridge messages in one reused buffer, as the
// poll does: every message is the marker plus exactly the 10 report bytes.
#include "bridgeformat.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_inputreport: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte sizes whatever the buffer held before (the window's starts empty;
    // anything else must be overwritten too).
    QByteArray message(data[0] % 40, '\x55');
    ++data;
    --size;

    for (size_t offset = 0; offset + 10 <= size; offset += 10) {
        const unsigned char *report = data + offset;
        BridgeFormat::writeBridgeMessage(message, report);
        if (message.size() != 12)
            fail("bridge message is not 12 bytes");
        const auto *bytes = reinterpret_cast<const unsigned char *>(message.constData());
        if (bytes[0] != 0xA0 || bytes[1] != 0xA0)
            fail("bridge message does not start with the marker");
        if (std::memcmp(bytes + 2, report, 10) != 0)
            fail("bridge message payload differs from the report");
        if (BridgeFormat::isMetering(message) != (report[1] == 0xF0))
            fail("metering test disagrees with report byte 1");
        // A copy queued for sending must not change when the buffer is reused.
        const QByteArray queued = message;
        BridgeFormat::writeBridgeMessage(message, data + size - 10); // the input's last report
        if (queued.size() != 12 || std::memcmp(queued.constData() + 2, report, 10) != 0)
            fail("a queued copy changed when the buffer was reused");
    }
    return 0;
}
