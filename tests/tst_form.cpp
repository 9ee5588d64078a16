#include "fakehidapi.h"
#include "mainwindow.h"
#include "testsupport.h"
#include "windowprobe.h"

#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>
#include <QtTest>

// The header that the build generated from the form, not a copy.
#include UI_MAINWINDOW_HEADER

// The window's form against its table: the widget tree, each widget's initial state, the
// window's own properties, the focus order, the slots bound by name, and the order in which
// the generated setupUi does its work.
class tst_Form : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void widgetTable_data();
    void widgetTable();
    void widgetTreeOrder();
    void rawWindow();
    void objectNameKeptWhenSet();
    void heightForWidthCarriedOver_data();
    void heightForWidthCarriedOver();
    void groupBoxFonts();
    void focusOrder();

    void mainWindowAfterConstruction();
    void slotTable();
    void slotsBoundByName();
    void onlyFourConnectionsByName();
    void checkedFromCodeRunsNoSlot();

    void generatedMembersInOrder();
    void generatedSetupUiOrder();
    void generatedTextStep();
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

enum class Text { None, Title, Label, Clear };

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
    QStringList extraState; // statements of setupUi after geometry and checked state
};

const QList<WidgetRow> &formTable()
{
    static const QList<WidgetRow> rows {
        {"centralWidget", "QWidget", "MainWindow", QRect(), Text::None, "", true, -1, {}},
        {"groupBox", "QGroupBox", "centralWidget", QRect(220, 10, 181, 151), Text::Title, "Status",
            true, -1, {}},
        {"label_2", "QLabel", "groupBox", QRect(10, 66, 111, 16), Text::Label, "TRANSMITTED:", true,
            -1, {}},
        {"lineEdit_send", "QLineEdit", "groupBox", QRect(120, 66, 51, 20), Text::None, "", false,
            -1, {}},
        {"lineEdit_received", "QLineEdit", "groupBox", QRect(120, 20, 51, 20), Text::None, "",
            false, -1, {}},
        {"label", "QLabel", "groupBox", QRect(10, 20, 111, 20), Text::Label, "RECEIVED:", true, -1,
            {}},
        {"lineEdit_clients", "QLineEdit", "groupBox", QRect(120, 110, 51, 20), Text::None, "",
            false, -1, {}},
        {"label_8", "QLabel", "groupBox", QRect(10, 110, 111, 16), Text::Label,
            "CLIENTS ACTIVE:", true, -1, {}},
        {"groupBox_2", "QGroupBox", "centralWidget", QRect(10, 10, 191, 241), Text::Title,
            "UDP/IP Ports", true, -1, {}},
        {"checkBox_use_defaults", "QCheckBox", "groupBox_2", QRect(10, 30, 131, 17), Text::Label,
            "Use defaults", true, 1, {}},
        {"groupBox_4", "QGroupBox", "groupBox_2", QRect(10, 60, 171, 111), Text::Title, "Transmit",
            true, -1,
            {"QFont font", "font.setBold(false)", "font.setWeight(50)", "groupBox_4->setFont(font)",
                "groupBox_4->setStyleSheet(QString::fromUtf8(\"\"))"}},
        {"label_9", "QLabel", "groupBox_4", QRect(10, 50, 101, 16), Text::Label, "CONFIG:", true,
            -1, {}},
        {"lineEdit_CONFIGURATION", "QLineEdit", "groupBox_4", QRect(110, 50, 51, 20), Text::None,
            "", true, -1, {}},
        {"label_7", "QLabel", "groupBox_4", QRect(10, 20, 101, 16), Text::Label, "METERING:", true,
            -1, {}},
        {"lineEdit_METERING", "QLineEdit", "groupBox_4", QRect(110, 20, 51, 20), Text::None, "",
            true, -1, {}},
        {"label_10", "QLabel", "groupBox_4", QRect(10, 80, 101, 16), Text::Label, "CUSTOM:", true,
            -1, {}},
        {"lineEdit_CUSTOM", "QLineEdit", "groupBox_4", QRect(110, 80, 51, 20), Text::None, "", true,
            -1, {}},
        {"groupBox_5", "QGroupBox", "groupBox_2", QRect(10, 180, 171, 51), Text::Title, "Receive",
            true, -1,
            {"groupBox_5->setFont(font)", "groupBox_5->setStyleSheet(QString::fromUtf8(\"\"))"}},
        {"label_6", "QLabel", "groupBox_5", QRect(10, 20, 101, 16), Text::Label, "LISTEN:", true,
            -1, {}},
        {"lineEdit_LISTEN", "QLineEdit", "groupBox_5", QRect(110, 20, 51, 20), Text::Clear, "",
            true, -1, {}},
        {"groupBox_3", "QGroupBox", "centralWidget", QRect(220, 170, 181, 81), Text::Title,
            "Interface", true, -1, {}},
        {"STOP", "QPushButton", "groupBox_3", QRect(110, 20, 61, 23), Text::Label, "Stop", true, -1,
            {}},
        {"START", "QPushButton", "groupBox_3", QRect(40, 20, 61, 23), Text::Label, "Start", true,
            -1, {}},
        {"label_status_connection", "QLabel", "groupBox_3", QRect(120, 50, 51, 20), Text::Label,
            "stopped", true, -1,
            {"label_status_connection->setStyleSheet(QString::fromUtf8(\"color: rgb(255, 0, "
             "0);\"))",
                "label_status_connection->setAlignment(Qt::AlignRight|Qt::AlignVCenter)"}},
        {"checkBox_auto_connect", "QCheckBox", "groupBox_3", QRect(11, 50, 111, 17), Text::Label,
            "Auto Connect", true, 0, {}},
    };
    return rows;
}

