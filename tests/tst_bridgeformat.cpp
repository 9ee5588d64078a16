#include "bridgeformat.h"

#include <QtTest>

#include <climits>

// The byte layouts without a window: literal hex in, literal hex out.
class tst_BridgeFormat : public QObject
{
    Q_OBJECT

private slots:
    void hasMarker_data();
    void hasMarker();
    void isKeepAlive_data();
    void isKeepAlive();
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

QByteArray toBytes(const BridgeFormat::ControlReport &report)
{
    return QByteArray(reinterpret_cast<const char *>(report.data()), int(report.size()));
}

} // namespace

void tst_BridgeFormat::hasMarker_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("marked");

    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("one marker byte") << QByteArray::fromHex("a0") << false;
    QTest::newRow("bare marker") << QByteArray::fromHex("a0a0") << true;
    QTest::newRow("keep-alive") << QByteArray::fromHex("a0a04b41") << true;
    QTest::newRow("14 bytes") << QByteArray::fromHex("a0a00102030405060708090a0b0c") << true;
    QTest::newRow("a0 a1") << QByteArray::fromHex("a0a14b41") << false;
    QTest::newRow("a1 a0") << QByteArray::fromHex("a1a04b41") << false;
    QTest::newRow("marker one byte late") << QByteArray::fromHex("00a0a0") << false;
    QTest::newRow("zeros") << QByteArray::fromHex("00000000") << false;
}

void tst_BridgeFormat::hasMarker()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, marked);
    QCOMPARE(BridgeFormat::hasMarker(datagram), marked);
}

void tst_BridgeFormat::isKeepAlive_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("keepAlive");

    QTest::newRow("A0 A0 K A") << QByteArray::fromHex("a0a04b41") << true;
    QTest::newRow("trailing bytes ignored") << QByteArray::fromHex("a0a04b41ffee") << true;
    QTest::newRow("3 bytes A0 A0 K") << QByteArray::fromHex("a0a04b") << false;
    QTest::newRow("bare marker") << QByteArray::fromHex("a0a0") << false;
    QTest::newRow("A0 A1 K A") << QByteArray::fromHex("a0a14b41") << false;
    QTest::newRow("K A without marker") << QByteArray::fromHex("4b41") << false;
    QTest::newRow("lower case k a") << QByteArray::fromHex("a0a06b61") << false;
    QTest::newRow("A K swapped") << QByteArray::fromHex("a0a0414b") << false;
    QTest::newRow("K then B") << QByteArray::fromHex("a0a04b42") << false;
    QTest::newRow("K A one byte late") << QByteArray::fromHex("a0a0004b41") << false;
}

void tst_BridgeFormat::isKeepAlive()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, keepAlive);
    QCOMPARE(BridgeFormat::isKeepAlive(datagram), keepAlive);
}

void tst_BridgeFormat::bridgeMessage_data()
{
    QTest::addColumn<QByteArray>("inputReport");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("metering");

    QTest::newRow("metering example") << QByteArray::fromHex("00f00102030405060708")
                                      << QByteArray::fromHex("a0a000f00102030405060708") << true;
    QTest::newRow("ascending") << QByteArray::fromHex("00010203040506070809")
                               << QByteArray::fromHex("a0a000010203040506070809") << false;
    QTest::newRow("all zero") << QByteArray::fromHex("00000000000000000000")
                              << QByteArray::fromHex("a0a000000000000000000000") << false;
    QTest::newRow("all ff") << QByteArray::fromHex("ffffffffffffffffffff")
                            << QByteArray::fromHex("a0a0ffffffffffffffffffff") << false;
    QTest::newRow("f0 in byte 0 only") << QByteArray::fromHex("f0000000000000000000")
                                       << QByteArray::fromHex("a0a0f0000000000000000000") << false;
    QTest::newRow("f0 in byte 2 only") << QByteArray::fromHex("0000f000000000000000")
                                       << QByteArray::fromHex("a0a00000f000000000000000") << false;
    QTest::newRow("f1 in byte 1") << QByteArray::fromHex("00f10000000000000000")
                                  << QByteArray::fromHex("a0a000f10000000000000000") << false;
    QTest::newRow("f0 and marker bytes") << QByteArray::fromHex("a0f0a0a0a0a0a0a0a0a0")
                                         << QByteArray::fromHex("a0a0a0f0a0a0a0a0a0a0a0a0") << true;
}

void tst_BridgeFormat::bridgeMessage()
{
    QFETCH(QByteArray, inputReport);
    QFETCH(QByteArray, message);
    QFETCH(bool, metering);
    QCOMPARE(inputReport.size(), 10);

    QByteArray built;
    BridgeFormat::writeBridgeMessage(
        built, reinterpret_cast<const unsigned char *>(inputReport.constData()));
    QCOMPARE(built, message);
    QCOMPARE(BridgeFormat::isMetering(built), metering);

    // A buffer that already held another message is overwritten in full.
    QByteArray reused = QByteArray::fromHex("a0a055555555555555555555");
    BridgeFormat::writeBridgeMessage(
        reused, reinterpret_cast<const unsigned char *>(inputReport.constData()));
    QCOMPARE(reused, message);
}

