#include "bridgedriver.h"

#include <QDeadlineTimer>
#include <QtTest>

#include <memory>

// Device reports out to the clients over loopback: which client gets which bytes on which
// port, in which order, when clients expire, and what is counted and logged.
class tst_Send : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { Stopwatch::setClock(nullptr); }
    void init();
    void cleanup() { capture.reset(); }

    void fanOut_data();
    void fanOut();
    void clientsInAddressTextOrder();
    void expiry_data();
    void expiry();
    void refreshRestartsTheSilence();
    void idleDeviceRetiresNobody();
    void noClientsStillCounted();
    void programsOnOneHost();
    void portFieldsReadAtEachSend_data();
    void portFieldsReadAtEachSend();
    void unnumberedPortField_data();
    void unnumberedPortField();
    void meteringEqualsConfig();

private:
    std::unique_ptr<TestSupport::DebugCapture> capture;
};

namespace {

const QByteArray KeepAlive = QByteArray::fromHex("a0a04b41");
const qint64 T0 = 1000000;
qint64 now = T0;

qint64 testClock()
{
    return now;
}

QString at(const LoopbackClient &client, LoopbackClient::Port port, const QByteArray &message)
{
    return QStringLiteral("%1:%2 %3")
        .arg(client.address())
        .arg(client.port(port))
        .arg(QString::fromLatin1(message.toHex()));
}

QStringList allPorts(const LoopbackClient &client, const QByteArray &message)
{
    return {at(client, LoopbackClient::Metering, message),
        at(client, LoopbackClient::Config, message), at(client, LoopbackClient::Custom, message)};
}

QStringList seen(std::initializer_list<LoopbackClient *> clients)
{
    QStringList texts;
    for (const Arrival &arrival : LoopbackClient::merged(clients))
        texts.append(QStringLiteral("%1%2:%3 %4")
                         .arg(arrival.stampNs < 0 ? "unordered " : "", arrival.address)
                         .arg(arrival.port)
                         .arg(QString::fromLatin1(arrival.data.toHex())));
    return texts;
}

// What the clients have seen once it is as much as expected, or after two seconds: a wrong
// order or port fails at once, only a missing datagram waits.
QStringList seenAfter(std::initializer_list<LoopbackClient *> clients, int expected)
{
    QDeadlineTimer deadline(2000);
    QStringList texts = seen(clients);
    while (texts.size() < expected && !deadline.hasExpired()) {
        QTest::qWait(5);
        texts = seen(clients);
    }
    return texts;
}

} // namespace

#define COMPARE_SEEN(expected, ...)                                                                \
    do {                                                                                           \
        const QStringList expected_ = (expected);                                                  \
        QCOMPARE(seenAfter({__VA_ARGS__}, expected_.size()), expected_);                           \
    } while (false)

void tst_Send::initTestCase()
{
    TestSupport::isolateSettings();
    Stopwatch::setClock(testClock);
}

void tst_Send::init()
{
    now = T0;
    capture = std::make_unique<TestSupport::DebugCapture>();
}

#define REGISTER(client, bridge, count)                                                            \
    do {                                                                                           \
        QVERIFY((client).send(KeepAlive, (bridge).listenPort));                                    \
        QTRY_COMPARE((bridge).clients(), QString::number(count));                                  \
    } while (false)

void tst_Send::fanOut_data()
{
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("metering");

    QTest::newRow("metering") << QByteArray::fromHex("00f00102030405060708")
                              << QByteArray::fromHex("a0a000f00102030405060708") << true;
    QTest::newRow("F0 in report byte 0")
        << QByteArray::fromHex("f0000102030405060708")
        << QByteArray::fromHex("a0a0f0000102030405060708") << false;
    QTest::newRow("F1 in report byte 1")
        << QByteArray::fromHex("00f10102030405060708")
        << QByteArray::fromHex("a0a000f10102030405060708") << false;
    QTest::newRow("F0 in report byte 2")
        << QByteArray::fromHex("0001f0030405060708ff")
        << QByteArray::fromHex("a0a00001f0030405060708ff") << false;
    QTest::newRow("zeros") << QByteArray(10, '\0')
                           << QByteArray::fromHex("a0a000000000000000000000") << false;
}

