#include "clientregistry.h"
#include "fakehidapi.h"
#include "mainwindow.h"
#include "processwatch.h"
#include "testsupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUdpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <set>
#include <thread>
#include <vector>

// A flood on the LISTEN port: 1,000,000 datagrams from 200 loopback addresses, as fast as
// one thread can send them, mixing garbage, unmarked, short, long, marked data and
// keep-alives. Every datagram the bridge's socket hands to the program is observed at the
// recvmsg() call itself; every datagram the kernel could not queue is in the socket's drop
// counter. The two must add up to what was sent, and every marked data datagram delivered
// must reach the device exactly once, in delivery order.

namespace {

constexpr int Senders = 200;
constexpr int NeverMarked = 40; // senders 0..39 send nothing with the marker
constexpr unsigned char DataTag = 0xD0; // datagram byte 2 of data carrying sender and sequence
constexpr unsigned char ShortTag = 0xD1; // marked data too short to carry them

QHostAddress senderAddress(int sender)
{
    // 127.0.0.2 .. 127.0.0.101 and 127.0.1.1 .. 127.0.1.100
    const quint32 base = sender < 100 ? 0x7F000002 + sender : 0x7F000101 + (sender - 100);
    return QHostAddress(base);
}

// What the bridge's socket delivered to the program, seen inside recvmsg().
struct Observed
{
    std::atomic<int> fd {-1};
    quint64 delivered = 0;
    quint64 keepAlives = 0;
    quint64 data = 0;
    std::set<quint32> markedSenders; // IPv4 addresses
    std::deque<QByteArray> expectedWrites; // control reports not yet seen at the device
};

Observed observed;

QByteArray controlReportFor(const unsigned char *bytes, size_t length)
{
    QByteArray report(11, '\0');
    for (size_t i = 1; i < 11; ++i)
        if (i + 1 < length)
            report[int(i)] = char(bytes[i + 1]);
    return report;
}

void observe(const msghdr *msg, size_t length)
{
    ++observed.delivered;
    if (msg->msg_iovlen < 1)
        return;
    const auto *bytes = static_cast<const unsigned char *>(msg->msg_iov[0].iov_base);
    length = std::min(length, msg->msg_iov[0].iov_len);
    if (length < 2 || bytes[0] != 0xA0 || bytes[1] != 0xA0)
        return;
    if (msg->msg_name && msg->msg_namelen >= sizeof(sockaddr_in6)) {
        const auto *from = static_cast<const sockaddr_in6 *>(msg->msg_name);
        quint32 v4;
        std::memcpy(&v4, from->sin6_addr.s6_addr + 12, 4);
        observed.markedSenders.insert(ntohl(v4));
    }
    if (length >= 4 && bytes[2] == 'K' && bytes[3] == 'A') {
        ++observed.keepAlives;
        return;
    }
    ++observed.data;
    observed.expectedWrites.push_back(controlReportFor(bytes, length));
}

} // namespace

// Qt reads each datagram with recvmsg(); peeks for its size do not take it from the queue.
extern "C" ssize_t recvmsg(int fd, msghdr *msg, int flags)
{
    using Real = ssize_t (*)(int, msghdr *, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "recvmsg"));
    const ssize_t result = real(fd, msg, flags);
    if (result >= 0 && !(flags & MSG_PEEK) && fd == observed.fd.load())
        observe(msg, size_t(result));
    return result;
}

namespace {

// The socket's line in /proc/net/udp6, found by its inode: bytes queued and datagrams dropped.
struct SocketCounters
{
    quint64 queuedBytes = 0;
    quint64 drops = 0;
    bool found = false;
};

SocketCounters socketCounters(int fd)
{
    SocketCounters counters;
    const QString link = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd));
    const QString inode = link.section('[', 1).section(']', 0, 0); // "socket:[12345]"
    QFile table(QStringLiteral("/proc/net/udp6"));
    if (!table.open(QIODevice::ReadOnly))
        return counters;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        // sl local rem st tx_queue:rx_queue tr:when retrnsmt uid timeout inode ref pointer drops
        if (f.size() < 13 || f[9] != inode.toLatin1())
            continue;
        counters.queuedBytes = f[4].split(':').value(1).toULongLong(nullptr, 16);
        counters.drops = f[12].toULongLong();
        counters.found = true;
    }
    return counters;
}

quint64 nextRandom(quint64 &state)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

