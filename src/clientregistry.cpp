#include "clientregistry.h"

#include <chrono>

namespace {

qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Stopwatch::Clock currentClock = monotonicMs;

} // namespace

void Stopwatch::restart()
{
    startedAt = currentClock();
}

qint64 Stopwatch::elapsed() const
{
    return currentClock() - startedAt;
}

void Stopwatch::setClock(Clock clock)
{
    currentClock = clock ? clock : monotonicMs;
}

ClientEntry *ClientRegistry::registerOrRefresh(const QString &address)
{
    auto found = clients.find(address);
    const bool isNew = found == clients.end();
    if (isNew)
        found = clients.insert(address, ClientEntry {Stopwatch(), QHostAddress(address), {}, {}});
    found->lastHeard.restart();
    return isNew ? &found.value() : nullptr;
}

void ClientRegistry::remove(const QString &address)
{
    clients.remove(address);
}

void ClientRegistry::clear()
{
    clients.clear();
}

int ClientRegistry::size() const
{
    return clients.size();
}

ClientRegistry::Entries ClientRegistry::snapshot() const
{
    return clients;
}

bool ClientRegistry::isLive(const ClientEntry &client)
{
    return client.lastHeard.elapsed() <= SilenceLimitMs;
}