QString widgetText(const QWidget *widget)
{
    if (auto *box = qobject_cast<const QGroupBox *>(widget))
        return box->title();
    if (auto *label = qobject_cast<const QLabel *>(widget))
        return label->text();
    if (auto *button = qobject_cast<const QAbstractButton *>(widget))
        return button->text();
    if (auto *edit = qobject_cast<const QLineEdit *>(widget))
        return edit->text();
    return QString();
}

// The names of the widgets that Tab visits, in order, starting after the window itself.
QStringList tabStops(QWidget *window)
{
    QStringList names;
    for (QWidget *w = window->nextInFocusChain(); w && w != window; w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled())
            names.append(w->objectName());
    }
    return names;
}

QString readGeneratedHeader()
{
    QFile file(QStringLiteral(UI_MAINWINDOW_HEADER));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool isIdentifierChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// C++ source without comments, with adjacent string literals joined and blanks kept only
// between two identifier characters, so that statements compare as text.
QString normalized(const QString &source)
{
    QString out;
    bool blank = false;
    bool afterLiteral = false;
    int i = 0;
    const int n = source.size();
    while (i < n) {
        const QChar c = source.at(i);
        if (source.midRef(i, 2) == QLatin1String("//")) {
            while (i < n && source.at(i) != QLatin1Char('\n'))
                ++i;
            blank = true;
            continue;
        }
        if (source.midRef(i, 2) == QLatin1String("/*")) {
            const int end = source.indexOf(QLatin1String("*/"), i + 2);
            i = end < 0 ? n : end + 2;
            blank = true;
            continue;
        }
        if (c.isSpace()) {
            blank = true;
            ++i;
            continue;
        }
        if (c == QLatin1Char('"')) {
            if (afterLiteral)
                out.chop(1); // "a" "b" is one literal "ab"
            else
                out += c;
            for (++i; i < n && source.at(i) != QLatin1Char('"'); ++i) {
                if (source.at(i) == QLatin1Char('\\'))
                    out += source.at(i++);
                out += source.at(i);
            }
            out += QLatin1Char('"');
            ++i;
            afterLiteral = true;
            blank = false;
            continue;
        }
        if (blank && !out.isEmpty() && isIdentifierChar(out.back()) && isIdentifierChar(c))
            out += QLatin1Char(' ');
        blank = false;
        afterLiteral = false;
        out += c;
        ++i;
    }
    return out;
}

// Index just past the brace that closes the one opened at open, skipping string literals.
int closingBrace(const QString &code, int open)
{
    int depth = 0;
    for (int i = open; i < code.size(); ++i) {
        const QChar c = code.at(i);
        if (c == QLatin1Char('"')) {
            for (++i; i < code.size() && code.at(i) != QLatin1Char('"'); ++i)
                if (code.at(i) == QLatin1Char('\\'))
                    ++i;
        } else if (c == QLatin1Char('{')) {
            ++depth;
        } else if (c == QLatin1Char('}') && --depth == 0) {
            return i + 1;
        }
    }
    return -1;
}

QStringList statements(const QString &code)
{
    QStringList result;
    QString current;
    for (int i = 0; i < code.size(); ++i) {
        const QChar c = code.at(i);
        if (c == QLatin1Char('"')) {
            current += c;
            for (++i; i < code.size() && code.at(i) != QLatin1Char('"'); ++i) {
                if (code.at(i) == QLatin1Char('\\'))
                    current += code.at(i++);
                current += code.at(i);
            }
            current += QLatin1Char('"');
        } else if (c == QLatin1Char(';')) {
            result.append(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.isEmpty())
        result.append(current);
    return result;
}

// The statements of a member function of the generated class, given its normalized head.
QStringList functionBody(const QString &header, const QString &head)
{
    const QString code = normalized(header);
    const int start = code.indexOf(head);
    if (start < 0)
        return {};
    const int open = start + head.size() - 1;
    const int end = closingBrace(code, open);
    if (end < 0)
        return {};
    return statements(code.mid(open + 1, end - open - 2));
}

QString escaped(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    out.replace(QLatin1Char('"'), QLatin1String("\\\""));
    out.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return out;
}

// Reports the first statement where two lists part, which a plain list comparison hides.
bool sameStatements(const QStringList &actual, const QStringList &expected, QString *why)
{
    const int common = qMin(actual.size(), expected.size());
    for (int i = 0; i < common; ++i) {
        if (actual.at(i) != expected.at(i)) {
            *why = QStringLiteral("statement %1: got\n  %2\nexpected\n  %3")
                       .arg(i)
                       .arg(actual.at(i), expected.at(i));
            return false;
        }
    }
    if (actual.size() != expected.size()) {
        *why = QStringLiteral("%1 statements, expected %2; first extra: %3")
                   .arg(actual.size())
                   .arg(expected.size())
                   .arg(actual.size() > common ? actual.at(common) : expected.at(common));
        return false;
    }
    return true;
}

QString geometryText(const QRect &r)
{
    return QStringLiteral("QRect(%1,%2,%3,%4)")
        .arg(r.x())
        .arg(r.y())
        .arg(r.width())
        .arg(r.height());
}

} // namespace

void tst_Form::initTestCase()
{
    TestSupport::isolateSettings();
}

void tst_Form::init()
{
    QFile::remove(TestSupport::settingsFile());
    FakeHid::reset();
}

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
    if (auto *box = qobject_cast<QCheckBox *>(widget))
        QCOMPARE(int(box->isChecked()), expected.checked);
    else
        QCOMPARE(expected.checked, -1);

    // Nothing the table leaves out is set on any widget.
    QCOMPARE(widget->toolTip(), QString());
    if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        QVERIFY(!edit->validator());
        QCOMPARE(edit->inputMask(), QString());
        QCOMPARE(edit->maxLength(), 32767);
        QCOMPARE(edit->placeholderText(), QString());
    }
    if (auto *label = qobject_cast<QLabel *>(widget))
        QVERIFY(!label->buddy());
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QVERIFY(!button->isDefault());
        QCOMPARE(button->shortcut(), QKeySequence());
    }
    const bool styled = QByteArray(expected.name) == "label_status_connection";
    QCOMPARE(widget->styleSheet(), styled ? QStringLiteral("color: rgb(255, 0, 0);") : QString());
    if (styled)
        QCOMPARE(static_cast<QLabel *>(widget)->alignment(), Qt::AlignRight | Qt::AlignVCenter);
}

