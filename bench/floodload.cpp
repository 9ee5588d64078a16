#include "floodload.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

constexpr unsigned char DataTag = 0xD0; // datagram byte 2 of data carrying sender and number
constexpr unsigned char ShortTag = 0xD1;
constexpr std::uint64_t ClearLogsEvery = 256; // writes: the simulation's logs stay small

std::atomic<int> watchedFd {-1};
std::atomic<Bench::DeliveryCheck *> watcher {nullptr};

bool marked(const unsigned char *bytes, std::size_t length)
{
    return length >= 2 && bytes[0] == 0xA0 && bytes[1] == 0xA0;
}

} // namespace

// Qt reads each datagram with recvmsg(); a peek for its size leaves it queued.
extern "C" ssize_t recvmsg(int fd, msghdr *message, int flags)
{
    using Real = ssize_t (*)(int, msghdr *, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "recvmsg"));
    const ssize_t length = real(fd, message, flags);
    Bench::DeliveryCheck *check = watcher.load();
    if (length >= 0 && !(flags & MSG_PEEK) && check && fd == watchedFd.load()) {
        const bool hasBuffer = message->msg_iovlen > 0;
        check->onDelivered(
            hasBuffer ? static_cast<const unsigned char *>(message->msg_iov[0].iov_base) : nullptr,
            hasBuffer ? std::min(std::size_t(length), message->msg_iov[0].iov_len) : 0);
    }
    return length;
}

namespace Bench {

Flooder::Flooder(std::uint32_t firstAddress, int senders, std::uint16_t port)
    : sequence(static_cast<std::size_t>(senders), 0)
{
    for (int s = 0; s < senders; ++s) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(firstAddress + static_cast<std::uint32_t>(s));
        if (fd >= 0)
            sockets.push_back(fd);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            for (const int open : sockets)
                close(open);
            throw std::runtime_error("cannot bind flood sender " + std::to_string(s));
        }
    }
    sockaddr_in bridge {};
    bridge.sin_family = AF_INET;
    bridge.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bridge.sin_port = htons(port);
    static_assert(sizeof bridge <= sizeof target, "room for the address");
    std::memcpy(target.data(), &bridge, sizeof bridge);
}

Flooder::~Flooder()
{
    for (const int fd : sockets)
        close(fd);
}

void Flooder::send(std::uint64_t count)
{
    unsigned char bytes[1400];
    for (std::uint64_t i = 0; i < count; ++i) {
        const int sender = static_cast<int>(nextRandom() % sockets.size());
        const Kind kind = pick(sender);
        const std::size_t length = fill(kind, sender, bytes);
        if (sendto(sockets[static_cast<std::size_t>(sender)], bytes, length, 0,
                reinterpret_cast<const sockaddr *>(target.data()), sizeof(sockaddr_in))
            == static_cast<ssize_t>(length)) {
            ++sent;
            ++kinds[kind];
        } else {
            ++refused;
        }
    }
}

std::uint64_t Flooder::nextRandom()
{
    random ^= random << 13;
    random ^= random >> 7;
    random ^= random << 17;
    return random;
}

Flooder::Kind Flooder::pick(int sender)
{
    const int roll = static_cast<int>(nextRandom() % 100);
    if (sender < static_cast<int>(sockets.size()) / 5)
        return roll < 50 ? Junk : roll < 80 ? Unmarked : Tiny;
    static constexpr std::pair<int, Kind> Mix[]
        = {{10, Junk}, {20, Unmarked}, {25, Tiny}, {35, Long}, {75, Data}, {80, ShortData}};
    for (const auto &bound : Mix)
        if (roll < bound.first)
            return bound.second;
    return KeepAlive;
}

