#include "mainwindow.h"
#include "selfcheck.h"
#include "settingsfile.h"
#include "signalquit.h"
#include "singleinstance.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSystemTrayIcon>

#include <algorithm>
#include <cstdio>

namespace {

const char *const DesktopEntryId = "com.quorvale.TavrelControl";

void say(const char *text)
{
    std::fprintf(stderr, "tavrel-control: %s\n", text);
}

// Qt's own options, which QApplication takes off the command line before it is parsed here.
const QStringList QtOptions = {QStringLiteral("platform"), QStringLiteral("platformpluginpath"),
    QStringLiteral("platformtheme"), QStringLiteral("plugin"), QStringLiteral("qwindowgeometry"),
    QStringLiteral("geometry"), QStringLiteral("qwindowtitle"), QStringLiteral("title"),
    QStringLiteral("qwindowicon"), QStringLiteral("icon"), QStringLiteral("reverse"),
    QStringLiteral("session"), QStringLiteral("testability"), QStringLiteral("qmljsdebugger"),
    QStringLiteral("display"), QStringLiteral("name"), QStringLiteral("visual"),
    QStringLiteral("sync"), QStringLiteral("nograb"), QStringLiteral("dograb"),
    QStringLiteral("style"), QStringLiteral("stylesheet"), QStringLiteral("widgetcount")};

struct CommandLine
{
    QCommandLineParser parser;
    const QCommandLineOption quit {QStringLiteral("quit"),
        QStringLiteral("Ask the running instance to quit, as its tray menu's \"Quit\" does.")};
    const QCommandLineOption check {QStringLiteral("check"),
        QStringLiteral("Checks, without starting the bridge, what it needs: the device and this "
                       "user's access to it, no other running copy, the settings file and its "
                       "ports, a free LISTEN port and a system tray. Exits with status 0 when "
                       "the device can be used, else 1.")};

    CommandLine()
    {
        parser.setApplicationDescription(
            QStringLiteral("Bridges a USB control surface and UDP clients."));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOption(quit);
        parser.addOption(check);
    }
};

// Help, a version, an error, a request to the running copy and the check need no display, so
// they run on the offscreen platform and work over SSH too; the check still looks for a tray on
// a display it can reach. Empty for a command line that may start the bridge: Qt then decides.
QByteArray platformWithoutBridge(int argc, char *argv[])
{
    CommandLine commandLine;
    commandLine.parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    commandLine.parser.parse(arguments);
    const QStringList unknown = commandLine.parser.unknownOptionNames();
    const bool onlyQtOptions = std::all_of(unknown.begin(), unknown.end(),
        [](const QString &name) { return QtOptions.contains(name); });
    if (commandLine.parser.optionNames().isEmpty() && onlyQtOptions)
        return {};
    if (!commandLine.parser.isSet(commandLine.check))
        return "offscreen";
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        return "xcb;offscreen";
    return qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ? "offscreen" : "wayland;offscreen";
}

void bringToFront(MainWindow &window)
{
    window.show();
    window.raise();
    window.activateWindow();
}

// Without a tray the window is the only way in.
void showWithoutTray(MainWindow &window)
{
    const QString platform = QGuiApplication::platformName();
    if (QSystemTrayIcon::isSystemTrayAvailable() || platform == QLatin1String("offscreen")
        || platform == QLatin1String("minimal"))
        return;
    say("no system tray on this desktop, so the window is shown; closing it hides it, and "
        "starting tavrel-control again brings it back");
    window.show();
}

} // namespace

int main(int argc, char *argv[])
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true); // always on in Qt 6
#endif
    const QByteArray platform = platformWithoutBridge(argc, argv);
    if (!platform.isEmpty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", platform); // Qt's -platform, if given, still decides
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    // Lets Wayland compositors and docks match the window to the installed desktop entry.
    QGuiApplication::setDesktopFileName(QLatin1String(DesktopEntryId));
    CommandLine commandLine;
    commandLine.parser.process(app); // --help, --version and a bad option end the program here

    SingleInstance instance(QDBusConnection::sessionBus());
    if (commandLine.parser.isSet(commandLine.check))
        return SelfCheck::run(instance);
    if (commandLine.parser.isSet(commandLine.quit)) {
        if (instance.send(SingleInstance::Request::Quit))
            return 0;
        say("no running instance to quit");
        return 1;
    }
    if (!instance.claim()) {
        if (instance.send(SingleInstance::Request::Activate))
            return 0;
        say("another copy runs but does not answer");
        return 1;
    }
    if (!SettingsFile::setAsideIfUnreadable(
            QLatin1String(SettingsFile::Organization), QLatin1String(SettingsFile::Application)))
        return 1;

    MainWindow window; // starts hidden: the tray menu's "Settings" shows it
    QObject::connect(&instance, &SingleInstance::activateRequested, &window,
        [&window] { bringToFront(window); });
    // As the tray's "Quit": the settings are written and the program ends.
    QObject::connect(&instance, SIGNAL(quitRequested()), &window, SLOT(close_exit()));
    SignalQuit quitSignals; // SIGTERM, SIGINT and SIGHUP: as "Quit" too
    QObject::connect(&quitSignals, SIGNAL(quitRequested()), &window, SLOT(close_exit()));
    showWithoutTray(window);
    return app.exec();
}
