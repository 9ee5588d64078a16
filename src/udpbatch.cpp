#include "udpbatch.h"

#include <QNetworkInterface>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// As Qt's socket layer turns a sender into an address: an IPv6 socket reports an IPv4
// sender in its mapped form, and a scope by its interface's name.
QHostAddress addressOf(const sockaddr_storage &from)
{
    QHostAddress address;
    if (from.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(from);
        address.setAddress(v6.sin6_addr.s6_addr);
        if (v6.sin6_scope_id)
            address.setScopeId(
                QNetworkInterface::interfaceNameFromIndex(static_cast<int>(v6.sin6_scope_id)));
    } else if (from.ss_family == AF_INET) {
        address.setAddress(ntohl(reinterpret_cast<const sockaddr_in &>(from).sin_addr.s_addr));
    }
    return address;
}

// The part of a sender that names its host, in one form for both families.
sockaddr_in6 hostPart(const sockaddr_storage &from)
{
    sockaddr_in6 host {};
    host.sin6_family = from.ss_family;
    if (from.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(from);
        host.sin6_addr = v6.sin6_addr;
        host.sin6_scope_id = v6.sin6_scope_id;
    } else if (from.ss_family == AF_INET) {
        std::memcpy(&host.sin6_addr, &reinterpret_cast<const sockaddr_in &>(from).sin_addr,
            sizeof(in_addr));
    }
    return host;
}

quint16 portOf(const sockaddr_storage &from)
{
    if (from.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(from).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in &>(from).sin_port);
}

// A scope given by number or by interface name, as Qt's write reads it.
uint32_t scopeIndex(const QString &scopeId)
{
    bool isNumber = false;
    const uint index = scopeId.toUInt(&isNumber);
    return isNumber ? index
                    : static_cast<uint32_t>(QNetworkInterface::interfaceIndexFromName(scopeId));
}

} // namespace

int UdpBatch::socketFamily(qintptr descriptor)
{
    sockaddr_storage bound {};
    socklen_t length = sizeof bound;
    if (descriptor == -1
        || getsockname(static_cast<int>(descriptor), reinterpret_cast<sockaddr *>(&bound), &length)
            != 0)
        return AF_UNSPEC;
    return bound.ss_family;
}

SocketAddress UdpBatch::socketAddress(const QHostAddress &address, int family)
{
    SocketAddress result;
    if (family == AF_INET6 || address.protocol() == QAbstractSocket::IPv6Protocol) {
        sockaddr_in6 &v6 = result.address.v6;
        v6.sin6_family = AF_INET6;
        v6.sin6_scope_id = address.scopeId().isEmpty() ? 0 : scopeIndex(address.scopeId());
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&v6.sin6_addr, &bytes, sizeof bytes);
        result.length = sizeof v6;
    } else {
        result.address.v4.sin_family = AF_INET;
        result.address.v4.sin_addr.s_addr = htonl(address.toIPv4Address());
        result.length = sizeof result.address.v4;
    }
    return result;
}

void SendBatch::add(const SocketAddress &client, quint16 port)
{
    destinations.push_back(client);
    SocketAddress &added = destinations.back();
    // sin_port and sin6_port sit at the same offset
    added.address.v4.sin_port = htons(port);
}

void SendBatch::send(qintptr descriptor, const QByteArray &message)
{
    iovec bytes {const_cast<char *>(message.constData()), static_cast<size_t>(message.size())};
    headers.assign(destinations.size(), mmsghdr {});
    for (size_t i = 0; i < destinations.size(); ++i) {
        msghdr &header = headers[i].msg_hdr;
        header.msg_name = &destinations[i].address;
        header.msg_namelen = destinations[i].length;
        header.msg_iov = &bytes;
        header.msg_iovlen = 1;
    }
    // The kernel stops a batch at a datagram it refuses; retried alone, that one fails.
    for (size_t next = 0; next < headers.size();) {
        const int sent = sendmmsg(static_cast<int>(descriptor), headers.data() + next,
            static_cast<unsigned>(headers.size() - next), 0);
        if (sent > 0)
            next += static_cast<size_t>(sent);
        else if (sent == 0 || errno != EINTR)
            ++next;
    }
    destinations.clear();
}

ReceiveBatch::ReceiveBatch()
{
    for (int i = 0; i < Slots; ++i) {
        vectors[i] = {buffers[i].data(), PrefixSize};
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_name = &senders[i];
    }
}

int ReceiveBatch::receive(qintptr descriptor)
{
    for (mmsghdr &header : headers)
        header.msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    int received;
    do
        received
            = recvmmsg(static_cast<int>(descriptor), headers.data(), Slots, MSG_DONTWAIT, nullptr);
    while (received < 0 && errno == EINTR);
    return std::max(received, 0);
}

const QByteArray &ReceiveBatch::datagram(int index)
{
    view.setRawData(buffers[index].data(), headers[index].msg_len);
    return view;
}

void SenderCache::update(const sockaddr_storage &from)
{
    senderPort = portOf(from);
    const sockaddr_in6 host = hostPart(from);
    for (current = 0; current < known.size(); ++current)
        if (!known[current].text.isNull()
            && std::memcmp(&host, &known[current].host, sizeof host) == 0)
            return;
    current = replaceNext;
    replaceNext = (replaceNext + 1) % known.size();
    known[current].host = host;
    known[current].address = addressOf(from);
    known[current].text = known[current].address.toString();
}
