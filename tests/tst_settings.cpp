#include "fakehidapi.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QStyleOptionButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>
#include <memory>

using Store = QMap<QString, QString>;

namespace {

const QStringList PortKeys
    = {"udp_listen_port", "udp_metering_port", "udp_config_port", "udp_custom_port"};
const QStringList PortFields
    = {"lineEdit_LISTEN", "lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"};
const QStringList DefaultPorts = {"18153", "18150", "18151", "18152"};
const QList<bool> AllEnabled {true, true, true, true};
const QList<bool> NoneEnabled {false, false, false, false};

void writeStore(const QByteArray &body)
{
    QVERIFY(QDir().mkpath(QFileInfo(TestSupport::settingsFile()).path()));
    QFile out(TestSupport::settingsFile());
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write("[General]\n" + body);
}

// The store as the window wrote it: key=value lines of the [General] section.
Store readStore()
{
    Store store;
    QFile in(TestSupport::settingsFile());
    if (in.open(QIODevice::ReadOnly))
        for (const QByteArray &line : in.readAll().split('\n'))
            if (line.indexOf('=') > 0)
                store.insert(QString::fromUtf8(line.left(line.indexOf('='))),
                    QString::fromUtf8(line.mid(line.indexOf('=') + 1)));
    return store;
}

QByteArray portLines(const QStringList &values)
{
    QByteArray lines;
    for (int i = 0; i < PortKeys.size(); ++i)
        lines += PortKeys.at(i).toUtf8() + '=' + values.at(i).toUtf8() + '\n';
    return lines;
}

QStringList storedPorts(const Store &store)
{
    QStringList values;
    for (const QString &key : PortKeys)
        values.append(store.value(key, "<missing>"));
    return values;
}

template<typename T = QLineEdit> T *child(const MainWindow &window, const QString &name)
{
    return window.findChild<T *>(name);
}

QStringList fieldTexts(const MainWindow &window)
{
    QStringList texts;
    for (const QString &name : PortFields)
        texts.append(child(window, name)->text());
    return texts;
}

QList<bool> fieldsEnabled(const MainWindow &window)
{
    QList<bool> enabled;
    for (const QString &name : PortFields)
        enabled.append(child(window, name)->isEnabled());
    return enabled;
}

QString status(const MainWindow &window)
{
    return child<QLabel>(window, "label_status_connection")->text();
}

// Whether Start, Stop, "Use defaults" and "Auto Connect" are enabled or checked.
QList<bool> controls(const MainWindow &window)
{
    return {child<QPushButton>(window, "START")->isEnabled(),
        child<QPushButton>(window, "STOP")->isEnabled(),
        child<QCheckBox>(window, "checkBox_use_defaults")->isChecked(),
        child<QCheckBox>(window, "checkBox_auto_connect")->isChecked()};
}

// Intervals of the running timers: the 1 ms device poll and the 2000 ms auto-connect.
QList<int> runningTimers(const MainWindow &window)
{
    QList<int> intervals;
    for (const QTimer *timer : window.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        if (timer->isActive() && !timer->isSingleShot())
            intervals.append(timer->interval());
    std::sort(intervals.begin(), intervals.end());
    return intervals;
}

int openAttempts()
{
    return FakeHid::callLog().filter(QRegularExpression("^hid_open ")).size();
}

// Waits in small steps so the time seen is close to the attempt's; returns it, or the deadline.
qint64 waitForOpenAttempts(int count, const QElapsedTimer &clock, qint64 deadline)
{
    while (openAttempts() < count && clock.elapsed() < deadline)
        QTest::qWait(5);
    return std::min(clock.elapsed(), deadline);
}

// Clicks the box's indicator, where an operator would.
void clickBox(const MainWindow &window, const char *name)
{
    QCheckBox *checkBox = child<QCheckBox>(window, name);
    QStyleOptionButton option;
    option.initFrom(checkBox);
    const QRect indicator
        = checkBox->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, checkBox);
    QTest::mouseClick(checkBox, Qt::LeftButton, Qt::NoModifier, indicator.center());
}

void clickButton(const MainWindow &window, const char *name)
{
    QTest::mouseClick(child<QPushButton>(window, name), Qt::LeftButton);
}

QAction *trayAction(const MainWindow &window, const QString &label)
{
    for (QAction *action : window.findChild<QSystemTrayIcon *>()->contextMenu()->actions())
        if (action->text() == label)
            return action;
    return nullptr;
}

QByteArray autoConnectStore()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return "auto_connect=true\nudp_listen_port=" + QByteArray::number(probe.localPort()) + '\n';
}

} // namespace

