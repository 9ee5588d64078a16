#include "fakehidapi.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using Store = QMap<QString, QString>;

namespace {

const QStringList PortKeys
    = {"udp_listen_port", "udp_metering_port", "udp_config_port", "udp_custom_port"};
const QStringList PortFields
    = {"lineEdit_LISTEN", "lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"};
const QStringList DefaultPorts = {"18153", "18150", "18151", "18152"};

// The window's own QSettings keep parsed files cached by path and only reread one whose size
// or modification time changed, so every file or folder planted here gets a time of its own.
void giveUniqueTime(const QString &path)
{
    static time_t next = 1000000000;
    const utimbuf times {next, next};
    ++next;
    QVERIFY2(::utime(QFile::encodeName(path).constData(), &times) == 0, qPrintable(path));
}

void removeStore()
{
    const QString file = TestSupport::settingsFile();
    const QString folder = QFileInfo(file).path();
    if (QFileInfo(folder).isFile())
        QFile::remove(folder);
    else if (QFileInfo(file).isDir())
        QDir(file).removeRecursively();
    else
        QFile::remove(file);
}

void writeStore(const QByteArray &body)
{
    removeStore();
    const QString file = TestSupport::settingsFile();
    QVERIFY(QDir().mkpath(QFileInfo(file).path()));
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write("[General]\n" + body);
    out.close();
    giveUniqueTime(file);
}

// The store as the window wrote it, read as text: key=value lines of the [General] section.
Store readStore()
{
    Store store;
    QFile in(TestSupport::settingsFile());
    if (!in.open(QIODevice::ReadOnly))
        return store;
    for (const QByteArray &line : in.readAll().split('\n')) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            store.insert(
                QString::fromUtf8(line.left(equals)), QString::fromUtf8(line.mid(equals + 1)));
    }
    return store;
}

QByteArray portLines(const QStringList &values)
{
    QByteArray lines;
    for (int i = 0; i < PortKeys.size(); ++i)
        lines += PortKeys.at(i).toUtf8() + '=' + values.at(i).toUtf8() + '\n';
    return lines;
}

QStringList fieldTexts(const MainWindow &window)
{
    QStringList texts;
    for (const QString &name : PortFields)
        texts.append(window.findChild<QLineEdit *>(name)->text());
    return texts;
}

QStringList storedPorts(const Store &store)
{
    QStringList values;
    for (const QString &key : PortKeys)
        values.append(store.value(key, "<missing>"));
    return values;
}

QList<bool> fieldsEnabled(const MainWindow &window)
{
    QList<bool> enabled;
    for (const QString &name : PortFields)
        enabled.append(window.findChild<QLineEdit *>(name)->isEnabled());
    return enabled;
}

QList<bool> allOf(bool value)
{
    return {value, value, value, value};
}

// Intervals of the window's running timers: the 1 ms device poll and the 2000 ms auto-connect.
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

QCheckBox *box(const MainWindow &window, const char *name)
{
    return window.findChild<QCheckBox *>(name);
}

QPushButton *button(const MainWindow &window, const char *name)
{
    return window.findChild<QPushButton *>(name);
}

QString text(const MainWindow &window, const char *name)
{
    if (auto *label = window.findChild<QLabel *>(name))
        return label->text();
    return window.findChild<QLineEdit *>(name)->text();
}

// Clicks the box's indicator, where an operator would.
void clickBox(QCheckBox *checkBox)
{
    QStyleOptionButton option;
    option.initFrom(checkBox);
    const QRect indicator
        = checkBox->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, checkBox);
    QTest::mouseClick(checkBox, Qt::LeftButton, Qt::NoModifier, indicator.center());
}

QAction *trayAction(const MainWindow &window, const QString &label)
{
    const QMenu *menu = window.findChild<QSystemTrayIcon *>()->contextMenu();
    for (QAction *action : menu->actions())
        if (action->text() == label)
            return action;
    return nullptr;
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    if (!probe.bind(QHostAddress(QHostAddress::LocalHost), 0))
        return 0;
    return probe.localPort();
}

} // namespace

