#include "signalquit.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

namespace {

constexpr int QuitSignals[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction previous[std::size(QuitSignals)];
int wakeup[2] = {-1, -1}; // the handler writes to [0], the event loop reads [1]

void onSignal(int)
{
    const int savedErrno = errno; // the interrupted code may be about to read it
    const char byte = 1;
    const ssize_t written = ::write(wakeup[0], &byte, 1); // async-signal-safe
    static_cast<void>(written); // a full socket already holds a request
    errno = savedErrno;
}

// A signal the starting shell ignores stays ignored: under nohup, a closed terminal's SIGHUP
// must not end the bridge, nor SIGINT one started in the background of a script.
void catchSignals()
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(QuitSignals); ++i) {
        ::sigaction(QuitSignals[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN)
            ::sigaction(QuitSignals[i], &action, nullptr);
    }
}

void restoreSignals()
{
    for (std::size_t i = 0; i < std::size(QuitSignals); ++i)
        ::sigaction(QuitSignals[i], &previous[i], nullptr);
}

} // namespace

SignalQuit::SignalQuit(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, wakeup) != 0)
        return; // the signals keep their default action
    auto *notifier = new QSocketNotifier(wakeup[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalQuit::readWakeup);
    catchSignals();
}

SignalQuit::~SignalQuit()
{
    if (wakeup[0] < 0)
        return;
    restoreSignals();
    ::close(wakeup[0]);
    ::close(wakeup[1]);
    wakeup[0] = wakeup[1] = -1;
}

void SignalQuit::readWakeup()
{
    char bytes[16];
    if (::read(wakeup[1], bytes, sizeof bytes) > 0)
        emit quitRequested();
}
