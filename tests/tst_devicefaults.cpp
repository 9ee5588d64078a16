#include "fakehidapi.h"
#include "mainwindow.h"
#include "processwatch.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QUdpSocket>
#include <QtTest>

// The device unplugged and replugged again and again, reads of every length, failing writes.
// TAVREL_SOAK_CYCLES sets the unplug cycles (a few by default; the "slow" soak runs 200).
class tst_DeviceFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void unplugCycles_data();
    void unplugCycles();
    void everyReadLength();
    void failingWrites();
};

using ProcessWatch::runUntil;

namespace {

int disconnectingLines = 0;
QtMessageHandler chained = nullptr;

// Counts the reset line without keeping anything: the soak must not grow by its own logging.
void countResets(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg && text == QLatin1String("disconnecting... "))
        ++disconnectingLines;
    else if (type != QtDebugMsg && chained)
        chained(type, context, text);
}

// The window with a client at 127.0.0.2 whose one socket is METERING, CONFIG and CUSTOM alike.
class Rig
{
public:
    Rig()
    {
        QUdpSocket probe;
        probe.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress);
        listenPort = probe.localPort();
        probe.close();
        client.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0);
        field("lineEdit_LISTEN")->setText(QString::number(listenPort));
        for (const char *name : {"lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"})
            field(name)->setText(QString::number(client.localPort()));
    }

    QLineEdit *field(const char *name) { return window.findChild<QLineEdit *>(name); }
    QString text(const char *name) { return field(name)->text(); }
    bool running()
    {
        return window.findChild<QLabel *>("label_status_connection")->text() == "running";
    }
    void click(const char *name)
    {
        QTest::mouseClick(window.findChild<QAbstractButton *>(name), Qt::LeftButton);
    }
    void send(const QByteArray &datagram)
    {
        client.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), listenPort);
    }
    // The next datagram to the client, or an empty one after a second.
    QByteArray receive()
    {
        if (!runUntil([this] { return client.hasPendingDatagrams(); }, 1000))
            return QByteArray();
        return client.receiveDatagram().data();
    }

    MainWindow window;
    QUdpSocket client;
    quint16 listenPort = 0;
};

int soakCycles(int fallback)
{
    const int cycles = qEnvironmentVariableIntValue("TAVREL_SOAK_CYCLES");
    return cycles > 0 ? cycles : fallback;
}

} // namespace

void tst_DeviceFaults::initTestCase()
{
    TestSupport::isolateSettings();
    chained = qInstallMessageHandler(countResets);
}

void tst_DeviceFaults::init()
{
    QFile::remove(TestSupport::settingsFile());
    FakeHid::reset();
    FakeHid::setRecordReads(false); // one read a millisecond: the log would grow all run
    FakeHid::plug();
}

void tst_DeviceFaults::unplugCycles_data()
{
    QTest::addColumn<bool>("autoConnect");
    QTest::addColumn<bool>("unplug"); // or the Stop button, with the device left in
    QTest::addColumn<int>("cycles");
    QTest::newRow("unplug, auto-connect replugs") << true << true << soakCycles(2);
    QTest::newRow("unplug, Start button") << false << true << soakCycles(5);
    QTest::newRow("Stop and Start buttons") << false << false << soakCycles(5);
}

