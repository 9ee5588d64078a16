#include "bridgedriver.h"

#include <QDeadlineTimer>
#include <QtTest>

namespace {

const qint64 T0 = 1000000;
qint64 now = T0;
qint64 testClock()
{
    return now;
}

using P = LoopbackClient::Port;

QString at(const LoopbackClient &client, P port, const QByteArray &message)
{
    return QStringLiteral("%1:%2 %3")
        .arg(client.address())
        .arg(client.port(port))
        .arg(QString::fromLatin1(message.toHex()));
}

// What a client gets for one message: METERING alone, or METERING, CONFIG, CUSTOM.
QStringList gets(const LoopbackClient &client, const QByteArray &message, bool metering = false)
{
    if (metering)
        return {at(client, P::Metering, message)};
    return {at(client, P::Metering, message), at(client, P::Config, message),
        at(client, P::Custom, message)};
}

// What the clients have seen, in the order sent. Waits (at most two seconds) only for
// missing datagrams: a wrong order or port fails at once.
QStringList seen(std::initializer_list<LoopbackClient *> clients, int expected = 0)
{
    const QDeadlineTimer deadline(2000);
    for (;;) {
        QStringList texts;
        for (const Arrival &a : LoopbackClient::merged(clients))
            texts.append(QStringLiteral("%1%2:%3 %4")
                             .arg(a.stampNs < 0 ? "unordered " : "", a.address)
                             .arg(a.port)
                             .arg(QString::fromLatin1(a.data.toHex())));
        if (texts.size() >= expected || deadline.hasExpired())
            return texts;
        QTest::qWait(5);
    }
}

// The bridge message for a device report: the marker, then the report.
QByteArray queue(const char *report)
{
    FakeHid::queueInput(hex(report));
    return hex("a0a0") + hex(report);
}

} // namespace

#define COMPARE_SEEN(expected, ...)                                                                \
    do {                                                                                           \
        const QStringList expected_ = (expected);                                                  \
        QCOMPARE(seen({__VA_ARGS__}, expected_.size()), expected_);                                \
    } while (false)

#define REGISTER(client, bridge, count)                                                            \
    do {                                                                                           \
        QVERIFY((client).send(KeepAlive, (bridge).listenPort));                                    \
        QTRY_COMPARE((bridge).clients(), QString::number(count));                                  \
    } while (false)

