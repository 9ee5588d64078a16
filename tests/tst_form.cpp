#include "mainwindow.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMetaMethod>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QToolBar>
#include <QtTest>

// The header that the build generated from the form, not a copy.
#include UI_MAINWINDOW_HEADER

// The window's form against its table: widgets and their state, the window's own properties,
// the focus order, the slots bound by name and the statements of the generated code in order.
class tst_Form : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::isolateSettings(); }
    void init() { QFile::remove(TestSupport::settingsFile()); }

    void widgetTable_data();
    void widgetTable();
    void focusOrder();
    void mainWindowAfterConstruction();
    void slotTable();
    void onlyFourConnectionsByName();
    void generatedCode_data();
    void generatedCode();
};

namespace {

const char *const GroupBoxStyleSheet = "QGroupBox {\n"
                                       "    border: 1px solid gray;\n"
                                       "    border-radius: 6px;\n"
                                       "    margin-top: 0.5em;\n"
                                       "}\n"
                                       "\n"
                                       "QGroupBox::title {\n"
                                       "    subcontrol-origin: margin;\n"
                                       "    left: 10px;\n"
                                       "    padding: 0 3px 0 3px;\n"
                                       "}";

enum Text { None, Title, Label, Clear };

struct WidgetRow
{
    const char *name;
    const char *className;
    const char *parent;
    QRect geometry; // null for the central widget, which the window places
    Text textKind;
    const char *text;
    bool enabled;
    int checked; // -1: not a checkable widget
    QStringList extraState; // setupUi statements after geometry and checked state
};

// clang-format off
const QList<WidgetRow> &formTable()
{
    static const QList<WidgetRow> rows {
        {"centralWidget", "QWidget", "MainWindow", QRect(), None, "", true, -1, {}},
        {"groupBox", "QGroupBox", "centralWidget", {220, 10, 181, 151}, Title, "Status", true, -1, {}},
        {"label_2", "QLabel", "groupBox", {10, 66, 111, 16}, Label, "TRANSMITTED:", true, -1, {}},
        {"lineEdit_send", "QLineEdit", "groupBox", {120, 66, 51, 20}, None, "", false, -1, {}},
        {"lineEdit_received", "QLineEdit", "groupBox", {120, 20, 51, 20}, None, "", false, -1, {}},
        {"label", "QLabel", "groupBox", {10, 20, 111, 20}, Label, "RECEIVED:", true, -1, {}},
        {"lineEdit_clients", "QLineEdit", "groupBox", {120, 110, 51, 20}, None, "", false, -1, {}},
        {"label_8", "QLabel", "groupBox", {10, 110, 111, 16}, Label, "CLIENTS ACTIVE:", true, -1, {}},
        {"groupBox_2", "QGroupBox", "centralWidget", {10, 10, 191, 241}, Title, "UDP/IP Ports", true, -1, {}},
        {"checkBox_use_defaults", "QCheckBox", "groupBox_2", {10, 30, 131, 17}, Label, "Use defaults", true, 1, {}},
        {"groupBox_4", "QGroupBox", "groupBox_2", {10, 60, 171, 111}, Title, "Transmit", true, -1,
            {"QFont font", "font.setBold(false)", "font.setWeight(50)", "groupBox_4->setFont(font)",
                "groupBox_4->setStyleSheet(QString::fromUtf8(\"\"))"}},
        {"label_9", "QLabel", "groupBox_4", {10, 50, 101, 16}, Label, "CONFIG:", true, -1, {}},
        {"lineEdit_CONFIGURATION", "QLineEdit", "groupBox_4", {110, 50, 51, 20}, None, "", true, -1, {}},
        {"label_7", "QLabel", "groupBox_4", {10, 20, 101, 16}, Label, "METERING:", true, -1, {}},
        {"lineEdit_METERING", "QLineEdit", "groupBox_4", {110, 20, 51, 20}, None, "", true, -1, {}},
        {"label_10", "QLabel", "groupBox_4", {10, 80, 101, 16}, Label, "CUSTOM:", true, -1, {}},
        {"lineEdit_CUSTOM", "QLineEdit", "groupBox_4", {110, 80, 51, 20}, None, "", true, -1, {}},
        {"groupBox_5", "QGroupBox", "groupBox_2", {10, 180, 171, 51}, Title, "Receive", true, -1,
            {"groupBox_5->setFont(font)", "groupBox_5->setStyleSheet(QString::fromUtf8(\"\"))"}},
        {"label_6", "QLabel", "groupBox_5", {10, 20, 101, 16}, Label, "LISTEN:", true, -1, {}},
        {"lineEdit_LISTEN", "QLineEdit", "groupBox_5", {110, 20, 51, 20}, Clear, "", true, -1, {}},
        {"groupBox_3", "QGroupBox", "centralWidget", {220, 170, 181, 81}, Title, "Interface", true, -1, {}},
        {"STOP", "QPushButton", "groupBox_3", {110, 20, 61, 23}, Label, "Stop", true, -1, {}},
        {"START", "QPushButton", "groupBox_3", {40, 20, 61, 23}, Label, "Start", true, -1, {}},
        {"label_status_connection", "QLabel", "groupBox_3", {120, 50, 51, 20}, Label, "stopped", true, -1,
            {"label_status_connection->setStyleSheet(QString::fromUtf8(\"color: rgb(255, 0, 0);\"))",
                "label_status_connection->setAlignment(Qt::AlignRight|Qt::AlignVCenter)"}},
        {"checkBox_auto_connect", "QCheckBox", "groupBox_3", {11, 50, 111, 17}, Label, "Auto Connect", true, 0, {}},
    };
    return rows;
}
// clang-format on

// A group box's title, or the text of a label, button or line edit; nothing for a bare widget.
QString widgetText(const QWidget *widget)
{
    return widget->property(qobject_cast<const QGroupBox *>(widget) ? "title" : "text").toString();
}

// Blanks and literal joins ("a" "b") dropped, so statements compare as plain text.
QString squeezed(QString code)
{
    return code.remove(QRegularExpression(QStringLiteral("\\s+"))).remove(QLatin1String("\"\""));
}

QStringList setupUiStatements()
{
    QStringList expected {"if (MainWindow->objectName().isEmpty()) "
                          "MainWindow->setObjectName(QString::fromUtf8(\"MainWindow\"))",
        "MainWindow->resize(412, 265)",
        "QSizePolicy sizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred)",
        "sizePolicy.setHorizontalStretch(0)", "sizePolicy.setVerticalStretch(0)",
        "sizePolicy.setHeightForWidth(MainWindow->sizePolicy().hasHeightForWidth())",
        "MainWindow->setSizePolicy(sizePolicy)", "MainWindow->setMinimumSize(QSize(412, 265))",
        "MainWindow->setMaximumSize(QSize(412, 265))",
        QStringLiteral("MainWindow->setStyleSheet(QString::fromUtf8(\"%1\"))")
            .arg(QString::fromLatin1(GroupBoxStyleSheet).replace('\n', QLatin1String("\\n")))};
    for (const WidgetRow &row : formTable()) {
        expected << QStringLiteral("%1 = new %2(%3)").arg(row.name, row.className, row.parent)
                 << QStringLiteral("%1->setObjectName(QString::fromUtf8(\"%1\"))").arg(row.name);
        if (!row.enabled)
            expected << QStringLiteral("%1->setEnabled(false)").arg(row.name);
        const QRect &r = row.geometry;
        if (!r.isNull())
            expected << QString::asprintf("%s->setGeometry(QRect(%d, %d, %d, %d))", row.name, r.x(),
                r.y(), r.width(), r.height());
        if (row.checked == 1)
            expected << QStringLiteral("%1->setChecked(true)").arg(row.name);
        expected << row.extraState;
    }
    expected << "MainWindow->setCentralWidget(centralWidget)"
             << "retranslateUi(MainWindow)"
             << "QMetaObject::connectSlotsByName(MainWindow)";
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6's uic passes object names as plain literals and leaves out the legacy weight 50,
    // which setBold(false) gives anyway.
    expected.removeAll(QStringLiteral("font.setWeight(50)"));
    expected.replaceInStrings(
        QRegularExpression(R"(setObjectName\(QString::fromUtf8\(("\w+")\)\))"),
        QStringLiteral("setObjectName(\\1)"));
#endif
    return expected;
}

QStringList retranslateUiStatements()
{
    const QString translated
        = QStringLiteral("%1->%2(QCoreApplication::translate(\"MainWindow\", \"%3\", nullptr))");
    QStringList expected {translated.arg("MainWindow", "setWindowTitle", "MainWindow")};
    for (const WidgetRow &row : formTable()) {
        if (row.textKind == Title || row.textKind == Label)
            expected << translated.arg(
                row.name, row.textKind == Title ? "setTitle" : "setText", row.text);
        else if (row.textKind == Clear)
            expected << QStringLiteral("%1->setText(QString())").arg(row.name);
    }
    return expected;
}

} // namespace