// Loading and storing the four ports and both checkboxes, what the checkboxes enable, the
// auto-connect retry against the simulated device, and when the store is written.
class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstRunWithEmptyStore();
    void loadsStoredValues_data();
    void loadsStoredValues();
    void fieldTextStoredAsNumber_data();
    void fieldTextStoredAsNumber();
    void storeReadOnlyAtConstruction();
    void unusableStore_data();
    void unusableStore();

    void useDefaultsClicks();
    void uncheckingStoredDefaultsKeepsTexts();
    void autoConnectClicks();
    void checkedFromCodeDoesNothing_data();
    void checkedFromCodeDoesNothing();

    void autoConnectRetriesUntilDeviceAppears();
    void autoConnectRestartsAfterReplug();

    void closeHidesStoresAndKeepsRunning();
    void quitEndsLoopAndStoresTwice_data();
    void quitEndsLoopAndStoresTwice();
};

void tst_Settings::initTestCase()
{
    TestSupport::isolateSettings();
}

void tst_Settings::init()
{
    FakeHid::reset();
    removeStore();
}

void tst_Settings::cleanup()
{
    // A write that failed stays pending in Qt's in-process cache and would reach the next test's
    // store: let it happen into a usable file, then remove that.
    removeStore();
    QSettings(TestSupport::settingsFile(), QSettings::IniFormat).sync();
    removeStore();
    FakeHid::reset();
}

void tst_Settings::firstRunWithEmptyStore()
{
    QVERIFY(!QFileInfo::exists(TestSupport::settingsFile()));
    FakeHid::plug(); // present, yet nothing may open it
    {
        MainWindow window;
        QCOMPARE(fieldTexts(window), QStringList({"0", "0", "0", "0"}));
        QCOMPARE(fieldsEnabled(window), allOf(true));
        QVERIFY(!box(window, "checkBox_use_defaults")->isChecked());
        QVERIFY(!box(window, "checkBox_auto_connect")->isChecked());
        QVERIFY(button(window, "START")->isEnabled());
        QVERIFY(button(window, "STOP")->isEnabled());
        QCOMPARE(runningTimers(window), QList<int>());
        QCoreApplication::processEvents();
        QCOMPARE(openAttempts(), 0);
        QVERIFY(window.isHidden());
        QVERIFY(!QFileInfo::exists(TestSupport::settingsFile())); // reading creates nothing
        window.close();
    }
    // The close wrote all six keys, under the folder named by XDG_CONFIG_HOME.
    const Store expected {{"udp_default_ports", "false"}, {"udp_metering_port", "0"},
        {"udp_config_port", "0"}, {"udp_custom_port", "0"}, {"udp_listen_port", "0"},
        {"auto_connect", "false"}};
    QCOMPARE(readStore(), expected);
}

void tst_Settings::loadsStoredValues_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<bool>("useDefaults");
    QTest::addColumn<QStringList>("shown");

    // Ports in the order LISTEN, METERING, CONFIG, CUSTOM.
    const QStringList plain {"5000", "5001", "5002", "5003"};
    QTest::newRow("ports as stored") << plain << false << plain;
    QTest::newRow("stored defaults override stored ports")
        << QStringList {"1", "2", "3", "4"} << true << DefaultPorts;
    const QStringList above {"70000", "65536", "99999", "2147483647"};
    QTest::newRow("above 16 bits kept") << above << false << above;
    const QStringList negative {"-1", "-5", "-65535", "-2147483648"};
    QTest::newRow("negative kept") << negative << false << negative;
    QTest::newRow("not numbers load as 0")
        << QStringList {"abc", "", "12abc", "1.5"} << false << QStringList {"0", "0", "0", "0"};
    QTest::newRow("beyond the int range loads as 0")
        << QStringList {"99999999999", "-2147483649", "3000000000", "99999999999999999999999"}
        << false << QStringList {"0", "0", "0", "0"};
    QTest::newRow("shown in plain decimal form")
        << QStringList {"007", "+42", "0x10", "-0"} << false << QStringList {"7", "42", "0", "0"};
}