void tst_Form::widgetTreeOrder()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);

    // Depth first: every parent before its children, siblings in creation order.
    QStringList tree;
    for (QWidget *w : ui.centralWidget->findChildren<QWidget *>())
        tree.append(w->objectName());
    QStringList table;
    for (int i = 1; i < formTable().size(); ++i)
        table.append(QString::fromLatin1(formTable().at(i).name));
    QCOMPARE(tree, table);
    QCOMPARE(window.centralWidget(), ui.centralWidget);
    QCOMPARE(ui.centralWidget->objectName(), QStringLiteral("centralWidget"));
}

void tst_Form::rawWindow()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);

    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(window.size(), QSize(412, 265));
    QCOMPARE(window.minimumSize(), QSize(412, 265));
    QCOMPARE(window.maximumSize(), QSize(412, 265));
    const QSizePolicy policy = window.sizePolicy();
    QCOMPARE(policy.horizontalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(policy.verticalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(policy.horizontalStretch(), 0);
    QCOMPARE(policy.verticalStretch(), 0);
    QCOMPARE(window.styleSheet(), QString::fromLatin1(GroupBoxStyleSheet));
    QCOMPARE(window.styleSheet().size(), 183);
    QVERIFY(!window.styleSheet().endsWith(QLatin1Char('\n')));
    QVERIFY(!window.menuWidget());
    QVERIFY(!window.findChild<QMenuBar *>());
    QVERIFY(!window.findChild<QStatusBar *>());
    QVERIFY(!window.findChild<QToolBar *>());
    QVERIFY(!window.testAttribute(Qt::WA_SetWindowIcon));

    // The counters and port fields start empty, "stopped" in red.
    for (QLineEdit *edit :
        {ui.lineEdit_received, ui.lineEdit_send, ui.lineEdit_clients, ui.lineEdit_METERING,
            ui.lineEdit_CONFIGURATION, ui.lineEdit_CUSTOM, ui.lineEdit_LISTEN})
        QVERIFY2(edit->text().isEmpty(), qPrintable(edit->objectName()));
    QCOMPARE(ui.label_status_connection->text(), QStringLiteral("stopped"));
}

void tst_Form::objectNameKeptWhenSet()
{
    QMainWindow window;
    window.setObjectName(QStringLiteral("kept"));
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), QStringLiteral("kept"));
}