void tst_Form::widgetTable_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < formTable().size(); ++i)
        QTest::newRow(formTable().at(i).name) << i;
}

void tst_Form::widgetTable()
{
    QFETCH(int, row);
    const WidgetRow &expected = formTable().at(row);
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);

    const QList<QWidget *> named = window.findChildren<QWidget *>(QLatin1String(expected.name));
    QCOMPARE(named.size(), 1);
    QWidget *widget = named.first();
    QCOMPARE(widget->metaObject()->className(), expected.className);
    QVERIFY(widget->parentWidget());
    QCOMPARE(widget->parentWidget()->objectName(), QString::fromLatin1(expected.parent));
    if (!expected.geometry.isNull())
        QCOMPARE(widget->geometry(), expected.geometry);
    QCOMPARE(widgetText(widget), QString::fromUtf8(expected.text));
    QCOMPARE(widget->isEnabled(), expected.enabled);
    auto *box = qobject_cast<QCheckBox *>(widget);
    QCOMPARE(box ? int(box->isChecked()) : -1, expected.checked);
}

void tst_Form::focusOrder()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);

    // CONFIG before METERING and Stop before Start; the disabled counters are skipped.
    QStringList tabStops;
    for (QWidget *w = window.nextInFocusChain(); w != &window; w = w->nextInFocusChain())
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled())
            tabStops << w->objectName();
    QCOMPARE(tabStops,
        QStringList({"checkBox_use_defaults", "lineEdit_CONFIGURATION", "lineEdit_METERING",
            "lineEdit_CUSTOM", "lineEdit_LISTEN", "STOP", "START", "checkBox_auto_connect"}));
}

