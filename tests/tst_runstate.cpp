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
    void initTestCase() { TestSupport::isolateSettings(); }
    void init()
    {
        QFile::remove(TestSupport::settingsFile());
        FakeHid::reset();
        FakeHid::plug();
    }

    void startOpensDeviceThenBinds();
    void startTwiceChangesNothing();
    void stopWhileStoppedDoesNothing();
    void startWithoutDevice();
    void stopReleasesEverything();
    void startStopStartRebinds();
    void listenPortTaken_data();
    void listenPortTaken();
    void listenText_data();
    void listenText();
};

namespace {

using Bridge = WindowProbe;

const QString Red = QStringLiteral("color: rgb(255, 0, 0);");
const QString Green = QStringLiteral("color: rgb(0, 255, 0);");
const QStringList OpenCalls {"hid_open 0805 1404 (null)", "hid_set_nonblocking 1"};

// Running, with one report counted, one datagram forwarded and one client registered.
void startWithTraffic(Bridge &bridge, QUdpSocket &client)
{
    bridge.start();
    FakeHid::queueInput(QByteArray::fromHex(Bridge::Report));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_received"), QStringLiteral("1"), 5000);
    QVERIFY2(bridge.addClient(client), qPrintable(client.errorString()));
    QVERIFY(bridge.send(client, "a0a00102"));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.counters(), QStringLiteral("1 1 1"), 5000);
}

} // namespace

void tst_RunState::startOpensDeviceThenBinds()
{
    Bridge bridge;
    QVERIFY(bridge.trayShows(Bridge::GrayIcon));
    TestSupport::DebugCapture capture;
    const int handles = FakeHid::openHandles();
    bridge.start();

    QCOMPARE(Bridge::deviceCalls(), OpenCalls);
    QCOMPARE(FakeHid::openHandles(), handles + 1);
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    QCOMPARE(bridge.status()->styleSheet(), Green);
    QCOMPARE(bridge.counters(), QStringLiteral("0 0 0"));
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::BoundState);
    QCOMPARE(bridge.socket()->localPort(), bridge.listenPort());
    QVERIFY(bridge.trayShows(Bridge::GreenIcon));
    QVERIFY(bridge.polling());
    QCOMPARE(Bridge::debugLines(), QStringList());
    bridge.stop();
}

void tst_RunState::startTwiceChangesNothing()
{
    Bridge bridge;
    QUdpSocket client;
    startWithTraffic(bridge, client);
    if (QTest::currentTestFailed())
        return;
    const quint16 port = bridge.socket()->localPort();

    TestSupport::DebugCapture capture;
    FakeHid::clearCalls();
    bridge.start();
    // No second open, no re-bind (it would fail and say so), no counter reset.
    QCOMPARE(Bridge::deviceCalls(), QStringList());
    QCOMPARE(Bridge::debugLines(), QStringList());
    QCOMPARE(bridge.socket()->localPort(), port);
    QCOMPARE(bridge.counters(), QStringLiteral("1 1 1"));
    bridge.stop();
}

void tst_RunState::stopWhileStoppedDoesNothing()
{
    Bridge bridge;
    for (int round = 0; round < 2; ++round) { // never started, then after a start and a stop
        const QString before = bridge.counters();
        FakeHid::clearCalls();
        TestSupport::DebugCapture capture;
        bridge.stop();
        QCOMPARE(FakeHid::callLog(), QStringList());
        QCOMPARE(Bridge::debugLines(), QStringList());
        QCOMPARE(bridge.counters(), before);
        QCOMPARE(bridge.status()->text(), QStringLiteral("stopped"));
        bridge.start();
        bridge.stop();
    }
}

void tst_RunState::startWithoutDevice()
{
    FakeHid::unplug();
    Bridge bridge;
    TestSupport::DebugCapture capture;
    bridge.start();

    const QStringList openOnly {"hid_open 0805 1404 (null)"};
    QCOMPARE(FakeHid::callLog(), openOnly);
    QCOMPARE(bridge.status()->text(), QStringLiteral("stopped"));
    QCOMPARE(bridge.status()->styleSheet(), Red);
    QCOMPARE(Bridge::debugLines(), QStringList());
    QCOMPARE(bridge.counters(), QStringLiteral("  "));
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(bridge.trayShows(Bridge::GrayIcon));
    QTest::qWait(20);
    QCOMPARE(FakeHid::callLog(), openOnly); // no poll

    // Once the device is there, the next start works.
    FakeHid::plug();
    bridge.start();
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    bridge.stop();
}

