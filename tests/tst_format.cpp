// The byte layouts on both sides of the bridge, the port texts and the counters.
#include "bridgeformat.h"

#include <QtTest>

#include <climits>

using namespace BridgeFormat;

namespace {
QByteArray bytes(const ControlReport &report)
{
    return QByteArray(reinterpret_cast<const char *>(report.data()), int(report.size()));
}
} // namespace

class tst_Format : public QObject
{
    Q_OBJECT

private slots:
    void datagram_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("marked");
        QTest::addColumn<bool>("keepAlive");
        QTest::addColumn<QByteArray>("report"); // the control report, in hex
        const auto row = [](const char *name, const char *in, bool marked, bool keepAlive,
                             const char *report) {
            QTest::newRow(name) << QByteArray::fromHex(in) << marked << keepAlive
                                << QByteArray(report);
        };
        row("full", "a0a00102030405060708090a", true, false, "000102030405060708090a");
        row("short", "a0a0ff", true, false, "00ff000000000000000000");
        row("long", "a0a00102030405060708090a0b0c", true, false, "000102030405060708090a");
        row("marker only", "a0a0", true, false, "0000000000000000000000");
        row("keep-alive", "a0a04b41", true, true, "004b4100000000000000");
        row("keep-alive and more", "a0a04b41ff", true, true, "004b41ff000000000000");
        row("half a keep-alive", "a0a04b", true, false, "004b0000000000000000");
        row("K without A", "a0a04b42", true, false, "004b42");
        row("one marker byte", "a0", false, false, "0000000000000000000000");
        row("second byte off", "a0a14b41", false, false, "004b4100000000000000");
        row("first byte off", "a1a04b41", false, false, "004b4100000000000000");
        row("empty", "", false, false, "0000000000000000000000");
    }
    void datagram()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, marked);
        QFETCH(bool, keepAlive);
        QFETCH(QByteArray, report);
        QCOMPARE(hasMarker(datagram), marked);
        QCOMPARE(isKeepAlive(datagram), keepAlive);
        QCOMPARE(bytes(controlReport(datagram)).toHex(), report.leftJustified(22, '0'));
    }

    void bridgeMessage_data()
    {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<bool>("metering");
        QTest::newRow("plain") << QByteArray::fromHex("00010203040506070809") << false;
        QTest::newRow("metering") << QByteArray::fromHex("01f00203040506070809") << true;
        QTest::newRow("F0 elsewhere") << QByteArray::fromHex("f000f0f0f0f0f0f0f0f0") << false;
    }
    void bridgeMessage()
    {
        QFETCH(QByteArray, report);
        QFETCH(bool, metering);
        QByteArray message("left over from a longer message");
        writeBridgeMessage(message, reinterpret_cast<const unsigned char *>(report.constData()));
        QCOMPARE(message, QByteArray::fromHex("a0a0") + report);
        QCOMPARE(isMetering(message), metering);
        QCOMPARE(isMetering(message.left(4)), metering);
        QVERIFY(!isMetering(message.left(3)));
    }

    void portText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("default") << "18153" << 18153;
        QTest::newRow("blanks") << " 80 " << 80;
        QTest::newRow("highest") << "65535" << 65535;
        QTest::newRow("wraps") << "65537" << 1;
        QTest::newRow("negative") << "-1" << 65535;
        QTest::newRow("hex is not read") << "0x50" << 0;
        QTest::newRow("beyond int") << "99999999999" << 0;
        QTest::newRow("empty") << "" << 0;
    }
    void portText()
    {
        QFETCH(QString, text);
        QFETCH(int, port);
        QCOMPARE(int(portFromText(text)), port);
    }

    void counting()
    {
        QCOMPARE(nextCount(0), 1);
        QCOMPARE(nextCount(-1), 0);
        QCOMPARE(nextCount(INT_MAX - 1), INT_MAX);
        QCOMPARE(nextCount(INT_MAX), INT_MIN);
    }
};

QTEST_APPLESS_MAIN(tst_Format)
#include "tst_format.moc"