// Loading and storing the ports and checkboxes, what the checkboxes enable, the auto-connect
// retry against the simulated device, and when the store is written. Unusable stores:
// tst_badstores.
class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void loadsStoredValues_data();
    void loadsStoredValues();
    void fieldTextStoredAsNumber_data();
    void fieldTextStoredAsNumber();
    void storeReadOnlyAtConstruction();

    void useDefaultsClicks();
    void checkedFromCodeDoesNothing_data();
    void checkedFromCodeDoesNothing();
    void autoConnectRetriesUntilDeviceAppears();
    void autoConnectRestartsAfterReplug();

    void closeStoresEveryTime();
    void quitEndsLoopAndStoresTwice();

private:
    QString configRoot;
};

void tst_Settings::initTestCase()
{
    configRoot = TestSupport::isolateSettings();
}

// A store path per test: Qt caches every store it read, or failed to write, by path.
void tst_Settings::init()
{
    static int test = 0;
    const QString home = configRoot + QStringLiteral("/%1").arg(++test);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home);
    FakeHid::reset();
}

void tst_Settings::loadsStoredValues_data()
{
    QTest::addColumn<QStringList>("stored"); // LISTEN, METERING, CONFIG, CUSTOM
    QTest::addColumn<bool>("useDefaults");
    QTest::addColumn<QStringList>("shown");
    const QStringList zeros {"0", "0", "0", "0"};
    const QStringList plain {"5000", "5001", "5002", "5003"};
    const QStringList above {"70000", "65536", "99999", "2147483647"};
    const QStringList negative {"-1", "-5", "-65535", "-2147483648"};
    QTest::newRow("nothing stored") << QStringList() << false << zeros; // the first run
    QTest::newRow("ports as stored") << plain << false << plain;
    QTest::newRow("stored defaults override")
        << QStringList {"1", "2", "3", "4"} << true << DefaultPorts;
    QTest::newRow("above 16 bits kept") << above << false << above;
    QTest::newRow("negative kept") << negative << false << negative;
    QTest::newRow("not numbers") << QStringList {"abc", "", "12abc", "1.5"} << false << zeros;
    QTest::newRow("beyond int") << QStringList {"99999999999", "-2147483649", "3000000000",
        "99999999999999999999999"}
                                << false << zeros;
    QTest::newRow("plain decimal")
        << QStringList {"007", "+42", "0x10", "-0"} << false << QStringList {"7", "42", "0", "0"};
}

// Every stored port shows as its plain decimal number; the next close stores the six keys as shown.
void tst_Settings::loadsStoredValues()
{
    QFETCH(QStringList, stored);
    QFETCH(bool, useDefaults);
    QFETCH(QStringList, shown);
    if (!stored.isEmpty())
        writeStore(portLines(stored) + "udp_default_ports=" + (useDefaults ? "true" : "false")
            + "\nauto_connect=false\n");
    FakeHid::plug(); // present, yet nothing may open it
    {
        MainWindow window;
        QCOMPARE(QFileInfo::exists(TestSupport::settingsFile()), !stored.isEmpty());
        QCOMPARE(fieldTexts(window), shown);
        QCOMPARE(fieldsEnabled(window), useDefaults ? NoneEnabled : AllEnabled);
        QCOMPARE(controls(window), QList<bool>({true, true, useDefaults, false}));
        QCOMPARE(runningTimers(window), QList<int>());
        QVERIFY(window.isHidden());
        QVERIFY(!window.close());
        const Store afterClose = readStore();
        QCOMPARE(afterClose.keys().size(), 6);
        QCOMPARE(storedPorts(afterClose), shown);
        QCOMPARE(afterClose.value("udp_default_ports"), QString(useDefaults ? "true" : "false"));
        QCOMPARE(afterClose.value("auto_connect"), QString("false"));
    }
    QCOMPARE(storedPorts(readStore()), shown);
}

void tst_Settings::fieldTextStoredAsNumber_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored");
    QTest::newRow("letters") << "lineEdit_LISTEN"
                             << "udp_listen_port"
                             << "abc"
                             << "0";
    QTest::newRow("digits, letters") << "lineEdit_CONFIGURATION"
                                     << "udp_config_port"
                                     << "12abc"
                                     << "0";
    QTest::newRow("beyond int") << "lineEdit_CUSTOM"
                                << "udp_custom_port"
                                << "3000000000"
                                << "0";
    QTest::newRow("above 16 bits") << "lineEdit_LISTEN"
                                   << "udp_listen_port"
                                   << "70000"
                                   << "70000";
    QTest::newRow("negative") << "lineEdit_METERING"
                              << "udp_metering_port"
                              << "-12"
                              << "-12";
    QTest::newRow("leading zeros") << "lineEdit_CUSTOM"
                                   << "udp_custom_port"
                                   << "0042"
                                   << "42";
}