void tst_Form::heightForWidthCarriedOver_data()
{
    QTest::addColumn<bool>("heightForWidth");
    QTest::newRow("off") << false;
    QTest::newRow("on") << true;
}

void tst_Form::heightForWidthCarriedOver()
{
    QFETCH(bool, heightForWidth);
    QMainWindow window;
    QSizePolicy before(QSizePolicy::Fixed, QSizePolicy::Expanding);
    before.setHorizontalStretch(3);
    before.setHeightForWidth(heightForWidth);
    window.setSizePolicy(before);
    Ui_MainWindow ui;
    ui.setupUi(&window);

    const QSizePolicy after = window.sizePolicy();
    QCOMPARE(after.hasHeightForWidth(), heightForWidth);
    QCOMPARE(after.horizontalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(after.verticalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(after.horizontalStretch(), 0);
}

void tst_Form::groupBoxFonts()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);

    for (QGroupBox *box : {ui.groupBox_4, ui.groupBox_5}) {
        QVERIFY2(box->testAttribute(Qt::WA_SetFont), qPrintable(box->objectName()));
        QCOMPARE(box->font().weight(), 50);
        QVERIFY(!box->font().bold());
        QCOMPARE(box->font().family(), QApplication::font().family());
        QCOMPARE(box->font().pointSizeF(), QApplication::font().pointSizeF());
        QCOMPARE(box->styleSheet(), QString());
    }
    QCOMPARE(ui.label_9->font().weight(), 50);
    QCOMPARE(ui.lineEdit_LISTEN->font().weight(), 50);
    for (QGroupBox *box : {ui.groupBox, ui.groupBox_2, ui.groupBox_3})
        QVERIFY2(!box->testAttribute(Qt::WA_SetFont), qPrintable(box->objectName()));
}

void tst_Form::focusOrder()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);

    // CONFIG before METERING and Stop before Start; the disabled counters are skipped.
    const QStringList expected {"checkBox_use_defaults", "lineEdit_CONFIGURATION",
        "lineEdit_METERING", "lineEdit_CUSTOM", "lineEdit_LISTEN", "STOP", "START",
        "checkBox_auto_connect"};
    QCOMPARE(tabStops(&window), expected);

    // The same order as an operator pressing Tab sees it.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, 5000));
    window.activateWindow();
    ui.checkBox_use_defaults->setFocus(Qt::OtherFocusReason);
    QTRY_COMPARE_WITH_TIMEOUT(
        QApplication::focusWidget(), static_cast<QWidget *>(ui.checkBox_use_defaults), 5000);
    QStringList visited {QApplication::focusWidget()->objectName()};
    for (int i = 1; i < expected.size() + 1; ++i) {
        QVERIFY(QApplication::focusWidget());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget());
        visited.append(QApplication::focusWidget()->objectName());
    }
    QCOMPARE(visited, expected + QStringList {"checkBox_use_defaults"});
}

