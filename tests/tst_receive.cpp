#include "bridgedriver.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

// Client datagrams into the running window over loopback: what reaches the simulated device,
// what registers a client, what is counted and logged.
class tst_Receive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::isolateSettings(); }
    void init() { capture = std::make_unique<TestSupport::DebugCapture>(); }
    void cleanup() { capture.reset(); }

    void keepAliveThenData();
    void singleDatagram_data();
    void singleDatagram();
    void burstDrainedInOneCall_data();
    void burstDrainedInOneCall();
    void oneEntryPerHost();
    void failedDeviceWriteStillCounted();
    void datagramAfterUnplugBeforeThePoll();
    void stopReleasesPortAndForgetsClients();

private:
    std::unique_ptr<TestSupport::DebugCapture> capture;
};

static const QByteArray KeepAlive = QByteArray::fromHex("a0a04b41");

void tst_Receive::keepAliveThenData()
{
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    BridgeDriver bridge({&client});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));

    QVERIFY(client.send(KeepAlive, bridge.listenPort));
    QTRY_COMPARE(bridge.clients(), QString("1"));
    QCOMPARE(bridge.transmitted(), QString("0"));
    QVERIFY(FakeHid::writes().empty());
    QCOMPARE(bridgeLines(), QStringList {keepAliveLine(client)});

    QVERIFY(client.send(QByteArray::fromHex("a0a00102030405060708090a0b0c"), bridge.listenPort));
    QTRY_COMPARE(bridge.transmitted(), QString("1"));
    QCOMPARE(FakeHid::writtenReports(),
        QList<QByteArray> {QByteArray::fromHex("000102030405060708090a")});
    QCOMPARE(bridge.clients(), QString("1")); // a refresh, not a second entry
    QCOMPARE(bridgeLines(), QStringList {keepAliveLine(client)});
}

void tst_Receive::singleDatagram_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("report"); // empty: nothing written
    QTest::addColumn<bool>("registers");
    QTest::addColumn<bool>("keepAlive");

    QTest::newRow("bare marker") << QByteArray::fromHex("a0a0")
                                 << QByteArray::fromHex("0000000000000000000000") << true << false;
    QTest::newRow("3 bytes, K alone")
        << QByteArray::fromHex("a0a04b") << QByteArray::fromHex("004b000000000000000000") << true
        << false;
    QTest::newRow("K then not A") << QByteArray::fromHex("a0a04b42")
                                  << QByteArray::fromHex("004b420000000000000000") << true << false;
    QTest::newRow("lower-case ka")
        << QByteArray::fromHex("a0a06b61") << QByteArray::fromHex("006b610000000000000000") << true
        << false;
    QTest::newRow("11 bytes") << QByteArray::fromHex("a0a0f1f2f3f4f5f6f7f8f9")
                              << QByteArray::fromHex("00f1f2f3f4f5f6f7f8f900") << true << false;
    QTest::newRow("12 bytes") << QByteArray::fromHex("a0a00102030405060708090a")
                              << QByteArray::fromHex("000102030405060708090a") << true << false;
    QTest::newRow("40 bytes") << QByteArray::fromHex("a0a00102030405060708090a0b0c0d0e0f1011121"
                                                     "31415161718191a1b1c1d1e1f2021222324252627")
                              << QByteArray::fromHex("000102030405060708090a") << true << false;
    QTest::newRow("keep-alive") << KeepAlive << QByteArray() << true << true;
    QTest::newRow("keep-alive with tail")
        << QByteArray::fromHex("a0a04b41ff0102") << QByteArray() << true << true;
    QTest::newRow("empty") << QByteArray() << QByteArray() << false << false;
    QTest::newRow("single A0") << QByteArray::fromHex("a0") << QByteArray() << false << false;
    QTest::newRow("A0 A1") << QByteArray::fromHex("a0a10102030405060708090a") << QByteArray()
                           << false << false;
    QTest::newRow("A1 A0") << QByteArray::fromHex("a1a00102030405060708090a") << QByteArray()
                           << false << false;
    QTest::newRow("unmarked keep-alive")
        << QByteArray::fromHex("00004b41") << QByteArray() << false << false;
}