void tst_RunState::stopReleasesEverything()
{
    Bridge bridge;
    QUdpSocket client;
    startWithTraffic(bridge, client);
    if (QTest::currentTestFailed())
        return;
    const quint16 port = bridge.socket()->localPort();

    TestSupport::DebugCapture capture;
    FakeHid::clearCalls();
    const int handles = FakeHid::openHandles();
    bridge.stop();

    QCOMPARE(Bridge::deviceCalls(), QStringList({"hid_close", "hid_exit"}));
    QCOMPARE(FakeHid::openHandles(), handles - 1);
    QVERIFY(!bridge.polling());
    QCOMPARE(bridge.status()->text(), QStringLiteral("stopped"));
    QCOMPARE(bridge.status()->styleSheet(), Red);
    QCOMPARE(bridge.counters(), QStringLiteral("1 1 0")); // counts stay, clients are forgotten
    QVERIFY(bridge.trayShows(Bridge::GrayIcon));
    QCOMPARE(Bridge::debugLines(), QStringList({"disconnecting... "}));

    // The port is free again.
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::UnconnectedState);
    QUdpSocket taker;
    QVERIFY2(taker.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress),
        qPrintable(taker.errorString()));
}

void tst_RunState::startStopStartRebinds()
{
    Bridge bridge;
    QUdpSocket client;
    startWithTraffic(bridge, client);
    if (QTest::currentTestFailed())
        return;
    const quint16 port = bridge.socket()->localPort();
    bridge.stop();

    TestSupport::DebugCapture capture;
    FakeHid::clearCalls();
    bridge.start();
    QCOMPARE(Bridge::debugLines(), QStringList());
    QCOMPARE(Bridge::deviceCalls(), OpenCalls);
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::BoundState);
    QCOMPARE(bridge.socket()->localPort(), port);
    QCOMPARE(bridge.counters(), QStringLiteral("0 0 0"));

    QVERIFY(bridge.send(client, "a0a04b41"));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_clients"), QStringLiteral("1"), 5000);
    bridge.stop();
}

void tst_RunState::listenPortTaken_data()
{
    QTest::addColumn<int>("offset");
    QTest::newRow("port") << 0;
    QTest::newRow("port plus 65536") << 65536; // the line shows the number, not the cut port
}

void tst_RunState::listenPortTaken()
{
    QFETCH(int, offset);
    // Qt's default bind mode shares the address, which would let both sockets bind.
    QUdpSocket holder;
    QVERIFY2(holder.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress),
        qPrintable(holder.errorString()));
    const quint16 port = holder.localPort();
    Bridge bridge;
    bridge.setListen(QString::number(port + offset));

    TestSupport::DebugCapture capture;
    bridge.start();
    QCOMPARE(Bridge::debugLines(),
        QStringList({QStringLiteral("Unable to bind socket to port: %1").arg(port + offset)}));

    // The bridge still runs: reports are read and counted.
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    QVERIFY(bridge.polling());
    QVERIFY(bridge.trayShows(Bridge::GreenIcon));
    FakeHid::queueInput(QByteArray::fromHex(Bridge::Report));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_received"), QStringLiteral("1"), 5000);
    bridge.stop();

    // Once the port is free, the next start binds it.
    holder.close();
    TestSupport::DebugCapture again;
    bridge.start();
    QCOMPARE(Bridge::debugLines(), QStringList());
    QCOMPARE(bridge.socket()->localPort(), port);
    bridge.stop();
}

void tst_RunState::listenText_data()
{
    QTest::addColumn<QString>("text"); // "P": a free port's number plus the offset
    QTest::addColumn<int>("offset");
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("trailing letters") << "18153x" << 0;
    QTest::newRow("beyond int") << "4294967296" << 0;
    QTest::newRow("plus 65536") << "P" << 65536;
    QTest::newRow("plus 2 x 65536") << "P" << 2 * 65536;
    QTest::newRow("minus 65536") << "P" << -65536;
}

// A number binds its low 16 bits; anything else binds port 0, which the system fills in.
void tst_RunState::listenText()
{
    QFETCH(QString, text);
    QFETCH(int, offset);
    const quint16 port = Bridge::freePort();
    QVERIFY(port != 0);
    if (text == QLatin1String("P"))
        text = QString::number(port + offset);
    Bridge bridge;
    bridge.setListen(text);
    TestSupport::DebugCapture capture;
    bridge.start();

    QCOMPARE(Bridge::debugLines(), QStringList());
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    QCOMPARE(bridge.socket()->state(), QAbstractSocket::BoundState);
    if (offset)
        QCOMPARE(bridge.socket()->localPort(), port);
    else
        QVERIFY(bridge.socket()->localPort() != 0);
    QCOMPARE(bridge.text("lineEdit_LISTEN"), text);
    bridge.stop();
}

QTEST_MAIN(tst_RunState)
#include "tst_runstate.moc"
