#include <hidapi.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>

// The preloadable simulated device, linked in here as a program would get it preloaded:
// this test makes the program's hidapi calls and drives the device through its control
// socket and its command, as a user or the desktop test does.
class tst_DeviceSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void commandReplies_data();
    void commandReplies();
    void plugUnplugAsTheProgramSeesIt();
    void rateFeedsAReaderAndStopEndsIt();
    void reportsWithoutAReaderAreLost();
    void aReaderFallingBehindIsCapped();
    void patternChangesAndMixesMetering();
    void watchSeesWritesToTheCurrentDevice();
    void commandLine_data();
    void commandLine();
    void commandLineWatchPrintsHex();

private:
    QString command(const QString &line);
    QByteArray readReport(int timeoutMs = 2000);

    QString socketPath;
    hid_device *handle = nullptr;
};

namespace {

const QByteArray Report = QByteArray::fromHex("0011223344556677889a");

QProcess *startCli(const QString &socketPath, const QStringList &arguments)
{
    auto *process = new QProcess;
    process->start(QStringLiteral(TAVREL_DEVICESIM_CLI),
        QStringList {QStringLiteral("--socket"), socketPath} + arguments);
    return process;
}

} // namespace

void tst_DeviceSim::initTestCase()
{
    socketPath = QString::fromLocal8Bit(qgetenv("TAVREL_DEVICESIM_SOCKET"));
    QVERIFY2(!socketPath.isEmpty(), "CTest sets TAVREL_DEVICESIM_SOCKET for this test");
    QLocalSocket probe;
    probe.connectToServer(socketPath);
    QVERIFY2(probe.waitForConnected(2000), qPrintable(probe.errorString()));
}

void tst_DeviceSim::init()
{
    QCOMPARE(command("stop"), QString("ok stopped"));
    QCOMPARE(command("unplug"), QString("ok unplugged"));
}

void tst_DeviceSim::cleanup()
{
    if (handle)
        hid_close(handle);
    handle = nullptr;
}

QString tst_DeviceSim::command(const QString &line)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(2000))
        return QStringLiteral("(not connected: %1)").arg(socket.errorString());
    socket.write(line.toUtf8() + '\n');
    QElapsedTimer timer;
    timer.start();
    while (!socket.canReadLine() && timer.elapsed() < 2000)
        socket.waitForReadyRead(100);
    return QString::fromUtf8(socket.readLine()).trimmed();
}

QByteArray tst_DeviceSim::readReport(int timeoutMs)
{
    unsigned char buffer[11];
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        const int length = hid_read(handle, buffer, sizeof buffer);
        if (length < 0)
            return QByteArray("failed");
        if (length > 0)
            return QByteArray(reinterpret_cast<const char *>(buffer), length);
        QTest::qWait(1);
    }
    return QByteArray();
}

void tst_DeviceSim::commandReplies_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("replyStart");

    QTest::newRow("status while unplugged") << "status"
                                            << "ok plugged=no handles=0";
    QTest::newRow("report, odd digits") << "report 001"
                                        << "error report:";
    QTest::newRow("report, not hex") << "report zz00"
                                     << "error report:";
    QTest::newRow("report, no bytes") << "report"
                                      << "error unknown command";
    QTest::newRow("report while unplugged") << "report 0011223344556677889a"
                                            << "error unplugged";
    QTest::newRow("rate of zero") << "rate 0 00"
                                  << "error rate:";
    QTest::newRow("rate above the poll") << "rate 1001 00"
                                         << "error rate:";
    QTest::newRow("rate not a number") << "rate nan 00"
                                       << "error rate:";
    QTest::newRow("rate, trailing text") << "rate 5x 00"
                                         << "error rate:";
    QTest::newRow("rate, bad report") << "rate 5 0g"
                                      << "error rate:";
    QTest::newRow("pattern, negative") << "pattern -1"
                                       << "error pattern:";
    QTest::newRow("pattern, two rates") << "pattern 5 6"
                                        << "error unknown command";
    QTest::newRow("plug with an argument") << "plug now"
                                           << "error unknown command";
    QTest::newRow("too many words") << "rate 5 00 11"
                                    << "error too many arguments";
    QTest::newRow("empty line") << ""
                                << "error unknown command";
    QTest::newRow("unknown") << "frobnicate"
                             << "error unknown command";
    QTest::newRow("pattern, default rate") << "pattern"
                                           << "ok pattern";
    QTest::newRow("rate, upper case hex") << "rate 1000 00FF"
                                          << "ok rate";
}

