// The bridge as a whole, driven by arbitrary sequences of operations: client datagrams over
// loopback to the LISTEN port, drains of the socket, device reads of any length, device
// loss, Start, Stop and failing writes. The real window runs against the simulated device;
// a model written from the byte layouts predicts every device write, every datagram the
// clients receive, the counters, the client count and every debug line.
#include "clientregistry.h"
#include "fakehidapi.h"
#include "mainwindow.h"

#include <QApplication>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

constexpr int ClientCount = 5;
constexpr int MaxPending = 32; // well below what the socket buffer holds

struct Client
{
    QUdpSocket *socket = nullptr;
    QString key; // the sender address text the bridge registers
};

struct Harness
{
    MainWindow *window = nullptr;
    QLabel *status = nullptr;
    QLineEdit *transmitted = nullptr;
    QLineEdit *received = nullptr;
    QLineEdit *clients = nullptr;
    quint16 listenPort = 0;
    quint16 clientPort = 0;
    Client client[ClientCount];
    QStringList debugLines;
};

Harness *harness = nullptr;

struct Pending
{
    int client;
    QByteArray bytes;
};

// What the bridge should have done so far in this input.
struct Model
{
    bool running = false;
    bool writesFail = false;
    std::set<QString> registered; // ordered like the registry: by text, code unit by code unit
    int transmitted = 0;
    int received = 0;
    QList<QByteArray> writes;
    QList<Pending> pending;
    QStringList debugLines;
};

[[noreturn]] void fail(const QString &what)
{
    std::fprintf(stderr, "fuzz_receivepath: %s\n", qPrintable(what));
    std::abort();
}

void check(bool ok, const QString &what)
{
    if (!ok)
        fail(what);
}

int wrapped(int count)
{
    return count == INT_MAX ? INT_MIN : count + 1;
}

bool marked(const QByteArray &d)
{
    return d.size() >= 2 && quint8(d[0]) == 0xA0 && quint8(d[1]) == 0xA0;
}

bool keepAlive(const QByteArray &d)
{
    return marked(d) && d.size() >= 4 && d[2] == 'K' && d[3] == 'A';
}

QByteArray controlReport(const QByteArray &d)
{
    QByteArray report(11, '\0');
    for (int i = 1; i < 11; ++i)
        if (i + 1 < d.size())
            report[i] = d[i + 1];
    return report;
}

void recordDebug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg && harness)
        harness->debugLines.append(text);
}

void invoke(const char *slot)
{
    if (!QMetaObject::invokeMethod(harness->window, slot, Qt::DirectConnection))
        fail(QStringLiteral("no slot %1").arg(QLatin1String(slot)));
}

quint16 freePort(const QHostAddress &address)
{
    QUdpSocket probe;
    if (!probe.bind(address, 0))
        fail(QStringLiteral("cannot bind a probe: ") + probe.errorString());
    return probe.localPort();
}

// Five clients on one port: four IPv4 loopback addresses and the IPv6 one.
void bindClients()
{
    const char *addresses[ClientCount]
        = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.1.5", "::1"};
    for (int attempt = 0; attempt < 20; ++attempt) {
        harness->clientPort = freePort(QHostAddress(QString::fromLatin1(addresses[0])));
        bool bound = true;
        for (int i = 0; i < ClientCount && bound; ++i) {
            delete harness->client[i].socket;
            harness->client[i].socket = new QUdpSocket;
            const QHostAddress address(QString::fromLatin1(addresses[i]));
            bound = harness->client[i].socket->bind(address, harness->clientPort);
            harness->client[i].key = address.protocol() == QAbstractSocket::IPv4Protocol
                ? QStringLiteral("::ffff:") + address.toString()
                : address.toString();
        }
        if (bound)
            return;
    }
    fail(QStringLiteral("cannot bind the clients"));
}