// Device reports out to the clients over loopback: which client gets which bytes on which
// port, in which order, when clients expire, and what is counted and logged.
class tst_Send : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::isolateSettings();
        Stopwatch::setClock(testClock);
    }
    void cleanupTestCase() { Stopwatch::setClock(nullptr); }
    void init() { now = T0; }

    void orderAndExpiry_data()
    {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<bool>("metering");
        QTest::newRow("data") << QByteArray("0102030405060708090a") << false;
        QTest::newRow("metering") << QByteArray("01f0030405060708090a") << true;
        QTest::newRow("F0 in byte 0") << QByteArray("f0000102030405060708") << false;
        QTest::newRow("F1 in byte 1") << QByteArray("00f10102030405060708") << false;
        QTest::newRow("F0 in byte 2") << QByteArray("0001f0030405060708ff") << false;
        QTest::newRow("zeros") << QByteArray("00000000000000000000") << false;
    }
    // A metering message goes to METERING alone and unlogged, any other to METERING, CONFIG and
    // CUSTOM in that order with one line, all from LISTEN. Clients go in address text order (".10"
    // before ".2", whatever the registration order). Silent for exactly 20000 ms is live, 20001 ms
    // is not; the clients after the expired one in the same walk are still served.
    void orderAndExpiry()
    {
        QFETCH(QByteArray, report);
        QFETCH(bool, metering);
        LoopbackClient two(QStringLiteral("127.0.0.2"));
        LoopbackClient three(QStringLiteral("127.0.0.3"), two.ports());
        LoopbackClient ten(QStringLiteral("127.0.0.10"), two.ports());
        BridgeDriver bridge({&two, &three, &ten});
        START_BRIDGE(bridge);
        REGISTER(ten, bridge, 1);
        now = T0 + 5000;
        REGISTER(three, bridge, 2);
        REGISTER(two, bridge, 3);

        now = T0 + 20000;
        const QByteArray message = queue(report.constData());
        const QStringList first = gets(ten, message, metering) + gets(two, message, metering)
            + gets(three, message, metering);
        COMPARE_SEEN(first, &two, &three, &ten);
        QCOMPARE(bridge.clients(), QString("3"));

        now = T0 + 20001;
        queue(report.constData());
        COMPARE_SEEN(first + gets(two, message, metering) + gets(three, message, metering), &two,
            &three, &ten);
        QCOMPARE(bridge.clients(), QString("2"));
        QCOMPARE(bridge.received(), QString("2"));
        QCOMPARE(bridge.transmitted(), QString("0"));
        for (const Arrival &arrival : LoopbackClient::merged({&two, &three, &ten}))
            QCOMPARE(arrival.sourcePort, bridge.listenPort);

        QStringList lines {keepAliveLine(ten), keepAliveLine(three), keepAliveLine(two)};
        if (!metering)
            lines += QStringList {sendLine(ten, 3), sendLine(two, 3), sendLine(three, 3)};
        lines.append(offlineLine(ten));
        if (!metering)
            lines += QStringList {sendLine(two, 2), sendLine(three, 2)};
        QCOMPARE(bridgeLines(), lines);
    }
    // Messages without clients are counted, not kept; any marked datagram restarts the silence,
    // being sent to does not; expiry happens only while sending; an expired client comes back.
    void silenceLifecycle()
    {
        LoopbackClient client(QStringLiteral("127.0.0.2"));
        BridgeDriver bridge({&client});
        START_BRIDGE(bridge);
        queue("01010101010101010101");
        queue("02020202020202020202");
        QTRY_COMPARE(bridge.received(), QString("2"));

        REGISTER(client, bridge, 1);
        now = T0 + 15000;
        QVERIFY(client.send(hex("a0a00a"), bridge.listenPort));
        QTRY_COMPARE(bridge.transmitted(), QString("1"));
        now = T0 + 35000;
        const QStringList served = gets(client, queue("0102030405060708090a"));
        COMPARE_SEEN(served, &client);

        now = T0 + 35001;
        QTest::qWait(100); // the poll keeps running, with nothing to read
        QCOMPARE(bridge.clients(), QString("1"));
        queue("0102030405060708090a");
        QTRY_COMPARE(bridge.clients(), QString("0"));
        letDatagramsLand();
        QCOMPARE(seen({&client}), served);
        QCOMPARE(bridge.received(), QString("4"));

        REGISTER(client, bridge, 1);
        COMPARE_SEEN(served + gets(client, queue("1112131415161718191a")), &client);
        QCOMPARE(bridgeLines(),
            QStringList({keepAliveLine(client), sendLine(client, 1), offlineLine(client),
                keepAliveLine(client), sendLine(client, 1)}));
    }
    void portFieldsReadAtEachSend_data()
    {
        // %1 is a port of the moved client plus "add", written in "base"; valid rows move all three
        // fields, the others break CONFIG alone, which then means port 0 so that send fails.
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<qint64>("add");
        QTest::addColumn<int>("base");
        QTest::addColumn<bool>("valid");
        QTest::newRow("as typed") << "%1" << qint64(0) << 10 << true;
        QTest::newRow("leading zero, still decimal") << "0%1" << qint64(0) << 10 << true;
        QTest::newRow("past 65535 wraps") << "%1" << qint64(65536) << 10 << true;
        QTest::newRow("negative wraps") << "%1" << qint64(-65536) << 10 << true;
        QTest::newRow("letters") << "abc" << qint64(0) << 10 << false;
        QTest::newRow("number then letters") << "%1x" << qint64(0) << 10 << false;
        QTest::newRow("just past int") << "%1" << (qint64(1) << 31) << 10 << false;
        QTest::newRow("past 32 bits") << "%1" << (qint64(1) << 32) << 10 << false;
        QTest::newRow("hexadecimal") << "0x%1" << qint64(0) << 16 << false;
    }
    // Numbers typed while running take effect with the next message.
    void portFieldsReadAtEachSend()
    {
        QFETCH(QString, pattern);
        QFETCH(qint64, add);
        QFETCH(int, base);
        QFETCH(bool, valid);
        LoopbackClient client(QStringLiteral("127.0.0.2"));
        LoopbackClient moved(QStringLiteral("127.0.0.2")); // the same host on other ports
        BridgeDriver bridge({&client, &moved});
        START_BRIDGE(bridge);
        REGISTER(client, bridge, 1);
        const QStringList first = gets(client, queue("0102030405060708090a"));
        COMPARE_SEEN(first, &client);

        const auto text = [&](P port) {
            return pattern.contains("%1") ? pattern.arg(moved.port(port) + add, 0, base) : pattern;
        };
        bridge.setField("lineEdit_CONFIGURATION", text(P::Config));
        if (valid) {
            bridge.setField("lineEdit_METERING", text(P::Metering));
            bridge.setField("lineEdit_CUSTOM", text(P::Custom));
        }
        const QByteArray second = queue("1112131415161718191a");
        if (valid) {
            COMPARE_SEEN(gets(moved, second), &moved);
            QCOMPARE(seen({&client}), first);
        } else {
            COMPARE_SEEN(first
                    + QStringList({at(client, P::Metering, second), at(client, P::Custom, second)}),
                &client);
            letDatagramsLand();
            QCOMPARE(seen({&moved}), QStringList());
        }
        QCOMPARE(bridge.status(), QString("running"));
        QCOMPARE(bridgeLines(),
            QStringList({keepAliveLine(client), sendLine(client, 1), sendLine(client, 1)}));
    }
    void meteringEqualsConfig()
    {
        LoopbackClient client(QStringLiteral("127.0.0.2"));
        BridgeDriver bridge({&client});
        bridge.setField("lineEdit_CONFIGURATION", bridge.text("lineEdit_METERING"));
        START_BRIDGE(bridge);
        REGISTER(client, bridge, 1);
        const QByteArray message = queue("0102030405060708090a");
        COMPARE_SEEN(QStringList({at(client, P::Metering, message),
                         at(client, P::Metering, message), at(client, P::Custom, message)}),
            &client);
        QCOMPARE(bridgeLines(), QStringList({keepAliveLine(client), sendLine(client, 1)}));
    }
};

QTEST_MAIN(tst_Send)
#include "tst_send.moc"
