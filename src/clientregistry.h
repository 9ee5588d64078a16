#ifndef CLIENTREGISTRY_H
#define CLIENTREGISTRY_H

#include "udpbatch.h"

#include <QHostAddress>
#include <QMap>
#include <QString>

// Milliseconds since the last restart, on a monotonic clock: unaffected by changes of
// the time of day and free of daily wrap-around.
class Stopwatch
{
public:
    using Clock = qint64 (*)();

    void restart();
    qint64 elapsed() const;

    // Tests step time through their own clock instead of waiting; nullptr restores
    // the monotonic one.
    static void setClock(Clock clock);

private:
    qint64 startedAt = 0;
};

// One client: when it was last heard from, and its address text parsed once, when it
// registered, for the sends to it; the caller adds the destination in the socket's own form
// and the send line's text up to the count.
struct ClientEntry
{
    Stopwatch lastHeard;
    QHostAddress address;
    SocketAddress destination;
    QString sendLinePrefix;
};

// The clients heard from, keyed by the sender's address text (port not stored) and
// ordered by that text, code unit by code unit. Entries own their stopwatches by value,
// so removing or clearing releases them.
class ClientRegistry
{
public:
    using Entries = QMap<QString, ClientEntry>;
    static constexpr qint64 SilenceLimitMs = 20000;

    // Restarts the address's stopwatch; returns the entry when the address is new, else nullptr.
    ClientEntry *registerOrRefresh(const QString &address);
    void remove(const QString &address);
    void clear();
    int size() const;

    // A copy that stays stable while the live registry loses expired entries.
    Entries snapshot() const;
    static bool isLive(const ClientEntry &client);

private:
    Entries clients;
};

#endif // CLIENTREGISTRY_H