void setUp()
{
    static QTemporaryDir configHome; // never the developer's own settings
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_receivepath";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
    qInstallMessageHandler(recordDebug);
    Stopwatch::setClock([]() -> qint64 { return 0; }); // clients never fall silent

    harness = new Harness;
    harness->window = new MainWindow;
    MainWindow *w = harness->window;
    harness->status = w->findChild<QLabel *>(QStringLiteral("label_status_connection"));
    harness->transmitted = w->findChild<QLineEdit *>(QStringLiteral("lineEdit_send"));
    harness->received = w->findChild<QLineEdit *>(QStringLiteral("lineEdit_received"));
    harness->clients = w->findChild<QLineEdit *>(QStringLiteral("lineEdit_clients"));
    check(harness->status && harness->transmitted && harness->received && harness->clients,
        QStringLiteral("form widgets not found"));

    bindClients();
    harness->listenPort = freePort(QHostAddress(QHostAddress::Any));
    w->findChild<QLineEdit *>(QStringLiteral("lineEdit_LISTEN"))
        ->setText(QString::number(harness->listenPort));
    // All three destination ports on the clients' port: a message reaches each client once,
    // or three times unless it is a metering message.
    for (const char *field : {"lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"})
        w->findChild<QLineEdit *>(QString::fromLatin1(field))
            ->setText(QString::number(harness->clientPort));
}

void discardClientInput()
{
    for (Client &c : harness->client)
        while (c.socket->hasPendingDatagrams())
            c.socket->receiveDatagram();
}

void expectStopped(Model &model, int resets)
{
    model.running = false;
    model.registered.clear();
    model.pending.clear(); // the socket is closed with whatever it held
    for (int i = 0; i < resets; ++i)
        model.debugLines.append(QStringLiteral("disconnecting... "));
}

void sendDatagram(Model &model, int client, const QByteArray &bytes)
{
    QUdpSocket *socket = harness->client[client].socket;
    const QHostAddress loopback(socket->localAddress().protocol() == QAbstractSocket::IPv6Protocol
            ? QHostAddress::LocalHostIPv6
            : QHostAddress::LocalHost);
    check(socket->writeDatagram(bytes, loopback, harness->listenPort) == bytes.size(),
        QStringLiteral("cannot send: ") + socket->errorString());
    if (model.running)
        model.pending.append({client, bytes});
}

void modelDrain(Model &model)
{
    for (const Pending &p : qAsConst(model.pending)) {
        if (!marked(p.bytes))
            continue;
        model.registered.insert(harness->client[p.client].key);
        if (keepAlive(p.bytes)) {
            model.debugLines.append(
                QStringLiteral("Keep Alive message from:  QHostAddress(\"%1\") : %2")
                    .arg(harness->client[p.client].key)
                    .arg(harness->clientPort));
            continue;
        }
        model.transmitted = wrapped(model.transmitted);
        model.writes.append(controlReport(p.bytes));
    }
    model.pending.clear();
}

void drain(Model &model)
{
    if (!model.running)
        return; // no notification reaches an unbound socket
    invoke("receiveUdp");
    modelDrain(model);
}

// One device read of the given bytes on a poll tick, and what the clients must receive.
void deviceRead(Model &model, const QByteArray &report)
{
    if (!model.running)
        return; // the poll only runs while running
    FakeHid::queueInput(report);
    invoke("hid_receive_timer");
    if (qMin(report.size(), 11) != 10)
        return;
    model.received = wrapped(model.received);
    const QByteArray message = QByteArray::fromHex("a0a0") + report;
    const bool metering = quint8(report[1]) == 0xF0;
    for (const QString &key : model.registered)
        if (!metering)
            model.debugLines.append(QStringLiteral("sendUdp send to--> CLIENT:  \"%1\" %2")
                                        .arg(key)
                                        .arg(model.registered.size()));
    for (const Client &c : harness->client) {
        if (!model.registered.count(c.key))
            continue;
        for (int copy = 0; copy < (metering ? 1 : 3); ++copy) {
            if (!c.socket->hasPendingDatagrams())
                c.socket->waitForReadyRead(1000);
            check(c.socket->hasPendingDatagrams(),
                QStringLiteral("client %1 missed a bridge message").arg(c.key));
            const QNetworkDatagram got = c.socket->receiveDatagram();
            check(got.data() == message,
                QStringLiteral("client %1 got %2, expected %3")
                    .arg(c.key, QString::fromLatin1(got.data().toHex()),
                        QString::fromLatin1(message.toHex())));
            check(got.senderPort() == harness->listenPort,
                QStringLiteral("bridge message not sent from the LISTEN port"));
        }
    }
}

void deviceLoss(Model &model, bool unplug)
{
    if (!model.running)
        return;
    if (unplug) {
        FakeHid::unplug();
        FakeHid::plug(); // back at once: the open handle stays dead
    } else {
        FakeHid::failNextRead();
    }
    invoke("hid_receive_timer");
    expectStopped(model, 2); // the stop, then the loss notification's reset
    check(FakeHid::openHandles() == 0, QStringLiteral("device handle left open after a loss"));
}