std::size_t Flooder::fill(Kind kind, int sender, unsigned char *bytes)
{
    std::size_t length = 0;
    switch (kind) {
    case Junk:
        length = nextRandom() % 200;
        for (std::size_t i = 0; i < length; ++i)
            bytes[i] = static_cast<unsigned char>(nextRandom());
        if (length >= 2 && bytes[0] == 0xA0)
            bytes[1] = 0x00;
        break;
    case Unmarked: // the first marker byte alone, or the second
        length = 2 + nextRandom() % 30;
        std::memset(bytes, 0x5A, length);
        bytes[0] = (nextRandom() & 1) ? 0xA0 : 0xA1;
        bytes[1] = bytes[0] == 0xA0 ? 0xA1 : 0xA0;
        break;
    case Tiny:
        length = nextRandom() % 2;
        bytes[0] = 0xA0;
        break;
    case Long: // only bytes 2 to 11 reach the device
    case Data: {
        length = kind == Long ? 13 + nextRandom() % 1388 : 12;
        for (std::size_t i = 0; i < length; ++i)
            bytes[i] = static_cast<unsigned char>(nextRandom());
        const std::uint32_t number = ++sequence[static_cast<std::size_t>(sender)];
        const unsigned char head[] = {0xA0, 0xA0, DataTag, static_cast<unsigned char>(sender >> 8),
            static_cast<unsigned char>(sender), static_cast<unsigned char>(number >> 24),
            static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 8),
            static_cast<unsigned char>(number)};
        std::memcpy(bytes, head, sizeof head);
        break;
    }
    case ShortData: // the report bytes it does not reach are 0
        length = 2 + nextRandom() % 7;
        std::memset(bytes, 0x33, length);
        bytes[0] = bytes[1] = 0xA0;
        if (length > 2)
            bytes[2] = ShortTag;
        break;
    case KeepAlive:
    case KindCount:
        length = 4 + nextRandom() % 20;
        std::memset(bytes, 0x11, length);
        bytes[0] = bytes[1] = 0xA0;
        bytes[2] = 'K';
        bytes[3] = 'A';
        break;
    }
    return length;
}

DeliveryCheck::DeliveryCheck(int fd, int senders)
    : lastSequence(static_cast<std::size_t>(senders), 0)
{
    watchedFd = fd;
    watcher = this;
}

DeliveryCheck::~DeliveryCheck()
{
    watcher = nullptr;
    watchedFd = -1;
}

void DeliveryCheck::onDelivered(const unsigned char *bytes, std::size_t length)
{
    ++delivered;
    if (!marked(bytes, length))
        return;
    if (length >= 4 && bytes[2] == 'K' && bytes[3] == 'A') {
        ++keepAlives;
        return;
    }
    ++data;
    std::array<unsigned char, 11> report {}; // 00, then datagram bytes 2 to 11
    for (std::size_t i = 2; i < std::min<std::size_t>(length, 12); ++i)
        report[i - 1] = bytes[i];
    expected.push_back(report);
}

void DeliveryCheck::onWrite(const FakeHid::Bytes &bytes)
{
    if (++writes % ClearLogsEvery == 0) {
        FakeHid::clearWrites();
        FakeHid::clearCalls();
    }
    if (expected.empty()
        || !std::equal(
            bytes.begin(), bytes.end(), expected.front().begin(), expected.front().end())) {
        ++mismatched;
    }
    if (!expected.empty())
        expected.pop_front();
    if (bytes.size() != 11 || bytes[1] != DataTag)
        return;
    const std::size_t sender = std::size_t(bytes[2]) << 8 | bytes[3];
    const std::uint32_t number = std::uint32_t(bytes[4]) << 24 | std::uint32_t(bytes[5]) << 16
        | std::uint32_t(bytes[6]) << 8 | bytes[7];
    if (sender >= lastSequence.size() || number <= lastSequence[sender])
        ++outOfOrder;
    else
        lastSequence[sender] = number;
}

SocketCounters socketCounters(int fd)
{
    SocketCounters counters;
    char link[64] = {};
    if (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1) < 0)
        return counters;
    const std::string text = link; // "socket:[12345]"
    const std::string inode = text.substr(text.find('[') + 1, text.find(']') - text.find('[') - 1);
    for (const char *table : {"/proc/net/udp6", "/proc/net/udp"}) {
        std::ifstream file(table);
        std::string line;
        while (std::getline(file, line)) {
            // sl local rem st tx_queue:rx_queue tr:when retrnsmt uid timeout inode ref pointer
            // drops
            std::istringstream fields(line);
            std::vector<std::string> f;
            for (std::string field; fields >> field;)
                f.push_back(field);
            if (f.size() < 13 || f[9] != inode)
                continue;
            counters.queuedBytes = std::stoull(f[4].substr(f[4].find(':') + 1), nullptr, 16);
            counters.drops = std::stoull(f[12]);
            counters.found = true;
            return counters;
        }
    }
    return counters;
}

} // namespace Bench
