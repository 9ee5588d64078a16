#include "fakehidapi.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QtTest>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

// Settings stores the program did not write: missing, empty, garbage, values of other
// types, a folder in the file's place, a folder that cannot be written. The program starts
// and shows 0 and unchecked for whatever it cannot read, the converted value for what it
// can, and a store it cannot write costs nothing but the write: no message, no change.
class tst_BadStores : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void unreadableContents_data();
    void unreadableContents();
    void otherTypes_data();
    void otherTypes();
    void failedWriteIsSilent_data();
    void failedWriteIsSilent();
    void unreadableFile();

private:
    QString configRoot;
};

namespace {

const QStringList Zeros {"0", "0", "0", "0"};
const QStringList DefaultPorts {"18153", "18150", "18151", "18152"};

// As an ordinary user: without the capabilities that let root read and write past file
// permissions (this thread only; QSettings runs on it). A no-op when not root.
class WithoutRootOverrides
{
public:
    WithoutRootOverrides()
    {
        if (::geteuid() != 0)
            return;
        header.version = _LINUX_CAPABILITY_VERSION_3;
        header.pid = 0;
        if (::syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            reduced[cap / 32].effective &= ~(1u << (cap % 32));
        dropped = ::syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutRootOverrides()
    {
        if (dropped)
            ::syscall(SYS_capset, &header, saved);
    }
    bool effective() const { return dropped || ::geteuid() != 0; }

private:
    __user_cap_header_struct header {};
    __user_cap_data_struct saved[2] {};
    bool dropped = false;
};

QString storeFolder()
{
    return QFileInfo(TestSupport::settingsFile()).path();
}

void writeStore(const QByteArray &contents)
{
    QDir().mkpath(storeFolder());
    QFile file(TestSupport::settingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(contents), qint64(contents.size()));
}

QByteArray garbage(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char &byte : bytes) {
        byte = char(random.generate());
        if (byte == '=') // no line can become a key
            byte = '+';
    }
    return bytes;
}

struct Shown
{
    QStringList ports; // LISTEN, METERING, CONFIG, CUSTOM
    bool useDefaults;
    bool autoConnect;
    bool portsEnabled;
    bool buttonsEnabled;
};

Shown shown(MainWindow &window)
{
    Shown s;
    for (const char *name :
        {"lineEdit_LISTEN", "lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"})
        s.ports.append(window.findChild<QLineEdit *>(name)->text());
    s.useDefaults = window.findChild<QCheckBox *>("checkBox_use_defaults")->isChecked();
    s.autoConnect = window.findChild<QCheckBox *>("checkBox_auto_connect")->isChecked();
    s.portsEnabled = window.findChild<QLineEdit *>("lineEdit_LISTEN")->isEnabled();
    s.buttonsEnabled = window.findChild<QPushButton *>("START")->isEnabled();
    return s;
}

// Everything logged but the offscreen platform's warning about its missing tray signal.
QStringList messages()
{
    QStringList texts;
    for (const TestSupport::LoggedLine &line : TestSupport::DebugCapture::lines())
        if (!line.text.contains(QLatin1String("systemTrayWindowChanged")))
            texts.append(line.text);
    return texts;
}

} // namespace

void tst_BadStores::initTestCase()
{
    configRoot = TestSupport::isolateSettings();
}

// Each test gets a store path of its own: the framework keeps every store it has read,
// and what it failed to write, in a per-process cache keyed by path.
void tst_BadStores::init()
{
    static int test = 0;
    const QString home = configRoot + QStringLiteral("/%1").arg(++test);
    QVERIFY(QDir().mkpath(home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home);
    FakeHid::reset();
    FakeHid::plug();
}

void tst_BadStores::cleanup()
{
    const QString configHome = QFileInfo(storeFolder()).path();
    const auto owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    QFile::setPermissions(configHome, owner);
    QFile::setPermissions(storeFolder(), owner);
    QFile::setPermissions(TestSupport::settingsFile(), owner);
}

void tst_BadStores::unreadableContents_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("contents");
    QTest::newRow("missing") << false << QByteArray();
    QTest::newRow("empty") << true << QByteArray();
    QTest::newRow("binary garbage") << true << garbage(4096, 1);
    QTest::newRow("a mebibyte of garbage") << true << garbage(1 << 20, 2);
    QTest::newRow("only NUL bytes") << true << QByteArray(65536, '\0');
    QTest::newRow("keys in another group")
        << true
        << QByteArray("[Ports]\nudp_listen_port=5000\nudp_default_ports=true\nauto_connect=true\n");
    QTest::newRow("keys spelled in capitals")
        << true << QByteArray("UDP_LISTEN_PORT=5000\nUDP_DEFAULT_PORTS=true\nAUTO_CONNECT=true\n");
}

// Nothing readable: every key is missing, so 0 and unchecked, never a default port.
void tst_BadStores::unreadableContents()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, contents);
    if (exists)
        writeStore(contents);
    MainWindow window;
    const Shown s = shown(window);
    QCOMPARE(s.ports, Zeros);
    QVERIFY(!s.useDefaults);
    QVERIFY(!s.autoConnect);
    QVERIFY(s.portsEnabled);
    QVERIFY(s.buttonsEnabled);
}

