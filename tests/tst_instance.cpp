// The shipped program as users start it: a second start, no tray, the command line, the
// systemd user unit and a damaged settings file. Each case has its own home, settings and
// runtime folder, the simulated device preloaded, and a private session bus or none.
#include <QLocalSocket>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <unistd.h>

#include <csignal>

// Runs a program to its end: its exit status, or -1 if it crashed or hung.
int runToEnd(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
    QByteArray *output = nullptr)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    const bool ended
        = process.waitForFinished(15000) && process.exitStatus() == QProcess::NormalExit;
    if (output)
        *output = process.readAllStandardOutput() + process.readAllStandardError();
    return ended ? process.exitCode() : -1;
}

bool windowShown(const QString &display)
{
    QProcessEnvironment env;
    env.insert("DISPLAY", display);
    const QString title = "^Tavrel Control v1\\.0\\.1\\.0$";
    return runToEnd("xdotool", {"search", "--onlyvisible", "--name", title}, env) == 0;
}

class tst_instance : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> home, otherRuntime; // each a 0700 runtime folder
    QString busAddress, trayDisplay, bareDisplay;

    QString path(const QString &name) const { return home->filePath(name); }
    QString settingsFile() const { return path("config/Quorvale/Tavrel Control.conf"); }

    QProcessEnvironment environment(const QString &display = {}, bool bus = false) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        if (!display.isEmpty())
            env.insert("DISPLAY", display);
        env.insert("DBUS_SESSION_BUS_ADDRESS", bus ? busAddress : "unix:path=" + path("no-bus"));
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_RUNTIME_DIR", home->path());
        env.insert("LD_PRELOAD", TAVREL_DEVICESIM_PRELOAD);
        env.insert("TAVREL_DEVICESIM_SOCKET", path("sim.sock"));
        // A sanitized build: its runtime is linked, not preloaded first, and a huge allocation
        // fails as without it, so that Qt throws.
        env.insert("ASAN_OPTIONS",
            env.value("ASAN_OPTIONS")
                + ":verify_asan_link_order=0:detect_leaks=0:allocator_may_return_null=1");
        return env;
    }

    QProcess *launch(const QString &program, const QStringList &arguments,
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        auto *process = new QProcess(this); // the program's copies end with each test
        process->setObjectName(program == TAVREL_PROGRAM ? "program" : "service");
        process->setProcessEnvironment(env);
        process->start(program, arguments);
        return process;
    }

    QString firstLineOf(const QString &program, const QStringList &arguments)
    {
        QProcess *process = launch(program, arguments);
        for (QDeadlineTimer deadline(10000); !process->canReadLine() && !deadline.hasExpired();)
            process->waitForReadyRead(100);
        return QString::fromLocal8Bit(process->readLine()).trimmed();
    }

    void writeSettings(const QByteArray &general) const
    {
        QFile file(settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[General]\n" + general) > 0);
    }

    bool listening() const
    {
        QLocalSocket socket;
        socket.connectToServer(path("tavrel-control.socket"));
        return socket.waitForConnected(200);
    }

    // Once the program serves requests, --quit ends it: both exit with status 0.
    void quitWhenServing(QProcess *program, const QProcessEnvironment &env)
    {
        QTRY_VERIFY_WITH_TIMEOUT(listening(), 10000);
        QCOMPARE(runToEnd(TAVREL_PROGRAM, {"--quit"}, env), 0);
        QVERIFY(program->waitForFinished(5000));
        QCOMPARE(program->exitCode(), 0);
    }

    bool sim(const QStringList &command, QByteArray *output = nullptr) const
    {
        return runToEnd(TAVREL_DEVICESIM_CLI, QStringList {"--socket", path("sim.sock")} + command,
                   QProcessEnvironment::systemEnvironment(), output)
            == 0;
    }

    void stop(const QString &kind)
    {
        for (QProcess *process : findChildren<QProcess *>(kind)) {
            process->kill();
            process->waitForFinished(5000);
            delete process;
        }
    }

private slots:
    void initTestCase()
    {
        const QStringList xvfb
            = {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"};
        trayDisplay = ':' + firstLineOf("Xvfb", xvfb);
        bareDisplay = ':' + firstLineOf("Xvfb", xvfb);
        busAddress = firstLineOf("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        QVERIFY(trayDisplay != ":" && bareDisplay != ":" && !busAddress.isEmpty());
        QProcessEnvironment env;
        env.insert("DISPLAY", trayDisplay);
        launch("trayer", {"--SetDockType", "true"}, env);
        QTRY_VERIFY_WITH_TIMEOUT(
            runToEnd("xdotool", {"search", "--classname", "^panel$"}, env) == 0, 10000);
        QTest::qWait(500); // the tray owns its selection a moment after its panel is up
    }

    void init()
    {
        home.reset(new QTemporaryDir);
        otherRuntime.reset(new QTemporaryDir);
        QVERIFY(QDir(path({})).mkpath("config/Quorvale"));
    }

    void cleanup() { stop("program"); }
    void cleanupTestCase() { stop("service"); }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::newRow("version") << QStringList {"--version"} << 0 << "tavrel-control 1.0.1.0\n";
        QTest::newRow("help") << QStringList {"--help"} << 0 << "--check ";
        QTest::newRow("Qt's option")
            << QStringList {"-platform", "offscreen", "-v"} << 0 << " 1.0.1.0\n";
        QTest::newRow("unknown") << QStringList {"--bogus"} << 1 << "Unknown option 'bogus'.";
        QTest::newRow("quit, none runs") << QStringList {"--quit"} << 1 << "no running instance";
        QTest::newRow("client, bad port") << QStringList {TAVREL_CLIENT, "--listen-port", "0"} << 2
                                          << "--listen-port wants a whole number from 1 to 65535";
        QUdpSocket spare; // a port free for the client's three
        spare.bind(QHostAddress(QHostAddress::LocalHost));
        const QString port = QString::number(spare.localPort());
        QTest::newRow("client, count not reached") << QStringList {TAVREL_CLIENT, "--bind",
            "127.0.0.1", "--metering", port, "--config", port, "--custom", port, "--count", "1",
            "--timeout", "100"} << 1 << "timed out after 0 of 1 messages";
    }

    void commandLine() // with no display at all
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        QByteArray printed;
        const QString program
            = arguments.value(0) == TAVREL_CLIENT ? arguments.takeFirst() : TAVREL_PROGRAM;
        QTEST(runToEnd(program, arguments, environment(), &printed), "status");
        QVERIFY2(printed.contains(output.toUtf8()), printed.constData());
    }

    void check_data()
    {
        QTest::addColumn<QByteArray>("settings"); // %1: a free port
        // What else runs: 1 a copy, found by its socket; 2 a copy found by the bus alone;
        // 3 a socket on the free port.
        QTest::addColumn<int>("other");
        QTest::addColumn<QStringList>("said");
        QTest::newRow("first start") << QByteArray() << 0
                                     << QStringList {"copy: none running", ".conf (not there yet",
                                            "CUSTOM 0; Auto Connect off", "LISTEN port 0: "};
        QTest::newRow("defaults") << QByteArray("udp_default_ports=true\nauto_connect=true\n") << 0
                                  << QStringList {"LISTEN 18153, METERING 18150, CONFIG 18151, "
                                                  "CUSTOM 18152 (Use defaults); Auto Connect on"};
        QTest::newRow("port free")
            << QByteArray("udp_listen_port=%1\nudp_custom_port=9\n") << 0
            << QStringList {"LISTEN %1, METERING 0, CONFIG 0, CUSTOM 9;", "%1: free\n"};
        QTest::newRow("port taken")
            << QByteArray("udp_listen_port=%1\n") << 3 << QStringList {"%1: taken ("};
        QTest::newRow("copy runs") << QByteArray() << 1 << QStringList {"copy: running"};
        QTest::newRow("copy on the bus") << QByteArray() << 2 << QStringList {"copy: running"};
    }

    // The answer when no device is plugged in, with no display at all.
    void check()
    {
        QFETCH(QByteArray, settings);
        QFETCH(int, other);
        QFETCH(QStringList, said);
        const QString found
            = "grep -qs HID_ID=0003:00000805:00001404 /sys/class/hidraw/*/device/uevent";
        if (runToEnd("sh", {"-c", found}) == 0)
            QSKIP("a real device is plugged in");
        QUdpSocket port;
        QVERIFY(port.bind(QHostAddress::Any, 0, QUdpSocket::DontShareAddress));
        const QString number = QString::number(port.localPort());
        if (other != 3)
            port.close();
        if (!settings.isEmpty())
            writeSettings(settings.replace("%1", number.toUtf8()));
        QProcessEnvironment env = environment({}, other == 2);
        if (other == 1 || other == 2) {
            launch(TAVREL_PROGRAM, {"-platform", "offscreen"}, env);
            QTRY_VERIFY_WITH_TIMEOUT(listening(), 10000);
        }
        if (other == 2)
            env.insert("XDG_RUNTIME_DIR", otherRuntime->path());
        QByteArray printed;
        QCOMPARE(runToEnd(TAVREL_PROGRAM, {"--check"}, env, &printed), 1);
        said << "device: none with the ids 0805:1404 is plugged in\n"
             << "\ndisplay: none (DISPLAY and WAYLAND_DISPLAY are unset)";
        for (const QString &line : said)
            QVERIFY2(printed.contains(QString(line).replace("%1", number).toUtf8()),
                printed.constData());
        QCOMPARE(QFile::exists(settingsFile()), !settings.isEmpty()); // it writes nothing
        for (QProcess *other : findChildren<QProcess *>("program")) // left alone
            QCOMPARE(other->state(), QProcess::Running);
    }

    void secondStart_data()
    {
        QTest::addColumn<bool>("bus");
        QTest::addColumn<bool>("tray");
        QTest::newRow("session bus") << true << true;
        QTest::newRow("no session bus") << false << true;
        QTest::newRow("no tray") << false << false;
    }

    // The window shows at start only without a tray, and at a second start in any case.
    void secondStart()
    {
        QFETCH(bool, bus);
        QFETCH(bool, tray);
        const QString display = tray ? trayDisplay : bareDisplay;
        const QProcessEnvironment env = environment(display, bus);
        QProcess *first = launch(TAVREL_PROGRAM, {}, env);
        QTRY_VERIFY_WITH_TIMEOUT(listening(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(windowShown(display), !tray, 5000);
        QProcessEnvironment secondEnv = env; // on a bus, found by the bus alone
        if (bus)
            secondEnv.insert("XDG_RUNTIME_DIR", otherRuntime->path());
        QCOMPARE(runToEnd(TAVREL_PROGRAM, {}, secondEnv), 0);
        QTRY_VERIFY_WITH_TIMEOUT(windowShown(display), 5000);
        QCOMPARE(first->state(), QProcess::Running);

        first->kill(); // its lock and socket stay behind and must not block the next start
        QVERIFY(first->waitForFinished(5000) && QFile::exists(path("tavrel-control.lock")));
        QCOMPARE(
            first->readAllStandardError().count("tavrel-control: no system tray"), tray ? 0 : 1);
        quitWhenServing(launch(TAVREL_PROGRAM, {}, env), secondEnv);
        QVERIFY(QFile::exists(settingsFile())); // written on the way out, as by the tray's "Quit"
    }

    void damagedSettings()
    {
        const QByteArray damaged = "x=@Variant(\\0\\0\\0\\xb\\x7f\\xff\\xff\\xff)\n";
        writeSettings(damaged);
        QProcess *program = launch(TAVREL_PROGRAM, {"-platform", "offscreen"}, environment());
        quitWhenServing(program, environment());
        // Qt 5's reader throws on the value; Qt 6's passes over it, leaving nothing to set aside.
        const bool unreadable = QT_VERSION_MAJOR == 5;
        QCOMPARE(program->readAllStandardError().contains(settingsFile().toUtf8()), unreadable);
        QFile aside(settingsFile() + ".damaged"), file(settingsFile());
        QCOMPARE(aside.open(QIODevice::ReadOnly) && aside.readAll() == "[General]\n" + damaged,
            unreadable);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll().contains("auto_connect=false"));
    }

    void signalsAndUnusableLocks_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("unusable"); // what the program cannot use and says so once
        QTest::addColumn<bool>("nohup"); // the signal ignored from the start stays ignored
        QTest::newRow("SIGTERM, stale lock of another user") << int(SIGTERM) << "lock" << false;
        QTest::newRow("SIGINT, runtime folder not writable") << int(SIGINT) << "folder" << false;
        QTest::newRow("SIGHUP") << int(SIGHUP) << "" << false;
        QTest::newRow("SIGHUP under nohup, then SIGTERM") << int(SIGHUP) << "" << true;
    }

    // Only a live copy stops a start. A signal ends the program as "Quit" does: the window's
    // values written over the settings file, also over an edit made meanwhile, and status 0.
    void signalsAndUnusableLocks()
    {
        QFETCH(int, signal);
        QFETCH(QString, unusable);
        QFETCH(bool, nohup);
        QProcessEnvironment env = environment();
        QFile lock(path("tavrel-control.lock")); // as a killed root copy leaves it
        if (unusable == "lock")
            QVERIFY(lock.open(QIODevice::WriteOnly) && lock.write("4194305\n")
                && lock.setPermissions({}));
        if (unusable == "folder") {
            QVERIFY(QFile(otherRuntime->path()).setPermissions(QFile::ReadOwner | QFile::ExeOwner));
            env.insert("XDG_RUNTIME_DIR", otherRuntime->path());
            env.insert("TMPDIR", otherRuntime->path()); // where Qt would make another
        }
        writeSettings("auto_connect=true\nudp_listen_port=1\n");
        // The simulated device is the program's alone: preloaded into nohup, it would serve
        // the control socket until nohup hands over to the program.
        QStringList command {"env", "LD_PRELOAD=" + env.value("LD_PRELOAD"), TAVREL_PROGRAM,
            "-platform", "offscreen"};
        env.remove("LD_PRELOAD");
        if (nohup)
            command.prepend("nohup");
        if (geteuid() == 0) // root reads and writes anything unless these are dropped
            command = QStringList {"setpriv", "--bounding-set=-dac_override,-dac_read_search"}
                + command;
        const QStringList start = command;
        QProcess *program = launch(command.takeFirst(), command, env);
        program->setObjectName("program");
        QByteArray status;
        QVERIFY(sim({"--wait", "5000", "plug"}));
        QTRY_VERIFY_WITH_TIMEOUT(sim({"status"}, &status) && status.contains(" handles=1 "), 8000);
        if (unusable == "lock") { // a second start still finds the first, by its socket
            QCOMPARE(runToEnd(start.first(), start.mid(1), env), 0);
            QVERIFY(sim({"status"}, &status) && status.contains(" handles=1 "));
        }
        writeSettings("auto_connect=false\n");
        ::kill(program->processId(), signal);
        if (nohup) {
            QVERIFY(!program->waitForFinished(1000));
            ::kill(program->processId(), SIGTERM);
        }
        QVERIFY(program->waitForFinished(5000) && program->exitStatus() == QProcess::NormalExit);
        QCOMPARE(program->exitCode(), 0);
        QSettings written(settingsFile(), QSettings::IniFormat);
        QCOMPARE(
            written.value("auto_connect").toString() + written.value("udp_listen_port").toString(),
            "true1");
        QCOMPARE(program->readAllStandardError().count("cannot use the lock file"),
            int(!unusable.isEmpty()));
    }

    // The unit's own command line and environment, with no display and no bus.
    void userUnit()
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

        QUdpSocket spare[2]; // free ports for LISTEN and the client
        const QHostAddress loopback(QHostAddress::LocalHost);
        QVERIFY(spare[0].bind(loopback) && spare[1].bind(loopback));
        const QString listen = QString::number(spare[0].localPort());
        const QString port = QString::number(spare[1].localPort());
        spare[0].close();
        spare[1].close();
        writeSettings(QString("auto_connect=true\nudp_listen_port=%1\nudp_metering_port=%2\n"
                              "udp_config_port=%2\nudp_custom_port=%2\n")
                          .arg(listen, port)
                          .toUtf8());
        QProcess *program = launch(TAVREL_PROGRAM, command, env);
        QVERIFY(sim({"--wait", "5000", "plug"}));
        QProcess client; // the client tool, its three ports one
        client.start(TAVREL_CLIENT,
            {"--bind", "127.0.0.1", "--listen-port", listen, "--metering", port, "--config", port,
                "--custom", port, "--interval", "200", "--count", "2", "--timeout", "10000"});
        // The device opens at the next auto-connect try.
        while (client.state() != QProcess::NotRunning && sim({"report", "01000102030405060708"}))
            client.waitForFinished(300);
        QCOMPARE(client.exitCode(), 0);
        QCOMPARE(client.readAllStandardOutput(),
            QString("port=%1 data=a0a001000102030405060708 metering=no\n").arg(port).repeated(2));
        program->kill();
        QVERIFY(program->waitForFinished(5000));
        const QByteArray journal = program->readAllStandardError(); // no send lines, no tray noise
        QVERIFY2(!journal.contains("sendUdp") && !journal.contains("No such signal"), journal);
    }
};

QTEST_GUILESS_MAIN(tst_instance)
#include "tst_instance.moc"