// A metering message goes to METERING alone and unlogged; any other to METERING, CONFIG and
// CUSTOM in that order with one line. A second message proves nothing else was sent.
void tst_Send::fanOut()
{
    QFETCH(QByteArray, report);
    QFETCH(QByteArray, message);
    QFETCH(bool, metering);
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    BridgeDriver bridge({&client});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    REGISTER(client, bridge, 1);

    FakeHid::queueInput(report);
    FakeHid::queueInput(QByteArray::fromHex("55555555555555555555"));
    QStringList expected = metering ? QStringList {at(client, LoopbackClient::Metering, message)}
                                    : allPorts(client, message);
    expected += allPorts(client, QByteArray::fromHex("a0a055555555555555555555"));
    COMPARE_SEEN(expected, &client);

    QCOMPARE(bridge.received(), QString("2"));
    QCOMPARE(bridge.transmitted(), QString("0"));
    for (const Arrival &arrival : client.arrivals())
        QCOMPARE(arrival.sourcePort, bridge.listenPort);
    QStringList lines {keepAliveLine(client)};
    if (!metering)
        lines.append(sendLine(client, 1));
    lines.append(sendLine(client, 1));
    QCOMPARE(bridgeLines(), lines);
}

// ".10" sorts before ".2" and ".3" as text, whatever order the clients registered in.
void tst_Send::clientsInAddressTextOrder()
{
    LoopbackClient two(QStringLiteral("127.0.0.2"));
    LoopbackClient three(QStringLiteral("127.0.0.3"), two.ports());
    LoopbackClient ten(QStringLiteral("127.0.0.10"), two.ports());
    BridgeDriver bridge({&two, &three, &ten});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    REGISTER(two, bridge, 1);
    REGISTER(three, bridge, 2);
    REGISTER(ten, bridge, 3);

    FakeHid::queueInput(QByteArray::fromHex("0102030405060708090a"));
    FakeHid::queueInput(QByteArray::fromHex("aaf0bbccddeeff001122"));
    const QByteArray data = QByteArray::fromHex("a0a00102030405060708090a");
    const QByteArray meter = QByteArray::fromHex("a0a0aaf0bbccddeeff001122");
    COMPARE_SEEN(allPorts(ten, data) + allPorts(two, data) + allPorts(three, data)
            + QStringList(
                {at(ten, LoopbackClient::Metering, meter), at(two, LoopbackClient::Metering, meter),
                    at(three, LoopbackClient::Metering, meter)}),
        &two, &three, &ten);
    QCOMPARE(bridgeLines(),
        QStringList({keepAliveLine(two), keepAliveLine(three), keepAliveLine(ten), sendLine(ten, 3),
            sendLine(two, 3), sendLine(three, 3)}));
}

void tst_Send::expiry_data()
{
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("metering");
    QTest::newRow("data message") << QByteArray::fromHex("0102030405060708090a")
                                  << QByteArray::fromHex("a0a00102030405060708090a") << false;
    QTest::newRow("metering message") << QByteArray::fromHex("01f0030405060708090a")
                                      << QByteArray::fromHex("a0a001f0030405060708090a") << true;
}

// Silent for exactly 20000 ms is still live; 20001 ms is not. The expired client comes first
// in the walk, and the clients after it are still served, with the shrunken count.
void tst_Send::expiry()
{
    QFETCH(QByteArray, report);
    QFETCH(QByteArray, message);
    QFETCH(bool, metering);
    LoopbackClient two(QStringLiteral("127.0.0.2"));
    LoopbackClient three(QStringLiteral("127.0.0.3"), two.ports());
    LoopbackClient ten(QStringLiteral("127.0.0.10"), two.ports());
    BridgeDriver bridge({&two, &three, &ten});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    REGISTER(ten, bridge, 1);
    now = T0 + 5000;
    REGISTER(two, bridge, 2);
    REGISTER(three, bridge, 3);
    const auto gets = [&](const LoopbackClient &client) {
        return metering ? QStringList {at(client, LoopbackClient::Metering, message)}
                        : allPorts(client, message);
    };

    now = T0 + 20000;
    FakeHid::queueInput(report);
    const QStringList first = gets(ten) + gets(two) + gets(three);
    COMPARE_SEEN(first, &two, &three, &ten);
    QCOMPARE(bridge.clients(), QString("3"));

    now = T0 + 20001;
    FakeHid::queueInput(report);
    COMPARE_SEEN(first + gets(two) + gets(three), &two, &three, &ten);
    QCOMPARE(bridge.clients(), QString("2"));
    QCOMPARE(bridge.received(), QString("2"));

    QStringList lines {keepAliveLine(ten), keepAliveLine(two), keepAliveLine(three)};
    if (!metering)
        lines += QStringList {sendLine(ten, 3), sendLine(two, 3), sendLine(three, 3)};
    lines.append(offlineLine(ten));
    if (!metering)
        lines += QStringList {sendLine(two, 2), sendLine(three, 2)};
    QCOMPARE(bridgeLines(), lines);
}

