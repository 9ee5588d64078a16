#include "fakehidapi.h"
#include "testsupport.h"
#include "windowprobe.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QtTest>

// The device side of the bridge: the 1 ms poll, what each read result leads to, device loss
// and the LEDs-off report.
class tst_DeviceLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void oneReadPerTick();
    void tickWithoutReport();
    void reportReachesClient();
    void otherLengthsDropped_data();
    void otherLengthsDropped();
    void failedRead_data();
    void failedRead();
    void ledsOff_data();
    void ledsOff();
};

namespace {

// Running, but with the poll timer held so that the test makes every tick itself.
class Bridge : public WindowProbe
{
public:
    bool startHeld()
    {
        start();
        if (!polling())
            return false;
        pollTimer()->stop();
        FakeHid::clearCalls();
        return true;
    }
    void tick() { QMetaObject::invokeMethod(&window, "hid_receive_timer"); }
    // Lets the timer run again so that Stop finds the bridge running and closes the device.
    void release()
    {
        pollTimer()->start();
        stop();
    }
    bool trayGray() { return trayShows(GrayIcon); }
};

// What the window shows at the moment a reset writes its line.
struct Moment
{
    QStringList calls;
    bool polling;
    QString status;
    QString statusStyle;
    QString clients;
    bool trayGray;
};

Bridge *watched = nullptr;
QList<Moment> moments;
QtMessageHandler chained = nullptr;

void recordMoment(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (watched && type == QtDebugMsg && text == QLatin1String("disconnecting... ")) {
        moments.append({FakeHid::callLog(), watched->polling(), watched->status()->text(),
            watched->status()->styleSheet(), watched->text("lineEdit_clients"),
            watched->trayGray()});
    }
    if (chained)
        chained(type, context, text);
}

QStringList reads(int count)
{
    QStringList calls;
    for (int i = 0; i < count; ++i)
        calls.append(QStringLiteral("hid_read 11"));
    return calls;
}

QStringList withoutReads(QStringList calls)
{
    calls.removeAll(QStringLiteral("hid_read 11"));
    return calls;
}

} // namespace

void tst_DeviceLink::initTestCase()
{
    TestSupport::isolateSettings();
}

void tst_DeviceLink::init()
{
    QFile::remove(TestSupport::settingsFile());
    FakeHid::reset();
    FakeHid::plug();
}

void tst_DeviceLink::oneReadPerTick()
{
    Bridge bridge;
    QVERIFY(bridge.startHeld());
    QSignalSpy ready(&bridge.window, &MainWindow::readyUdp);
    QVERIFY(ready.isValid());
    for (int i = 0; i < 3; ++i)
        FakeHid::queueInput(QByteArray::fromHex("00010203040506070809"));

    // Reports that came faster wait for later ticks: one read, one report per tick.
    bridge.tick();
    QCOMPARE(FakeHid::callLog(), QStringList({"hid_read 11"}));
    QCOMPARE(FakeHid::pendingInput(), std::size_t(2));
    QCOMPARE(ready.count(), 1);
    QCOMPARE(bridge.text("lineEdit_received"), QStringLiteral("1"));

    for (int i = 0; i < 4; ++i)
        bridge.tick();
    QCOMPARE(FakeHid::callLog(), reads(5));
    QCOMPARE(FakeHid::pendingInput(), std::size_t(0));
    QCOMPARE(ready.count(), 3);
    QCOMPARE(bridge.text("lineEdit_received"), QStringLiteral("3"));
    bridge.release();
}

void tst_DeviceLink::tickWithoutReport()
{
    Bridge bridge;
    QVERIFY(bridge.startHeld());
    QSignalSpy ready(&bridge.window, &MainWindow::readyUdp);
    QVERIFY(ready.isValid());
    TestSupport::DebugCapture capture;

    bridge.tick();
    bridge.tick();
    QCOMPARE(FakeHid::callLog(), reads(2));
    QCOMPARE(ready.count(), 0);
    QCOMPARE(bridge.text("lineEdit_received"), QStringLiteral("0"));
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    QCOMPARE(TestSupport::DebugCapture::debugTexts(), QStringList());
    bridge.release();
}