// Each datagram is followed by a keep-alive from another host; once that one is logged, the
// datagram before it has been dealt with, so its absence of effects is settled.
void tst_Receive::singleDatagram()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, report);
    QFETCH(bool, registers);
    QFETCH(bool, keepAlive);

    LoopbackClient client(QStringLiteral("127.0.0.2"));
    LoopbackClient sentinel(QStringLiteral("127.0.0.3"));
    BridgeDriver bridge({&client, &sentinel});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));

    QVERIFY(client.send(datagram, bridge.listenPort));
    QVERIFY(sentinel.send(KeepAlive, bridge.listenPort));
    QTRY_VERIFY(bridgeLines().contains(keepAliveLine(sentinel)));

    QList<QByteArray> reports;
    if (!report.isEmpty())
        reports.append(report);
    QCOMPARE(FakeHid::writtenReports(), reports);
    QCOMPARE(bridge.transmitted(), QString::number(reports.size()));
    QCOMPARE(bridge.clients(), QString::number(registers ? 2 : 1));
    QStringList lines;
    if (keepAlive)
        lines.append(keepAliveLine(client));
    lines.append(keepAliveLine(sentinel));
    QCOMPARE(bridgeLines(), lines);
}

void tst_Receive::burstDrainedInOneCall_data()
{
    QTest::addColumn<bool>("byHand");
    QTest::newRow("one call by hand") << true;
    QTest::newRow("one notification") << false;
}

// Ten data datagrams from two hosts, mixed with datagrams that are ignored or only register,
// all waiting before the receive path runs.
void tst_Receive::burstDrainedInOneCall()
{
    QFETCH(bool, byHand);
    LoopbackClient first(QStringLiteral("127.0.0.2"));
    LoopbackClient second(QStringLiteral("127.0.0.3"));
    BridgeDriver bridge({&first, &second});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    auto *socket = bridge.window.findChild<QUdpSocket *>();
    QVERIFY(socket);
    QSignalSpy notifications(socket, &QUdpSocket::readyRead);
    QVERIFY(notifications.isValid());

    QList<QByteArray> expected;
    for (int i = 1; i <= 10; ++i) {
        LoopbackClient &from = i % 2 ? first : second;
        const QByteArray payload(10, static_cast<char>(i));
        QVERIFY(from.send(QByteArray::fromHex("a0a0") + payload, bridge.listenPort));
        expected.append(QByteArray(1, '\0') + payload);
        if (i == 3)
            QVERIFY(second.send(KeepAlive, bridge.listenPort));
        if (i == 5)
            QVERIFY(first.send(QByteArray(), bridge.listenPort));
        if (i == 7)
            QVERIFY(
                second.send(QByteArray::fromHex("a0a1ffffffffffffffffffff"), bridge.listenPort));
    }
    letDatagramsLand();

    if (byHand) {
        QVERIFY(bridge.receiveNow());
    } else {
        QTRY_COMPARE(FakeHid::writes().size(), size_t(10));
        QCOMPARE(notifications.count(), 1);
    }
    QCOMPARE(FakeHid::writtenReports(), expected);
    QCOMPARE(bridge.transmitted(), QString("10"));
    QCOMPARE(bridge.clients(), QString("2"));
    QCOMPARE(bridgeLines(), QStringList {keepAliveLine(second)});
}