// Any marked datagram, data included, restarts the silence; being sent to does not.
void tst_Send::refreshRestartsTheSilence()
{
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    BridgeDriver bridge({&client});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    REGISTER(client, bridge, 1);
    now = T0 + 15000;
    QVERIFY(client.send(QByteArray::fromHex("a0a00a"), bridge.listenPort));
    QTRY_COMPARE(bridge.transmitted(), QString("1"));

    now = T0 + 35000;
    const QByteArray message = QByteArray::fromHex("a0a00102030405060708090a");
    FakeHid::queueInput(QByteArray::fromHex("0102030405060708090a"));
    COMPARE_SEEN(allPorts(client, message), &client);

    now = T0 + 35001;
    FakeHid::queueInput(QByteArray::fromHex("0102030405060708090a"));
    QTRY_COMPARE(bridge.clients(), QString("0"));
    letDatagramsLand();
    QCOMPARE(seen({&client}), allPorts(client, message));
    QCOMPARE(bridge.received(), QString("2"));
    QCOMPARE(bridgeLines(),
        QStringList({keepAliveLine(client), sendLine(client, 1), offlineLine(client)}));
}

// Expiry happens only while sending: an idle device leaves a silent client counted.
void tst_Send::idleDeviceRetiresNobody()
{
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    BridgeDriver bridge({&client});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    REGISTER(client, bridge, 1);

    now = T0 + 100000;
    QTest::qWait(100); // the poll keeps running, with nothing to read
    QCOMPARE(bridge.clients(), QString("1"));
    QCOMPARE(bridgeLines(), QStringList {keepAliveLine(client)});

    FakeHid::queueInput(QByteArray::fromHex("0102030405060708090a"));
    QTRY_COMPARE(bridge.clients(), QString("0"));
    QCOMPARE(bridgeLines(), QStringList({keepAliveLine(client), offlineLine(client)}));

    REGISTER(client, bridge, 1); // back with its next datagram
    FakeHid::queueInput(QByteArray::fromHex("1112131415161718191a"));
    COMPARE_SEEN(allPorts(client, QByteArray::fromHex("a0a01112131415161718191a")), &client);
}

// Messages without a client are dropped but counted; they are not kept for later clients.
void tst_Send::noClientsStillCounted()
{
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    BridgeDriver bridge({&client});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));

    for (char i = 1; i <= 3; ++i)
        FakeHid::queueInput(QByteArray(10, i));
    QTRY_COMPARE(bridge.received(), QString("3"));
    QCOMPARE(bridgeLines(), QStringList());

    REGISTER(client, bridge, 1);
    FakeHid::queueInput(QByteArray::fromHex("04040404040404040404"));
    const QByteArray message = QByteArray::fromHex("a0a004040404040404040404");
    COMPARE_SEEN(allPorts(client, message), &client);
    QCOMPARE(bridge.received(), QString("4"));
    QCOMPARE(bridgeLines(), QStringList({keepAliveLine(client), sendLine(client, 1)}));
}

// Two programs on one host are one client, served on the configured ports only, never on
// the ports they sent from.
void tst_Send::programsOnOneHost()
{
    LoopbackClient host(QStringLiteral("127.0.0.2"));
    const int otherProgram = host.addSender();
    BridgeDriver bridge({&host});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    REGISTER(host, bridge, 1);
    QVERIFY(host.send(KeepAlive, bridge.listenPort, otherProgram));
    QTRY_COMPARE(bridgeLines().size(), 2);

    FakeHid::queueInput(QByteArray::fromHex("0102030405060708090a"));
    const QByteArray message = QByteArray::fromHex("a0a00102030405060708090a");
    COMPARE_SEEN(allPorts(host, message), &host);
    letDatagramsLand();
    QCOMPARE(seen({&host}), allPorts(host, message));
    QCOMPARE(bridge.clients(), QString("1"));
    QCOMPARE(bridgeLines(),
        QStringList(
            {keepAliveLine(host, 0), keepAliveLine(host, otherProgram), sendLine(host, 1)}));
}

void tst_Send::portFieldsReadAtEachSend_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<int>("offset");
    QTest::newRow("as typed") << QStringLiteral("%1") << 0;
    QTest::newRow("leading zero, still decimal") << QStringLiteral("0%1") << 0;
    QTest::newRow("past 65535 wraps") << QStringLiteral("%1") << 65536;
    QTest::newRow("negative wraps") << QStringLiteral("%1") << -65536;
    QTest::newRow("two wraps") << QStringLiteral("%1") << 2 * 65536;
}

