#include "fakehidapi.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

// tavrel-client against the real bridge window and the simulated device, over loopback.
// The client binds 127.0.0.2, so the bridge sees it at an address of its own.
class tst_Client : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void bothDirections();
    void keepAliveInterval_data();
    void keepAliveInterval();
    void ending_data();
    void ending();
    void badCommandLine_data();
    void badCommandLine();
    void portTaken();

private:
    QStringList clientPorts() const;
    void startBridge();
    void startClient(const QStringList &extra);
    int keepAlivesSeen() const;

    const QHostAddress clientAddress {QStringLiteral("127.0.0.2")};
    quint16 listenPort = 0;
    quint16 meteringPort = 0;
    quint16 configPort = 0;
    quint16 customPort = 0;
    MainWindow *window = nullptr;
    QProcess *client = nullptr;
    TestSupport::DebugCapture *debug = nullptr;
};

namespace {

// Ports that were free a moment ago, all distinct.
QList<quint16> freePorts(const QHostAddress &address, int count)
{
    QList<QUdpSocket *> probes;
    QList<quint16> ports;
    for (int i = 0; i < count; ++i) {
        auto *probe = new QUdpSocket;
        probe->bind(address, 0);
        ports.append(probe->localPort());
        probes.append(probe);
    }
    qDeleteAll(probes);
    return ports;
}

// Keeps the event loop turning (the bridge lives in this process) until the client is gone.
#define WAIT_FOR_EXIT() QTRY_COMPARE_WITH_TIMEOUT(client->state(), QProcess::NotRunning, 10000)

QStringList sortedLines(const QByteArray &output)
{
    QStringList lines = QString::fromLatin1(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}

} // namespace

void tst_Client::initTestCase()
{
    TestSupport::isolateSettings();
    QVERIFY2(QFileInfo(QStringLiteral(TAVREL_CLIENT_PATH)).isExecutable(), TAVREL_CLIENT_PATH);
    QUdpSocket check;
    if (!check.bind(clientAddress, 0))
        QSKIP("127.0.0.2 is not a loopback address here");
}

void tst_Client::init()
{
    const QList<quint16> ports = freePorts(clientAddress, 4);
    listenPort = ports.at(0);
    meteringPort = ports.at(1);
    configPort = ports.at(2);
    customPort = ports.at(3);
    FakeHid::reset();
    debug = new TestSupport::DebugCapture;
    client = new QProcess;
}

void tst_Client::cleanup()
{
    if (client->state() != QProcess::NotRunning) {
        client->kill();
        client->waitForFinished(5000);
    }
    delete client;
    delete window;
    window = nullptr;
    delete debug;
}

QStringList tst_Client::clientPorts() const
{
    return {QStringLiteral("--bind"), clientAddress.toString(), QStringLiteral("--listen-port"),
        QString::number(listenPort), QStringLiteral("--metering"), QString::number(meteringPort),
        QStringLiteral("--config"), QString::number(configPort), QStringLiteral("--custom"),
        QString::number(customPort)};
}

void tst_Client::startBridge()
{
    FakeHid::plug();
    window = new MainWindow;
    window->findChild<QLineEdit *>("lineEdit_LISTEN")->setText(QString::number(listenPort));
    window->findChild<QLineEdit *>("lineEdit_METERING")->setText(QString::number(meteringPort));
    window->findChild<QLineEdit *>("lineEdit_CONFIGURATION")->setText(QString::number(configPort));
    window->findChild<QLineEdit *>("lineEdit_CUSTOM")->setText(QString::number(customPort));
    QTest::mouseClick(window->findChild<QPushButton *>("START"), Qt::LeftButton);
}

void tst_Client::startClient(const QStringList &extra)
{
    client->start(QStringLiteral(TAVREL_CLIENT_PATH), clientPorts() + extra);
    QVERIFY2(client->waitForStarted(5000), qPrintable(client->errorString()));
}

// The bridge's socket is dual-stack, so it may see the client as an IPv4-mapped address.
int tst_Client::keepAlivesSeen() const
{
    const QRegularExpression line(QStringLiteral(
        "^Keep Alive message from:  QHostAddress\\(\"(::ffff:)?127\\.0\\.0\\.2\"\\) : %1$")
                                      .arg(meteringPort));
    return TestSupport::DebugCapture::debugTexts().filter(line).size();
}

void tst_Client::bothDirections()
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
    const QStringList expected
        = sortedLines(QStringLiteral("port=%1 data=a0a000010203040506070809 metering=no\n"
                                     "port=%2 data=a0a000010203040506070809 metering=no\n"
                                     "port=%3 data=a0a000010203040506070809 metering=no\n"
                                     "port=%1 data=a0a000f00102030405060708 metering=yes\n")
                          .arg(meteringPort)
                          .arg(configPort)
                          .arg(customPort)
                          .toLatin1());
    QCOMPARE(sortedLines(client->readAllStandardOutput()), expected);
}