void tst_DeviceSim::commandReplies()
{
    QFETCH(QString, line);
    QFETCH(QString, replyStart);
    const QString reply = command(line);
    QVERIFY2(reply.startsWith(replyStart), qPrintable(reply));
}

void tst_DeviceSim::plugUnplugAsTheProgramSeesIt()
{
    QCOMPARE(hid_open(0x0805, 0x1404, nullptr), nullptr);
    QCOMPARE(command("plug"), QString("ok plugged"));
    QCOMPARE(hid_open(0x0805, 0x1405, nullptr), nullptr);
    handle = hid_open(0x0805, 0x1404, nullptr);
    QVERIFY(handle);
    QCOMPARE(hid_set_nonblocking(handle, 1), 0);
    QVERIFY2(command("status").startsWith("ok plugged=yes handles=1 pending=0"),
        qPrintable(command("status")));

    QCOMPARE(command("report " + Report.toHex()), QString("ok queued"));
    QCOMPARE(readReport(), Report);

    QCOMPARE(command("unplug"), QString("ok unplugged"));
    QCOMPARE(readReport(), QByteArray("failed"));
    QCOMPARE(command("plug"), QString("ok plugged"));
    QCOMPARE(readReport(), QByteArray("failed")); // a handle from before the unplug stays dead
}

void tst_DeviceSim::rateFeedsAReaderAndStopEndsIt()
{
    QCOMPARE(command("plug"), QString("ok plugged"));
    handle = hid_open(0x0805, 0x1404, nullptr);
    QVERIFY(handle);
    QCOMPARE(command("rate 200 " + Report.toHex()), QString("ok rate"));
    for (int i = 0; i < 20; ++i)
        QCOMPARE(readReport(), Report);
    QVERIFY(command("status").contains(" feeding=rate hz=200 report=" + Report.toHex()));

    QCOMPARE(command("stop"), QString("ok stopped"));
    while (!readReport(50).isEmpty()) { } // what was queued before the stop
    QCOMPARE(readReport(300), QByteArray());
    QVERIFY(command("status").contains(" feeding=none"));
}

void tst_DeviceSim::reportsWithoutAReaderAreLost()
{
    QCOMPARE(command("plug"), QString("ok plugged"));
    QCOMPARE(command("rate 500 " + Report.toHex()), QString("ok rate"));
    QTest::qWait(200);
    const QString status = command("status");
    QVERIFY2(status.contains(" pending=0 ") && status.contains(" fed=0 ")
            && !status.contains(" dropped=0 "),
        qPrintable(status));
    QCOMPARE(command("stop"), QString("ok stopped"));
    handle = hid_open(0x0805, 0x1404, nullptr);
    QVERIFY(handle);
    QCOMPARE(readReport(100), QByteArray()); // no backlog from before the program opened it
}

void tst_DeviceSim::aReaderFallingBehindIsCapped()
{
    QCOMPARE(command("plug"), QString("ok plugged"));
    handle = hid_open(0x0805, 0x1404, nullptr);
    QVERIFY(handle);
    QCOMPARE(command("rate 1000 " + Report.toHex()), QString("ok rate"));
    // 64 reports, as a hidraw node keeps; the rest is dropped.
    QTRY_VERIFY_WITH_TIMEOUT(command("status").contains(" pending=64 "), 3000);
    QTest::qWait(100);
    const QString status = command("status");
    QVERIFY2(
        status.contains(" pending=64 ") && !status.contains(" dropped=0 "), qPrintable(status));
}

void tst_DeviceSim::patternChangesAndMixesMetering()
{
    QCOMPARE(command("plug"), QString("ok plugged"));
    handle = hid_open(0x0805, 0x1404, nullptr);
    QVERIFY(handle);
    QCOMPARE(command("pattern 100"), QString("ok pattern"));
    QList<QByteArray> reports;
    for (int i = 0; i < 8; ++i)
        reports.append(readReport());
    int metering = 0;
    for (int i = 0; i < reports.size(); ++i) {
        QCOMPARE(reports[i].size(), 10); // the bridge forwards exactly 10-byte reports
        if (static_cast<unsigned char>(reports[i][1]) == 0xF0)
            ++metering;
        if (i > 0)
            QVERIFY2(reports[i] != reports[i - 1], reports[i].toHex().constData());
    }
    QVERIFY2(metering > 0 && metering < reports.size(), qPrintable(QString::number(metering)));
}