// New numbers typed while running take effect with the next message.
void tst_Send::portFieldsReadAtEachSend()
{
    QFETCH(QString, pattern);
    QFETCH(int, offset);
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    LoopbackClient moved(QStringLiteral("127.0.0.2")); // the same host on other ports
    BridgeDriver bridge({&client, &moved});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    REGISTER(client, bridge, 1);
    FakeHid::queueInput(QByteArray::fromHex("0102030405060708090a"));
    const QByteArray first = QByteArray::fromHex("a0a00102030405060708090a");
    COMPARE_SEEN(allPorts(client, first), &client);

    const auto text
        = [&](LoopbackClient::Port port) { return pattern.arg(int(moved.port(port)) + offset); };
    bridge.setField("lineEdit_METERING", text(LoopbackClient::Metering));
    bridge.setField("lineEdit_CONFIGURATION", text(LoopbackClient::Config));
    bridge.setField("lineEdit_CUSTOM", text(LoopbackClient::Custom));
    FakeHid::queueInput(QByteArray::fromHex("1112131415161718191a"));
    const QByteArray second = QByteArray::fromHex("a0a01112131415161718191a");
    COMPARE_SEEN(allPorts(moved, second), &moved);
    QCOMPARE(seen({&client}), allPorts(client, first));
}

void tst_Send::unnumberedPortField_data()
{
    // %1: the CONFIG port plus "add" in "base", so that a lax conversion would find the port
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<qint64>("add");
    QTest::addColumn<int>("base");
    QTest::newRow("letters") << QStringLiteral("abc") << qint64(0) << 10;
    QTest::newRow("empty") << QString() << qint64(0) << 10;
    QTest::newRow("number then letters") << QStringLiteral("%1x") << qint64(0) << 10;
    QTest::newRow("just past int") << QStringLiteral("%1") << (qint64(1) << 31) << 10;
    QTest::newRow("past 32 bits") << QStringLiteral("%1") << (qint64(1) << 32) << 10;
    QTest::newRow("hexadecimal") << QStringLiteral("0x%1") << qint64(0) << 16;
}

// A field that is not a base-10 int means port 0: that send fails and the others still go.
void tst_Send::unnumberedPortField()
{
    QFETCH(QString, pattern);
    QFETCH(qint64, add);
    QFETCH(int, base);
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    BridgeDriver bridge({&client});
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    REGISTER(client, bridge, 1);

    const qint64 lax = client.port(LoopbackClient::Config) + add;
    bridge.setField("lineEdit_CONFIGURATION",
        pattern.contains(QLatin1String("%1")) ? pattern.arg(lax, 0, base) : pattern);
    FakeHid::queueInput(QByteArray::fromHex("0102030405060708090a"));
    FakeHid::queueInput(QByteArray::fromHex("1112131415161718191a"));
    const QByteArray first = QByteArray::fromHex("a0a00102030405060708090a");
    const QByteArray second = QByteArray::fromHex("a0a01112131415161718191a");
    const QStringList expected {at(client, LoopbackClient::Metering, first),
        at(client, LoopbackClient::Custom, first), at(client, LoopbackClient::Metering, second),
        at(client, LoopbackClient::Custom, second)};
    COMPARE_SEEN(expected, &client);
    QCOMPARE(bridge.status(), QString("running"));
    QCOMPARE(bridgeLines(),
        QStringList({keepAliveLine(client), sendLine(client, 1), sendLine(client, 1)}));
}

void tst_Send::meteringEqualsConfig()
{
    LoopbackClient client(QStringLiteral("127.0.0.2"));
    BridgeDriver bridge({&client});
    bridge.setField("lineEdit_CONFIGURATION", bridge.text("lineEdit_METERING"));
    QVERIFY2(bridge.start(), qPrintable(bridge.problems()));
    REGISTER(client, bridge, 1);

    FakeHid::queueInput(QByteArray::fromHex("0102030405060708090a"));
    const QByteArray message = QByteArray::fromHex("a0a00102030405060708090a");
    COMPARE_SEEN(QStringList({at(client, LoopbackClient::Metering, message),
                     at(client, LoopbackClient::Metering, message),
                     at(client, LoopbackClient::Custom, message)}),
        &client);
    QCOMPARE(bridgeLines(), QStringList({keepAliveLine(client), sendLine(client, 1)}));
}

QTEST_MAIN(tst_Send)
#include "tst_send.moc"
