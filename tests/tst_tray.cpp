#include "fakehidapi.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QAction>
#include <QCloseEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

Q_DECLARE_METATYPE(QSystemTrayIcon::ActivationReason)

namespace {

const char *const GrayPath = ":/resources/png/icon_gray.png";
const char *const GreenPath = ":/resources/png/icon_green.png";
const QString Disconnecting = QStringLiteral("disconnecting... ");

// Compared premultiplied: plain ARGB32 differs on anti-aliased edges after a pixmap trip.
QImage resourceImage(const char *path)
{
    return QImage(QString::fromLatin1(path)).convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage trayImage(const QSystemTrayIcon *tray)
{
    return tray->icon()
        .pixmap(QSize(256, 256))
        .toImage()
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QSystemTrayIcon *tray(const MainWindow &window)
{
    return window.findChild<QSystemTrayIcon *>();
}

QString status(const MainWindow &window)
{
    return window.findChild<QLabel *>("label_status_connection")->text();
}

QAction *menuEntry(const MainWindow &window, const QString &label)
{
    for (QAction *action : tray(window)->contextMenu()->actions())
        if (action->text() == label)
            return action;
    return nullptr;
}

void click(const MainWindow &window, const char *buttonName)
{
    QTest::mouseClick(window.findChild<QPushButton *>(buttonName), Qt::LeftButton);
}

bool pollRunning(const MainWindow &window)
{
    for (const QTimer *timer : window.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly))
        if (timer->isActive() && timer->interval() == 1)
            return true;
    return false;
}

} // namespace

// The tray icon, its menu and image, the status slot, and closing to the tray.
class tst_Tray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void menuAndTooltip();
    void iconFollowsRunState();
    void usbStatusSlot_data();
    void usbStatusSlot();
    void trayClicksDoNothing_data();
    void trayClicksDoNothing();
    void closeHidesUntilQuit_data();
    void closeHidesUntilQuit();

private:
    QImage gray;
    QImage green;
};

void tst_Tray::initTestCase()
{
    TestSupport::isolateSettings();
    gray = resourceImage(GrayPath);
    green = resourceImage(GreenPath);
    QVERIFY(gray != green); // else the comparisons below could not tell the states apart
}

void tst_Tray::init()
{
    FakeHid::reset();
    FakeHid::setRecordReads(false);
    FakeHid::plug();
    QFile::remove(TestSupport::settingsFile()); // every window starts on an empty store
}

void tst_Tray::menuAndTooltip()
{
    MainWindow window;
    QCOMPARE(window.findChildren<QSystemTrayIcon *>().size(), 1);
    QVERIFY(tray(window)->isVisible());
    QCOMPARE(tray(window)->toolTip(), QString("Tavrel Control"));
    const QMenu *menu = tray(window)->contextMenu();
    QVERIFY(menu);
    QCOMPARE(menu->title(), QString("MyMenu"));
    QStringList labels;
    for (const QAction *action : menu->actions())
        labels.append(action->text());
    QCOMPARE(labels, QStringList({"Quit", "Settings"}));

    QVERIFY(window.isHidden()); // only the tray icon at start-up
    menuEntry(window, "Settings")->trigger();
    QVERIFY(window.isVisible());
    QCOMPARE(status(window), QString("stopped"));
}

void tst_Tray::iconFollowsRunState()
{
    TestSupport::DebugCapture debug;
    MainWindow window;
    QSystemTrayIcon *icon = tray(window);
    QCOMPARE(trayImage(icon), gray);
    click(window, "START");
    QCOMPARE(status(window), QString("running"));
    QCOMPARE(trayImage(icon), green);
    click(window, "START"); // a second start changes nothing
    QCOMPARE(trayImage(icon), green);
    click(window, "STOP");
    QCOMPARE(trayImage(icon), gray);
    QCOMPARE(debug.count(Disconnecting), 1);

    click(window, "START");
    QCOMPARE(trayImage(icon), green);
    FakeHid::unplug();
    QTRY_COMPARE(status(window), QString("stopped"));
    QCOMPARE(trayImage(icon), gray);
    QVERIFY(icon->isVisible());
}

void tst_Tray::usbStatusSlot_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("resets");
    QTest::newRow("2") << 2 << false;
    QTest::newRow("0") << 0 << false;
    QTest::newRow("1") << 1 << false;
    QTest::newRow("-1") << -1 << true;
    QTest::newRow("most negative") << std::numeric_limits<int>::min() << false;
}