// One thread, 200 sockets, sending as fast as the kernel takes the datagrams.
class Flooder
{
public:
    explicit Flooder(quint16 port)
    {
        for (int s = 0; s < Senders; ++s) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in local {};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(senderAddress(s).toIPv4Address());
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
                bindFailures++;
            sockets.push_back(fd);
        }
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        target.sin_port = htons(port);
        sequence.assign(Senders, 0);
    }
    ~Flooder()
    {
        if (thread.joinable())
            thread.join();
        for (int fd : sockets)
            ::close(fd);
    }

    void send(quint64 count)
    {
        if (thread.joinable())
            thread.join();
        finished = false;
        thread = std::thread([this, count] {
            for (quint64 i = 0; i < count; ++i)
                sendOne();
            finished = true;
        });
    }
    bool done() const { return finished; }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }

    int bindFailures = 0;
    quint64 sent = 0;
    quint64 refused = 0; // sendto() errors: never counted as sent
    quint64 kinds[7] = {};

private:
    enum Kind { Garbage, Unmarked, Short, Long, Data, ShortData, KeepAlive };

    Kind pick(int sender)
    {
        const int roll = int(nextRandom(random) % 100);
        if (sender < NeverMarked)
            return roll < 50 ? Garbage : roll < 80 ? Unmarked : Short;
        if (roll < 10)
            return Garbage;
        if (roll < 20)
            return Unmarked;
        if (roll < 25)
            return Short;
        if (roll < 35)
            return Long;
        if (roll < 75)
            return Data;
        if (roll < 80)
            return ShortData;
        return KeepAlive;
    }

    void sendOne()
    {
        const int sender = int(nextRandom(random) % Senders);
        const Kind kind = pick(sender);
        unsigned char bytes[1400];
        size_t length = 0;
        switch (kind) {
        case Garbage:
            length = nextRandom(random) % 200;
            for (size_t i = 0; i < length; ++i)
                bytes[i] = (unsigned char)nextRandom(random);
            if (length >= 2 && bytes[0] == 0xA0)
                bytes[1] = 0x00;
            break;
        case Unmarked: // the first marker byte alone, or the second
            length = 2 + nextRandom(random) % 30;
            std::memset(bytes, 0x5A, length);
            bytes[0] = (nextRandom(random) & 1) ? 0xA0 : 0xA1;
            bytes[1] = bytes[0] == 0xA0 ? 0xA1 : 0xA0;
            break;
        case Short:
            length = nextRandom(random) % 2;
            bytes[0] = 0xA0;
            break;
        case Long: // marked data, 13 to 1400 bytes: only bytes 2..11 count
        case Data:
            length = kind == Long ? 13 + nextRandom(random) % 1388 : 12;
            for (size_t i = 0; i < length; ++i)
                bytes[i] = (unsigned char)nextRandom(random);
            bytes[0] = bytes[1] = 0xA0;
            bytes[2] = DataTag;
            bytes[3] = (unsigned char)(sender >> 8);
            bytes[4] = (unsigned char)sender;
            {
                const quint32 seq = ++sequence[size_t(sender)];
                bytes[5] = (unsigned char)(seq >> 24);
                bytes[6] = (unsigned char)(seq >> 16);
                bytes[7] = (unsigned char)(seq >> 8);
                bytes[8] = (unsigned char)seq;
            }
            break;
        case ShortData: // 2 to 8 bytes: the missing report bytes are 0
            length = 2 + nextRandom(random) % 7;
            std::memset(bytes, 0x33, length);
            bytes[0] = bytes[1] = 0xA0;
            if (length > 2)
                bytes[2] = ShortTag;
            break;
        case KeepAlive:
            length = 4 + nextRandom(random) % 20;
            std::memset(bytes, 0x11, length);
            bytes[0] = bytes[1] = 0xA0;
            bytes[2] = 'K';
            bytes[3] = 'A';
            break;
        }
        const ssize_t result = ::sendto(sockets[size_t(sender)], bytes, length, 0,
            reinterpret_cast<const sockaddr *>(&target), sizeof target);
        if (result == ssize_t(length)) {
            ++sent;
            ++kinds[kind];
        } else {
            ++refused;
        }
    }

    std::vector<int> sockets;
    std::vector<quint32> sequence;
    sockaddr_in target {};
    quint64 random = 0x9E3779B97F4A7C15ull;
    std::thread thread;
    std::atomic<bool> finished {true};
};