// What the operator types is stored as its base-10 number, 0 when it is none, and shown so at
// the next start.
void tst_Settings::fieldTextStoredAsNumber()
{
    QFETCH(QString, field);
    QFETCH(QString, key);
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    writeStore(portLines({"1", "2", "3", "4"}) + "udp_default_ports=false\n");
    {
        MainWindow window;
        window.show();
        QLineEdit *edit = child(window, field);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, typed);
        QCOMPARE(edit->text(), typed);
        window.close();
        QCOMPARE(readStore().value(key), stored);
    }
    QCOMPARE(readStore().value(key), stored);
    MainWindow nextRun;
    QCOMPARE(child(nextRun, field)->text(), stored);
}

// Read once: a store changed under the running program is neither shown nor applied.
void tst_Settings::storeReadOnlyAtConstruction()
{
    writeStore(portLines({"1111", "1112", "1113", "1114"}) + "udp_default_ports=false\n");
    MainWindow window;
    // Another size, so that Qt's cache of the parsed file cannot hide a second read.
    writeStore(portLines({"22221", "22222", "22223", "22224"})
        + "udp_default_ports=true\nauto_connect=true\n");
    trayAction(window, "Settings")->trigger();
    QVERIFY(window.isVisible());
    QTest::qWait(20);
    QCOMPARE(fieldTexts(window), QStringList({"1111", "1112", "1113", "1114"}));
    QCOMPARE(controls(window), QList<bool>({true, true, false, false}));
    QCOMPARE(runningTimers(window), QList<int>());
    window.close();
    const Store store = readStore();
    QCOMPARE(storedPorts(store), QStringList({"1111", "1112", "1113", "1114"}));
    QCOMPARE(store.value("udp_default_ports"), QString("false"));
    QCOMPARE(store.value("auto_connect"), QString("false"));
}

void tst_Settings::useDefaultsClicks()
{
    writeStore(portLines({"1", "2", "3", "4"}) + "udp_default_ports=false\n");
    MainWindow window;
    window.show();

    clickBox(window, "checkBox_use_defaults");
    QCOMPARE(controls(window).at(2), true);
    QCOMPARE(fieldTexts(window), DefaultPorts);
    QCOMPARE(fieldsEnabled(window), NoneEnabled);

    clickBox(window, "checkBox_use_defaults");
    QCOMPARE(controls(window).at(2), false);
    QCOMPARE(fieldTexts(window), DefaultPorts); // the earlier values do not come back
    QCOMPARE(fieldsEnabled(window), AllEnabled);

    QLineEdit *listen = child(window, "lineEdit_LISTEN");
    listen->selectAll();
    QTest::keyClicks(listen, "777");
    QCOMPARE(listen->text(), QString("777"));
    clickBox(window, "checkBox_use_defaults");
    QCOMPARE(fieldTexts(window), DefaultPorts);
    QCOMPARE(fieldsEnabled(window), NoneEnabled);

    window.close();
    QCOMPARE(storedPorts(readStore()), DefaultPorts);
    QCOMPARE(readStore().value("udp_default_ports"), QString("true"));
}

void tst_Settings::checkedFromCodeDoesNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("Use defaults") << "checkBox_use_defaults";
    QTest::newRow("Auto Connect") << "checkBox_auto_connect";
}

// The slots answer clicks only: a state set by program code emits no click.
void tst_Settings::checkedFromCodeDoesNothing()
{
    QFETCH(QString, name);
    writeStore(portLines({"1", "2", "3", "4"}) + "udp_default_ports=false\n");
    MainWindow window;
    child<QCheckBox>(window, name)->setChecked(true);
    QCoreApplication::processEvents();
    QCOMPARE(fieldTexts(window), QStringList({"1", "2", "3", "4"}));
    QCOMPARE(fieldsEnabled(window), AllEnabled);
    QCOMPARE(controls(window).mid(0, 2), QList<bool>({true, true}));
    QCOMPARE(runningTimers(window), QList<int>());
}

