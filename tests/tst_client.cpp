#include "fakehidapi.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

// Keeps the event loop turning (the bridge lives in this process) until the client is gone.
#define WAIT_FOR_EXIT() QTRY_COMPARE_WITH_TIMEOUT(client->state(), QProcess::NotRunning, 10000)

// tavrel-client against the real bridge window and the simulated device, over loopback.
// The client binds 127.0.0.2, so the bridge sees it at an address of its own.
class tst_Client : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSupport::isolateSettings();
        QVERIFY2(QFileInfo(QStringLiteral(TAVREL_CLIENT_PATH)).isExecutable(), TAVREL_CLIENT_PATH);
        QUdpSocket check;
        if (!check.bind(clientAddress, 0))
            QSKIP("127.0.0.2 is not a loopback address here");
    }
    void init()
    {
        std::vector<std::unique_ptr<QUdpSocket>> probes;
        ports.clear();
        for (int i = Listen; i <= Custom; ++i) {
            probes.push_back(std::make_unique<QUdpSocket>());
            probes.back()->bind(clientAddress, 0);
            ports.append(probes.back()->localPort());
        }
        FakeHid::reset();
        debug = std::make_unique<TestSupport::DebugCapture>();
        client = std::make_unique<QProcess>();
    }
    void cleanup()
    {
        if (client->state() != QProcess::NotRunning) {
            client->kill();
            client->waitForFinished(5000);
        }
        client.reset();
        window.reset();
        debug.reset();
    }
    void bothDirections()
    {
        startBridge();
        startClient({"--interval", "60000", "--count", "4", "--timeout", "10000", "--send",
            "0102030405060708090a0b0c", "--raw", "a0a1ffff", "--raw", "a0 a0:4b"});
        // One keep-alive from the METERING port, then the payloads in command-line order: the
        // marked ones reach the device, the unmarked one is ignored.
        QTRY_COMPARE(FakeHid::writtenReports().size(), 2);
        QCOMPARE(FakeHid::writtenReports(),
            QList<QByteArray>({QByteArray::fromHex("000102030405060708090a"),
                QByteArray::fromHex("004b000000000000000000")}));
        QCOMPARE(keepAlivesSeen(), 1);
        QCOMPARE(window->findChild<QLineEdit *>("lineEdit_clients")->text(), QString("1"));
        QCOMPARE(window->findChild<QLineEdit *>("lineEdit_send")->text(), QString("2"));

        FakeHid::queueInput(QByteArray::fromHex("00010203040506070809"));
        FakeHid::queueInput(QByteArray::fromHex("00f00102030405060708"));
        WAIT_FOR_EXIT();
        QCOMPARE(client->exitStatus(), QProcess::NormalExit);
        QCOMPARE(client->exitCode(), 0);
        // Lines from different sockets may interleave in any order.
        QStringList expected;
        for (int i = Metering; i <= Custom; ++i)
            expected << QStringLiteral("port=%1 data=a0a000010203040506070809 metering=no")
                            .arg(ports[i]);
        expected << QStringLiteral("port=%1 data=a0a000f00102030405060708 metering=yes")
                        .arg(ports[Metering]);
        expected.sort();
        QStringList lines = QString::fromLatin1(client->readAllStandardOutput()).split('\n');
        lines.removeAll(QString());
        lines.sort();
        QCOMPARE(lines, expected);
    }
    void keepAliveInterval_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("fewest");
        QTest::addColumn<int>("most");
        // The run lasts 1000 ms; the first keep-alive goes out at start.
        QTest::newRow("default 5000 ms") << QStringList() << 1 << 1;
        QTest::newRow("every 100 ms") << QStringList({"--interval", "100"}) << 5 << 11;
        QTest::newRow("none") << QStringList({"--interval", "0"}) << 0 << 0;
    }
    void keepAliveInterval()
    {
        QFETCH(QStringList, args);
        QFETCH(int, fewest);
        QFETCH(int, most);
        startBridge();
        // A data datagram registers as well: with no keep-alives at all the client still counts.
        startClient(args + QStringList({"--timeout", "1000", "--send", "00"}));
        WAIT_FOR_EXIT();
        QCOMPARE(client->exitCode(), 0);
        QCOMPARE(window->findChild<QLineEdit *>("lineEdit_clients")->text(), QString("1"));
        QCOMPARE(FakeHid::writtenReports().size(), 1);
        const int seen = keepAlivesSeen();
        QVERIFY2(seen >= fewest && seen <= most, qPrintable(QString::number(seen)));
    }
    // How the client ends on its own, without a bridge: exit code and what it says on stderr.
    void ending_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("signal"); // 0: none
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message"); // on stderr
        const QString none;
        QTest::newRow("SIGINT") << QStringList() << SIGINT << 0 << none;
        QTest::newRow("SIGTERM") << QStringList() << SIGTERM << 0 << none;
        QTest::newRow("timeout, no count") << QStringList({"--timeout", "200"}) << 0 << 0 << none;
        QTest::newRow("timeout, count not reached")
            << QStringList({"--timeout", "200", "--count", "1"}) << 0 << 1 << none;
        QTest::newRow("CONFIG port taken") << QStringList({"--timeout", "5000"}) << 0 << 1
                                           << "cannot receive on 127.0.0.2 port %1";
        const auto bad = [](const char *name, const QStringList &args, const QString &message) {
            QTest::newRow(name) << args << 0 << 2 << message;
        };
        bad("not hex", {"--send", "0g"}, "--send wants bytes in hex");
        bad("odd digits", {"--raw", "a0a"}, "--raw wants bytes in hex");
        bad("port 0", {"--metering", "0"}, "--metering wants a whole number");
        bad("port too big", {"--listen-port", "65536"}, "--listen-port wants a whole number");
        bad("negative interval", {"--interval", "-1"}, "--interval wants a whole number");
        bad("bind not an address", {"--bind", "nowhere"}, "--bind wants");
        bad("unknown option", {"--colour"}, "Unknown option 'colour'");
        bad("stray argument", {"extra"}, "unexpected argument \"extra\"");
    }
    void ending()
    {
        QFETCH(QStringList, args);
        QFETCH(int, signal);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QUdpSocket holder;
        if (message.contains("%1")) {
            QVERIFY2(holder.bind(clientAddress, ports[Config]), qPrintable(holder.errorString()));
            message = message.arg(ports[Config]);
        }
        startClient(args);
        QByteArray errors;
        if (signal) {
            // Once the banner is out the signal handling is in place.
            QTRY_VERIFY_WITH_TIMEOUT(
                (errors += client->readAllStandardError()).contains("receiving on"), 5000);
            ::kill(static_cast<pid_t>(client->processId()), signal);
        }
        WAIT_FOR_EXIT();
        QCOMPARE(client->exitStatus(), QProcess::NormalExit);
        QCOMPARE(client->exitCode(), exitCode);
        QCOMPARE(client->readAllStandardOutput(), QByteArray());
        errors += client->readAllStandardError();
        QVERIFY2(errors.contains(message.toLocal8Bit()), errors.constData());
        if (exitCode == 2)
            QVERIFY2(!errors.contains("receiving on"), errors.constData());
    }

