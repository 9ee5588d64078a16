#ifndef SIGNALQUIT_H
#define SIGNALQUIT_H

#include <QObject>

// SIGTERM, SIGINT and SIGHUP (logout, kill, systemctl --user stop, Ctrl-C) become a request
// handled in the event loop, so that the program can end as its tray's "Quit" does, settings
// written. The handler only writes a byte to a socket pair whose other end the loop watches.
// Signals ignored at start stay ignored. One per process; the signals' earlier handling
// comes back once it is gone.
class SignalQuit : public QObject
{
    Q_OBJECT

public:
    explicit SignalQuit(QObject *parent = nullptr);
    ~SignalQuit() override;

signals:
    void quitRequested();

private:
    void readWakeup();
};

#endif // SIGNALQUIT_H
