#include "bridgeformat.h"

#include <QtTest>

#include <climits>

// The byte layouts without a window: literal hex in, literal hex out.
class tst_BridgeFormat : public QObject
{
    Q_OBJECT

private slots:
    void markerAndKeepAlive_data();
    void markerAndKeepAlive();
    void bridgeMessage_data();
    void bridgeMessage();
    void bridgeMessageReusesItsBuffer();
    void controlReport_data();
    void controlReport();
    void ledsOffReport();
    void portFromText_data();
    void portFromText();
    void nextCount_data();
    void nextCount();
};

namespace {

template<std::size_t N> QByteArray toBytes(const std::array<unsigned char, N> &report)
{
    return QByteArray(reinterpret_cast<const char *>(report.data()), int(N));
}

const unsigned char *bytes(const QByteArray &report)
{
    return reinterpret_cast<const unsigned char *>(report.constData());
}

} // namespace

void tst_BridgeFormat::markerAndKeepAlive_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("marked");
    QTest::addColumn<bool>("keepAlive");
    // "K" is 4b, "A" is 41; trailing bytes are ignored.
    const auto row = [](const char *hex, bool marked, bool keepAlive) {
        QTest::newRow(*hex ? hex : "empty") << QByteArray::fromHex(hex) << marked << keepAlive;
    };
    row("", false, false);
    row("a0", false, false);
    row("a0a0", true, false);
    row("a0a04b", true, false);
    row("a0a04b41", true, true);
    row("a0a04b41ffee", true, true);
    row("a0a14b41", false, false);
    row("a1a04b41", false, false);
    row("00a0a0", false, false);
    row("a0a06b61", true, false);
    row("a0a04b42", true, false);
    row("a0a0004b41", true, false);
}

void tst_BridgeFormat::markerAndKeepAlive()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, marked);
    QFETCH(bool, keepAlive);
    QCOMPARE(BridgeFormat::hasMarker(datagram), marked);
    QCOMPARE(BridgeFormat::isKeepAlive(datagram), keepAlive);
}

void tst_BridgeFormat::bridgeMessage_data()
{
    QTest::addColumn<QByteArray>("inputReport");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("metering");

    const auto row = [](const char *name, const char *report, const char *message, bool metering) {
        QTest::newRow(name) << QByteArray::fromHex(report) << QByteArray::fromHex(message)
                            << metering;
    };
    row("metering example", "00f00102030405060708", "a0a000f00102030405060708", true);
    row("ascending", "00010203040506070809", "a0a000010203040506070809", false);
    row("all ff", "ffffffffffffffffffff", "a0a0ffffffffffffffffffff", false);
    row("f0 in byte 0 only", "f0000000000000000000", "a0a0f0000000000000000000", false);
    row("f0 in byte 2 only", "0000f000000000000000", "a0a00000f000000000000000", false);
    row("f1 in byte 1", "00f10000000000000000", "a0a000f10000000000000000", false);
}

void tst_BridgeFormat::bridgeMessage()
{
    QFETCH(QByteArray, inputReport);
    QFETCH(QByteArray, message);
    QFETCH(bool, metering);
    QCOMPARE(inputReport.size(), 10);

    QByteArray built;
    BridgeFormat::writeBridgeMessage(built, bytes(inputReport));
    QCOMPARE(built, message);
    QCOMPARE(BridgeFormat::isMetering(built), metering);

    // A buffer that already held another message is overwritten in full.
    QByteArray reused = QByteArray::fromHex("a0a055555555555555555555");
    BridgeFormat::writeBridgeMessage(reused, bytes(inputReport));
    QCOMPARE(reused, message);
}

void tst_BridgeFormat::bridgeMessageReusesItsBuffer()
{
    const QByteArray first = QByteArray::fromHex("00f00102030405060708");
    const QByteArray second = QByteArray::fromHex("11223344556677889900");
    QByteArray message;
    BridgeFormat::writeBridgeMessage(message, bytes(first));
    const char *storage = message.constData();
    BridgeFormat::writeBridgeMessage(message, bytes(second));
    QCOMPARE(message.constData(), storage); // no allocation per report

    // A queued copy shares the bytes; the next report must not change it.
    const QByteArray queued = message;
    BridgeFormat::writeBridgeMessage(message, bytes(first));
    QCOMPARE(queued, QByteArray::fromHex("a0a011223344556677889900"));
    QCOMPARE(message, QByteArray::fromHex("a0a000f00102030405060708"));
}

void tst_BridgeFormat::controlReport_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("report");

    const auto row = [](const char *name, const char *datagram, const char *report) {
        QTest::newRow(name) << QByteArray::fromHex(datagram) << QByteArray::fromHex(report);
    };
    row("empty", "", "0000000000000000000000");
    row("1 byte", "a0", "0000000000000000000000");
    row("bare marker", "a0a0", "0000000000000000000000");
    row("3 bytes", "a0a04b", "004b000000000000000000");
    row("11 bytes", "a0a0010203040506070809", "0001020304050607080900");
    row("12 bytes", "a0a00102030405060708090a", "000102030405060708090a");
    row("14 bytes", "a0a00102030405060708090a0b0c", "000102030405060708090a");
}

void tst_BridgeFormat::controlReport()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, report);
    QCOMPARE(toBytes(BridgeFormat::controlReport(datagram)), report);
}

void tst_BridgeFormat::ledsOffReport()
{
    QCOMPARE(toBytes(BridgeFormat::ledsOffReport()), QByteArray::fromHex("000402ff00"));
}

void tst_BridgeFormat::portFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");

    QTest::newRow("default listen") << "18153" << 18153;
    QTest::newRow("largest port") << "65535" << 65535;
    QTest::newRow("65536 wraps to 0") << "65536" << 0;
    QTest::newRow("70000 wraps to 4464") << "70000" << 4464;
    QTest::newRow("-1 wraps to 65535") << "-1" << 65535;
    QTest::newRow("largest int") << "2147483647" << 65535;
    QTest::newRow("beyond int is not a number") << "2147483648" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("trailing letters") << "18153x" << 0;
    QTest::newRow("hex prefix") << "0x10" << 0;
    QTest::newRow("decimal point") << "18153.0" << 0;
    QTest::newRow("group separator") << "18,153" << 0;
    QTest::newRow("leading zeros are decimal") << "010" << 10;
    QTest::newRow("plus sign, blanks around") << " +42 " << 42;
}

void tst_BridgeFormat::portFromText()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    QCOMPARE(int(BridgeFormat::portFromText(text)), port);
}

void tst_BridgeFormat::nextCount_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("next");

    QTest::newRow("0") << 0 << 1;
    QTest::newRow("-1 to 0") << -1 << 0;
    QTest::newRow("one below largest") << INT_MAX - 1 << INT_MAX;
    QTest::newRow("largest wraps to smallest") << INT_MAX << INT_MIN;
    QTest::newRow("smallest") << INT_MIN << INT_MIN + 1;
}

void tst_BridgeFormat::nextCount()
{
    QFETCH(int, count);
    QFETCH(int, next);
    QCOMPARE(BridgeFormat::nextCount(count), next);
}

QTEST_APPLESS_MAIN(tst_BridgeFormat)
#include "tst_bridgeformat.moc"