void tst_BadStores::otherTypes_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<bool>("useDefaults");
    QTest::addColumn<bool>("autoConnect");

    auto ports = [](const char *l, const char *m, const char *c, const char *u) {
        return QByteArray("udp_listen_port=") + l + "\nudp_metering_port=" + m
            + "\nudp_config_port=" + c + "\nudp_custom_port=" + u + "\n";
    };
    QTest::newRow("ports as byte arrays")
        << ports("@ByteArray(5000)", "@ByteArray(-7)", "@ByteArray(70000)", "@ByteArray(x)")
        << QStringList {"5000", "-7", "70000", "0"} << false << false;
    QTest::newRow("ports as stored ints") << ports("@Variant(\\0\\0\\0\\x2\\0\\0\\x13\\x88)",
        "@Variant(\\0\\0\\0\\x2\\xff\\xff\\xff\\xff)",
        "@Variant(\\0\\0\\0\\x2\\x7f\\xff\\xff\\xff)", "@Variant(\\0\\0\\0\\x2\\x80\\0\\0\\0)")
                                          << QStringList {"5000", "-1", "2147483647", "-2147483648"}
                                          << false << false;
    QTest::newRow("ports as lists, rectangles, sizes, nothing")
        << ports("5000, 5001", "@Rect(1 2 3 4)", "@Size(5 6)", "@Invalid()") << Zeros << false
        << false;
    QTest::newRow("ports as booleans")
        << ports("true", "false", "@Variant(\\0\\0\\0\\x1\\x1)", "on")
        << QStringList {"0", "0", "1", "0"} << false << false;
    QTest::newRow("ports padded with blanks or commented")
        << ports("\" 5000 \"", "5001 ; a note", "50\\\n02", "+5003")
        << QStringList {"5000", "5001", "5002", "5003"} << false << false;
    QTest::newRow("a type this program does not know")
        << ports("@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x5Hello)", "1", "2", "3")
        << QStringList {"0", "1", "2", "3"} << false << false;
    QTest::newRow("a list claiming eight million entries")
        << ports("@Variant(\\0\\0\\0\\t\\0\\x7f\\xff\\xff)", "1", "2", "3")
        << QStringList {"0", "1", "2", "3"} << false << false;
    QTest::newRow("truncated stored value")
        << ports("@Variant(\\0\\0\\0\\x2\\0\\x13)", "@Variant(\\0\\0)", "@Variant(", "@") << Zeros
        << false << false;

    // Booleans by the variant's conversion: false only for "", "0" and "false" in any case.
    QTest::newRow("booleans as 1 and 0")
        << ports("1", "2", "3", "4") + "udp_default_ports=0\nauto_connect=1\n"
        << QStringList {"1", "2", "3", "4"} << false << true;
    QTest::newRow("booleans as words")
        << ports("1", "2", "3", "4") + "udp_default_ports=FALSE\nauto_connect=maybe\n"
        << QStringList {"1", "2", "3", "4"} << false << true;
    QTest::newRow("booleans as text that is true")
        << ports("1", "2", "3", "4") + "udp_default_ports=no\nauto_connect=\n"
        << DefaultPorts << true << false;
    QTest::newRow("booleans as lists and numbers")
        << ports("1", "2", "3", "4")
            + "udp_default_ports=true, true\nauto_connect=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x2)\n"
        << QStringList {"1", "2", "3", "4"} << false << true;
}

