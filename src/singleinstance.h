#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QDBusConnection>
#include <QObject>

class QLocalServer;

// One bridge per user session. The first start claims the application's name on the session
// bus and a lock in the user's runtime folder, and listens there; every later start hands
// its request to the first one and ends before it touches the device or a port. The lock is
// the kernel's (flock), dropped with its holder's process, so that only a live copy can stop
// a start; a lock file that cannot be used is reported once and passed over.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Request { Activate, Quit };

    explicit SingleInstance(const QDBusConnection &bus, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the one instance; false when another one runs.
    bool claim();
    // Hands the request to the running instance; false when none answered.
    bool send(Request request);
    // True when another copy serves requests; it is asked nothing and takes no notice.
    bool otherCopyRuns() const;

signals:
    void activateRequested();
    void quitRequested();

private:
    void serve(Request request);
    void answerLocalClient();
    bool sendOverBus(Request request);
    bool sendOverSocket(Request request);
    bool takeLock();
    void releaseLock();
    bool mayRunElsewhere() const;
    bool socketAnswers() const;

    QDBusConnection bus;
    QString lockPath;
    int lockFd = -1;
    QString socketPath;
    QLocalServer *server = nullptr;
    bool ownsBusName = false;

    friend class ApplicationInterface;
};

#endif // SINGLEINSTANCE_H
