#include "bridgedriver.h"

#include <QSignalSpy>
#include <QtTest>

// Client datagrams into the running window over loopback: what reaches the simulated device,
// what registers a client, what is counted and logged.
class tst_Receive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::isolateSettings(); }

    void singleDatagram_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QByteArray>("effect"); // the report written, "KA", or empty: ignored
        const auto row = [](const char *name, const char *datagram, const char *effect) {
            QTest::newRow(name) << hex(datagram)
                                << (qstrcmp(effect, "KA") ? hex(effect) : QByteArray("KA"));
        };
        row("bare marker", "a0a0", "0000000000000000000000");
        row("3 bytes, K alone", "a0a04b", "004b000000000000000000");
        row("K then not A", "a0a04b42", "004b420000000000000000");
        row("lower-case ka", "a0a06b61", "006b610000000000000000");
        row("11 bytes", "a0a0f1f2f3f4f5f6f7f8f9", "00f1f2f3f4f5f6f7f8f900");
        row("12 bytes", "a0a00102030405060708090a", "000102030405060708090a");
        row("40 bytes",
            "a0a00102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f2021222324252627",
            "000102030405060708090a");
        row("keep-alive", "a0a04b41", "KA");
        row("keep-alive with tail", "a0a04b41ff0102", "KA");
        row("empty", "", "");
        row("single A0", "a0", "");
        row("A0 A1", "a0a10102030405060708090a", "");
        row("A1 A0", "a1a00102030405060708090a", "");
        row("unmarked keep-alive", "00004b41", "");
    }
    // A keep-alive from another host follows; once it is logged, the datagram before it is done.
    void singleDatagram()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(QByteArray, effect);
        LoopbackClient client(QStringLiteral("127.0.0.2"));
        LoopbackClient sentinel(QStringLiteral("127.0.0.3"));
        BridgeDriver bridge({&client, &sentinel});
        START_BRIDGE(bridge);

        QVERIFY(client.send(datagram, bridge.listenPort));
        QVERIFY(sentinel.send(KeepAlive, bridge.listenPort));
        QTRY_VERIFY(bridgeLines().contains(keepAliveLine(sentinel)));

        const bool keepAlive = effect == "KA";
        const QList<QByteArray> reports
            = effect.isEmpty() || keepAlive ? QList<QByteArray>() : QList<QByteArray> {effect};
        QCOMPARE(FakeHid::writtenReports(), reports);
        QCOMPARE(bridge.transmitted(), QString::number(reports.size()));
        QCOMPARE(bridge.clients(), effect.isEmpty() ? QString("1") : QString("2"));
        QStringList lines {keepAliveLine(sentinel)};
        if (keepAlive)
            lines.prepend(keepAliveLine(client));
        QCOMPARE(bridgeLines(), lines);
    }
    void burstDrainedInOneCall_data()
    {
        QTest::addColumn<bool>("byHand");
        QTest::newRow("one call by hand") << true;
        QTest::newRow("one notification") << false;
    }
    // Ten data datagrams from two hosts, mixed with ignored or registering ones, all waiting.
    void burstDrainedInOneCall()
    {
        QFETCH(bool, byHand);
        LoopbackClient first(QStringLiteral("127.0.0.2"));
        LoopbackClient second(QStringLiteral("127.0.0.3"));
        BridgeDriver bridge({&first, &second});
        START_BRIDGE(bridge);
        QSignalSpy notifications(bridge.window.findChild<QUdpSocket *>(), &QUdpSocket::readyRead);
        QVERIFY(notifications.isValid());

        QList<QByteArray> expected;
        for (int i = 1; i <= 10; ++i) {
            const QByteArray payload(10, static_cast<char>(i));
            QVERIFY((i % 2 ? first : second).send(hex("a0a0") + payload, bridge.listenPort));
            expected.append(QByteArray(1, '\0') + payload);
            if (i == 3)
                QVERIFY(second.send(KeepAlive, bridge.listenPort));
            if (i == 5)
                QVERIFY(first.send(QByteArray(), bridge.listenPort));
            if (i == 7)
                QVERIFY(second.send(hex("a0a1ffffffffffffffffffff"), bridge.listenPort));
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
    // Programs on one host are one client; each keep-alive names the port it came from.
    void keepAliveThenDataFromOneHost()
    {
        LoopbackClient host(QStringLiteral("127.0.0.2"));
        const int other = host.addSender();
        LoopbackClient otherHost(QStringLiteral("127.0.0.20"));
        BridgeDriver bridge({&host, &otherHost});
        START_BRIDGE(bridge);

        QVERIFY(host.send(KeepAlive, bridge.listenPort));
        QTRY_COMPARE(bridge.clients(), QString("1"));
        QVERIFY(host.send(KeepAlive, bridge.listenPort, other));
        QVERIFY(host.send(hex("a0a00102030405060708090a0b0c"), bridge.listenPort, other));
        QTRY_COMPARE(bridge.transmitted(), QString("1"));
        QCOMPARE(bridge.clients(), QString("1"));
        QCOMPARE(FakeHid::writtenReports(), QList<QByteArray> {hex("000102030405060708090a")});
        QVERIFY(otherHost.send(KeepAlive, bridge.listenPort));
        QTRY_COMPARE(bridge.clients(), QString("2"));
        QCOMPARE(bridgeLines(),
            QStringList(
                {keepAliveLine(host), keepAliveLine(host, other), keepAliveLine(otherHost)}));
    }
    void failedDeviceWriteStillCounted()
    {
        LoopbackClient client(QStringLiteral("127.0.0.2"));
        BridgeDriver bridge({&client});
        START_BRIDGE(bridge);
        FakeHid::setWritesFail(true);
        QVERIFY(client.send(hex("a0a011"), bridge.listenPort));
        QVERIFY(client.send(hex("a0a022"), bridge.listenPort));
        QTRY_COMPARE(bridge.transmitted(), QString("2"));
        QCOMPARE(FakeHid::writtenReports(),
            QList<QByteArray>({hex("0011000000000000000000"), hex("0022000000000000000000")}));
        QCOMPARE(bridge.status(), QString("running"));

        // Unplugged before the poll notices: the report is lost, the datagram still counted.
        FakeHid::unplug();
        QVERIFY(client.send(hex("a0a0010203"), bridge.listenPort));
        letDatagramsLand();
        QVERIFY(bridge.receiveNow());
        QCOMPARE(bridge.transmitted(), QString("3"));
        QCOMPARE(bridge.clients(), QString("1"));
        QVERIFY(FakeHid::callLog().contains("hid_write 0001020300000000000000"));
        QTRY_COMPARE(bridge.status(), QString("stopped"));
        QCOMPARE(bridge.clients(), QString("0"));
    }
    // A stop releases LISTEN (datagrams meanwhile are lost) and empties the registry; after the
    // next start clients come back with their next datagram.
    void stopReleasesPortAndForgetsClients()
    {
        LoopbackClient client(QStringLiteral("127.0.0.2"));
        BridgeDriver bridge({&client});
        START_BRIDGE(bridge);
        QVERIFY(client.send(KeepAlive, bridge.listenPort));
        QTRY_COMPARE(bridge.clients(), QString("1"));

        bridge.stop();
        QCOMPARE(bridge.status(), QString("stopped"));
        QCOMPARE(bridge.clients(), QString("0"));
        QVERIFY(client.send(hex("a0a0ff"), bridge.listenPort));
        QTest::qWait(50);
        QCOMPARE(bridge.transmitted(), QString("0"));

        QVERIFY(bridge.start());
        QCOMPARE(bridge.clients(), QString("0"));
        QVERIFY(client.send(KeepAlive, bridge.listenPort));
        QTRY_COMPARE(bridge.clients(), QString("1"));
        QCOMPARE(bridge.transmitted(), QString("0"));
        QVERIFY(FakeHid::writes().empty());
        QCOMPARE(bridgeLines(),
            QStringList({keepAliveLine(client), "disconnecting... ", keepAliveLine(client)}));
    }
};

QTEST_MAIN(tst_Receive)
#include "tst_receive.moc"