void tst_DeviceSim::watchSeesWritesToTheCurrentDevice()
{
    QLocalSocket watcher;
    watcher.connectToServer(socketPath);
    QVERIFY(watcher.waitForConnected(2000));
    watcher.write("watch\n");
    QTRY_VERIFY_WITH_TIMEOUT(watcher.canReadLine(), 2000);
    QCOMPARE(watcher.readLine(), QByteArray("ok watching\n"));

    QCOMPARE(command("plug"), QString("ok plugged"));
    handle = hid_open(0x0805, 0x1404, nullptr);
    QVERIFY(handle);
    const unsigned char first[] = {0x00, 0x01, 0x02, 0xfe, 0xff};
    QCOMPARE(hid_write(handle, first, sizeof first), 5);
    QTRY_VERIFY_WITH_TIMEOUT(watcher.canReadLine(), 2000);
    QCOMPARE(watcher.readLine(), QByteArray("write 000102feff\n"));

    QCOMPARE(command("unplug"), QString("ok unplugged"));
    const unsigned char lost[] = {0x0a};
    QCOMPARE(hid_write(handle, lost, sizeof lost), -1);
    QCOMPARE(command("plug"), QString("ok plugged"));
    hid_close(handle);
    handle = hid_open(0x0805, 0x1404, nullptr);
    const unsigned char second[] = {0x00, 0x0b};
    QCOMPARE(hid_write(handle, second, sizeof second), 2);
    QTRY_VERIFY_WITH_TIMEOUT(watcher.canReadLine(), 2000);
    QCOMPARE(watcher.readLine(), QByteArray("write 000b\n")); // nothing of the dead handle's
    QVERIFY(command("status").contains(" watchers=1"));
}

void tst_DeviceSim::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("ownSocket");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdoutStart");
    QTest::addColumn<QString>("stderrPart");

    QTest::newRow("status") << QStringList {"status"} << true << 0 << "plugged=no handles=0"
                            << "";
    QTest::newRow("plug") << QStringList {"plug"} << true << 0 << "plugged"
                          << "";
    QTest::newRow("refused report") << QStringList {"report", "zz"} << true << 1 << ""
                                    << "expected hex bytes";
    QTest::newRow("no command") << QStringList {} << true << 2 << ""
                                << "no command";
    QTest::newRow("unknown option") << QStringList {"--frob", "status"} << true << 2 << ""
                                    << "unknown option --frob";
    QTest::newRow("nobody there") << QStringList {"status"} << false << 3 << ""
                                  << "no simulated device at";
}

void tst_DeviceSim::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, ownSocket);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutStart);
    QFETCH(QString, stderrPart);

    const QString path = ownSocket ? socketPath : socketPath + QStringLiteral(".absent");
    QScopedPointer<QProcess> cli(startCli(path, arguments));
    QVERIFY2(cli->waitForFinished(5000), "the command did not end");
    const QString out = QString::fromUtf8(cli->readAllStandardOutput());
    const QString err = QString::fromUtf8(cli->readAllStandardError());
    QCOMPARE(cli->exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli->exitCode() == exitCode, qPrintable(out + err));
    // Nothing on standard output when no output is expected.
    QVERIFY2(stdoutStart.isEmpty() ? out.isEmpty() : out.startsWith(stdoutStart), qPrintable(out));
    QVERIFY2(err.contains(stderrPart), qPrintable(err));
}

void tst_DeviceSim::commandLineWatchPrintsHex()
{
    QScopedPointer<QProcess> cli(startCli(socketPath, {"watch"}));
    QVERIFY(cli->waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(command("status").contains(" watchers=1"), 5000);
    QCOMPARE(command("plug"), QString("ok plugged"));
    handle = hid_open(0x0805, 0x1404, nullptr);
    QVERIFY(handle);
    const unsigned char report[]
        = {0x00, 0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18, 0x29, 0x3a};
    QCOMPARE(hid_write(handle, report, sizeof report), 11);
    QTRY_VERIFY_WITH_TIMEOUT(cli->canReadLine(), 3000);
    QCOMPARE(cli->readLine(), QByteArray("00a1b2c3d4e5f60718293a\n"));
    cli->terminate();
    QVERIFY(cli->waitForFinished(3000));
}

QTEST_MAIN(tst_DeviceSim)
#include "tst_devicesim.moc"
