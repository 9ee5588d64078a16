#ifndef FAKEHIDAPI_H
#define FAKEHIDAPI_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// A simulated HID device behind the hidapi C calls the bridge makes (hid_init, hid_exit,
// hid_open, hid_set_nonblocking, hid_read, hid_write, hid_close). Tests link it in place of
// the real library and drive the device through these functions. Thread-safe, so a
// controller thread may drive it while the program polls.
namespace FakeHid {

using Bytes = std::vector<unsigned char>;

constexpr unsigned short VendorId = 0x0805;
constexpr unsigned short ProductId = 0x1404;

// Unplugged, nothing queued, writes succeed, empty logs, reads and writes recorded.
void reset();

// An open handle outlives an unplug: its reads and writes fail with -1 from then on,
// also after a replug, as with a real hidraw node.
void plug();
void unplug();
bool isPlugged();

// Input reports of any length, delivered one per read in order.
void queueInput(const Bytes &report);
std::size_t pendingInput();

// The next read on an open handle returns -1 once, while the device stays plugged.
void failNextRead();

// Every write returns -1 while set (the bytes are still recorded).
void setWritesFail(bool fail);

// Every call with its arguments, e.g. "hid_open 0805 1404 (null)", "hid_set_nonblocking 1",
// "hid_read 11", "hid_write 00010203", "hid_close", "hid_exit"; a write on a null handle is
// "hid_write on a null handle 00010203".
std::vector<std::string> calls();
void clearCalls();
// At one read a millisecond the log grows quickly; long runs can leave reads out.
void setRecordReads(bool record);
// Writes still reach the observer below; a benchmark leaves them out of both logs.
void setRecordWrites(bool record);

// The bytes of every write, in order.
std::vector<Bytes> writes();
void clearWrites();

// Told the bytes of every write that reaches the device, after the call has released the
// device (so it may call back in), on the writing thread, without a copy: a benchmark's
// observer costs the writer no more than the write of real hidapi. One at a time: setting
// another replaces it, an empty one removes it, and so does reset().
using WriteObserver = std::function<void(const unsigned char *data, size_t length)>;
void setWriteObserver(WriteObserver observer);

int openHandles();

} // namespace FakeHid

#ifdef QT_CORE_LIB
#include <QByteArray>
#include <QStringList>

namespace FakeHid {

inline void queueInput(const QByteArray &report)
{
    queueInput(Bytes(report.cbegin(), report.cend()));
}

inline QList<QByteArray> writtenReports()
{
    QList<QByteArray> result;
    for (const Bytes &bytes : writes())
        result.append(QByteArray(
            reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size())));
    return result;
}

inline QStringList callLog()
{
    QStringList result;
    for (const std::string &call : calls())
        result.append(QString::fromStdString(call));
    return result;
}

} // namespace FakeHid
#endif

#endif // FAKEHIDAPI_H