// Checks each device write against what was delivered, as it happens, and keeps the
// simulated device's logs from growing.
struct DeviceCheck
{
    quint64 writes = 0;
    quint64 mismatches = 0;
    quint64 unexpected = 0;
    quint64 outOfOrder = 0;
    QString firstProblem;
    std::vector<quint32> lastSequence = std::vector<quint32>(Senders, 0);

    void onWrite(const FakeHid::Bytes &bytes)
    {
        ++writes;
        const QByteArray written(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
        if (observed.expectedWrites.empty()) {
            note(unexpected,
                QStringLiteral("write %1 with nothing delivered")
                    .arg(QString::fromLatin1(written.toHex())));
        } else {
            if (written != observed.expectedWrites.front())
                note(mismatches,
                    QStringLiteral("wrote %1, delivered %2")
                        .arg(QString::fromLatin1(written.toHex()),
                            QString::fromLatin1(observed.expectedWrites.front().toHex())));
            observed.expectedWrites.pop_front();
        }
        // Report byte 1 is datagram byte 2: the tag, then sender and sequence.
        if (bytes.size() == 11 && bytes[1] == DataTag) {
            const int sender = bytes[2] << 8 | bytes[3];
            const quint32 seq = quint32(bytes[4]) << 24 | quint32(bytes[5]) << 16
                | quint32(bytes[6]) << 8 | bytes[7];
            if (sender >= Senders || seq <= lastSequence[size_t(sender)])
                note(outOfOrder,
                    QStringLiteral("sender %1 sequence %2 after %3")
                        .arg(sender)
                        .arg(seq)
                        .arg(sender < Senders ? lastSequence[size_t(sender)] : 0));
            else
                lastSequence[size_t(sender)] = seq;
        }
        if (writes % 4096 == 0) {
            FakeHid::clearWrites();
            FakeHid::clearCalls();
        }
    }

    void note(quint64 &counter, const QString &problem)
    {
        if (!counter++ && firstProblem.isEmpty())
            firstProblem = problem;
    }
};

DeviceCheck *deviceCheck = nullptr;
quint64 keepAliveLines = 0;
QStringList sendLines;

void countLines(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg)
        return;
    if (text.startsWith(QLatin1String("Keep Alive message from: ")))
        ++keepAliveLines;
    else if (text.startsWith(QLatin1String("sendUdp send to--> CLIENT: ")))
        sendLines.append(text);
}

} // namespace

class tst_Flood : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void millionDatagrams();
};

void tst_Flood::initTestCase()
{
    TestSupport::isolateSettings();
    Stopwatch::setClock([]() -> qint64 { return 0; }); // nobody falls silent during the run
}

