// The real window with the simulated device and loopback clients: the form, starting and
// stopping, reports fanning out to clients, datagrams becoming device reports, the settings
// file, the check boxes, the tray and closing.
#include "bridgetest.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QMenu>
#include <QSettings>
#include <QtTest>

using namespace BridgeTest;

// The desktop's notifications, recorded instead of shown: "title|text|icon|ms|status", the
// status being what the window showed at that moment.
static QStringList notes;
void QSystemTrayIcon::showMessage(
    const QString &title, const QString &text, QSystemTrayIcon::MessageIcon icon, int ms)
{
    const auto *status = parent()->findChild<QLabel *>("label_status_connection");
    notes
        << QStringLiteral("%1|%2|%3|%4|%5").arg(title, text).arg(icon).arg(ms).arg(status->text());
}

namespace {

qint64 fakeNow = 0;
qint64 fakeClock()
{
    return fakeNow;
}

QStringList deviceCalls()
{
    QStringList calls = FakeHid::callLog();
    calls.removeAll(QStringLiteral("hid_read 11"));
    return calls;
}

QStringList written()
{
    QStringList reports;
    for (const QByteArray &report : FakeHid::writtenReports())
        reports << QString::fromLatin1(report.toHex());
    return reports;
}

const QStringList Opened {"hid_open 0805 1404 (null)", "hid_set_nonblocking 1"};
const QStringList Closed {"hid_close", "hid_exit"};
const char *const Running = "Tavrel Control|Running|1|10000|running";
const char *const Disconnected = "Tavrel Control|USB Disconnected|3|10000|stopped";
const QString Red = QStringLiteral("color: rgb(255, 0, 0);");
const QString Green = QStringLiteral("color: rgb(0, 255, 0);");

QStringList fanOut(const char *report, bool metering = false)
{
    const QString message = QStringLiteral("a0a0") + QLatin1String(report);
    return metering ? QStringList {"M " + message}
                    : QStringList {"M " + message, "C " + message, "U " + message};
}

QString keepAliveLine(const Client &client)
{
    return QStringLiteral("Keep Alive message from:  QHostAddress(\"%1\") : %2")
        .arg(client.mapped())
        .arg(client.port(Client::Sender));
}

QString sendLine(const Client &client, int clients)
{
    return QStringLiteral("sendUdp send to--> CLIENT:  \"%1\" %2")
        .arg(client.mapped())
        .arg(clients);
}

void writeSettingsFile(const QByteArray &content)
{
    QDir().mkpath(QFileInfo(settingsPath()).path());
    QFile file(settingsPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[General]\n" + content);
}

} // namespace

class tst_Bridge : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        settingsPath();
        qInstallMessageHandler(recordDebug);
    }
    void init()
    {
        QFile::remove(settingsPath());
        FakeHid::reset();
        debugLines().clear();
        notes.clear();
        fakeNow = 0;
        Stopwatch::setClock(fakeClock);
    }

    void form_data()
    {
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enabled");
        const auto row = [](const char *name, const char *type, const char *parent, QRect geometry,
                             const char *text = "", bool enabled = true) {
            QTest::newRow(name) << type << parent << geometry << text << enabled;
        };
        // clang-format off
        row("groupBox", "QGroupBox", "centralWidget", {220, 10, 181, 151}, "Status");
        row("label", "QLabel", "groupBox", {10, 20, 111, 20}, "RECEIVED:");
        row("lineEdit_received", "QLineEdit", "groupBox", {120, 20, 51, 20}, "", false);
        row("label_2", "QLabel", "groupBox", {10, 66, 111, 16}, "TRANSMITTED:");
        row("lineEdit_send", "QLineEdit", "groupBox", {120, 66, 51, 20}, "", false);
        row("label_8", "QLabel", "groupBox", {10, 110, 111, 16}, "CLIENTS ACTIVE:");
        row("lineEdit_clients", "QLineEdit", "groupBox", {120, 110, 51, 20}, "", false);
        row("groupBox_2", "QGroupBox", "centralWidget", {10, 10, 191, 241}, "UDP/IP Ports");
        row("checkBox_use_defaults", "QCheckBox", "groupBox_2", {10, 30, 131, 17}, "Use defaults");
        row("groupBox_4", "QGroupBox", "groupBox_2", {10, 60, 171, 111}, "Transmit");
        row("label_7", "QLabel", "groupBox_4", {10, 20, 101, 16}, "METERING:");
        row("lineEdit_METERING", "QLineEdit", "groupBox_4", {110, 20, 51, 20}, "0");
        row("label_9", "QLabel", "groupBox_4", {10, 50, 101, 16}, "CONFIG:");
        row("lineEdit_CONFIGURATION", "QLineEdit", "groupBox_4", {110, 50, 51, 20}, "0");
        row("label_10", "QLabel", "groupBox_4", {10, 80, 101, 16}, "CUSTOM:");
        row("lineEdit_CUSTOM", "QLineEdit", "groupBox_4", {110, 80, 51, 20}, "0");
        row("groupBox_5", "QGroupBox", "groupBox_2", {10, 180, 171, 51}, "Receive");
        row("label_6", "QLabel", "groupBox_5", {10, 20, 101, 16}, "LISTEN:");
        row("lineEdit_LISTEN", "QLineEdit", "groupBox_5", {110, 20, 51, 20}, "0");
        row("groupBox_3", "QGroupBox", "centralWidget", {220, 170, 181, 81}, "Interface");
        row("START", "QPushButton", "groupBox_3", {40, 20, 61, 23}, "Start");
        row("STOP", "QPushButton", "groupBox_3", {110, 20, 61, 23}, "Stop");
        row("label_status_connection", "QLabel", "groupBox_3", {120, 50, 51, 20}, "stopped");
        row("checkBox_auto_connect", "QCheckBox", "groupBox_3", {11, 50, 111, 17}, "Auto Connect");
        // clang-format on
    }

    // The window's signal, then its slots, in the meta-object's order: what callers find by name.
    void signalAndSlots()
    {
        const QMetaObject &meta = MainWindow::staticMetaObject;
        QStringList methods;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            methods << QString::fromLatin1(meta.method(i).methodSignature());
        QCOMPARE(methods,
            QStringList(
                {"readyUdp()", "on_START_clicked()", "on_STOP_clicked()", "resetGuiElements()",
                    "usb_status_slot(int)", "hid_receive_timer()", "sendUdp()", "receiveUdp()",
                    "on_checkBox_use_defaults_clicked()", "on_checkBox_auto_connect_clicked()",
                    "systray_activated(QSystemTrayIcon::ActivationReason)",
                    "systray_message_clicked()", "closeEvent(QCloseEvent*)", "close_exit()"}));
    }

    // The form as a first start shows it, with no settings file.
    void form()
    {
        QFETCH(QString, className);
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        QFETCH(bool, enabled);
        MainWindow window;
        const QList<QWidget *> found = window.findChildren<QWidget *>(QTest::currentDataTag());
        QCOMPARE(found.size(), 1);
        QWidget *widget = found.first();
        QCOMPARE(widget->metaObject()->className(), qPrintable(className));
        QCOMPARE(widget->parentWidget()->objectName(), parent);
        QCOMPARE(widget->geometry(), geometry);
        QCOMPARE(widget->property(qobject_cast<QGroupBox *>(widget) ? "title" : "text").toString(),
            text);
        QCOMPARE(widget->isEnabled(), enabled);
        if (auto *box = qobject_cast<QCheckBox *>(widget))
            QVERIFY(!box->isChecked());
    }

    void atStart()
    {
        Client client("127.0.0.2");
        Bridge bridge(client.ports());
        QCOMPARE(bridge.window.windowTitle(), "Tavrel Control v1.0.1.0");
        QCOMPARE(bridge.window.minimumSize(), QSize(412, 265));
        QCOMPARE(bridge.window.maximumSize(), QSize(412, 265));
        QVERIFY(!bridge.window.isVisible()); // the tray's "Settings" shows it
        QCOMPARE(bridge.child<QLabel>("label_status_connection")->styleSheet(), Red);
        auto *tray = bridge.window.findChild<QSystemTrayIcon *>();
        QVERIFY(tray->isVisible());
        QCOMPARE(tray->toolTip(), "Tavrel Control");
        QCOMPARE(bridge.trayIcon(), "gray");
        QCOMPARE(tray->contextMenu()->title(), "MyMenu");
        QStringList entries;
        for (QAction *action : tray->contextMenu()->actions())
            entries << action->text();
        QCOMPARE(entries, QStringList({"Quit", "Settings"}));
        QCOMPARE(deviceCalls(), QStringList());
        QCOMPARE(QCoreApplication::organizationDomain(), "quorvale.com");
    }

    void startAndStop()
    {
        Client client("127.0.0.2");
        Bridge bridge(client.ports());
        bridge.click("START"); // no device yet
        QCOMPARE(deviceCalls(), QStringList(Opened.first()));
        QCOMPARE(bridge.status(), "stopped");
        QCOMPARE(bridge.counters(), "  "); // empty until the first start that succeeds
        QVERIFY(!bridge.polling());

        FakeHid::plug();
        FakeHid::clearCalls();
        bridge.click("START");
        bridge.click("START"); // already running: nothing more
        QCOMPARE(deviceCalls(), Opened);
        QCOMPARE(bridge.status(), "running");
        QCOMPARE(bridge.child<QLabel>("label_status_connection")->styleSheet(), Green);
        QCOMPARE(bridge.counters(), "0 0 0");
        QCOMPARE(bridge.trayIcon(), "green");
        QCOMPARE(notes, QStringList(Running));
        QVERIFY(bridge.polling());
        // An open window's counters follow at once; a hidden one's are set as it shows.
        bridge.window.show();
        QVERIFY(bridge.send(client, hex("a0a001")));
        FakeHid::queueInput(hex("00010203040506070809"));
        bridge.poll();
        QCOMPARE(bridge.counters(), "1 1 1");
        bridge.window.hide();
        FakeHid::clearCalls();

        bridge.click("STOP");
        bridge.click("STOP"); // already stopped: nothing more
        QCOMPARE(deviceCalls(), Closed);
        QCOMPARE(bridge.status(), "stopped");
        QCOMPARE(bridge.child<QLabel>("label_status_connection")->styleSheet(), Red);
        QCOMPARE(bridge.counters(), "1 1 0");
        QCOMPARE(bridge.trayIcon(), "gray");
        QVERIFY(!bridge.polling());
        QCOMPARE(notes, QStringList(Running)); // stopping by hand tells nothing
        for (int status : {2, 0, -2}) // only -1, 0 and 1 tell something
            QMetaObject::invokeMethod(&bridge.window, "usb_status_slot", Q_ARG(int, status));
        QCOMPARE(notes, QStringList({Running, "Tavrel Control|Stopped|1|10000|stopped"}));
        QVERIFY(debugLines().contains("disconnecting... "));
        bridge.poll(); // a late tick without a device reads nothing
        QCOMPARE(FakeHid::callLog().count("hid_read 11"), 0);

        // The LISTEN port is free again: held elsewhere, the next start says so and runs anyway,
        // naming the field's number, not the port it wraps to; the counters start again at 0.
        QUdpSocket squatter;
        QVERIFY(squatter.bind(bridge.listenPort, QUdpSocket::DontShareAddress));
        bridge.setText("lineEdit_LISTEN", bridge.listenPort + 65536);
        bridge.click("START");
        QCOMPARE(bridge.status(), "running");
        QCOMPARE(bridge.counters(), "0 0 0");
        QCOMPARE(debugLines().last(),
            QStringLiteral("Unable to bind socket to port: %1").arg(bridge.listenPort + 65536));
    }

    void deviceToClients_data()
    {
        QTest::addColumn<bool>("unplug"); // or one failed read with the device still there
        QTest::newRow("unplugged") << true;
        QTest::newRow("read error") << false;
    }

    // Two clients register, reports fan out, one falls silent, then the device is lost.
    void deviceToClients()
    {
        QFETCH(bool, unplug);
        Client a("127.0.0.10"), b("127.0.0.2", a.ports()); // a is served first: "...10" < "...2"
        QVERIFY(a.ok && b.ok);
        Bridge bridge(a.ports());
        FakeHid::plug();
        bridge.click("START");
        QVERIFY(bridge.send(b, hex("a0a04b41")) && bridge.send(a, hex("a0a04b41")));
        QCOMPARE(bridge.counters(), "0 0 2");
        QCOMPARE(debugLines(), QStringList({keepAliveLine(b), keepAliveLine(a)}));
        debugLines().clear();

        FakeHid::queueInput(hex("00010203040506070809"));
        FakeHid::queueInput(hex("01f0aabbccddeeff0011"));
        bridge.poll(); // one report a tick
        QCOMPARE(a.arrivals(), fanOut("00010203040506070809"));
        QCOMPARE(b.arrivals(), fanOut("00010203040506070809"));
        QCOMPARE(debugLines(), QStringList({sendLine(a, 2), sendLine(b, 2)}));
        QCOMPARE(bridge.counters(), "1 0 2");

        debugLines().clear();
        bridge.poll();
        QCOMPARE(a.arrivals(), fanOut("01f0aabbccddeeff0011", true));
        QCOMPARE(b.arrivals(), fanOut("01f0aabbccddeeff0011", true));
        QCOMPARE(debugLines(), QStringList());

        for (const char *odd : {"000102030405060708", "000102030405060708090a", ""})
            FakeHid::queueInput(hex(odd));
        for (int tick = 0; tick < 4; ++tick)
            bridge.poll();
        QCOMPARE(a.arrivals() + b.arrivals(), QStringList());
        QCOMPARE(bridge.counters(), "2 0 2");

        fakeNow = 20001; // a has been silent for 20001 ms, but only a report retires it
        QVERIFY(bridge.send(b, hex("a0a04b41")));
        QCOMPARE(bridge.counters(), "2 0 2");
        fakeNow = 40001; // and b for 20000 ms
        FakeHid::queueInput(hex("09080706050403020100"));
        bridge.poll();
        QCOMPARE(a.arrivals(), QStringList());
        QCOMPARE(b.arrivals(), fanOut("09080706050403020100"));
        QCOMPARE(
            debugLines().mid(1), QStringList({"OFFLINE:  \"::ffff:127.0.0.10\"", sendLine(b, 1)}));
        QCOMPARE(bridge.counters(), "3 0 1");

        // A port field's new text takes effect with the next report; "x" converts to port 0,
        // the datagram to it fails, and the ones after it still go.
        bridge.setText("lineEdit_CUSTOM", b.port(Client::Config));
        bridge.child<QLineEdit>("lineEdit_METERING")->setText(QStringLiteral("x"));
        FakeHid::queueInput(hex("00010203040506070809"));
        bridge.poll();
        const QString toConfig = QStringLiteral("C a0a000010203040506070809");
        QCOMPARE(b.arrivals(), QStringList({toConfig, toConfig}));

        FakeHid::clearCalls();
        if (unplug)
            FakeHid::unplug();
        else
            FakeHid::failNextRead();
        bridge.poll();
        QCOMPARE(deviceCalls(), Closed);
        QCOMPARE(bridge.status(), "stopped");
        QCOMPARE(bridge.counters(), "4 0 0");
        QCOMPARE(bridge.trayIcon(), "gray");
        QCOMPARE(notes, QStringList({Running, Disconnected}));
        QCOMPARE(debugLines().count("disconnecting... "), 2); // the stop's, then the loss's
        QVERIFY(!bridge.polling());
    }

    // A native IPv6 client beside an IPv4 one: both served, in the order of their texts.
    void ipv6AndIpv4Clients()
    {
        Client v4("127.0.0.2"), v6("::1", v4.ports());
        if (!v6.ok)
            QSKIP("no IPv6 loopback");
        Bridge bridge(v4.ports());
        FakeHid::plug();
        bridge.click("START");
        QVERIFY(bridge.send(v4, hex("a0a04b41")) && bridge.send(v6, hex("a0a04b41")));
        debugLines().clear();
        FakeHid::queueInput(hex("00010203040506070809"));
        bridge.poll();
        QCOMPARE(v4.arrivals(), fanOut("00010203040506070809"));
        QCOMPARE(v6.arrivals(), fanOut("00010203040506070809"));
        QCOMPARE(debugLines(), QStringList({sendLine(v6, 2), sendLine(v4, 2)}));
    }

    void clientsToDevice_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<QString>("counters");
        const auto row = [](const char *name, const char *datagram, QStringList reports,
                             const char *counters) {
            QTest::newRow(name) << hex(datagram) << reports << counters;
        };
        row("full", "a0a00102030405060708090a", {"000102030405060708090a"}, "0 1 1");
        row("short", "a0a0ff", {"00ff000000000000000000"}, "0 1 1");
        row("long", "a0a00102030405060708090a0b0c0d0e0f1011", {"000102030405060708090a"}, "0 1 1");
        row("marker only", "a0a0", {"0000000000000000000000"}, "0 1 1");
        row("keep-alive", "a0a04b41", {}, "0 0 1");
        row("keep-alive and more", "a0a04b410102", {}, "0 0 1");
        row("unmarked", "a1a00102030405060708090a", {}, "0 0 0");
        row("one byte", "a0", {}, "0 0 0");
        row("empty", "", {}, "0 0 0");
    }

    void clientsToDevice()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(QStringList, reports);
        QFETCH(QString, counters);
        Client client("127.0.0.2");
        Bridge bridge(client.ports());
        FakeHid::plug();
        bridge.click("START");
        QVERIFY(bridge.send(client, datagram));
        QCOMPARE(written(), reports);
        QCOMPARE(bridge.counters(), counters);
        QCOMPARE(client.arrivals(), QStringList()); // nothing comes back
    }

    // A burst read in one go keeps its order; failing writes are still counted; the LEDs-off
    // report goes out only while running.
    void burstsAndFailedWrites()
    {
        Client client("127.0.0.2");
        Bridge bridge(client.ports());
        FakeHid::plug();
        bridge.window.doControlLedsOff();
        QCOMPARE(deviceCalls(), QStringList()); // not even tried without an open device
        bridge.click("START");
        QStringList expected;
        for (int i = 0; i < 50; ++i) {
            const QByteArray payload = QByteArray(10, char(i));
            client.send(hex("a0a0") + payload, bridge.listenPort);
            expected << "00" + QString::fromLatin1(payload.toHex());
        }
        bridge.receive();
        QCOMPARE(written(), expected);
        QCOMPARE(bridge.counters(), "0 50 1");

        FakeHid::setWritesFail(true);
        QVERIFY(bridge.send(client, hex("a0a001")));
        QCOMPARE(bridge.counters(), "0 51 1");
        QCOMPARE(bridge.status(), "running");
        FakeHid::setWritesFail(false);
        FakeHid::clearWrites();
        bridge.window.doControlLedsOff();
        QCOMPARE(written(), QStringList("000402ff00"));
    }

    void settingsFile_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("ports"); // LISTEN METERING CONFIG CUSTOM as shown
        QTest::addColumn<bool>("defaults");
        QTest::addColumn<bool>("autoConnect");
        QTest::newRow("none") << QByteArray() << "0 0 0 0" << false << false;
        QTest::newRow("stored") << QByteArray("udp_listen_port=1000\nudp_metering_port=1001\n"
                                              "udp_config_port=1002\nudp_custom_port=1003\n")
                                << "1000 1001 1002 1003" << false << false;
        QTest::newRow("defaults") << QByteArray("udp_default_ports=true\nudp_listen_port=1000\n")
                                  << "18153 18150 18151 18152" << true << false;
        QTest::newRow("auto connect")
            << QByteArray("auto_connect=true\nudp_custom_port=7\n") << "0 0 0 7" << false << true;
        QTest::newRow("not numbers")
            << QByteArray("udp_listen_port=99999999999\nudp_config_port=x\n"
                          "udp_metering_port=-5\n")
            << "0 -5 0 0" << false << false;
    }

    // What the window shows from the file, and what it writes back on closing and at the end.
    void settingsFile()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QString, ports);
        QFETCH(bool, defaults);
        QFETCH(bool, autoConnect);
        writeSettingsFile(stored);
        const char *keys[]
            = {"udp_listen_port", "udp_metering_port", "udp_config_port", "udp_custom_port"};
        {
            Bridge bridge;
            QCOMPARE(bridge.ports(), ports);
            QCOMPARE(bridge.editablePorts(), defaults ? 0 : 4);
            QCOMPARE(bridge.child<QCheckBox>("checkBox_use_defaults")->isChecked(), defaults);
            QCOMPARE(bridge.child<QCheckBox>("checkBox_auto_connect")->isChecked(), autoConnect);
            QCOMPARE(bridge.child<QPushButton>("START")->isEnabled(), !autoConnect);
            QCOMPARE(bridge.child<QPushButton>("STOP")->isEnabled(), !autoConnect);

            QFile::remove(settingsPath());
            bridge.window.close();
            QSettings written(settingsPath(), QSettings::IniFormat);
            QCOMPARE(written.allKeys().size(), 6);
            for (int i = 0; i < 4; ++i)
                QCOMPARE(written.value(keys[i]).toString(), ports.section(' ', i, i));
            QCOMPARE(written.value("udp_default_ports").toBool(), defaults);
            QCOMPARE(written.value("auto_connect").toBool(), autoConnect);
            bridge.setText("lineEdit_LISTEN", 4242);
        }
        QCOMPARE(QSettings(settingsPath(), QSettings::IniFormat).value(keys[0]).toInt(), 4242);
    }

    // "Use defaults" fills and locks the ports; "Auto Connect" locks the buttons and retries
    // every 2 s until the device is there, also after it was lost.
    void checkBoxes()
    {
        Client client("127.0.0.2");
        Bridge bridge(client.ports());
        auto *defaults = bridge.child<QCheckBox>("checkBox_use_defaults");
        defaults->click();
        QCOMPARE(bridge.ports(), "18153 18150 18151 18152");
        QCOMPARE(bridge.editablePorts(), 0);
        defaults->click();
        QCOMPARE(bridge.ports(), "18153 18150 18151 18152");
        QCOMPARE(bridge.editablePorts(), 4);
        bridge.setText("lineEdit_LISTEN", bridge.listenPort);

        auto *autoConnect = bridge.child<QCheckBox>("checkBox_auto_connect");
        autoConnect->click();
        QVERIFY(!bridge.child<QPushButton>("START")->isEnabled());
        QVERIFY(!bridge.child<QPushButton>("STOP")->isEnabled());
        QTest::qWait(100);
        FakeHid::plug();
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(bridge.status(), "running", 4000);
        QVERIFY2(clock.elapsed() >= 1700, qPrintable(QString::number(clock.elapsed())));
        FakeHid::unplug();
        QTRY_COMPARE(bridge.status(), "stopped");
        FakeHid::plug();
        QTRY_COMPARE_WITH_TIMEOUT(bridge.status(), "running", 4000);

        autoConnect->click();
        QVERIFY(bridge.child<QPushButton>("START")->isEnabled());
        QVERIFY(bridge.child<QPushButton>("STOP")->isEnabled());
        bridge.click("STOP");
        QTest::qWait(2500); // no retry any more
        QCOMPARE(bridge.status(), "stopped");
    }

    // "Settings" shows the window; closing hides it (the bridge runs on) and writes the settings;
    // "Quit" closes it for good. Clicking the icon or a notification changes nothing.
    void closeAndQuit()
    {
        Client client("127.0.0.2");
        Bridge bridge(client.ports());
        auto *tray = bridge.window.findChild<QSystemTrayIcon *>();
        emit tray->activated(QSystemTrayIcon::Trigger);
        emit tray->messageClicked();
        QVERIFY(!bridge.window.isVisible());
        QList<QAction *> entries = tray->contextMenu()->actions();
        entries.last()->trigger();
        QVERIFY(bridge.window.isVisible());

        FakeHid::plug();
        bridge.click("START");
        QVERIFY(!bridge.window.close());
        QVERIFY(!bridge.window.isVisible());
        QVERIFY(QFile::exists(settingsPath()));
        QCOMPARE(bridge.status(), "running");

        entries.last()->trigger();
        QFile::remove(settingsPath());
        QTimer giveUp;
        connect(&giveUp, &QTimer::timeout, [] { qApp->exit(1); });
        giveUp.start(5000);
        QTimer::singleShot(0, entries.first(), &QAction::trigger);
        QCOMPARE(qApp->exec(), 0); // the last window closed, so the application quits
        QVERIFY(!bridge.window.isVisible());
        QVERIFY(QFile::exists(settingsPath()));
    }
};

QTEST_MAIN(tst_Bridge)
#include "tst_bridge.moc"
