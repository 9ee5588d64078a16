#include "fakehidapi.h"
#include "testsupport.h"
#include "windowprobe.h"

#include <QtTest>

// The two-state run machine behind Start and Stop: what the device, the LISTEN socket, the
// widgets and the debug stream show after each transition.
class tst_RunState : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void startOpensDeviceThenBinds();
    void startTwiceChangesNothing();
    void stopWhileStoppedDoesNothing();
    void startWithoutDevice();
    void stopReleasesEverything();
    void startStopStartRebinds();
    void listenPortTaken();
    void listenTextNotANumber_data();
    void listenTextNotANumber();
    void listenTextWraps_data();
    void listenTextWraps();
    void listenTextWrappedPortTaken();
    void listenText70000();
};

namespace {

using Bridge = WindowProbe;

// The calls made to the device, without the poll's reads.
QStringList deviceCallsButReads()
{
    QStringList calls = FakeHid::callLog();
    calls.removeAll(QStringLiteral("hid_read 11"));
    return calls;
}

const QString Red = QStringLiteral("color: rgb(255, 0, 0);");
const QString Green = QStringLiteral("color: rgb(0, 255, 0);");

} // namespace

void tst_RunState::initTestCase()
{
    TestSupport::isolateSettings();
}

void tst_RunState::init()
{
    QFile::remove(TestSupport::settingsFile());
    FakeHid::reset();
    FakeHid::plug();
}

void tst_RunState::startOpensDeviceThenBinds()
{
    Bridge bridge;
    QVERIFY(bridge.trayShows(Bridge::GrayIcon));
    TestSupport::DebugCapture capture;
    const int handles = FakeHid::openHandles();
    bridge.start();

    QCOMPARE(
        deviceCallsButReads(), QStringList({"hid_open 0805 1404 (null)", "hid_set_nonblocking 1"}));
    QCOMPARE(FakeHid::openHandles(), handles + 1);
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    QCOMPARE(bridge.status()->styleSheet(), Green);
    QCOMPARE(bridge.text("lineEdit_received"), QStringLiteral("0"));
    QCOMPARE(bridge.text("lineEdit_send"), QStringLiteral("0"));
    QCOMPARE(bridge.text("lineEdit_clients"), QStringLiteral("0"));
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::BoundState);
    QCOMPARE(bridge.socket()->localPort(), bridge.listenPort());
    QVERIFY(bridge.trayShows(Bridge::GreenIcon));
    QVERIFY(bridge.polling());
    QVERIFY(!bridge.pollTimer()->isSingleShot());
    QCOMPARE(bridge.pollTimer()->timerType(), Qt::CoarseTimer);
    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList());

    // The poll reads with an 11-byte buffer.
    QTRY_VERIFY_WITH_TIMEOUT(FakeHid::callLog().contains(QStringLiteral("hid_read 11")), 5000);
    const QStringList calls = FakeHid::callLog();
    for (const QString &call : calls.mid(2))
        QCOMPARE(call, QStringLiteral("hid_read 11"));

    // A client can reach the bound port.
    QUdpSocket client;
    QVERIFY2(bridge.addClient(client), qPrintable(client.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_clients"), QStringLiteral("1"), 5000);
    bridge.stop();
}

void tst_RunState::startTwiceChangesNothing()
{
    Bridge bridge;
    bridge.start();
    const quint16 port = bridge.socket()->localPort();
    FakeHid::queueInput(QByteArray::fromHex("00010203040506070809"));
    FakeHid::queueInput(QByteArray::fromHex("00010203040506070809"));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_received"), QStringLiteral("2"), 5000);
    QUdpSocket client;
    QVERIFY2(bridge.addClient(client), qPrintable(client.errorString()));
    client.writeDatagram(
        QByteArray::fromHex("a0a00102"), QHostAddress(QHostAddress::LocalHost), port);
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_send"), QStringLiteral("1"), 5000);

    TestSupport::DebugCapture capture;
    FakeHid::clearCalls();
    const int handles = FakeHid::openHandles();
    bridge.start();

    // No second open, no re-bind (it would fail and say so), no counter reset.
    QCOMPARE(deviceCallsButReads(), QStringList());
    QCOMPARE(FakeHid::openHandles(), handles);
    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList());
    QCOMPARE(bridge.socket()->localPort(), port);
    QCOMPARE(bridge.text("lineEdit_received"), QStringLiteral("2"));
    QCOMPARE(bridge.text("lineEdit_send"), QStringLiteral("1"));
    QCOMPARE(bridge.text("lineEdit_clients"), QStringLiteral("1"));
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));

    // And the counters keep counting.
    FakeHid::queueInput(QByteArray::fromHex("00010203040506070809"));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_received"), QStringLiteral("3"), 5000);
    client.writeDatagram(
        QByteArray::fromHex("a0a00102"), QHostAddress(QHostAddress::LocalHost), port);
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_send"), QStringLiteral("2"), 5000);
    bridge.stop();
}