void tst_Flood::millionDatagrams()
{
    FakeHid::reset();
    FakeHid::setRecordReads(false);
    FakeHid::plug();
    DeviceCheck check;
    deviceCheck = &check;
    FakeHid::setWriteObserver([](const FakeHid::Bytes &bytes) { deviceCheck->onWrite(bytes); });

    MainWindow window;
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress));
    const quint16 listenPort = probe.localPort();
    probe.close();
    window.findChild<QLineEdit *>("lineEdit_LISTEN")->setText(QString::number(listenPort));
    // Bridge messages go to a port nobody listens on; only the send debug lines matter.
    for (const char *field : {"lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"})
        window.findChild<QLineEdit *>(field)->setText(QStringLiteral("9"));
    QTest::mouseClick(window.findChild<QPushButton *>("START"), Qt::LeftButton);
    QCOMPARE(window.findChild<QLabel *>("label_status_connection")->text(), QString("running"));
    QUdpSocket *bridgeSocket = window.findChild<QUdpSocket *>();
    QVERIFY(bridgeSocket && bridgeSocket->state() == QAbstractSocket::BoundState);
    const int fd = int(bridgeSocket->socketDescriptor());
    const SocketCounters atStart = socketCounters(fd);
    QVERIFY2(atStart.found, "the bridge's socket is not in /proc/net/udp6");
    observed.fd = fd;
    const QtMessageHandler previous = qInstallMessageHandler(countLines);

    Flooder flooder(listenPort);
    QCOMPARE(flooder.bindFailures, 0);
    QElapsedTimer clock;
    clock.start();
    // Drained: the sender is done, the socket's queue is empty and the program has seen it.
    auto drained = [&] { return flooder.done() && socketCounters(fd).queuedBytes == 0; };

    // A first tenth warms everything up (registry entries, buffers); memory and descriptors
    // are measured after it and again after the other nine tenths.
    flooder.send(100000);
    QVERIFY(ProcessWatch::runUntil(drained, 120000));
    const qint64 rssWarm = ProcessWatch::residentKiB();
    const int fdsWarm = ProcessWatch::openDescriptors();
    flooder.send(900000);
    QVERIFY(ProcessWatch::runUntil(drained, 300000));
    flooder.join();
    // A datagram still between the sender and the socket shows up within moments.
    ProcessWatch::runUntil(
        [&] {
            return observed.delivered + (socketCounters(fd).drops - atStart.drops) >= flooder.sent;
        },
        10000);
    const qint64 seconds = clock.elapsed() / 1000;
    const qint64 rssEnd = ProcessWatch::residentKiB();
    const int fdsEnd = ProcessWatch::openDescriptors();
    const SocketCounters atEnd = socketCounters(fd);
    const quint64 dropped = atEnd.drops - atStart.drops;

    // One device report: its send lines name every registered client.
    sendLines.clear();
    FakeHid::queueInput(QByteArray::fromHex("01020304050607080900"));
    QTRY_COMPARE_WITH_TIMEOUT(
        window.findChild<QLineEdit *>("lineEdit_received")->text(), QString("1"), 5000);
    qInstallMessageHandler(previous);
    observed.fd = -1;
    FakeHid::setWriteObserver(nullptr);
    deviceCheck = nullptr;

    qInfo("sent %llu datagrams in %lld s (%llu refused by sendto), kinds: garbage %llu, unmarked "
          "%llu, "
          "short %llu, long %llu, data %llu, short data %llu, keep-alive %llu",
        flooder.sent, seconds, flooder.refused, flooder.kinds[0], flooder.kinds[1],
        flooder.kinds[2], flooder.kinds[3], flooder.kinds[4], flooder.kinds[5], flooder.kinds[6]);
    qInfo("bridge socket: delivered %llu, dropped by the kernel %llu, sum %llu", observed.delivered,
        dropped, observed.delivered + dropped);
    qInfo("delivered marked: data %llu, keep-alive %llu; device writes %llu; keep-alive lines %llu",
        observed.data, observed.keepAlives, check.writes, keepAliveLines);
    qInfo("RSS after warm-up %lld KiB, at the end %lld KiB; open descriptors %d and %d", rssWarm,
        rssEnd, fdsWarm, fdsEnd);

    QCOMPARE(flooder.sent + flooder.refused, quint64(1000000));
    QCOMPARE(observed.delivered + dropped, flooder.sent);
    QVERIFY2(check.firstProblem.isEmpty(), qPrintable(check.firstProblem));
    QCOMPARE(check.writes, observed.data); // exactly once
    QCOMPARE(observed.expectedWrites.size(), size_t(0));
    QCOMPARE(keepAliveLines, observed.keepAlives);
    QCOMPARE(
        window.findChild<QLineEdit *>("lineEdit_send")->text(), QString::number(observed.data));

    // The registry holds exactly the senders of marked datagrams that got through: all the
    // marked senders, none of the others.
    QSet<QString> expectedClients;
    for (int s = NeverMarked; s < Senders; ++s)
        expectedClients.insert(QStringLiteral("::ffff:") + senderAddress(s).toString());
    QSet<QString> observedClients;
    for (quint32 v4 : observed.markedSenders)
        observedClients.insert(QStringLiteral("::ffff:") + QHostAddress(v4).toString());
    QCOMPARE(observedClients, expectedClients);
    QCOMPARE(window.findChild<QLineEdit *>("lineEdit_clients")->text(),
        QString::number(Senders - NeverMarked));
    QSet<QString> served;
    for (const QString &line : qAsConst(sendLines))
        served.insert(line.section('"', 1, 1));
    QCOMPARE(served, expectedClients);
    QCOMPARE(sendLines.size(), Senders - NeverMarked);

    QCOMPARE(window.findChild<QLabel *>("label_status_connection")->text(), QString("running"));
    QCOMPARE(fdsEnd, fdsWarm);
    // Flat: growth after warm-up stays within allocator noise, far below what keeping one
    // byte per datagram would cost.
    QVERIFY2(rssEnd - rssWarm < 2048,
        qPrintable(QStringLiteral("RSS grew by %1 KiB").arg(rssEnd - rssWarm)));
}

QTEST_MAIN(tst_Flood)
#include "tst_flood.moc"