void tst_Form::mainWindowAfterConstruction()
{
    TestSupport::DebugCapture capture;
    MainWindow window;

    QCOMPARE(window.windowTitle(), QStringLiteral("Tavrel Control v1.0.1.0"));
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Quorvale"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Tavrel Control"));
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.minimumSize(), QSize(412, 265));
    QCOMPARE(window.maximumSize(), QSize(412, 265));
    QCOMPARE(window.styleSheet(), QString::fromLatin1(GroupBoxStyleSheet)); // to the character
    QVERIFY(!window.menuWidget());
    QVERIFY(!window.findChild<QStatusBar *>());
    QVERIFY(!window.findChild<QToolBar *>());
    QVERIFY(!window.isVisible());
    // No connect-by-name complaint: every on_ slot has its widget and signal.
    for (const TestSupport::LoggedLine &line : TestSupport::DebugCapture::lines())
        QVERIFY2(!line.text.contains(QLatin1String("connectSlotsByName")), qPrintable(line.text));

    // Counters stay empty until the first start; the empty store loads the ports as 0.
    for (const char *name : {"lineEdit_received", "lineEdit_send", "lineEdit_clients"})
        QCOMPARE(window.findChild<QLineEdit *>(name)->text(), QString());
    for (const char *name :
        {"lineEdit_LISTEN", "lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"})
        QCOMPARE(window.findChild<QLineEdit *>(name)->text(), QStringLiteral("0"));
    QVERIFY(!window.findChild<QCheckBox *>("checkBox_use_defaults")->isChecked());
    QVERIFY(!window.findChild<QCheckBox *>("checkBox_auto_connect")->isChecked());
    auto *status = window.findChild<QLabel *>("label_status_connection");
    QCOMPARE(status->text(), QStringLiteral("stopped"));
    QCOMPARE(status->styleSheet(), QStringLiteral("color: rgb(255, 0, 0);"));

    // The boxes' slots run on clicks only, not when code sets the checked state.
    window.findChild<QCheckBox *>("checkBox_use_defaults")->setChecked(true);
    window.findChild<QCheckBox *>("checkBox_auto_connect")->setChecked(true);
    QCOMPARE(window.findChild<QLineEdit *>("lineEdit_LISTEN")->text(), QStringLiteral("0"));
    QVERIFY(window.findChild<QPushButton *>("START")->isEnabled());
    window.findChild<QCheckBox *>("checkBox_auto_connect")->setChecked(false);
}