void tst_RunState::stopWhileStoppedDoesNothing()
{
    Bridge bridge;
    TestSupport::DebugCapture capture;
    bridge.stop();
    QCOMPARE(FakeHid::callLog(), QStringList());
    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList());
    QCOMPARE(bridge.text("lineEdit_clients"), QString()); // no display change either
    QCOMPARE(bridge.status()->text(), QStringLiteral("stopped"));

    // Also after a full start and stop.
    bridge.start();
    bridge.stop();
    FakeHid::clearCalls();
    TestSupport::DebugCapture again;
    bridge.stop();
    QCOMPARE(FakeHid::callLog(), QStringList());
    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList());
}

void tst_RunState::startWithoutDevice()
{
    FakeHid::unplug();
    Bridge bridge;
    TestSupport::DebugCapture capture;
    bridge.start();

    QCOMPARE(FakeHid::callLog(), QStringList({"hid_open 0805 1404 (null)"}));
    QCOMPARE(bridge.status()->text(), QStringLiteral("stopped"));
    QCOMPARE(bridge.status()->styleSheet(), Red);
    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList());
    QCOMPARE(bridge.text("lineEdit_received"), QString());
    QCOMPARE(bridge.text("lineEdit_clients"), QString());
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(bridge.trayShows(Bridge::GrayIcon));
    QVERIFY(!bridge.polling());
    QTest::qWait(20);
    QCOMPARE(FakeHid::callLog(), QStringList({"hid_open 0805 1404 (null)"})); // no poll

    // Once the device is there, the next start works.
    FakeHid::plug();
    bridge.start();
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    bridge.stop();
}

void tst_RunState::stopReleasesEverything()
{
    Bridge bridge;
    bridge.start();
    const quint16 port = bridge.socket()->localPort();
    FakeHid::queueInput(QByteArray::fromHex("00010203040506070809"));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_received"), QStringLiteral("1"), 5000);
    QUdpSocket client;
    QVERIFY2(bridge.addClient(client), qPrintable(client.errorString()));
    client.writeDatagram(
        QByteArray::fromHex("a0a00102"), QHostAddress(QHostAddress::LocalHost), port);
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_send"), QStringLiteral("1"), 5000);
    QCOMPARE(bridge.text("lineEdit_clients"), QStringLiteral("1"));

    TestSupport::DebugCapture capture;
    FakeHid::clearCalls();
    const int handles = FakeHid::openHandles();
    bridge.stop();

    QCOMPARE(deviceCallsButReads(), QStringList({"hid_close", "hid_exit"}));
    QCOMPARE(FakeHid::openHandles(), handles - 1);
    QVERIFY(!bridge.polling());
    QCOMPARE(bridge.status()->text(), QStringLiteral("stopped"));
    QCOMPARE(bridge.status()->styleSheet(), Red);
    QCOMPARE(bridge.text("lineEdit_clients"), QStringLiteral("0"));
    QCOMPARE(bridge.text("lineEdit_received"), QStringLiteral("1")); // left as they are
    QCOMPARE(bridge.text("lineEdit_send"), QStringLiteral("1"));
    QVERIFY(bridge.trayShows(Bridge::GrayIcon));

    // One line, with its trailing blank, at debug level, category "default", no context.
    const QList<TestSupport::LoggedLine> lines = TestSupport::DebugCapture::lines();
    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList({"disconnecting... "}));
    for (const TestSupport::LoggedLine &line : lines) {
        if (line.type != QtDebugMsg)
            continue;
        QCOMPARE(line.category, QStringLiteral("default"));
        QVERIFY(!line.hasContext);
    }

    // The port is free again, and nothing is read from it any more.
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::UnconnectedState);
    const std::size_t writes = FakeHid::writes().size();
    client.writeDatagram(
        QByteArray::fromHex("a0a00102"), QHostAddress(QHostAddress::LocalHost), port);
    QTest::qWait(50);
    QCOMPARE(bridge.text("lineEdit_send"), QStringLiteral("1"));
    QCOMPARE(bridge.text("lineEdit_clients"), QStringLiteral("0"));
    QCOMPARE(FakeHid::writes().size(), writes);
    QUdpSocket taker;
    QVERIFY2(taker.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress),
        qPrintable(taker.errorString()));
}