void tst_Client::keepAliveInterval_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("fewest");
    QTest::addColumn<int>("most");
    // The run lasts 1000 ms; the first keep-alive goes out at start.
    QTest::newRow("default 5000 ms") << QStringList() << 1 << 1;
    QTest::newRow("every 100 ms") << QStringList({"--interval", "100"}) << 5 << 11;
    QTest::newRow("none") << QStringList({"--interval", "0"}) << 0 << 0;
}

void tst_Client::keepAliveInterval()
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

void tst_Client::ending_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("signal"); // 0: none, the timeout ends it
    QTest::addColumn<int>("exitCode");
    QTest::newRow("SIGINT") << QStringList() << SIGINT << 0;
    QTest::newRow("SIGTERM") << QStringList() << SIGTERM << 0;
    QTest::newRow("timeout, no count") << QStringList({"--timeout", "200"}) << 0 << 0;
    QTest::newRow("timeout, count not reached")
        << QStringList({"--timeout", "200", "--count", "1"}) << 0 << 1;
}

void tst_Client::ending()
{
    QFETCH(QStringList, args);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    startClient(args);
    if (signal) {
        // Once the banner is out the signal handling is in place.
        QByteArray errors;
        QTRY_VERIFY_WITH_TIMEOUT(
            (errors += client->readAllStandardError()).contains("receiving on"), 5000);
        ::kill(static_cast<pid_t>(client->processId()), signal);
    }
    WAIT_FOR_EXIT();
    QCOMPARE(client->exitStatus(), QProcess::NormalExit);
    QCOMPARE(client->exitCode(), exitCode);
    QCOMPARE(client->readAllStandardOutput(), QByteArray());
}

void tst_Client::badCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("not hex") << QStringList({"--send", "0g"}) << "--send wants bytes in hex";
    QTest::newRow("odd digits") << QStringList({"--raw", "a0a"}) << "--raw wants bytes in hex";
    QTest::newRow("port 0") << QStringList({"--metering", "0"})
                            << "--metering wants a whole number";
    QTest::newRow("port too big") << QStringList({"--listen-port", "65536"})
                                  << "--listen-port wants a whole number";
    QTest::newRow("negative interval")
        << QStringList({"--interval", "-1"}) << "--interval wants a whole number";
    QTest::newRow("bind not an address") << QStringList({"--bind", "nowhere"}) << "--bind wants";
    QTest::newRow("unknown option") << QStringList({"--colour"}) << "Unknown option 'colour'";
    QTest::newRow("stray argument") << QStringList({"extra"}) << "unexpected argument \"extra\"";
}

void tst_Client::badCommandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    // Given after the usual ones, so they win over them.
    startClient(args);
    WAIT_FOR_EXIT();
    QCOMPARE(client->exitCode(), 2);
    const QString errors = QString::fromLocal8Bit(client->readAllStandardError());
    QVERIFY2(errors.contains(message), qPrintable(errors));
    QVERIFY2(!errors.contains("receiving on"), qPrintable(errors));
}

void tst_Client::portTaken()
{
    QUdpSocket holder;
    QVERIFY2(holder.bind(clientAddress, configPort), qPrintable(holder.errorString()));
    startClient({"--timeout", "5000"});
    WAIT_FOR_EXIT();
    QCOMPARE(client->exitCode(), 1);
    QVERIFY(client->readAllStandardError().contains(
        QStringLiteral("cannot receive on 127.0.0.2 port %1").arg(configPort).toLatin1()));
}

QTEST_MAIN(tst_Client)
#include "tst_client.moc"