void tst_Form::slotTable()
{
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        const bool slot = method.methodType() == QMetaMethod::Slot;
        QString kind = method.methodType() == QMetaMethod::Signal ? "signal"
            : slot                                                ? "slot"
                                                                  : "other";
        if (slot && method.access() != QMetaMethod::Private)
            kind += QStringLiteral(" (not private)");
        methods << kind + QLatin1Char(' ') + QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(methods,
        QStringList({"signal readyUdp()", "slot on_START_clicked()", "slot on_STOP_clicked()",
            "slot resetGuiElements()", "slot usb_status_slot(int)", "slot hid_receive_timer()",
            "slot sendUdp()", "slot receiveUdp()", "slot on_checkBox_use_defaults_clicked()",
            "slot on_checkBox_auto_connect_clicked()",
            "slot systray_activated(QSystemTrayIcon::ActivationReason)",
            "slot systray_message_clicked()", "slot closeEvent(QCloseEvent*)",
            "slot close_exit()"}));
}

void tst_Form::onlyFourConnectionsByName()
{
    MainWindow window;
    QStringList bound;
    for (const WidgetRow &row : formTable()) {
        QWidget *widget = window.findChild<QWidget *>(QLatin1String(row.name));
        QVERIFY(widget);
        // The object dump lists each outgoing connection under its signal.
        TestSupport::DebugCapture capture;
        widget->dumpObjectInfo();
        QString signal;
        for (const QString &line : TestSupport::DebugCapture::debugTexts()) {
            const QString item = line.trimmed();
            if (item.startsWith(QLatin1String("signal: ")))
                signal = item.mid(8);
            else if (item.startsWith(QLatin1String("--> MainWindow::MainWindow ")))
                bound << QStringLiteral("%1 %2 -> %3").arg(row.name, signal, item.mid(27));
        }
    }
    // clicked() is filed under clicked(bool), the one signal with its default argument.
    QCOMPARE(bound,
        QStringList({"checkBox_use_defaults clicked(bool) -> on_checkBox_use_defaults_clicked()",
            "STOP clicked(bool) -> on_STOP_clicked()", "START clicked(bool) -> on_START_clicked()",
            "checkBox_auto_connect clicked(bool) -> on_checkBox_auto_connect_clicked()"}));
}

void tst_Form::generatedCode_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QStringList>("statements");

    QStringList members;
    for (const WidgetRow &row : formTable())
        members << QStringLiteral("%1 *%2").arg(row.className, row.name);
    QTest::newRow("members") << "class Ui_MainWindow"
                             << "void setupUi(" << members;
    QTest::newRow("setupUi") << "void setupUi("
                             << "void retranslateUi(" << setupUiStatements();
    QTest::newRow("retranslateUi") << "void retranslateUi("
                                   << "} // retranslateUi" << retranslateUiStatements();
}

// Every statement in its place: each found after the one before, and none besides.
void tst_Form::generatedCode()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QStringList, statements);
    QFile file(QStringLiteral(UI_MAINWINDOW_HEADER));
    QVERIFY2(file.open(QIODevice::ReadOnly), UI_MAINWINDOW_HEADER);
    const QString header = QString::fromUtf8(file.readAll());
    const int start = header.indexOf(from);
    const int end = header.indexOf(to, start + 1);
    QVERIFY(start >= 0 && end > start);
    const QString block = header.mid(start, end - start);

    QCOMPARE(block.count(QLatin1String(";\n")), statements.size());
    QString code = squeezed(block);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    code.replace(
        QLatin1String("QSizePolicy::Policy::"), QLatin1String("QSizePolicy::")); // 6.8's uic
#endif
    int at = 0;
    for (const QString &statement : statements) {
        const QString wanted = squeezed(statement) + QLatin1Char(';');
        const int found = code.indexOf(wanted, at);
        QVERIFY2(found >= 0, qPrintable("missing or out of order: " + statement));
        at = found + wanted.size();
    }
}

QTEST_MAIN(tst_Form)
#include "tst_form.moc"
