#ifndef BENCHREPORT_H
#define BENCHREPORT_H

#include <array>
#include <cstddef>
#include <cstdint>

// The input reports the benchmark feeds to the device. A sequence number in bytes 2 to 5
// (little endian) lets every datagram that leaves the bridge be checked for loss and order;
// byte 1 is 0xF0 for a metering report and 0x01 otherwise; bytes 6 to 9 are a fixed pattern.
namespace BenchReport {

constexpr std::size_t Size = 10;
constexpr std::size_t MessageSize = 12; // two marker bytes and the report
constexpr unsigned char Pattern = 0x5A;

using Report = std::array<unsigned char, Size>;

inline Report make(std::uint32_t sequence, bool metering = false)
{
    Report report {};
    report[0] = 0x01;
    report[1] = metering ? 0xF0 : 0x01;
    for (std::size_t i = 0; i < 4; ++i)
        report[2 + i] = static_cast<unsigned char>(sequence >> (8 * i));
    for (std::size_t i = 6; i < Size; ++i)
        report[i] = Pattern;
    return report;
}

// A bridge message carrying one of our reports, whole and unaltered apart from its number.
inline bool isMessage(const unsigned char *message, std::size_t length)
{
    if (length != MessageSize || message[0] != 0xA0 || message[1] != 0xA0 || message[2] != 0x01)
        return false;
    for (std::size_t i = 8; i < MessageSize; ++i)
        if (message[i] != Pattern)
            return false;
    return true;
}

inline std::uint32_t sequenceOfMessage(const unsigned char *message)
{
    return std::uint32_t(message[4]) | std::uint32_t(message[5]) << 8
        | std::uint32_t(message[6]) << 16 | std::uint32_t(message[7]) << 24;
}

} // namespace BenchReport

#endif // BENCHREPORT_H