// Every stored port shows as its plain decimal number, and the next close stores what is shown.
void tst_Settings::loadsStoredValues()
{
    QFETCH(QStringList, stored);
    QFETCH(bool, useDefaults);
    QFETCH(QStringList, shown);
    writeStore(portLines(stored) + "udp_default_ports=" + (useDefaults ? "true" : "false")
        + "\nauto_connect=false\n");
    {
        MainWindow window;
        QCOMPARE(fieldTexts(window), shown);
        QCOMPARE(fieldsEnabled(window), allOf(!useDefaults));
        QCOMPARE(box(window, "checkBox_use_defaults")->isChecked(), useDefaults);
        QVERIFY(!box(window, "checkBox_auto_connect")->isChecked());
        QVERIFY(!window.close());
        const Store afterClose = readStore();
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
    QTest::newRow("nothing") << "lineEdit_METERING"
                             << "udp_metering_port"
                             << ""
                             << "0";
    QTest::newRow("digits then letters") << "lineEdit_CONFIGURATION"
                                         << "udp_config_port"
                                         << "12abc"
                                         << "0";
    QTest::newRow("beyond the int range") << "lineEdit_CUSTOM"
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

// What the operator types is stored as its base-10 number, 0 when it is none, and that number
// is what the field shows at the next start of the program.
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
        auto *edit = window.findChild<QLineEdit *>(field);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, typed);
        QCOMPARE(edit->text(), typed);
        window.close();
        QCOMPARE(readStore().value(key), stored);
    }
    QCOMPARE(readStore().value(key), stored);
    MainWindow nextRun;
    QCOMPARE(nextRun.findChild<QLineEdit *>(field)->text(), stored);
}

void tst_Settings::storeReadOnlyAtConstruction()
{
    writeStore(portLines({"1111", "1112", "1113", "1114"}) + "udp_default_ports=false\n");
    MainWindow window;
    writeStore(portLines({"2221", "2222", "2223", "2224"})
        + "udp_default_ports=true\nauto_connect=true\n");
    trayAction(window, "Settings")->trigger();
    QVERIFY(window.isVisible());
    QTest::qWait(20);
    QCOMPARE(fieldTexts(window), QStringList({"1111", "1112", "1113", "1114"}));
    QVERIFY(!box(window, "checkBox_use_defaults")->isChecked());
    QVERIFY(!box(window, "checkBox_auto_connect")->isChecked());
    QCOMPARE(runningTimers(window), QList<int>());
    window.close();
    const Store store = readStore();
    QCOMPARE(storedPorts(store), QStringList({"1111", "1112", "1113", "1114"}));
    QCOMPARE(store.value("udp_default_ports"), QString("false"));
    QCOMPARE(store.value("auto_connect"), QString("false"));
}

void tst_Settings::unusableStore_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("store is a folder") << "folder";
    QTest::newRow("organization folder is a file") << "organization file";
    QTest::newRow("malformed contents") << "malformed";
    QTest::newRow("unreadable file") << "unreadable";
}

// Missing keys load as 0 and unchecked; a write that cannot happen stops neither the close nor
// the destruction.
void tst_Settings::unusableStore()
{
    QFETCH(QString, kind);
    const QString file = TestSupport::settingsFile();
    const QString folder = QFileInfo(file).path();
    if (kind == "folder") {
        QVERIFY(QDir().mkpath(file));
        giveUniqueTime(file);
    } else if (kind == "organization file") {
        QVERIFY(QDir(folder).removeRecursively());
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.write("not a folder\n");
        blocker.close();
    } else if (kind == "malformed") {
        writeStore(QByteArray("\x00\x01\xff\xfe[[[\n=\n==5\nudp_listen_port\n[broken\n", 38));
    } else {
        if (::geteuid() == 0)
            QSKIP("file permissions do not keep root from reading");
        writeStore(portLines({"5000", "5001", "5002", "5003"}) + "auto_connect=true\n");
        QVERIFY(QFile::setPermissions(file, QFileDevice::WriteOwner));
    }
    {
        MainWindow window;
        QCOMPARE(fieldTexts(window), QStringList({"0", "0", "0", "0"}));
        QCOMPARE(fieldsEnabled(window), allOf(true));
        QVERIFY(!box(window, "checkBox_use_defaults")->isChecked());
        QVERIFY(!box(window, "checkBox_auto_connect")->isChecked());
        window.show();
        QVERIFY(!window.close());
        QVERIFY(window.isHidden());
    }
    if (kind == "folder")
        QVERIFY(QFileInfo(file).isDir());
    if (kind == "organization file")
        QVERIFY(QFileInfo(folder).isFile());
}