void tst_BadStores::otherTypes()
{
    QFETCH(QByteArray, contents);
    QFETCH(QStringList, ports);
    QFETCH(bool, useDefaults);
    QFETCH(bool, autoConnect);
    writeStore(contents);
    MainWindow window;
    const Shown s = shown(window);
    QCOMPARE(s.ports, ports);
    QCOMPARE(s.useDefaults, useDefaults);
    QCOMPARE(s.autoConnect, autoConnect);
    QCOMPARE(s.portsEnabled, !useDefaults);
    QCOMPARE(s.buttonsEnabled, !autoConnect);
}

void tst_BadStores::failedWriteIsSilent_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("ports");
    QTest::newRow("a folder where the file should be") << "folder" << Zeros;
    QTest::newRow("read-only folder and file")
        << "read-only" << QStringList {"5000", "5001", "5002", "5003"};
    QTest::newRow("store folder cannot be created") << "no folder" << Zeros;
}

// The window reads what it can, the operator changes a port and closes the window (which
// stores the settings) and the program ends (which stores them again): nothing is logged,
// the store is as it was, and the bridge still starts.
void tst_BadStores::failedWriteIsSilent()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, ports);
    const QString file = TestSupport::settingsFile();
    const QString configHome = QFileInfo(storeFolder()).path();
    const QByteArray stored("udp_listen_port=5000\nudp_metering_port=5001\nudp_config_port=5002\n"
                            "udp_custom_port=5003\n");
    if (kind == "folder") {
        QVERIFY(QDir().mkpath(file));
    } else if (kind == "read-only") {
        writeStore(stored);
        QVERIFY(
            QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        QVERIFY(QFile::setPermissions(storeFolder(), QFile::ReadOwner | QFile::ExeOwner));
    } else {
        QDir(storeFolder()).removeRecursively();
        QVERIFY(QFile::setPermissions(configHome, QFile::ReadOwner | QFile::ExeOwner));
    }

    WithoutRootOverrides asUser;
    if (!asUser.effective())
        QSKIP("cannot give up root's file permission overrides here");
    // The write really fails: root's overrides are gone.
    if (kind == "folder") {
        QVERIFY(!QFile(file).open(QIODevice::WriteOnly | QIODevice::Append));
    } else if (kind == "read-only") {
        QVERIFY(!QFile(file).open(QIODevice::WriteOnly | QIODevice::Append));
        QVERIFY(!QFile(storeFolder() + "/probe").open(QIODevice::WriteOnly));
    } else {
        QVERIFY(!QDir().mkpath(storeFolder()));
    }

    TestSupport::DebugCapture capture;
    {
        MainWindow window;
        QCOMPARE(shown(window).ports, ports);
        window.findChild<QLineEdit *>("lineEdit_LISTEN")->setText(QStringLiteral("6000"));
        window.show();
        QVERIFY(!window.close()); // to the tray, storing the settings
        QVERIFY(window.isHidden());
        QTest::mouseClick(window.findChild<QPushButton *>("START"), Qt::LeftButton);
        QCOMPARE(window.findChild<QLabel *>("label_status_connection")->text(), QString("running"));
        QTest::mouseClick(window.findChild<QPushButton *>("STOP"), Qt::LeftButton);
    }
    QCOMPARE(messages(), QStringList({"disconnecting... "}));
    if (kind == "folder") {
        QVERIFY(QFileInfo(file).isDir());
    } else if (kind == "read-only") {
        QFile file(TestSupport::settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), stored);
        QCOMPARE(
            QDir(storeFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList({QFileInfo(TestSupport::settingsFile()).fileName()}));
    } else {
        QVERIFY(!QFileInfo::exists(storeFolder()));
    }
}

// A store that exists but cannot be read reads as all keys missing.
void tst_BadStores::unreadableFile()
{
    writeStore(
        "udp_listen_port=5000\nudp_metering_port=5001\nudp_config_port=5002\nudp_custom_port=5003\n"
        "udp_default_ports=false\nauto_connect=true\n");
    QVERIFY(QFile::setPermissions(TestSupport::settingsFile(), QFile::WriteOwner));
    WithoutRootOverrides asUser;
    if (!asUser.effective())
        QSKIP("cannot give up root's file permission overrides here");
    QFile probe(TestSupport::settingsFile());
    QVERIFY2(!probe.open(QIODevice::ReadOnly), "the store is readable after all");

    MainWindow window;
    const Shown s = shown(window);
    QCOMPARE(s.ports, Zeros);
    QVERIFY(!s.useDefaults);
    QVERIFY(!s.autoConnect);
    QVERIFY(s.buttonsEnabled);
}

QTEST_MAIN(tst_BadStores)
#include "tst_badstores.moc"