void tst_DeviceLink::reportReachesClient()
{
    Bridge bridge;
    QVERIFY(bridge.startHeld());
    QSignalSpy ready(&bridge.window, &MainWindow::readyUdp);
    QVERIFY(ready.isValid());
    QUdpSocket client;
    QVERIFY2(bridge.addClient(client), qPrintable(client.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_clients"), QStringLiteral("1"), 5000);
    bridge.field("lineEdit_METERING")->setText(QString::number(client.localPort()));

    // Metering reports go to METERING only: one datagram per report, built afresh each time.
    const QList<QByteArray> reports {
        QByteArray::fromHex("00f00102030405060708"), QByteArray::fromHex("fff0fefdfcfbfaf9f8f7")};
    const QList<QByteArray> messages {QByteArray::fromHex("a0a000f00102030405060708"),
        QByteArray::fromHex("a0a0fff0fefdfcfbfaf9f8f7")};
    for (int i = 0; i < reports.size(); ++i) {
        FakeHid::queueInput(reports.at(i));
        bridge.tick();
        QCOMPARE(ready.count(), i + 1);
        QCOMPARE(bridge.text("lineEdit_received"), QString::number(i + 1));
        QTRY_VERIFY_WITH_TIMEOUT(client.hasPendingDatagrams(), 5000);
        QCOMPARE(client.receiveDatagram().data(), messages.at(i));
    }
    bridge.release();
}

void tst_DeviceLink::otherLengthsDropped_data()
{
    QTest::addColumn<int>("length");
    for (int length = 0; length <= 64; ++length) {
        if (length != 10)
            QTest::addRow("%d bytes", length) << length;
    }
}

void tst_DeviceLink::otherLengthsDropped()
{
    QFETCH(int, length);
    Bridge bridge;
    QVERIFY(bridge.startHeld());
    QSignalSpy ready(&bridge.window, &MainWindow::readyUdp);
    QVERIFY(ready.isValid());
    QByteArray report(length, '\0');
    for (int i = 0; i < length; ++i)
        report[i] = char(i + 1);
    FakeHid::queueInput(report);

    bridge.tick();
    QCOMPARE(FakeHid::callLog(), QStringList({"hid_read 11"}));
    QCOMPARE(FakeHid::pendingInput(), std::size_t(0));
    QCOMPARE(ready.count(), 0);
    QCOMPARE(bridge.text("lineEdit_received"), QStringLiteral("0"));
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));

    // The next 10-byte report still passes.
    FakeHid::queueInput(QByteArray::fromHex("00010203040506070809"));
    bridge.tick();
    QCOMPARE(ready.count(), 1);
    bridge.release();
}

void tst_DeviceLink::failedRead_data()
{
    QTest::addColumn<bool>("unplug");
    QTest::newRow("read fails") << false;
    QTest::newRow("device unplugged") << true;
}