void tst_Settings::useDefaultsClicks()
{
    writeStore(portLines({"1", "2", "3", "4"}) + "udp_default_ports=false\n");
    MainWindow window;
    window.show();
    QCheckBox *useDefaults = box(window, "checkBox_use_defaults");

    clickBox(useDefaults);
    QVERIFY(useDefaults->isChecked());
    QCOMPARE(fieldTexts(window), DefaultPorts);
    QCOMPARE(fieldsEnabled(window), allOf(false));

    clickBox(useDefaults);
    QVERIFY(!useDefaults->isChecked());
    QCOMPARE(fieldTexts(window), DefaultPorts); // the earlier values do not come back
    QCOMPARE(fieldsEnabled(window), allOf(true));

    auto *listen = window.findChild<QLineEdit *>("lineEdit_LISTEN");
    listen->selectAll();
    QTest::keyClicks(listen, "777");
    QCOMPARE(listen->text(), QString("777"));
    clickBox(useDefaults);
    QCOMPARE(fieldTexts(window), DefaultPorts);
    QCOMPARE(fieldsEnabled(window), allOf(false));

    window.close();
    QCOMPARE(storedPorts(readStore()), DefaultPorts);
    QCOMPARE(readStore().value("udp_default_ports"), QString("true"));
}

void tst_Settings::uncheckingStoredDefaultsKeepsTexts()
{
    writeStore(portLines({"1", "2", "3", "4"}) + "udp_default_ports=true\n");
    MainWindow window;
    window.show();
    QCOMPARE(fieldsEnabled(window), allOf(false));
    clickBox(box(window, "checkBox_use_defaults"));
    QVERIFY(!box(window, "checkBox_use_defaults")->isChecked());
    QCOMPARE(fieldTexts(window), DefaultPorts);
    QCOMPARE(fieldsEnabled(window), allOf(true));
    window.close();
    QCOMPARE(readStore().value("udp_default_ports"), QString("false"));
    QCOMPARE(storedPorts(readStore()), DefaultPorts);
}

void tst_Settings::autoConnectClicks()
{
    MainWindow window;
    window.show();
    QCheckBox *autoConnect = box(window, "checkBox_auto_connect");
    QPushButton *start = button(window, "START");
    QPushButton *stop = button(window, "STOP");

    clickBox(autoConnect);
    QVERIFY(autoConnect->isChecked());
    QVERIFY(!start->isEnabled());
    QVERIFY(!stop->isEnabled());
    QCOMPARE(runningTimers(window), QList<int>({2000}));
    FakeHid::plug();
    QTest::mouseClick(start, Qt::LeftButton); // disabled: no open attempt
    QCOMPARE(openAttempts(), 0);
    QCOMPARE(text(window, "label_status_connection"), QString("stopped"));

    clickBox(autoConnect);
    QVERIFY(!autoConnect->isChecked());
    QVERIFY(start->isEnabled());
    QVERIFY(stop->isEnabled());
    QCOMPARE(runningTimers(window), QList<int>());
    QCOMPARE(openAttempts(), 0); // checking it does not start the bridge at once

    window.close();
    QCOMPARE(readStore().value("auto_connect"), QString("false"));
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
    window.findChild<QCheckBox *>(name)->setChecked(true);
    QCoreApplication::processEvents();
    QCOMPARE(fieldTexts(window), QStringList({"1", "2", "3", "4"}));
    QCOMPARE(fieldsEnabled(window), allOf(true));
    QVERIFY(button(window, "START")->isEnabled());
    QVERIFY(button(window, "STOP")->isEnabled());
    QCOMPARE(runningTimers(window), QList<int>());
}