// Each cycle: a client is served both ways, the device goes (or Stop is clicked), everything
// is released, the device comes back and the bridge recovers with counters at 0.
void tst_DeviceFaults::unplugCycles()
{
    QFETCH(bool, autoConnect);
    QFETCH(bool, unplug);
    QFETCH(int, cycles);
    Rig rig;
    QVERIFY2(
        rig.client.state() == QAbstractSocket::BoundState, qPrintable(rig.client.errorString()));
    if (autoConnect) {
        rig.click("checkBox_auto_connect");
        QVERIFY(!rig.window.findChild<QPushButton *>("START")->isEnabled());
    } else {
        rig.click("START");
    }
    QVERIFY(runUntil([&] { return rig.running(); }, 5000));

    qint64 rssWarm = 0;
    int fdsWarm = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        const QString at = QStringLiteral(" (cycle %1)").arg(cycle);
        rig.send(QByteArray::fromHex("a0a04b41"));
        QVERIFY2(runUntil([&] { return rig.text("lineEdit_clients") == "1"; }, 2000),
            qPrintable("no client" + at));
        const QByteArray payload = QByteArray::number(cycle).rightJustified(10, '0');
        rig.send(QByteArray::fromHex("a0a0") + payload);
        QVERIFY2(runUntil([&] { return FakeHid::writes().size() == 1; }, 2000),
            qPrintable("no write" + at));
        QCOMPARE(FakeHid::writtenReports().first(), QByteArray(1, '\0') + payload);
        FakeHid::clearWrites();
        const QByteArray report = QByteArray::fromHex("00f0") + payload.left(8);
        FakeHid::queueInput(report);
        QCOMPARE(rig.receive(), QByteArray::fromHex("a0a0") + report);
        QCOMPARE(FakeHid::openHandles(), 1);

        if (cycle == 2 || (cycles < 2 && cycle == 1)) {
            rssWarm = ProcessWatch::residentKiB();
            fdsWarm = ProcessWatch::openDescriptors();
        }

        const int linesBefore = disconnectingLines;
        if (unplug)
            FakeHid::unplug();
        else
            rig.click("STOP");
        QVERIFY2(runUntil([&] { return !rig.running(); }, 2000), qPrintable("still running" + at));
        QCOMPARE(rig.text("lineEdit_clients"), QString("0"));
        QCOMPARE(FakeHid::openHandles(), 0);
        QCOMPARE(disconnectingLines - linesBefore, unplug ? 2 : 1);
        // Nothing reaches the device while stopped, and the port is released.
        rig.send(QByteArray::fromHex("a0a0ffff"));
        QTest::qWait(5);
        QVERIFY(FakeHid::writes().empty());

        if (unplug)
            FakeHid::plug();
        if (!autoConnect)
            rig.click("START");
        QVERIFY2(runUntil([&] { return rig.running(); }, autoConnect ? 5000 : 100),
            qPrintable("not back" + at));
        for (const char *counter : {"lineEdit_clients", "lineEdit_send", "lineEdit_received"})
            QCOMPARE(rig.text(counter), QString("0"));
        QCOMPARE(disconnectingLines - linesBefore, unplug ? 2 : 1);
        FakeHid::clearCalls();
    }
    const qint64 rssEnd = ProcessWatch::residentKiB();
    const int fdsEnd = ProcessWatch::openDescriptors();
    qInfo("%d cycles: RSS %lld then %lld KiB; open descriptors %d then %d", cycles, rssWarm, rssEnd,
        fdsWarm, fdsEnd);
    QCOMPARE(fdsEnd, fdsWarm);
    if (cycles >= 50) // too few cycles to tell growth from allocator noise
        QVERIFY2(rssEnd - rssWarm < 1024,
            qPrintable(QStringLiteral("RSS grew by %1 KiB").arg(rssEnd - rssWarm)));
    if (autoConnect)
        rig.click("checkBox_auto_connect");
    rig.click("STOP");
}

// Reads of 0 to 64 bytes on the real poll: only the one of 10 bytes becomes a bridge message.
void tst_DeviceFaults::everyReadLength()
{
    Rig rig;
    rig.click("START");
    QVERIFY(rig.running());
    rig.send(QByteArray::fromHex("a0a04b41"));
    QVERIFY(runUntil([&] { return rig.text("lineEdit_clients") == "1"; }, 2000));
    for (int length = 0; length <= 64; ++length) {
        QByteArray read(length, '\0');
        for (int i = 0; i < length; ++i)
            read[i] = char(length + i); // byte 1 is never F0: three copies of the message
        FakeHid::queueInput(read);
    }
    QVERIFY(runUntil([] { return FakeHid::pendingInput() == 0; }, 5000));
    const QByteArray message = QByteArray::fromHex("a0a00a0b0c0d0e0f10111213");
    for (int copy = 0; copy < 3; ++copy)
        QCOMPARE(rig.receive(), message);
    QTest::qWait(20);
    QVERIFY(!rig.client.hasPendingDatagrams());
    QCOMPARE(rig.text("lineEdit_received"), QString("1"));
    QVERIFY(rig.running());
    rig.click("STOP");
}

// A device that takes no writes: datagrams are still counted and handed to it in order, the
// bridge runs on, the other direction works, and writes resume.
void tst_DeviceFaults::failingWrites()
{
    Rig rig;
    rig.click("START");
    QVERIFY(rig.running());
    FakeHid::setWritesFail(true);
    QList<QByteArray> expected;
    for (int i = 0; i < 20; ++i) {
        const QByteArray payload(10, char(i));
        rig.send(QByteArray::fromHex("a0a0") + payload);
        expected.append(QByteArray(1, '\0') + payload);
    }
    QVERIFY(runUntil([&] { return rig.text("lineEdit_send") == "20"; }, 2000));
    QCOMPARE(FakeHid::writtenReports(), expected); // attempted, in order, each 11 bytes
    QVERIFY(rig.running());
    QCOMPARE(rig.text("lineEdit_clients"), QString("1"));

    FakeHid::queueInput(QByteArray::fromHex("00f00102030405060708"));
    QCOMPARE(rig.receive(), QByteArray::fromHex("a0a000f00102030405060708"));

    FakeHid::setWritesFail(false);
    FakeHid::clearWrites();
    rig.send(QByteArray::fromHex("a0a0aabbccddeeff00112233"));
    QVERIFY(runUntil([&] { return rig.text("lineEdit_send") == "21"; }, 2000));
    QCOMPARE(FakeHid::writtenReports(),
        QList<QByteArray>({QByteArray::fromHex("00aabbccddeeff00112233")}));
    rig.click("STOP");
}

QTEST_MAIN(tst_DeviceFaults)
#include "tst_devicefaults.moc"
