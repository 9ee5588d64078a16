#include "singleinstance.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The desktop entry's id, as the desktop's own activation expects it on the bus.
const char *const ServiceName = "com.quorvale.TavrelControl";
const char *const ObjectPath = "/com/quorvale/TavrelControl";
const char *const ApplicationInterfaceName = "org.freedesktop.Application";
const char *const QuitAction = "quit";
constexpr int AnswerTimeoutMs = 5000;

const char *const LockName = "tavrel-control.lock";

// Empty when Qt finds no usable runtime folder; Qt then says why on standard error.
QString runtimeFile(const char *name)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + QLatin1String(name);
}

// flock() needs no write access, so a lock file left readable by another user still serves.
int openLockFile(const QString &path, int flags)
{
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | flags, 0600);
}

void sayLockUnusable(const QString &path, int error)
{
    const QByteArray file = path.isEmpty() ? QByteArray(LockName) : QFile::encodeName(path);
    std::fprintf(stderr, "tavrel-control: cannot use the lock file %s (%s); starting without it\n",
        file.constData(), path.isEmpty() ? "no usable runtime folder" : std::strerror(error));
}

QByteArray requestLine(SingleInstance::Request request)
{
    return request == SingleInstance::Request::Quit ? "quit\n" : "activate\n";
}

} // namespace

// org.freedesktop.Application on the session bus: Activate shows the window, the action
// "quit" ends the program as the tray's "Quit" does.
class ApplicationInterface : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit ApplicationInterface(SingleInstance *instance)
        : QObject(instance)
        , instance(instance)
    { }

public slots:
    void Activate(const QVariantMap &) { instance->serve(SingleInstance::Request::Activate); }
    void Open(const QStringList &, const QVariantMap &) { Activate({}); }
    void ActivateAction(const QString &name, const QVariantList &, const QVariantMap &)
    {
        if (name == QLatin1String(QuitAction))
            instance->serve(SingleInstance::Request::Quit);
    }

private:
    SingleInstance *instance;
};

SingleInstance::SingleInstance(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , bus(bus)
    , lockPath(runtimeFile(LockName))
    , socketPath(runtimeFile("tavrel-control.socket"))
{ }

SingleInstance::~SingleInstance()
{
    if (ownsBusName)
        bus.unregisterService(QLatin1String(ServiceName));
    releaseLock();
}

// The lock serves starts without a bus; the bus name serves starts whose runtime folder
// differs but whose session is the same.
bool SingleInstance::claim()
{
    if (!takeLock())
        return false;
    if (bus.isConnected()) { // the object first: a call may come as soon as the name is ours
        bus.registerObject(QLatin1String(ObjectPath), new ApplicationInterface(this),
            QDBusConnection::ExportAllSlots);
        ownsBusName = bus.registerService(QLatin1String(ServiceName));
        if (!ownsBusName) {
            bus.unregisterObject(QLatin1String(ObjectPath));
            releaseLock();
            return false;
        }
    }
    if (socketPath.isEmpty())
        return true;
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(socketPath); // left behind by a killed instance
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::answerLocalClient);
    // Should listening fail, later starts still stop at the lock; they only cannot reach this one.
    server->listen(socketPath);
    return true;
}

bool SingleInstance::send(Request request)
{
    if (sendOverBus(request))
        return true;
    return mayRunElsewhere() && sendOverSocket(request);
}

// False only when a live copy holds the lock.
bool SingleInstance::takeLock()
{
    lockFd = lockPath.isEmpty() ? -1 : openLockFile(lockPath, O_CREAT);
    if (lockFd >= 0 && ::flock(lockFd, LOCK_EX | LOCK_NB) == 0)
        return true;
    const int error = errno;
    releaseLock();
    if (!lockPath.isEmpty() && error == EWOULDBLOCK)
        return false;
    if (socketAnswers()) // without the lock, a copy that listens still counts
        return false;
    sayLockUnusable(lockPath, error);
    return true;
}

void SingleInstance::releaseLock()
{
    if (lockFd >= 0)
        ::close(lockFd);
    lockFd = -1;
}

// Where the lock file cannot be opened, a copy that already listens on the socket is the only
// sign of one; with no lock file at all there is none.
bool SingleInstance::mayRunElsewhere() const
{
    const int fd = lockPath.isEmpty() ? -1 : openLockFile(lockPath, 0);
    if (fd < 0)
        return (lockPath.isEmpty() || errno != ENOENT) && socketAnswers();
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd); // also drops the lock should this have taken it
    return held;
}

bool SingleInstance::otherCopyRuns() const
{
    if (bus.isConnected() && bus.interface()->isServiceRegistered(QLatin1String(ServiceName)))
        return true;
    return socketAnswers();
}

bool SingleInstance::socketAnswers() const
{
    if (socketPath.isEmpty())
        return false;
    QLocalSocket socket; // connecting alone sends no request
    socket.connectToServer(socketPath);
    return socket.waitForConnected(AnswerTimeoutMs);
}

void SingleInstance::serve(Request request)
{
    if (request == Request::Quit)
        emit quitRequested();
    else
        emit activateRequested();
}

// One request line per connection, answered once it has been carried out.
void SingleInstance::answerLocalClient()
{
    QLocalSocket *client = server->nextPendingConnection();
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client] {
        if (!client->canReadLine())
            return;
        const QByteArray line = client->readLine();
        serve(line == requestLine(Request::Quit) ? Request::Quit : Request::Activate);
        client->write("ok\n");
        client->flush();
        client->disconnectFromServer();
    });
}

bool SingleInstance::sendOverBus(Request request)
{
    if (!bus.isConnected())
        return false;
    const bool quit = request == Request::Quit;
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(ServiceName),
        QLatin1String(ObjectPath), QLatin1String(ApplicationInterfaceName),
        quit ? QStringLiteral("ActivateAction") : QStringLiteral("Activate"));
    if (quit)
        call << QString::fromLatin1(QuitAction) << QVariantList();
    call << QVariantMap();
    return bus.call(call, QDBus::Block, AnswerTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

bool SingleInstance::sendOverSocket(Request request)
{
    // A copy that has just taken the lock may not listen yet.
    const QDeadlineTimer deadline(AnswerTimeoutMs);
    QLocalSocket socket;
    for (socket.connectToServer(socketPath); !socket.waitForConnected(0);
         socket.connectToServer(socketPath)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    socket.write(requestLine(request));
    return socket.waitForReadyRead(deadline.remainingTime()) && socket.readLine() == "ok\n";
}

#include "singleinstance.moc"