void start(Model &model)
{
    invoke("on_START_clicked");
    if (model.running)
        return;
    model.running = true;
    model.transmitted = 0;
    model.received = 0;
}

void stop(Model &model)
{
    invoke("on_STOP_clicked");
    if (model.running)
        expectStopped(model, 1);
}

void compare(const Model &model)
{
    check(harness->status->text() == (model.running ? "running" : "stopped"),
        QStringLiteral("status shows %1").arg(harness->status->text()));
    check(harness->transmitted->text() == QString::number(model.transmitted),
        QStringLiteral("TRANSMITTED shows %1, expected %2")
            .arg(harness->transmitted->text())
            .arg(model.transmitted));
    check(harness->received->text() == QString::number(model.received),
        QStringLiteral("RECEIVED shows %1, expected %2")
            .arg(harness->received->text())
            .arg(model.received));
    check(harness->clients->text() == QString::number(model.registered.size()),
        QStringLiteral("CLIENTS ACTIVE shows %1, expected %2")
            .arg(harness->clients->text())
            .arg(model.registered.size()));
    check(FakeHid::openHandles() == (model.running ? 1 : 0), QStringLiteral("open device handles"));

    const QList<QByteArray> writes = FakeHid::writtenReports();
    for (int i = 0; i < writes.size() && i < model.writes.size(); ++i)
        check(writes[i] == model.writes[i],
            QStringLiteral("device write %1 is %2, expected %3")
                .arg(i)
                .arg(QString::fromLatin1(writes[i].toHex()),
                    QString::fromLatin1(model.writes[i].toHex())));
    check(writes.size() == model.writes.size(),
        QStringLiteral("%1 device writes, expected %2")
            .arg(writes.size())
            .arg(model.writes.size()));

    const QStringList &lines = harness->debugLines;
    for (int i = 0; i < lines.size() && i < model.debugLines.size(); ++i)
        check(lines[i] == model.debugLines[i],
            QStringLiteral("debug line %1 is [%2], expected [%3]")
                .arg(i)
                .arg(lines[i], model.debugLines[i]));
    check(lines.size() == model.debugLines.size(),
        QStringLiteral("%1 debug lines, expected %2")
            .arg(lines.size())
            .arg(model.debugLines.size()));

    for (const Client &c : harness->client)
        check(!c.socket->hasPendingDatagrams(),
            QStringLiteral("client %1 got an unexpected datagram").arg(c.key));
}

struct Input
{
    const unsigned char *data;
    size_t size;
    size_t pos = 0;

    bool atEnd() const { return pos >= size; }
    unsigned char next() { return pos < size ? data[pos++] : 0; }
    QByteArray take(size_t length)
    {
        const size_t n = std::min(length, size - pos);
        QByteArray bytes(reinterpret_cast<const char *>(data + pos), static_cast<int>(n));
        pos += n;
        return bytes;
    }
};

// Every input starts from a freshly started bridge with a plugged device.
void restart(Model &model)
{
    invoke("on_STOP_clicked");
    QCoreApplication::processEvents(); // nothing can reach the window while it is stopped
    FakeHid::reset();
    FakeHid::setRecordReads(false);
    FakeHid::plug();
    discardClientInput();
    harness->debugLines.clear();
    start(model);
    check(model.running && harness->status->text() == QLatin1String("running"),
        QStringLiteral("the bridge did not start"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    if (!harness)
        setUp();
    Model model;
    restart(model);

    Input in {data, size};
    while (!in.atEnd()) {
        switch (in.next() % 8) {
        case 0:
        case 1: {
            const int client = in.next() % ClientCount;
            if (model.running && model.pending.size() >= MaxPending)
                drain(model);
            sendDatagram(model, client, in.take(in.next()));
            break;
        }
        case 2:
            drain(model);
            break;
        case 3: {
            QByteArray report = in.take(in.next() % 65);
            deviceRead(model, report);
            break;
        }
        case 4:
            deviceLoss(model, in.next() % 2);
            break;
        case 5:
            start(model);
            break;
        case 6:
            stop(model);
            break;
        case 7:
            model.writesFail = !model.writesFail;
            FakeHid::setWritesFail(model.writesFail);
            break;
        }
    }
    drain(model);
    compare(model);
    return 0;
}
