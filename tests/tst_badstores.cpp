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

// Stores the program did not write: empty, garbage, values of other types, a folder in the
// file's place, a folder that cannot be written. The program shows 0 and unchecked for what it
// cannot read, the converted value for what it can, and a failed write is silent.
class tst_BadStores : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void readsWhatItCan_data();
    void readsWhatItCan();
    void unusableStore_data();
    void unusableStore();

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
    for (char &byte : bytes)
        byte = char(random.generate());
    return bytes.replace('=', '+'); // no line can become a key
}

QByteArray portLines(const char *l, const char *m, const char *c, const char *u)
{
    return QByteArray("udp_listen_port=") + l + "\nudp_metering_port=" + m
        + "\nudp_config_port=" + c + "\nudp_custom_port=" + u + "\n";
}

// LISTEN, METERING, CONFIG, CUSTOM as shown.
QStringList shownPorts(const MainWindow &window)
{
    QStringList texts;
    for (const char *name :
        {"lineEdit_LISTEN", "lineEdit_METERING", "lineEdit_CONFIGURATION", "lineEdit_CUSTOM"})
        texts.append(window.findChild<QLineEdit *>(name)->text());
    return texts;
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

// A store path per test: Qt caches every store it read, or failed to write, by path.
void tst_BadStores::init()
{
    static int test = 0;
    const QString home = configRoot + QStringLiteral("/%1").arg(++test);
    QVERIFY(QDir().mkpath(home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home);
    FakeHid::reset();
    FakeHid::plug();
}

void tst_BadStores::cleanup()
{
    const auto owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    for (const QString &path :
        {QFileInfo(storeFolder()).path(), storeFolder(), TestSupport::settingsFile()})
        QFile::setPermissions(path, owner);
}

void tst_BadStores::readsWhatItCan_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<bool>("useDefaults");
    QTest::addColumn<bool>("autoConnect");

    // Nothing readable: every key is missing, so 0 and unchecked, never a default port.
    QTest::newRow("empty") << QByteArray() << Zeros << false << false;
    QTest::newRow("binary garbage") << garbage(4096, 1) << Zeros << false << false;
    QTest::newRow("only NUL bytes") << QByteArray(65536, '\0') << Zeros << false << false;
    QTest::newRow("malformed lines")
        << QByteArray("\x00\x01\xff\xfe[[[\n=\n==5\nudp_listen_port\n[broken\n", 38) << Zeros
        << false << false;
    QTest::newRow("keys in another group")
        << QByteArray("[Ports]\nudp_listen_port=5000\nudp_default_ports=true\nauto_connect=true\n")
        << Zeros << false << false;
    QTest::newRow("keys in capitals")
        << QByteArray("UDP_LISTEN_PORT=5000\nUDP_DEFAULT_PORTS=true\nAUTO_CONNECT=true\n") << Zeros
        << false << false;

    QTest::newRow("ports as byte arrays")
        << portLines("@ByteArray(5000)", "@ByteArray(-7)", "@ByteArray(70000)", "@ByteArray(x)")
        << QStringList {"5000", "-7", "70000", "0"} << false << false;
    QTest::newRow("ports as stored ints") << portLines("@Variant(\\0\\0\\0\\x2\\0\\0\\x13\\x88)",
        "@Variant(\\0\\0\\0\\x2\\xff\\xff\\xff\\xff)",
        "@Variant(\\0\\0\\0\\x2\\x7f\\xff\\xff\\xff)", "@Variant(\\0\\0\\0\\x2\\x80\\0\\0\\0)")
                                          << QStringList {"5000", "-1", "2147483647", "-2147483648"}
                                          << false << false;
    QTest::newRow("ports as booleans")
        << portLines("true", "false", "@Variant(\\0\\0\\0\\x1\\x1)", "on")
        << QStringList {"0", "0", "1", "0"} << false << false;
    QTest::newRow("ports padded with blanks or commented")
        << portLines("\" 5000 \"", "5001 ; a note", "50\\\n02", "+5003")
        << QStringList {"5000", "5001", "5002", "5003"} << false << false;
    QTest::newRow("a type this program does not know")
        << portLines("@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x5Hello)", "1", "2", "3")
        << QStringList {"0", "1", "2", "3"} << false << false;
    QTest::newRow("a list claiming eight million entries")
        << portLines("@Variant(\\0\\0\\0\\t\\0\\x7f\\xff\\xff)", "1", "2", "3")
        << QStringList {"0", "1", "2", "3"} << false << false;
    QTest::newRow("truncated stored value")
        << portLines("@Variant(\\0\\0\\0\\x2\\0\\x13)", "@Variant(\\0\\0)", "@Variant(", "@")
        << Zeros << false << false;

    // Booleans by the variant's conversion: false only for "", "0" and "false" in any case.
    const QByteArray some = portLines("1", "2", "3", "4");
    const QStringList someShown {"1", "2", "3", "4"};
    QTest::newRow("booleans as 1 and 0") << some + "udp_default_ports=0\nauto_connect=1\n"
                                         << someShown << false << true;
    QTest::newRow("booleans as text that is true") << some + "udp_default_ports=no\nauto_connect=\n"
                                                   << DefaultPorts << true << false;
}

void tst_BadStores::readsWhatItCan()
{
    QFETCH(QByteArray, contents);
    QFETCH(QStringList, ports);
    QFETCH(bool, useDefaults);
    QFETCH(bool, autoConnect);
    writeStore(contents);
    MainWindow window;
    QCOMPARE(shownPorts(window), ports);
    QCOMPARE(window.findChild<QCheckBox *>("checkBox_use_defaults")->isChecked(), useDefaults);
    QCOMPARE(window.findChild<QCheckBox *>("checkBox_auto_connect")->isChecked(), autoConnect);
    QCOMPARE(window.findChild<QLineEdit *>("lineEdit_LISTEN")->isEnabled(), !useDefaults);
    QCOMPARE(window.findChild<QPushButton *>("START")->isEnabled(), !autoConnect);
}

void tst_BadStores::unusableStore_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("ports");
    QTest::newRow("a folder where the file should be") << "folder" << Zeros;
    QTest::newRow("read-only folder and file")
        << "read-only" << QStringList {"5000", "5001", "5002", "5003"};
    QTest::newRow("store folder cannot be created") << "no folder" << Zeros;
    QTest::newRow("a file where the folder should be") << "folder is a file" << Zeros;
    QTest::newRow("file cannot be read") << "unreadable" << Zeros;
}