void tst_RunState::startStopStartRebinds()
{
    Bridge bridge;
    bridge.start();
    const quint16 port = bridge.socket()->localPort();
    QCOMPARE(port, bridge.listenPort());
    FakeHid::queueInput(QByteArray::fromHex("00010203040506070809"));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_received"), QStringLiteral("1"), 5000);
    bridge.stop();

    TestSupport::DebugCapture capture;
    FakeHid::clearCalls();
    bridge.start();
    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList());
    QCOMPARE(
        deviceCallsButReads(), QStringList({"hid_open 0805 1404 (null)", "hid_set_nonblocking 1"}));
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::BoundState);
    QCOMPARE(bridge.socket()->localPort(), port);
    QCOMPARE(bridge.text("lineEdit_received"), QStringLiteral("0"));
    QCOMPARE(bridge.text("lineEdit_send"), QStringLiteral("0"));
    QCOMPARE(bridge.text("lineEdit_clients"), QStringLiteral("0"));

    QUdpSocket client;
    QVERIFY2(bridge.addClient(client), qPrintable(client.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_clients"), QStringLiteral("1"), 5000);
    bridge.stop();
}

void tst_RunState::listenPortTaken()
{
    // Qt's default bind mode shares the address, which would let both sockets bind.
    QUdpSocket holder;
    QVERIFY2(holder.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress),
        qPrintable(holder.errorString()));
    Bridge bridge;
    bridge.setListen(QString::number(holder.localPort()));

    TestSupport::DebugCapture capture;
    bridge.start();
    QCOMPARE(TestSupport::DebugCapture::debugTexts(),
        QStringList({QStringLiteral("Unable to bind socket to port: %1").arg(holder.localPort())}));
    for (const TestSupport::LoggedLine &line : TestSupport::DebugCapture::lines()) {
        if (line.type != QtDebugMsg)
            continue;
        QCOMPARE(line.category, QStringLiteral("default"));
        QVERIFY(!line.hasContext);
    }

    // The bridge still runs: reports are read and counted.
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    QVERIFY(bridge.polling());
    QVERIFY(bridge.trayShows(Bridge::GreenIcon));
    FakeHid::queueInput(QByteArray::fromHex("00010203040506070809"));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_received"), QStringLiteral("1"), 5000);
    bridge.stop();
}

void tst_RunState::listenTextNotANumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("letters") << "abc";
    QTest::newRow("empty") << "";
    QTest::newRow("trailing letters") << "18153x";
    QTest::newRow("beyond int") << "4294967296";
}

void tst_RunState::listenTextNotANumber()
{
    QFETCH(QString, text);
    Bridge bridge;
    bridge.setListen(text);
    TestSupport::DebugCapture capture;
    bridge.start();

    // Port 0: the operating system picks one, and nothing is logged.
    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList());
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::BoundState);
    QVERIFY(bridge.socket()->localPort() != 0);
    QCOMPARE(bridge.field("lineEdit_LISTEN")->text(), text);
    bridge.stop();
}

void tst_RunState::listenTextWraps_data()
{
    QTest::addColumn<int>("offset");
    QTest::newRow("plus 65536") << 65536;
    QTest::newRow("plus 2 x 65536") << 2 * 65536;
    QTest::newRow("minus 65536") << -65536;
}

void tst_RunState::listenTextWraps()
{
    QFETCH(int, offset);
    const quint16 port = Bridge::freePort();
    QVERIFY(port != 0);
    Bridge bridge;
    bridge.setListen(QString::number(int(port) + offset));
    TestSupport::DebugCapture capture;
    bridge.start();

    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList());
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::BoundState);
    QCOMPARE(bridge.socket()->localPort(), port);
    bridge.stop();
}

void tst_RunState::listenTextWrappedPortTaken()
{
    QUdpSocket holder;
    QVERIFY2(holder.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress),
        qPrintable(holder.errorString()));
    Bridge bridge;
    const int text = holder.localPort() + 65536;
    bridge.setListen(QString::number(text));
    TestSupport::DebugCapture capture;
    bridge.start();

    // The line shows the field's number in full, not the port it was cut to.
    QCOMPARE(TestSupport::DebugCapture::debugTexts(),
        QStringList({QStringLiteral("Unable to bind socket to port: %1").arg(text)}));
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    bridge.stop();
}

void tst_RunState::listenText70000()
{
    QUdpSocket holder;
    if (!holder.bind(QHostAddress::Any, 4464, QAbstractSocket::DontShareAddress))
        QSKIP("port 4464 is in use here");
    Bridge bridge;
    bridge.setListen(QStringLiteral("70000"));

    TestSupport::DebugCapture capture;
    bridge.start();
    QCOMPARE(TestSupport::DebugCapture::debugTexts(),
        QStringList({"Unable to bind socket to port: 70000"}));
    bridge.stop();

    holder.close();
    TestSupport::DebugCapture again;
    bridge.start();
    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList());
    QCOMPARE(bridge.socket()->localPort(), quint16(4464));
    bridge.stop();
}

QTEST_MAIN(tst_RunState)
#include "tst_runstate.moc"
