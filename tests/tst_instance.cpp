// The shipped program as users start it: a second start, no tray, the command line, the
// systemd user unit and a damaged settings file. Each case has its own home, settings and
// runtime folder, the simulated device preloaded, and a private session bus or none.
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <memory>

class tst_instance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void commandLine_data();
    void commandLine();
    void secondStart_data();
    void secondStart();
    void noTray();
    void damagedSettings();
    void userUnit();

private:
    QProcessEnvironment environment(const QString &display = {}, bool bus = false) const;
    QProcess *launch(const QString &program, const QStringList &arguments,
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    int run(
        const QStringList &arguments, const QProcessEnvironment &env, QByteArray *out = nullptr);
    bool listening(const QString &runtime = {}) const;
    bool windowShown(const QString &display) const;
    QString path(const QString &name) const { return home->filePath(name); }
    QString settingsFile() const { return path("config/Quorvale/Tavrel Control.conf"); }

    std::unique_ptr<QTemporaryDir> home;
    QList<QProcess *> programs, services; // stopped newest first
    QString busAddress, trayDisplay, bareDisplay;
};

QString firstLine(QProcess *process)
{
    const QDeadlineTimer deadline(10000);
    while (!process->canReadLine() && process->waitForReadyRead(deadline.remainingTime())) { }
    return QString::fromLocal8Bit(process->readLine()).trimmed();
}

void stopAll(QList<QProcess *> &processes)
{
    for (QProcess *process : qAsConst(processes)) {
        process->kill();
        process->waitForFinished(5000);
    }
    qDeleteAll(processes);
    processes.clear();
}

void tst_instance::initTestCase()
{
    const QStringList xvfb
        = {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"};
    trayDisplay = ':' + firstLine(launch("Xvfb", xvfb));
    bareDisplay = ':' + firstLine(launch("Xvfb", xvfb));
    busAddress = firstLine(launch("dbus-daemon", {"--session", "--nofork", "--print-address=1"}));
    QVERIFY(trayDisplay != ":" && bareDisplay != ":" && !busAddress.isEmpty());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", trayDisplay);
    launch("trayer", {"--edge", "top", "--align", "right", "--SetDockType", "true"}, env);
    QProcess search; // the tray owns its selection a moment after its panel is up
    search.setProcessEnvironment(env);
    QTRY_VERIFY_WITH_TIMEOUT((search.start("xdotool", {"search", "--classname", "^panel$"}),
                                 search.waitForFinished(5000) && search.exitCode() == 0),
        10000);
    QTest::qWait(500);
}

void tst_instance::init()
{
    home.reset(new QTemporaryDir);
    QVERIFY(QDir(path({})).mkpath("config/Quorvale"));
    for (const char *runtime : {"run", "run2"}) // one per session, or two sharing a bus
        QVERIFY(QDir(path({})).mkdir(runtime)
            && QFile(path(runtime))
                   .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void tst_instance::cleanup()
{
    stopAll(programs);
}
void tst_instance::cleanupTestCase()
{
    stopAll(services);
}

QProcessEnvironment tst_instance::environment(const QString &display, bool bus) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_LOGGING_RULES"})
        env.remove(name);
    if (!display.isEmpty())
        env.insert("DISPLAY", display);
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus ? busAddress : "unix:path=" + path("no-bus"));
    env.insert("HOME", path({}));
    env.insert("XDG_CONFIG_HOME", path("config"));
    env.insert("XDG_RUNTIME_DIR", path("run"));
    env.insert("LD_PRELOAD", TAVREL_DEVICESIM_PRELOAD);
    env.insert("TAVREL_DEVICESIM_SOCKET", path("sim.sock"));
    // A sanitized build: its runtime is linked, not preloaded first; leaks are the window tests'.
    env.insert(
        "ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0:detect_leaks=0");
    return env;
}

QProcess *tst_instance::launch(
    const QString &program, const QStringList &arguments, const QProcessEnvironment &env)
{
    auto *process = new QProcess;
    process->setProcessEnvironment(env);
    process->start(program, arguments);
    process->waitForStarted(5000);
    (program == TAVREL_PROGRAM ? programs : services).prepend(process);
    return process;
}

int tst_instance::run(const QStringList &arguments, const QProcessEnvironment &env, QByteArray *out)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(TAVREL_PROGRAM, arguments);
    if (!process.waitForFinished(15000))
        return -1;
    if (out)
        *out = process.readAllStandardOutput() + process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool tst_instance::listening(const QString &runtime) const
{
    QLocalSocket socket;
    socket.connectToServer((runtime.isEmpty() ? path("run") : runtime) + "/tavrel-control.socket");
    return socket.waitForConnected(200);
}

bool tst_instance::windowShown(const QString &display) const
{
    QProcessEnvironment env;
    env.insert("DISPLAY", display);
    QProcess search;
    search.setProcessEnvironment(env);
    search.start(
        "xdotool", {"search", "--onlyvisible", "--name", "^Tavrel Control v1\\.0\\.1\\.0$"});
    return search.waitForFinished(5000) && search.exitCode() == 0;
}

void tst_instance::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::newRow("version") << QStringList {"--version"} << 0 << "tavrel-control 1.0.1.0\n";
    QTest::newRow("help") << QStringList {"--help"} << 0 << "--quit ";
    QTest::newRow("Qt's option") << QStringList {"-platform", "offscreen", "-v"} << 0
                                 << " 1.0.1.0\n";
    QTest::newRow("unknown") << QStringList {"-platform", "offscreen", "--bogus"} << 1
                             << "Unknown option 'bogus'.";
    QTest::newRow("quit, none runs") << QStringList {"--quit"} << 1 << "no running instance";
}