// The window reads what it can, the operator changes a port and closes the window (which
// stores the settings) and the program ends (which stores them again): nothing is logged,
// the store is as it was, and the bridge still starts.
void tst_BadStores::unusableStore()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, ports);
    const QString file = TestSupport::settingsFile();
    const QByteArray stored = portLines("5000", "5001", "5002", "5003");
    if (kind == "folder") {
        QVERIFY(QDir().mkpath(file));
    } else if (kind == "read-only") {
        writeStore(stored);
        QVERIFY(QFile::setPermissions(file, QFile::ReadOwner));
        QVERIFY(QFile::setPermissions(storeFolder(), QFile::ReadOwner | QFile::ExeOwner));
    } else if (kind == "no folder") {
        QVERIFY(QFile::setPermissions(
            QFileInfo(storeFolder()).path(), QFile::ReadOwner | QFile::ExeOwner));
    } else if (kind == "folder is a file") {
        QFile blocker(storeFolder());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    } else {
        writeStore(stored + "auto_connect=true\n");
        QVERIFY(QFile::setPermissions(file, QFile::WriteOwner));
    }

    WithoutRootOverrides asUser;
    if (!asUser.effective())
        QSKIP("cannot give up root's file permission overrides here");
    QVERIFY2(!QFile(file).open(kind == "unreadable" ? QIODevice::ReadOnly : QIODevice::Append),
        "the store is usable after all");

    TestSupport::DebugCapture capture;
    {
        MainWindow window;
        QCOMPARE(shownPorts(window), ports);
        QVERIFY(!window.findChild<QCheckBox *>("checkBox_auto_connect")->isChecked());
        window.findChild<QLineEdit *>("lineEdit_LISTEN")->setText(QStringLiteral("6000"));
        window.show();
        QVERIFY(!window.close()); // to the tray, storing the settings
        QVERIFY(window.isHidden());
        QTest::mouseClick(window.findChild<QPushButton *>("START"), Qt::LeftButton);
        QCOMPARE(window.findChild<QLabel *>("label_status_connection")->text(), QString("running"));
        QTest::mouseClick(window.findChild<QPushButton *>("STOP"), Qt::LeftButton);
    }
    QCOMPARE(messages(), QStringList({"disconnecting... "}));
    if (kind == "folder")
        QVERIFY(QFileInfo(file).isDir());
    if (kind == "folder is a file")
        QVERIFY(QFileInfo(storeFolder()).isFile());
    if (kind == "no folder")
        QVERIFY(!QFileInfo::exists(storeFolder()));
    if (kind == "read-only") {
        QFile in(file);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), stored);
        QCOMPARE(
            QDir(storeFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList({QFileInfo(file).fileName()}));
    }
}

QTEST_MAIN(tst_BadStores)
#include "tst_badstores.moc"
