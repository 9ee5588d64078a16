#ifndef BRIDGEFORMAT_H
#define BRIDGEFORMAT_H

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <array>
#include <cstdint>

// The byte layouts that cross the bridge's boundary: device reports one way,
// UDP datagrams the other. Nothing here knows about sockets, widgets or hidapi.
namespace BridgeFormat {

constexpr int InputReportSize = 10; // one report from the device
constexpr int ReadBufferSize = 11; // what each device read is offered
constexpr int BridgeMessageSize = 12; // marker + input report
constexpr int ControlReportSize = 11; // report id + 10 payload bytes
constexpr int LedsOffReportSize = 5;
constexpr unsigned char Marker = 0xA0;
constexpr unsigned char MeteringTag = 0xF0;

// The ports "Use defaults" fills in.
constexpr int DefaultListenPort = 18153;
constexpr int DefaultMeteringPort = 18150;
constexpr int DefaultConfigPort = 18151;
constexpr int DefaultCustomPort = 18152;

using ControlReport = std::array<unsigned char, ControlReportSize>;
using LedsOffReport = std::array<unsigned char, LedsOffReportSize>;

// True when the datagram starts with the two marker bytes A0 A0.
bool hasMarker(const QByteArray &datagram);

// True for a marked datagram of at least 4 bytes whose bytes 2 and 3 are 'K' 'A'.
bool isKeepAlive(const QByteArray &datagram);

// True for a bridge message whose byte 3 (input report byte 1) is F0.
bool isMetering(const QByteArray &bridgeMessage);

// Overwrites message with A0 A0 followed by the 10 report bytes, growing it to 12 bytes once.
void writeBridgeMessage(QByteArray &message, const unsigned char *inputReport);

// Report id 0, then datagram bytes 2..11; bytes the datagram does not reach are 0.
ControlReport controlReport(const QByteArray &datagram);

LedsOffReport ledsOffReport();

// A port field's text as the bridge uses it: base-10 int (0 if not a number), low 16 bits.
quint16 portFromText(const QString &text);

// A port setting as the window loads it: a number beyond the int range loads as 0, as on
// writing; the variant's own toInt() would silently wrap it into some other port.
int storedPort(const QVariant &value);

// Counters run on past the largest int to the smallest, without signed overflow.
int nextCount(int count);

} // namespace BridgeFormat

#endif // BRIDGEFORMAT_H