void tst_Settings::autoConnectRetriesUntilDeviceAppears()
{
    writeStore("auto_connect=true\nudp_listen_port=" + QByteArray::number(freeUdpPort()) + '\n');
    FakeHid::setRecordReads(false);
    QElapsedTimer clock;
    clock.start();
    MainWindow window;
    QVERIFY(!button(window, "START")->isEnabled());
    QVERIFY(!button(window, "STOP")->isEnabled());
    QCOMPARE(runningTimers(window), QList<int>({2000}));
    QCOMPARE(openAttempts(), 0); // the first attempt comes from the event loop

    // A coarse 2000 ms timer may fire up to 5 % early.
    const qint64 first = waitForOpenAttempts(1, clock, 6000);
    QVERIFY2(first >= 1700 && first < 6000, qPrintable(QString::number(first)));
    QTest::qWait(20);
    QCOMPARE(openAttempts(), 1);
    QCOMPARE(text(window, "label_status_connection"), QString("stopped"));
    QVERIFY(!FakeHid::callLog().contains("hid_set_nonblocking 1"));

    FakeHid::plug(); // the next attempt finds it
    const qint64 second = waitForOpenAttempts(2, clock, first + 4000);
    QVERIFY2(second - first >= 1700 && second < first + 4000,
        qPrintable(QString::number(second - first)));
    QTRY_COMPARE(text(window, "label_status_connection"), QString("running"));
    QCOMPARE(openAttempts(), 2);
    QVERIFY(FakeHid::callLog().contains("hid_set_nonblocking 1"));
    QVERIFY(window.isHidden()); // starting shows no window
    QCOMPARE(runningTimers(window), QList<int>({1, 2000}));
}

void tst_Settings::autoConnectRestartsAfterReplug()
{
    const quint16 listenPort = freeUdpPort();
    QVERIFY(listenPort != 0);
    writeStore("auto_connect=true\nudp_listen_port=" + QByteArray::number(listenPort) + '\n');
    FakeHid::setRecordReads(false);
    FakeHid::plug();
    const int handlesBefore = FakeHid::openHandles(); // a destroyed window leaves its handle open
    MainWindow window;
    window.show();
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "label_status_connection"), QString("running"), 4000);

    // Stop is disabled while auto-connected: the bridge cannot be stopped by hand.
    QPushButton *stop = button(window, "STOP");
    QVERIFY(!stop->isEnabled());
    QTest::mouseClick(stop, Qt::LeftButton);
    QCOMPARE(text(window, "label_status_connection"), QString("running"));

    FakeHid::queueInput(QByteArray::fromHex("00f00102030405060708"));
    FakeHid::queueInput(QByteArray::fromHex("00f00102030405060709"));
    QTRY_COMPARE(text(window, "lineEdit_received"), QString("2"));
    QUdpSocket client;
    QVERIFY2(
        client.bind(QHostAddress(QHostAddress::LocalHost), 0), qPrintable(client.errorString()));
    client.writeDatagram(
        QByteArray::fromHex("a0a00102030405060708090a"), QHostAddress::LocalHost, listenPort);
    QTRY_COMPARE(text(window, "lineEdit_send"), QString("1"));
    QCOMPARE(text(window, "lineEdit_clients"), QString("1"));

    FakeHid::unplug();
    QTRY_COMPARE(text(window, "label_status_connection"), QString("stopped"));
    QVERIFY(FakeHid::callLog().contains("hid_close"));
    QCOMPARE(FakeHid::openHandles(), handlesBefore);
    QCOMPARE(runningTimers(window), QList<int>({2000})); // device loss leaves the retry on

    FakeHid::plug();
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "label_status_connection"), QString("running"), 4000);
    QCOMPARE(text(window, "lineEdit_received"), QString("0"));
    QCOMPARE(text(window, "lineEdit_send"), QString("0"));
    QCOMPARE(text(window, "lineEdit_clients"), QString("0"));
    QVERIFY(!button(window, "START")->isEnabled());
    QVERIFY(!stop->isEnabled());

    // Unchecking keeps the bridge running and hands Stop back to the operator.
    clickBox(box(window, "checkBox_auto_connect"));
    QCOMPARE(text(window, "label_status_connection"), QString("running"));
    QVERIFY(button(window, "START")->isEnabled());
    QVERIFY(stop->isEnabled());
    QCOMPARE(runningTimers(window), QList<int>({1}));
    QTest::mouseClick(stop, Qt::LeftButton);
    QCOMPARE(text(window, "label_status_connection"), QString("stopped"));
    QCOMPARE(FakeHid::openHandles(), handlesBefore);
}