private:
    void startBridge()
    {
        FakeHid::plug();
        window = std::make_unique<MainWindow>();
        const char *fields[]
            = {"lineEdit_LISTEN", "lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"};
        for (int i = Listen; i <= Custom; ++i)
            window->findChild<QLineEdit *>(fields[i])->setText(QString::number(ports[i]));
        QTest::mouseClick(window->findChild<QPushButton *>("START"), Qt::LeftButton);
    }
    // Options given after these win over them.
    void startClient(const QStringList &extra)
    {
        const char *options[] = {"--listen-port", "--metering", "--config", "--custom"};
        QStringList args {QStringLiteral("--bind"), clientAddress.toString()};
        for (int i = Listen; i <= Custom; ++i)
            args << options[i] << QString::number(ports[i]);
        client->start(QStringLiteral(TAVREL_CLIENT_PATH), args + extra);
        QVERIFY2(client->waitForStarted(5000), qPrintable(client->errorString()));
    }
    // The bridge's socket is dual-stack, so it may see the client as an IPv4-mapped address.
    int keepAlivesSeen() const
    {
        const QRegularExpression line(QStringLiteral(
            "^Keep Alive message from:  QHostAddress\\(\"(::ffff:)?127\\.0\\.0\\.2\"\\) : %1$")
                                          .arg(ports[Metering]));
        return TestSupport::DebugCapture::debugTexts().filter(line).size();
    }

    const QHostAddress clientAddress {QStringLiteral("127.0.0.2")};
    enum { Listen, Metering, Config, Custom };
    QList<quint16> ports; // free a moment ago, all distinct
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QProcess> client;
    std::unique_ptr<TestSupport::DebugCapture> debug;
};

QTEST_MAIN(tst_Client)
#include "tst_client.moc"