void tst_BridgeFormat::bridgeMessageReusesItsBuffer()
{
    const QByteArray first = QByteArray::fromHex("00f00102030405060708");
    const QByteArray second = QByteArray::fromHex("11223344556677889900");
    const auto bytes = [](const QByteArray &report) {
        return reinterpret_cast<const unsigned char *>(report.constData());
    };

    QByteArray message;
    BridgeFormat::writeBridgeMessage(message, bytes(first));
    const char *storage = message.constData();
    const int capacity = message.capacity();
    for (const QByteArray &report : {second, first, second}) {
        BridgeFormat::writeBridgeMessage(message, bytes(report));
        QCOMPARE(message.constData(), storage);
        QCOMPARE(message.capacity(), capacity);
        QCOMPARE(message.size(), 12);
    }
    QCOMPARE(message, QByteArray::fromHex("a0a011223344556677889900"));

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

    QTest::newRow("empty") << QByteArray() << QByteArray::fromHex("0000000000000000000000");
    QTest::newRow("1 byte") << QByteArray::fromHex("a0")
                            << QByteArray::fromHex("0000000000000000000000");
    QTest::newRow("2 bytes, bare marker")
        << QByteArray::fromHex("a0a0") << QByteArray::fromHex("0000000000000000000000");
    QTest::newRow("3 bytes A0 A0 4B")
        << QByteArray::fromHex("a0a04b") << QByteArray::fromHex("004b000000000000000000");
    QTest::newRow("4 bytes") << QByteArray::fromHex("a0a01122")
                             << QByteArray::fromHex("0011220000000000000000");
    QTest::newRow("11 bytes") << QByteArray::fromHex("a0a0010203040506070809")
                              << QByteArray::fromHex("0001020304050607080900");
    QTest::newRow("12 bytes") << QByteArray::fromHex("a0a00102030405060708090a")
                              << QByteArray::fromHex("000102030405060708090a");
    QTest::newRow("14 bytes") << QByteArray::fromHex("a0a00102030405060708090a0b0c")
                              << QByteArray::fromHex("000102030405060708090a");
    QTest::newRow("40 bytes") << QByteArray::fromHex(
        "a0a0f1f2f3f4f5f6f7f8f9fa"
        "ffffffffffffffffffffffffffffffffffffffffffffffffffffff")
                              << QByteArray::fromHex("00f1f2f3f4f5f6f7f8f9fa");
    QTest::newRow("zero payload, last byte set") << QByteArray::fromHex("a0a0000000000000000000ff")
                                                 << QByteArray::fromHex("00000000000000000000ff");
}

void tst_BridgeFormat::controlReport()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, report);
    QCOMPARE(report.size(), 11);
    QCOMPARE(toBytes(BridgeFormat::controlReport(datagram)), report);
}

void tst_BridgeFormat::ledsOffReport()
{
    const BridgeFormat::LedsOffReport report = BridgeFormat::ledsOffReport();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(report.data()), int(report.size())),
        QByteArray::fromHex("000402ff00"));
}

void tst_BridgeFormat::portFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");

    QTest::newRow("default listen") << "18153" << 18153;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("largest port") << "65535" << 65535;
    QTest::newRow("65536 wraps to 0") << "65536" << 0;
    QTest::newRow("70000 wraps to 4464") << "70000" << 4464;
    QTest::newRow("-1 wraps to 65535") << "-1" << 65535;
    QTest::newRow("-65536 wraps to 0") << "-65536" << 0;
    QTest::newRow("largest int") << "2147483647" << 65535;
    QTest::newRow("smallest int") << "-2147483648" << 0;
    QTest::newRow("beyond int is not a number") << "2147483648" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("trailing letters") << "18153x" << 0;
    QTest::newRow("hex prefix") << "0x10" << 0;
    QTest::newRow("decimal point") << "18153.0" << 0;
    QTest::newRow("leading zeros are decimal") << "010" << 10;
    QTest::newRow("plus sign") << "+42" << 42;
    QTest::newRow("leading blank") << " 42" << 42;
    QTest::newRow("trailing blank") << "42 " << 42;
    QTest::newRow("blank inside") << "4 2" << 0;
    QTest::newRow("group separator") << "18,153" << 0;
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
    QTest::newRow("41") << 41 << 42;
    QTest::newRow("-1 to 0") << -1 << 0;
    QTest::newRow("largest wraps to smallest") << INT_MAX << INT_MIN;
    QTest::newRow("smallest") << INT_MIN << INT_MIN + 1;
    QTest::newRow("one below largest") << INT_MAX - 1 << INT_MAX;
}

void tst_BridgeFormat::nextCount()
{
    QFETCH(int, count);
    QFETCH(int, next);
    QCOMPARE(BridgeFormat::nextCount(count), next);
}

QTEST_APPLESS_MAIN(tst_BridgeFormat)
#include "tst_bridgeformat.moc"