// No display at all: what only prints or asks needs none.
void tst_instance::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, output);
    QByteArray printed;
    QTEST(run(arguments, environment(), &printed), "status");
    QVERIFY2(printed.contains(output.toUtf8()), printed.constData());
}

void tst_instance::secondStart_data()
{
    QTest::addColumn<bool>("bus");
    QTest::newRow("session bus") << true;
    QTest::newRow("no session bus") << false;
}

// On a desktop with a tray the first start keeps its window hidden until a second start.
void tst_instance::secondStart()
{
    QFETCH(bool, bus);
    const QProcessEnvironment env = environment(trayDisplay, bus);
    QProcess *first = launch(TAVREL_PROGRAM, {}, env);
    QTRY_VERIFY_WITH_TIMEOUT(listening(), 10000);
    QVERIFY(!windowShown(trayDisplay));
    QProcessEnvironment secondEnv = env; // on a bus, found by the bus alone
    if (bus)
        secondEnv.insert("XDG_RUNTIME_DIR", path("run2"));
    QCOMPARE(run({}, secondEnv), 0);
    QTRY_VERIFY_WITH_TIMEOUT(windowShown(trayDisplay), 5000);
    QCOMPARE(first->state(), QProcess::Running);

    first->kill(); // its lock and socket stay behind and must not block the next start
    QVERIFY(first->waitForFinished(5000) && QFile::exists(path("run/tavrel-control.lock")));
    QProcess *third = launch(TAVREL_PROGRAM, {}, env);
    QTRY_VERIFY_WITH_TIMEOUT(listening(), 10000);
    QCOMPARE(run({"--quit"}, secondEnv), 0);
    QVERIFY(third->waitForFinished(5000));
    QCOMPARE(third->exitCode(), 0);
    QVERIFY(QFile::exists(settingsFile())); // written on the way out, as the tray's "Quit" does
}

void tst_instance::noTray()
{
    QProcess *program = launch(TAVREL_PROGRAM, {}, environment(bareDisplay));
    QTRY_VERIFY_WITH_TIMEOUT(windowShown(bareDisplay), 10000);
    QCOMPARE(run({"--quit"}, environment()), 0);
    QVERIFY(program->waitForFinished(5000));
    QCOMPARE(program->readAllStandardError().count("tavrel-control: no system tray"), 1);
}

void tst_instance::damagedSettings()
{
    const QByteArray damaged = "[General]\nx=@Variant(\\0\\0\\0\\xb\\x7f\\xff\\xff\\xff)\n";
    QFile file(settingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(damaged) == damaged.size());
    file.close();
    QProcess *program = launch(TAVREL_PROGRAM, {"-platform", "offscreen"}, environment());
    QTRY_VERIFY_WITH_TIMEOUT(listening(), 10000);
    QCOMPARE(run({"--quit"}, environment()), 0);
    QVERIFY(program->waitForFinished(5000) && program->exitCode() == 0);
    QVERIFY(program->readAllStandardError().contains(settingsFile().toUtf8()));
    QFile aside(settingsFile() + ".damaged");
    QVERIFY(aside.open(QIODevice::ReadOnly));
    QCOMPARE(aside.readAll(), damaged);
    QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll().contains("auto_connect=false"));
}

// The unit's own command line and environment, with no display and no bus, bridge a report.
void tst_instance::userUnit()
{
    QFile unit(TAVREL_USER_UNIT);
    QVERIFY(unit.open(QIODevice::ReadOnly | QIODevice::Text));
    QProcessEnvironment env = environment();
    QStringList command;
    for (const QString &line : QString::fromUtf8(unit.readAll()).split('\n')) {
        if (line.startsWith("ExecStart="))
            command = line.mid(10).split(' ', Qt::SkipEmptyParts);
        else if (line.startsWith("Environment="))
            env.insert(line.mid(12).section('=', 0, 0), line.mid(12).section('=', 1));
    }
    QVERIFY(!command.isEmpty() && command.takeFirst() == "tavrel-control");

    QUdpSocket client, spare;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost))
        && spare.bind(QHostAddress(QHostAddress::LocalHost)));
    const QByteArray port = QByteArray::number(client.localPort());
    const quint16 listen = spare.localPort();
    spare.close(); // free again for the bridge
    QFile settings(settingsFile());
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write("[General]\nauto_connect=true\nudp_listen_port=" + QByteArray::number(listen)
        + "\nudp_metering_port=" + port + "\nudp_config_port=" + port + "\nudp_custom_port=" + port
        + "\n");
    settings.close();
    QProcess *program = launch(TAVREL_PROGRAM, command, env);
    const auto sim = [this](const QStringList &command) {
        QProcess process;
        process.start(TAVREL_DEVICESIM_CLI, QStringList {"--socket", path("sim.sock")} + command);
        return process.waitForFinished(5000) && process.exitCode() == 0;
    };
    QVERIFY(sim({"--wait", "5000", "plug"}));
    const auto bridged = [&] { // the bridge opens the device on its next auto-connect try
        client.writeDatagram(QByteArray::fromHex("a0a04b41"), QHostAddress::LocalHost, listen);
        return sim({"report", "01000102030405060708"}) && client.waitForReadyRead(300)
            && client.receiveDatagram().data() == QByteArray::fromHex("a0a001000102030405060708");
    };
    QTRY_VERIFY_WITH_TIMEOUT(bridged(), 10000);
    program->kill();
    program->waitForFinished(5000);
    QVERIFY(!program->readAllStandardError().contains("sendUdp")); // no debug lines in the journal
}

QTEST_GUILESS_MAIN(tst_instance)
#include "tst_instance.moc"