void tst_Form::mainWindowAfterConstruction()
{
    TestSupport::DebugCapture capture;
    MainWindow window;

    QCOMPARE(window.windowTitle(), QStringLiteral("Tavrel Control v1.0.1.0"));
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Quorvale"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Tavrel Control"));
    QVERIFY(!QCoreApplication::organizationDomain().isEmpty());
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.size(), QSize(412, 265));
    QCOMPARE(window.minimumSize(), QSize(412, 265));
    QCOMPARE(window.maximumSize(), QSize(412, 265));
    QCOMPARE(window.styleSheet(), QString::fromLatin1(GroupBoxStyleSheet));
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
}

void tst_Form::slotTable()
{
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QString kind = method.methodType() == QMetaMethod::Signal ? QStringLiteral("signal")
            : method.methodType() == QMetaMethod::Slot            ? QStringLiteral("slot")
                                                                  : QStringLiteral("other");
        if (method.methodType() == QMetaMethod::Slot && method.access() != QMetaMethod::Private)
            kind += QStringLiteral(" (not private)");
        methods.append(kind + QLatin1Char(' ') + QString::fromLatin1(method.methodSignature()));
    }
    const QStringList expected {
        "signal readyUdp()",
        "slot on_START_clicked()",
        "slot on_STOP_clicked()",
        "slot resetGuiElements()",
        "slot usb_status_slot(int)",
        "slot hid_receive_timer()",
        "slot sendUdp()",
        "slot receiveUdp()",
        "slot on_checkBox_use_defaults_clicked()",
        "slot on_checkBox_auto_connect_clicked()",
        "slot systray_activated(QSystemTrayIcon::ActivationReason)",
        "slot systray_message_clicked()",
        "slot closeEvent(QCloseEvent*)",
        "slot close_exit()",
    };
    QCOMPARE(methods, expected);
}

void tst_Form::slotsBoundByName()
{
    FakeHid::plug();
    WindowProbe probe; // LISTEN on a free port
    auto *start = probe.window.findChild<QPushButton *>("START");
    auto *stop = probe.window.findChild<QPushButton *>("STOP");
    auto *useDefaults = probe.window.findChild<QCheckBox *>("checkBox_use_defaults");
    auto *autoConnect = probe.window.findChild<QCheckBox *>("checkBox_auto_connect");
    QLineEdit *listen = probe.field("lineEdit_LISTEN");

    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(probe.status()->text(), QStringLiteral("running"));
    QTest::mouseClick(stop, Qt::LeftButton);
    QCOMPARE(probe.status()->text(), QStringLiteral("stopped"));

    QTest::mouseClick(useDefaults, Qt::LeftButton);
    QVERIFY(useDefaults->isChecked());
    QCOMPARE(listen->text(), QStringLiteral("18153"));
    QVERIFY(!listen->isEnabled());

    QTest::mouseClick(autoConnect, Qt::LeftButton);
    QVERIFY(autoConnect->isChecked());
    QVERIFY(!start->isEnabled());
    QVERIFY(!stop->isEnabled());
    autoConnect->click(); // off again, so the destructor stores nothing that starts a bridge
    QVERIFY(start->isEnabled());
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
                bound.append(QStringLiteral("%1 %2 -> %3").arg(row.name, signal, item.mid(27)));
        }
    }
    // Qt files clicked() under clicked(bool): the one signal with its default argument.
    const QStringList expected {
        "checkBox_use_defaults clicked(bool) -> on_checkBox_use_defaults_clicked()",
        "STOP clicked(bool) -> on_STOP_clicked()",
        "START clicked(bool) -> on_START_clicked()",
        "checkBox_auto_connect clicked(bool) -> on_checkBox_auto_connect_clicked()",
    };
    QCOMPARE(bound, expected);
}

void tst_Form::checkedFromCodeRunsNoSlot()
{
    MainWindow window;
    auto *useDefaults = window.findChild<QCheckBox *>("checkBox_use_defaults");
    auto *autoConnect = window.findChild<QCheckBox *>("checkBox_auto_connect");
    auto *listen = window.findChild<QLineEdit *>("lineEdit_LISTEN");

    useDefaults->setChecked(true);
    autoConnect->setChecked(true);
    QCOMPARE(listen->text(), QStringLiteral("0"));
    QVERIFY(listen->isEnabled());
    QVERIFY(window.findChild<QPushButton *>("START")->isEnabled());
    autoConnect->setChecked(false);
}