// Several programs on one host are one client; each keep-alive names the port it came from.
void tst_Receive::oneEntryPerHost()
{
    LoopbackClient host(QStringLiteral("127.0.0.2"));
    const int otherProgram = host.addSender();
    LoopbackClient otherHost(QStringLiteral("127.0.0.20"));
    BridgeDriver bridge({&host, &otherHost});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    QVERIFY(host.senderPort(0) != host.senderPort(otherProgram));

    QVERIFY(host.send(KeepAlive, bridge.listenPort));
    QTRY_COMPARE(bridge.clients(), QString("1"));
    QVERIFY(host.send(KeepAlive, bridge.listenPort, otherProgram));
    QTRY_COMPARE(bridgeLines().size(), 2);
    QCOMPARE(bridge.clients(), QString("1"));
    QVERIFY(host.send(QByteArray::fromHex("a0a001"), bridge.listenPort, otherProgram));
    QVERIFY(otherHost.send(KeepAlive, bridge.listenPort));
    QTRY_COMPARE(bridge.clients(), QString("2"));
    QCOMPARE(bridge.transmitted(), QString("1"));
    QCOMPARE(bridgeLines(),
        QStringList(
            {keepAliveLine(host, 0), keepAliveLine(host, otherProgram), keepAliveLine(otherHost)}));
}

void tst_Receive::failedDeviceWriteStillCounted()
{
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    BridgeDriver bridge({&client});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    FakeHid::setWritesFail(true);

    QVERIFY(client.send(QByteArray::fromHex("a0a011"), bridge.listenPort));
    QVERIFY(client.send(QByteArray::fromHex("a0a022"), bridge.listenPort));
    QTRY_COMPARE(bridge.transmitted(), QString("2"));
    QCOMPARE(FakeHid::writtenReports(),
        QList<QByteArray>({QByteArray::fromHex("0011000000000000000000"),
            QByteArray::fromHex("0022000000000000000000")}));
    QCOMPARE(bridge.status(), QString("running"));
    QCOMPARE(bridge.clients(), QString("1"));
}

// Between an unplug and the poll that notices it, the handle is stale: the report is lost,
// the datagram still counted, and the next poll stops the bridge.
void tst_Receive::datagramAfterUnplugBeforeThePoll()
{
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    BridgeDriver bridge({&client});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));

    FakeHid::unplug();
    QVERIFY(client.send(QByteArray::fromHex("a0a0010203"), bridge.listenPort));
    letDatagramsLand();
    QVERIFY(bridge.receiveNow());
    QCOMPARE(bridge.transmitted(), QString("1"));
    QCOMPARE(bridge.clients(), QString("1"));
    QVERIFY(FakeHid::callLog().contains("hid_write 0001020300000000000000"));
    QVERIFY(FakeHid::writes().empty());

    QTRY_COMPARE(bridge.status(), QString("stopped"));
    QCOMPARE(bridge.clients(), QString("0"));
    QCOMPARE(bridge.transmitted(), QString("1"));
}

// A stop releases LISTEN (datagrams sent meanwhile are lost) and empties the registry; the
// next start binds again and clients come back with their next datagram.
void tst_Receive::stopReleasesPortAndForgetsClients()
{
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    BridgeDriver bridge({&client});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    QVERIFY(client.send(KeepAlive, bridge.listenPort));
    QTRY_COMPARE(bridge.clients(), QString("1"));

    bridge.stop();
    QCOMPARE(bridge.status(), QString("stopped"));
    QCOMPARE(bridge.clients(), QString("0"));
    QVERIFY(client.send(QByteArray::fromHex("a0a0ff"), bridge.listenPort));
    QTest::qWait(50);
    QCOMPARE(bridge.transmitted(), QString("0"));

    QVERIFY(bridge.start());
    QCOMPARE(bridge.clients(), QString("0"));
    QVERIFY(client.send(KeepAlive, bridge.listenPort));
    QTRY_COMPARE(bridge.clients(), QString("1"));
    QCOMPARE(bridge.transmitted(), QString("0"));
    QVERIFY(FakeHid::writes().empty());
    QCOMPARE(bridgeLines(),
        QStringList(
            {keepAliveLine(client), QStringLiteral("disconnecting... "), keepAliveLine(client)}));
}

QTEST_MAIN(tst_Receive)
#include "tst_receive.moc"
