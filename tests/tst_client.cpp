// tavrel-client against the real window: it registers, prints what the bridge sends, its
// payload reaches the device, and it ends with the documented exit codes.
#include "bridgetest.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

using namespace BridgeTest;

class tst_Client : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { settingsPath(); }

    void bridged()
    {
        std::array<quint16, 3> numbers; // free on 127.0.0.2, where the tool binds them
        {
            Client probe("127.0.0.2");
            numbers = probe.ports();
        }
        FakeHid::reset();
        FakeHid::plug();
        Bridge bridge(numbers);
        bridge.click("START");
        QProcess tool;
        tool.start(TAVREL_CLIENT,
            {"--listen-port", QString::number(bridge.listenPort), "--bind", "127.0.0.2",
                "--metering", QString::number(numbers[0]), "--config", QString::number(numbers[1]),
                "--custom", QString::number(numbers[2]), "--interval", "100", "--count", "3",
                "--timeout", "5000", "--send", "0a0b0c"});
        QTRY_COMPARE(bridge.counters(), "0 1 1");
        QCOMPARE(FakeHid::writtenReports(), {hex("000a0b0c000000000000000000").left(11)});
        FakeHid::queueInput(hex("00112233445566778899"));
        bridge.poll();
        QVERIFY(tool.waitForFinished(5000));
        QCOMPARE(tool.exitCode(), 0);
        QStringList lines
            = QString::fromLatin1(tool.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        lines.sort();
        QStringList expected;
        for (quint16 port : numbers)
            expected
                << QStringLiteral("port=%1 data=a0a000112233445566778899 metering=no").arg(port);
        expected.sort();
        QCOMPARE(lines, expected);
    }

    void exitCodes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("terminate");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("error"); // the last line
        const QString listening
            = QStringLiteral("tavrel-client: receiving on 127.0.0.5 ports 18150 "
                             "18151 18152, bridge 127.0.0.1 port 18153");
        QTest::newRow("terminated") << QStringList() << true << 0 << listening;
        QTest::newRow("count not reached")
            << QStringList({"--count", "1", "--timeout", "200"}) << false << 1
            << "tavrel-client: timed out after 0 of 1 messages";
        QTest::newRow("bad port") << QStringList({"--listen-port", "0"}) << false << 2
                                  << "tavrel-client: --listen-port wants a whole number from 1 to "
                                     "65535, not \"0\" (see --help)";
    }
    void exitCodes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, terminate);
        QFETCH(int, code);
        QFETCH(QString, error);
        QProcess tool;
        tool.start(TAVREL_CLIENT, QStringList({"--bind", "127.0.0.5"}) + arguments);
        QVERIFY(tool.waitForStarted(5000));
        if (terminate) {
            QTest::qWait(300);
            tool.terminate();
        }
        QVERIFY(tool.waitForFinished(5000));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), code);
        QCOMPARE(
            QString::fromLocal8Bit(tool.readAllStandardError()).trimmed().section('\n', -1), error);
    }
};

QTEST_MAIN(tst_Client)
#include "tst_client.moc"