void tst_DeviceLink::failedRead()
{
    QFETCH(bool, unplug);
    Bridge bridge;
    bridge.start();
    QVERIFY(bridge.polling());
    QUdpSocket client;
    QVERIFY2(bridge.addClient(client), qPrintable(client.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_clients"), QStringLiteral("1"), 5000);
    const int handles = FakeHid::openHandles();

    TestSupport::DebugCapture capture;
    moments.clear();
    watched = &bridge;
    chained = qInstallMessageHandler(recordMoment);
    FakeHid::clearCalls();
    if (unplug)
        FakeHid::unplug();
    else
        FakeHid::failNextRead();
    QTRY_COMPARE_WITH_TIMEOUT(bridge.status()->text(), QStringLiteral("stopped"), 5000);
    QTest::qWait(20); // no tick may follow
    qInstallMessageHandler(chained);
    watched = nullptr;

    // The failing read is the last one; the device is closed, then the library finalised.
    QStringList calls = FakeHid::callLog();
    QVERIFY(calls.size() >= 3);
    QCOMPARE(calls.mid(calls.size() - 3), QStringList({"hid_read 11", "hid_close", "hid_exit"}));
    QCOMPARE(withoutReads(calls), QStringList({"hid_close", "hid_exit"}));
    QCOMPARE(FakeHid::openHandles(), handles - 1);

    // Two resets: the stop's, then the one after the notification.
    QCOMPARE(TestSupport::DebugCapture::debugTexts(),
        QStringList({"disconnecting... ", "disconnecting... "}));
    for (const TestSupport::LoggedLine &line : TestSupport::DebugCapture::lines()) {
        if (line.type == QtDebugMsg) {
            QCOMPARE(line.category, QStringLiteral("default"));
            QVERIFY(!line.hasContext);
        }
    }
    QCOMPARE(moments.size(), 2);
    const Moment &first = moments.at(0);
    QCOMPARE(withoutReads(first.calls), QStringList({"hid_close", "hid_exit"}));
    QVERIFY(!first.polling);
    QCOMPARE(first.status, QStringLiteral("stopped"));
    QCOMPARE(first.statusStyle, QStringLiteral("color: rgb(255, 0, 0);"));
    QCOMPARE(first.clients, QStringLiteral("1")); // the registry is emptied after the line
    QVERIFY(!first.trayGray);
    const Moment &second = moments.at(1);
    QCOMPARE(withoutReads(second.calls), QStringList({"hid_close", "hid_exit"}));
    QCOMPARE(second.status, QStringLiteral("stopped"));
    QCOMPARE(second.clients, QStringLiteral("0"));
    QVERIFY(second.trayGray);

    QCOMPARE(bridge.text("lineEdit_clients"), QStringLiteral("0"));
    QVERIFY(bridge.trayGray());
    QVERIFY(!bridge.polling());

    // The library works again after its finalisation: the next start opens the device.
    if (unplug) {
        bridge.start();
        QCOMPARE(bridge.status()->text(), QStringLiteral("stopped"));
        FakeHid::plug();
    }
    bridge.start();
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    bridge.stop();
}

void tst_DeviceLink::ledsOff_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("written");
    QTest::newRow("running") << "running" << true;
    QTest::newRow("never started") << "never started" << false;
    QTest::newRow("no device at start") << "no device" << false;
    QTest::newRow("stopped") << "stopped" << false;
    QTest::newRow("after device loss") << "lost" << false;
}

void tst_DeviceLink::ledsOff()
{
    QFETCH(QString, state);
    QFETCH(bool, written);
    Bridge bridge;
    if (state == QLatin1String("no device"))
        FakeHid::unplug();
    if (state != QLatin1String("never started"))
        bridge.start();
    if (state == QLatin1String("stopped"))
        bridge.stop();
    if (state == QLatin1String("lost")) {
        FakeHid::failNextRead();
        QTRY_COMPARE_WITH_TIMEOUT(bridge.status()->text(), QStringLiteral("stopped"), 5000);
    }
    FakeHid::clearCalls();
    FakeHid::clearWrites();

    bridge.window.doControlLedsOff();
    if (written) {
        QCOMPARE(FakeHid::writtenReports(), QList<QByteArray>({QByteArray::fromHex("000402ff00")}));
        QCOMPARE(withoutReads(FakeHid::callLog()), QStringList({"hid_write 000402ff00"}));
        // A failing write changes nothing either.
        FakeHid::setWritesFail(true);
        bridge.window.doControlLedsOff();
        QCOMPARE(FakeHid::writtenReports().size(), 2);
        QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
        bridge.stop();
    } else {
        QCOMPARE(FakeHid::writtenReports(), QList<QByteArray>());
        QCOMPARE(withoutReads(FakeHid::callLog()), QStringList());
    }
}

QTEST_MAIN(tst_DeviceLink)
#include "tst_devicelink.moc"