// Called on a running bridge: only -1 resets the display; it does not stop the poll itself
// (the device link stops the bridge before reporting a loss).
void tst_Tray::usbStatusSlot()
{
    QFETCH(int, code);
    QFETCH(bool, resets);
    MainWindow window;
    click(window, "START");
    FakeHid::queueInput(QByteArray::fromHex("00f00102030405060708"));
    auto *received = window.findChild<QLineEdit *>("lineEdit_received");
    QTRY_COMPARE(received->text(), QString("1"));
    const qint64 iconKey = tray(window)->icon().cacheKey();
    FakeHid::clearCalls();

    TestSupport::DebugCapture debug;
    QVERIFY(QMetaObject::invokeMethod(&window, "usb_status_slot", Q_ARG(int, code)));
    QCOMPARE(debug.count(Disconnecting), resets ? 1 : 0);
    QCOMPARE(status(window), QString(resets ? "stopped" : "running"));
    QCOMPARE(window.findChild<QLabel *>("label_status_connection")->styleSheet(),
        QString(resets ? "color: rgb(255, 0, 0);" : "color: rgb(0, 255, 0);"));
    QCOMPARE(trayImage(tray(window)), resets ? gray : green);
    QCOMPARE(tray(window)->icon().cacheKey() == iconKey, !resets); // loaded anew
    QCOMPARE(received->text(), QString("1"));
    QVERIFY(pollRunning(window));
    QCOMPARE(FakeHid::callLog().filter(QRegularExpression("^hid_(close|exit)")), QStringList());
    QVERIFY(window.isHidden());
}

void tst_Tray::trayClicksDoNothing_data()
{
    QTest::addColumn<bool>("notification");
    QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
    QTest::newRow("click") << false << QSystemTrayIcon::Trigger;
    QTest::newRow("double click") << false << QSystemTrayIcon::DoubleClick;
    QTest::newRow("middle click") << false << QSystemTrayIcon::MiddleClick;
    QTest::newRow("context") << false << QSystemTrayIcon::Context;
    QTest::newRow("unknown") << false << QSystemTrayIcon::Unknown;
    QTest::newRow("notification clicked") << true << QSystemTrayIcon::Unknown;
}

void tst_Tray::trayClicksDoNothing()
{
    QFETCH(bool, notification);
    QFETCH(QSystemTrayIcon::ActivationReason, reason);
    MainWindow window;
    QSystemTrayIcon *icon = tray(window);
    const qint64 iconKey = icon->icon().cacheKey();
    TestSupport::DebugCapture debug;
    if (notification)
        emit icon->messageClicked();
    else
        emit icon->activated(reason);
    QCoreApplication::processEvents();
    QVERIFY(window.isHidden());
    QCOMPARE(status(window), QString("stopped"));
    QCOMPARE(icon->icon().cacheKey(), iconKey);
    QVERIFY(FakeHid::callLog().isEmpty());
    QVERIFY(debug.debugTexts().isEmpty());
}

void tst_Tray::closeHidesUntilQuit_data()
{
    QTest::addColumn<bool>("shown");
    QTest::newRow("window hidden") << false;
    QTest::newRow("window shown") << true;
}

// Every close request before "Quit" is refused and hides the window; the bridge runs on.
void tst_Tray::closeHidesUntilQuit()
{
    QFETCH(bool, shown);
    MainWindow window;
    click(window, "START");
    if (shown)
        menuEntry(window, "Settings")->trigger();
    QCloseEvent request;
    QCoreApplication::sendEvent(&window, &request);
    QVERIFY(!request.isAccepted());
    QVERIFY(window.isHidden());
    QVERIFY(!window.close());
    QVERIFY(window.isHidden());
    QVERIFY(tray(window)->isVisible());
    QCOMPARE(status(window), QString("running"));
    QCOMPARE(trayImage(tray(window)), green);
    QVERIFY(!FakeHid::callLog().contains("hid_close"));
    FakeHid::queueInput(QByteArray::fromHex("00f00102030405060708"));
    QTRY_COMPARE(window.findChild<QLineEdit *>("lineEdit_received")->text(), QString("1"));

    // Outside the event loop "Quit" ends nothing, but from now on every close is accepted.
    menuEntry(window, "Quit")->trigger();
    QVERIFY(window.isHidden());
    menuEntry(window, "Settings")->trigger();
    QVERIFY(window.isVisible());
    QVERIFY(window.close());
    QVERIFY(window.isHidden());
}

QTEST_MAIN(tst_Tray)
#include "tst_tray.moc"
