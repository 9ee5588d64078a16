#include "fakehidapi.h"
#include "testsupport.h"
#include "windowprobe.h"

#include <QNetworkDatagram>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

// The device side of the bridge: the 1 ms poll, what each read result leads to, device loss
// and the LEDs-off report.
class tst_DeviceLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::isolateSettings(); }
    void init()
    {
        QFile::remove(TestSupport::settingsFile());
        FakeHid::reset();
        FakeHid::plug();
    }

    void pollTicks();
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
};

QStringList reads(int count)
{
    return QStringLiteral("hid_read 11,").repeated(count).split(',', Qt::SkipEmptyParts);
}

// What the window shows at the moment a reset writes its line.
Bridge *watched = nullptr;
QStringList moments;
QtMessageHandler chained = nullptr;

void recordMoment(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg && text == QLatin1String("disconnecting... "))
        moments << QStringLiteral("%1 | %2 | %3 | clients %4 | %5")
                       .arg(Bridge::deviceCalls().join(QLatin1String(", ")),
                           watched->polling() ? "polling" : "idle",
                           watched->status()->text() + ' ' + watched->status()->styleSheet(),
                           watched->text("lineEdit_clients"),
                           watched->trayShows(Bridge::GrayIcon) ? "gray" : "green");
    chained(type, context, text);
}

} // namespace

void tst_DeviceLink::pollTicks()
{
    Bridge bridge;
    QVERIFY(bridge.startHeld());
    QSignalSpy ready(&bridge.window, &MainWindow::readyUdp);
    QVERIFY(ready.isValid());
    QUdpSocket client;
    QVERIFY2(bridge.addClient(client), qPrintable(client.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_clients"), QStringLiteral("1"), 5000);
    bridge.field("lineEdit_METERING")->setText(QString::number(client.localPort()));
    TestSupport::DebugCapture capture;

    // Reports that came faster wait for later ticks: one read, one message per tick.
    FakeHid::queueInput(QByteArray::fromHex("00f00102030405060708"));
    FakeHid::queueInput(QByteArray::fromHex("fff0fefdfcfbfaf9f8f7"));
    const QList<QByteArray> messages {QByteArray::fromHex("a0a000f00102030405060708"),
        QByteArray::fromHex("a0a0fff0fefdfcfbfaf9f8f7")};
    for (int i = 0; i < messages.size(); ++i) {
        bridge.tick();
        QCOMPARE(FakeHid::callLog(), reads(i + 1));
        QCOMPARE(FakeHid::pendingInput(), std::size_t(1 - i));
        QCOMPARE(ready.count(), i + 1);
        QCOMPARE(bridge.text("lineEdit_received"), QString::number(i + 1));
        QTRY_VERIFY_WITH_TIMEOUT(client.hasPendingDatagrams(), 5000);
        QCOMPARE(client.receiveDatagram().data(), messages.at(i));
    }

    // A tick without a report reads once and changes nothing.
    bridge.tick();
    bridge.tick();
    QCOMPARE(FakeHid::callLog(), reads(4));
    QCOMPARE(ready.count(), 2);
    QCOMPARE(bridge.text("lineEdit_received"), QStringLiteral("2"));
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
    QCOMPARE(Bridge::debugLines(), QStringList());
    bridge.release();
}

void tst_DeviceLink::otherLengthsDropped_data()
{
    QTest::addColumn<int>("length");
    for (int length : {0, 1, 9, 11, 12, 64})
        QTest::addRow("%d bytes", length) << length;
}

void tst_DeviceLink::otherLengthsDropped()
{
    QFETCH(int, length);
    Bridge bridge;
    QVERIFY(bridge.startHeld());
    QSignalSpy ready(&bridge.window, &MainWindow::readyUdp);
    QVERIFY(ready.isValid());
    FakeHid::queueInput(QByteArray(length, '\x11'));

    bridge.tick();
    QCOMPARE(FakeHid::callLog(), reads(1));
    QCOMPARE(FakeHid::pendingInput(), std::size_t(0));
    QCOMPARE(ready.count(), 0);
    QCOMPARE(bridge.text("lineEdit_received"), QStringLiteral("0"));
    QCOMPARE(bridge.status()->text(), QStringLiteral("running"));

    // The next 10-byte report still passes.
    FakeHid::queueInput(QByteArray::fromHex(Bridge::Report));
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
    QUdpSocket client;
    QVERIFY2(bridge.addClient(client), qPrintable(client.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(bridge.text("lineEdit_clients"), QStringLiteral("1"), 5000);
    const int handles = FakeHid::openHandles();
    {
        TestSupport::DebugCapture capture;
        watched = &bridge;
        moments.clear();
        chained = qInstallMessageHandler(recordMoment);
        const auto restore = qScopeGuard([] { qInstallMessageHandler(chained); });
        FakeHid::clearCalls();
        unplug ? FakeHid::unplug() : FakeHid::failNextRead();
        QTRY_COMPARE_WITH_TIMEOUT(bridge.status()->text(), QStringLiteral("stopped"), 5000);
        QTest::qWait(20); // no tick may follow

        // The failing read is the last one; the device is closed, then the library finalised.
        const QStringList calls = FakeHid::callLog();
        QVERIFY(calls.size() >= 3);
        QCOMPARE(
            calls.mid(calls.size() - 3), QStringList({"hid_read 11", "hid_close", "hid_exit"}));
        QCOMPARE(Bridge::deviceCalls(), QStringList({"hid_close", "hid_exit"}));
        QCOMPARE(FakeHid::openHandles(), handles - 1);

        // Two resets, the stop's and the one after the notification; clients go after the line.
        QCOMPARE(Bridge::debugLines(), QStringList({"disconnecting... ", "disconnecting... "}));
        const QString stopped = "hid_close, hid_exit | idle | stopped color: rgb(255, 0, 0);";
        QCOMPARE(moments,
            QStringList({stopped + " | clients 1 | green", stopped + " | clients 0 | gray"}));
    }

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
    QTest::newRow("running") << "running";
    QTest::newRow("never started") << "never started";
    QTest::newRow("no device at start") << "no device";
    QTest::newRow("stopped") << "stopped";
    QTest::newRow("after device loss") << "lost";
}

// Written only while the device is open; a failing write changes nothing either.
void tst_DeviceLink::ledsOff()
{
    QFETCH(QString, state);
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
    const bool open = state == QLatin1String("running");

    bridge.window.doControlLedsOff();
    QCOMPARE(Bridge::deviceCalls(), open ? QStringList({"hid_write 000402ff00"}) : QStringList());
    if (open) {
        FakeHid::setWritesFail(true);
        bridge.window.doControlLedsOff();
        const QByteArray ledsOff = QByteArray::fromHex("000402ff00");
        QCOMPARE(FakeHid::writtenReports(), QList<QByteArray>({ledsOff, ledsOff}));
        QCOMPARE(bridge.status()->text(), QStringLiteral("running"));
        bridge.stop();
    }
}

QTEST_MAIN(tst_DeviceLink)
#include "tst_devicelink.moc"
