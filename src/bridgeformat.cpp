#include "bridgeformat.h"

#include <climits>
#include <cstring>
#include <limits>

namespace BridgeFormat {

bool hasMarker(const QByteArray &datagram)
{
    return datagram.size() >= 2 && static_cast<unsigned char>(datagram.at(0)) == Marker
        && static_cast<unsigned char>(datagram.at(1)) == Marker;
}

bool isKeepAlive(const QByteArray &datagram)
{
    return datagram.size() >= 4 && hasMarker(datagram) && datagram.at(2) == 'K'
        && datagram.at(3) == 'A';
}

bool isMetering(const QByteArray &bridgeMessage)
{
    return bridgeMessage.size() > 3
        && static_cast<unsigned char>(bridgeMessage.at(3)) == MeteringTag;
}

void writeBridgeMessage(QByteArray &message, const unsigned char *inputReport)
{
    if (message.size() != BridgeMessageSize)
        message.resize(BridgeMessageSize);
    char *bytes = message.data();
    bytes[0] = static_cast<char>(Marker);
    bytes[1] = static_cast<char>(Marker);
    std::memcpy(bytes + 2, inputReport, InputReportSize);
}

ControlReport controlReport(const QByteArray &datagram)
{
    ControlReport report {};
    const int payload = qBound(0, datagram.size() - 2, ControlReportSize - 1);
    if (payload > 0)
        std::memcpy(report.data() + 1, datagram.constData() + 2, static_cast<size_t>(payload));
    return report;
}

LedsOffReport ledsOffReport()
{
    return {0x00, 0x04, 0x02, 0xFF, 0x00};
}

quint16 portFromText(const QString &text)
{
    return static_cast<quint16>(text.toInt(nullptr, 10));
}

int storedPort(const QVariant &value)
{
    const qlonglong number = value.toLongLong();
    const bool fits
        = number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max();
    return fits ? static_cast<int>(number) : 0;
}

int nextCount(int count)
{
    return count == INT_MAX ? INT_MIN : count + 1;
}

} // namespace BridgeFormat
