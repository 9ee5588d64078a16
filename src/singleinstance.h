#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QDBusConnection>
#include <QLockFile>
#include <QObject>

class QLocalServer;

// One bridge per user session. The first start claims the application's name on the session
// bus and a lock in the user's runtime folder, and listens there; every later start hands
// its request to the first one and ends before it touches the device or a port.
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

    QDBusConnection bus;
    QLockFile lock;
    QString socketPath;
    QLocalServer *server = nullptr;
    bool ownsBusName = false;

    friend class ApplicationInterface;
};

#endif // SINGLEINSTANCE_H