void tst_Settings::closeHidesStoresAndKeepsRunning()
{
    writeStore(portLines({"0", "1", "2", "3"}) + "udp_default_ports=false\n");
    FakeHid::plug();
    const int handlesBefore = FakeHid::openHandles();
    MainWindow window;
    trayAction(window, "Settings")->trigger();
    QTest::mouseClick(button(window, "START"), Qt::LeftButton);
    QCOMPARE(text(window, "label_status_connection"), QString("running"));
    auto *metering = window.findChild<QLineEdit *>("lineEdit_METERING");
    metering->setText("4321");

    QVERIFY(!window.close());
    QVERIFY(window.isHidden());
    QCOMPARE(readStore().value("udp_metering_port"), QString("4321"));
    QCOMPARE(text(window, "label_status_connection"), QString("running"));
    QVERIFY(!FakeHid::callLog().contains("hid_close"));
    QCOMPARE(FakeHid::openHandles(), handlesBefore + 1);
    FakeHid::queueInput(QByteArray::fromHex("00f00102030405060708"));
    QTRY_COMPARE(text(window, "lineEdit_received"), QString("1")); // still polling

    // A value changed later waits for the next close, also one of the hidden window.
    metering->setText("4322");
    QCOMPARE(readStore().value("udp_metering_port"), QString("4321"));
    QVERIFY(!window.close());
    QCOMPARE(readStore().value("udp_metering_port"), QString("4322"));
}

void tst_Settings::quitEndsLoopAndStoresTwice_data()
{
    QTest::addColumn<bool>("shown");
    QTest::newRow("window hidden") << false;
    QTest::newRow("window shown") << true;
}

void tst_Settings::quitEndsLoopAndStoresTwice()
{
    QFETCH(bool, shown);
    writeStore(portLines({"0", "1", "2", "3"}) + "udp_default_ports=false\n");
    auto window = std::make_unique<MainWindow>();
    if (shown)
        trayAction(*window, "Settings")->trigger();
    auto *listen = window->findChild<QLineEdit *>("lineEdit_LISTEN");
    listen->setText("1111");

    QTimer::singleShot(0, trayAction(*window, "Quit"), &QAction::trigger);
    bool loopStuck = false;
    QTimer fallback;
    fallback.setSingleShot(true);
    connect(&fallback, &QTimer::timeout, [&loopStuck] {
        loopStuck = true;
        QCoreApplication::exit(99);
    });
    fallback.start(5000);
    const int exitCode = QApplication::exec();
    fallback.stop();
    QVERIFY2(!loopStuck, "Quit did not end the event loop");
    QCOMPARE(exitCode, 0);
    QVERIFY(!window->isVisible());
    QCOMPARE(readStore().value("udp_listen_port"), QString("1111")); // written by the close

    listen->setText("2222");
    window.reset();
    QCOMPARE(readStore().value("udp_listen_port"), QString("2222")); // written again on destruction
}

QTEST_MAIN(tst_Settings)
#include "tst_settings.moc"
