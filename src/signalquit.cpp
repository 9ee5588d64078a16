#include "signalquit.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace {

constexpr int QuitSignals[] = {SIGTERM, SIGINT, SIGHUP};
int wakeup[2] = {-1, -1}; // the handler writes to [0], the event loop reads [1]

void onSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(wakeup[0], &byte, 1); // async-signal-safe
    static_cast<void>(written); // a full socket already holds a request
}

void setHandler(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : QuitSignals)
        ::sigaction(signal, &action, nullptr);
}

} // namespace

SignalQuit::SignalQuit(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, wakeup) != 0)
        return; // the signals keep their default action
    auto *notifier = new QSocketNotifier(wakeup[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalQuit::readWakeup);
    setHandler(onSignal);
}

SignalQuit::~SignalQuit()
{
    if (wakeup[0] < 0)
        return;
    setHandler(SIG_DFL);
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