void tst_Settings::autoConnectRetriesUntilDeviceAppears()
{
    writeStore(autoConnectStore());
    FakeHid::setRecordReads(false);
    QElapsedTimer clock;
    clock.start();
    MainWindow window;
    QCOMPARE(controls(window), QList<bool>({false, false, false, true}));
    QCOMPARE(runningTimers(window), QList<int>({2000}));
    QCOMPARE(openAttempts(), 0); // the first attempt comes from the event loop

    // A coarse 2000 ms timer may fire up to 5 % early.
    const qint64 first = waitForOpenAttempts(1, clock, 6000);
    QVERIFY2(first >= 1700 && first < 6000, qPrintable(QString::number(first)));
    QTest::qWait(20);
    QCOMPARE(openAttempts(), 1);
    QCOMPARE(status(window), QString("stopped"));
    QVERIFY(!FakeHid::callLog().contains("hid_set_nonblocking 1"));

    FakeHid::plug(); // the next attempt finds it
    const qint64 second = waitForOpenAttempts(2, clock, first + 4000);
    QVERIFY2(second - first >= 1700 && second < first + 4000,
        qPrintable(QString::number(second - first)));
    QTRY_COMPARE(status(window), QString("running"));
    QCOMPARE(openAttempts(), 2);
    QVERIFY(FakeHid::callLog().contains("hid_set_nonblocking 1"));
    QVERIFY(window.isHidden()); // starting shows no window
    QCOMPARE(runningTimers(window), QList<int>({1, 2000}));
}

// Counters and clients after a replug: tst_devicefaults. Here: the buttons and the retry timer.
void tst_Settings::autoConnectRestartsAfterReplug()
{
    writeStore(autoConnectStore());
    FakeHid::setRecordReads(false);
    FakeHid::plug();
    MainWindow window;
    window.show();
    QTRY_COMPARE_WITH_TIMEOUT(status(window), QString("running"), 4000);
    clickButton(window, "STOP"); // disabled while auto-connected
    QCOMPARE(status(window), QString("running"));

    FakeHid::unplug();
    QTRY_COMPARE(status(window), QString("stopped"));
    QCOMPARE(runningTimers(window), QList<int>({2000})); // device loss leaves the retry on
    FakeHid::plug();
    QTRY_COMPARE_WITH_TIMEOUT(status(window), QString("running"), 4000);
    QCOMPARE(controls(window), QList<bool>({false, false, false, true}));

    // Unchecking keeps the bridge running and hands Stop back to the operator.
    clickBox(window, "checkBox_auto_connect");
    QCOMPARE(status(window), QString("running"));
    QCOMPARE(controls(window), QList<bool>({true, true, false, false}));
    QCOMPARE(runningTimers(window), QList<int>({1}));
    clickButton(window, "STOP");
    QCOMPARE(status(window), QString("stopped"));
    FakeHid::clearCalls();
    clickBox(window, "checkBox_auto_connect"); // checking it does not start the bridge at once
    QCOMPARE(controls(window), QList<bool>({false, false, false, true}));
    QCOMPARE(runningTimers(window), QList<int>({2000}));
    QCOMPARE(openAttempts(), 0);
}

// Hiding to the tray and the bridge running on: tst_tray. Here: each close stores what is shown.
void tst_Settings::closeStoresEveryTime()
{
    writeStore(portLines({"0", "1", "2", "3"}) + "udp_default_ports=false\n");
    MainWindow window;
    trayAction(window, "Settings")->trigger();
    QLineEdit *metering = child(window, "lineEdit_METERING");
    metering->setText("4321");
    QVERIFY(!window.close());
    QCOMPARE(readStore().value("udp_metering_port"), QString("4321"));

    metering->setText("4322"); // waits for the next close, also one of the hidden window
    QCOMPARE(readStore().value("udp_metering_port"), QString("4321"));
    QVERIFY(window.isHidden());
    QVERIFY(!window.close());
    QCOMPARE(readStore().value("udp_metering_port"), QString("4322"));
}

void tst_Settings::quitEndsLoopAndStoresTwice()
{
    writeStore(portLines({"0", "1", "2", "3"}) + "udp_default_ports=false\n");
    auto window = std::make_unique<MainWindow>();
    QLineEdit *listen = child(*window, "lineEdit_LISTEN");
    listen->setText("1111");

    QTimer::singleShot(0, trayAction(*window, "Quit"), &QAction::trigger);
    QTimer::singleShot(5000, window.get(), [] { QCoreApplication::exit(99); }); // Quit failed
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!window->isVisible());
    QCOMPARE(readStore().value("udp_listen_port"), QString("1111")); // written by the close

    listen->setText("2222");
    window.reset();
    QCOMPARE(readStore().value("udp_listen_port"), QString("2222")); // and again on destruction
}

QTEST_MAIN(tst_Settings)
#include "tst_settings.moc"