void tst_Form::generatedMembersInOrder()
{
    const QString header = readGeneratedHeader();
    QVERIFY2(!header.isEmpty(), UI_MAINWINDOW_HEADER);
    const QString code = normalized(header);
    const int start = code.indexOf(QLatin1String("class Ui_MainWindow{public:"));
    QVERIFY(start >= 0);
    const int end = code.indexOf(QLatin1String("void setupUi("), start);
    QVERIFY(end > start);
    const QString head = QStringLiteral("class Ui_MainWindow{public:");
    const QStringList members
        = statements(code.mid(start + head.size(), end - start - head.size()));
    QStringList expected;
    for (const WidgetRow &row : formTable())
        expected.append(QStringLiteral("%1*%2").arg(row.className, row.name));
    QString why;
    QVERIFY2(sameStatements(members, expected, &why), qPrintable(why));
}

void tst_Form::generatedSetupUiOrder()
{
    const QString header = readGeneratedHeader();
    QVERIFY2(!header.isEmpty(), UI_MAINWINDOW_HEADER);
    const QStringList actual
        = functionBody(header, QStringLiteral("void setupUi(QMainWindow*MainWindow){"));

    QStringList expected {
        "if(MainWindow->objectName().isEmpty())"
        "MainWindow->setObjectName(QString::fromUtf8(\"MainWindow\"))",
        "MainWindow->resize(412,265)",
        "QSizePolicy sizePolicy(QSizePolicy::Preferred,QSizePolicy::Preferred)",
        "sizePolicy.setHorizontalStretch(0)",
        "sizePolicy.setVerticalStretch(0)",
        "sizePolicy.setHeightForWidth(MainWindow->sizePolicy().hasHeightForWidth())",
        "MainWindow->setSizePolicy(sizePolicy)",
        "MainWindow->setMinimumSize(QSize(412,265))",
        "MainWindow->setMaximumSize(QSize(412,265))",
        QStringLiteral("MainWindow->setStyleSheet(QString::fromUtf8(\"%1\"))")
            .arg(escaped(QString::fromLatin1(GroupBoxStyleSheet))),
    };
    for (const WidgetRow &row : formTable()) {
        expected << QStringLiteral("%1=new %2(%3)").arg(row.name, row.className, row.parent)
                 << QStringLiteral("%1->setObjectName(QString::fromUtf8(\"%1\"))").arg(row.name);
        if (!row.enabled)
            expected << QStringLiteral("%1->setEnabled(false)").arg(row.name);
        if (!row.geometry.isNull())
            expected
                << QStringLiteral("%1->setGeometry(%2)").arg(row.name, geometryText(row.geometry));
        if (row.checked == 1)
            expected << QStringLiteral("%1->setChecked(true)").arg(row.name);
        expected << row.extraState;
    }
    expected << "MainWindow->setCentralWidget(centralWidget)"
             << "retranslateUi(MainWindow)"
             << "QMetaObject::connectSlotsByName(MainWindow)";

    QString why;
    QVERIFY2(sameStatements(actual, expected, &why), qPrintable(why));
}

void tst_Form::generatedTextStep()
{
    const QString header = readGeneratedHeader();
    QVERIFY2(!header.isEmpty(), UI_MAINWINDOW_HEADER);
    const QStringList actual
        = functionBody(header, QStringLiteral("void retranslateUi(QMainWindow*MainWindow){"));

    const QString translated
        = QStringLiteral("%1->%2(QCoreApplication::translate(\"MainWindow\",\"%3\",nullptr))");
    QStringList expected {translated.arg("MainWindow", "setWindowTitle", "MainWindow")};
    for (const WidgetRow &row : formTable()) {
        if (row.textKind == Text::Title)
            expected << translated.arg(row.name, "setTitle", row.text);
        else if (row.textKind == Text::Label)
            expected << translated.arg(row.name, "setText", row.text);
        else if (row.textKind == Text::Clear)
            expected << QStringLiteral("%1->setText(QString())").arg(row.name);
    }
    QString why;
    QVERIFY2(sameStatements(actual, expected, &why), qPrintable(why));
}

QTEST_MAIN(tst_Form)
#include "tst_form.moc"
