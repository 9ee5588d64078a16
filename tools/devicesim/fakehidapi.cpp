#include "fakehidapi.h"

#include <hidapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>

struct hid_device_
{
    unsigned plugGeneration; // the plug-in this handle was opened on
};

namespace {

struct Device
{
    std::mutex mutex;
    bool plugged = false;
    unsigned generation = 0;
    std::deque<FakeHid::Bytes> input;
    bool failNextRead = false;
    bool writesFail = false;
    bool recordReads = true;
    bool recordWrites = true;
    int openHandles = 0;
    // The window leaves its handle open when destroyed while running (the end of the
    // process releases it), so open handles stay reachable here, not leaked.
    std::set<hid_device *> handles;
    std::vector<std::string> calls;
    std::vector<FakeHid::Bytes> writes;
    FakeHid::WriteObserver writeObserver;

    bool isCurrent(const hid_device *handle) const
    {
        return handle && plugged && handle->plugGeneration == generation;
    }
};

Device &device()
{
    static Device *instance = new Device; // never destroyed: handles outlive static destructors
    return *instance;
}

std::string hex(const unsigned char *data, std::size_t length)
{
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", data[i]);
        text += pair;
    }
    return text;
}

std::string serialText(const wchar_t *serial)
{
    if (!serial)
        return "(null)";
    std::string text;
    for (; *serial; ++serial)
        text += static_cast<char>(*serial);
    return text;
}

std::string openCall(unsigned short vendor, unsigned short product, const wchar_t *serial)
{
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x %04x ", vendor, product);
    return "hid_open " + std::string(ids) + serialText(serial);
}

} // namespace

namespace FakeHid {

void reset()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.plugged = false;
    ++d.generation;
    d.input.clear();
    d.failNextRead = false;
    d.writesFail = false;
    d.recordReads = true;
    d.recordWrites = true;
    d.calls.clear();
    d.writes.clear();
    d.writeObserver = nullptr;
}

void plug()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.plugged)
        ++d.generation;
    d.plugged = true;
}

void unplug()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.plugged = false;
    d.input.clear(); // what the device had not delivered goes with it
}

bool isPlugged()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.plugged;
}

void queueInput(const Bytes &report)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.input.push_back(report);
}

std::size_t pendingInput()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.input.size();
}

void failNextRead()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.failNextRead = true;
}

void setWritesFail(bool fail)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.writesFail = fail;
}

std::vector<std::string> calls()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.calls;
}

void clearCalls()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.calls.clear();
}

void setRecordReads(bool record)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.recordReads = record;
}

void setRecordWrites(bool record)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.recordWrites = record;
}

std::vector<Bytes> writes()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.writes;
}

void clearWrites()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.writes.clear();
}

void setWriteObserver(WriteObserver observer)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.writeObserver = std::move(observer);
}

int openHandles()
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.openHandles;
}

} // namespace FakeHid

extern "C" {

int hid_init(void)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.calls.emplace_back("hid_init");
    return 0;
}

int hid_exit(void)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.calls.emplace_back("hid_exit");
    return 0;
}

hid_device *hid_open(
    unsigned short vendor_id, unsigned short product_id, const wchar_t *serial_number)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.calls.push_back(openCall(vendor_id, product_id, serial_number));
    const bool matches = vendor_id == FakeHid::VendorId && product_id == FakeHid::ProductId;
    if (!d.plugged || !matches)
        return nullptr;
    ++d.openHandles;
    return *d.handles.insert(new hid_device {d.generation}).first;
}

int hid_set_nonblocking(hid_device *dev, int nonblock)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.calls.push_back("hid_set_nonblocking " + std::to_string(nonblock));
    return d.isCurrent(dev) ? 0 : -1;
}

// Never blocks: an empty queue reads as "no report waiting".
int hid_read(hid_device *dev, unsigned char *data, size_t length)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.recordReads)
        d.calls.push_back("hid_read " + std::to_string(length));
    if (!d.isCurrent(dev) || d.failNextRead) {
        d.failNextRead = false;
        return -1;
    }
    if (d.input.empty())
        return 0;
    const FakeHid::Bytes report = std::move(d.input.front());
    d.input.pop_front();
    const std::size_t delivered = std::min(length, report.size());
    if (delivered > 0)
        std::memcpy(data, report.data(), delivered);
    return static_cast<int>(delivered);
}

int hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    Device &d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    // Real hidapi would crash on a null handle: the attempt is always recorded, for tests to see.
    if (d.recordWrites || !dev)
        d.calls.push_back((dev ? "hid_write " : "hid_write on a null handle ") + hex(data, length));
    if (!d.isCurrent(dev))
        return -1;
    if (d.recordWrites)
        d.writes.emplace_back(data, data + length);
    const int result = d.writesFail ? -1 : static_cast<int>(length);
    const FakeHid::WriteObserver observer = d.writeObserver;
    lock.unlock();
    if (observer)
        observer(data, length);
    return result;
}

void hid_close(hid_device *dev)
{
    Device &d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.calls.emplace_back("hid_close");
    if (!dev)
        return;
    --d.openHandles;
    d.handles.erase(dev);
    delete dev;
}

} // extern "C"
