#include "mainwindow.h"
#include "settingsfile.h"
#include "signalquit.h"
#include "singleinstance.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSystemTrayIcon>

#include <cstdio>
#include <cstring>

namespace {

const char *const DesktopEntryId = "com.quorvale.TavrelControl";

void say(const char *text)
{
    std::fprintf(stderr, "tavrel-control: %s\n", text);
}

// These options only print or hand a request over: they need no display, so they run on the
// offscreen platform and work over SSH too. Qt's -platform, if given, still decides.
bool answersOnly(int argc, char *argv[])
{
    static const char *const options[]
        = {"-h", "--help", "--help-all", "-v", "--version", "--quit"};
    for (int i = 1; i < argc; ++i)
        for (const char *option : options)
            if (std::strcmp(argv[i], option) == 0)
                return true;
    return false;
}

// --help, --version and a bad option end the program here; true for --quit.
bool quitOptionGiven(const QApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Bridges a USB control surface and UDP clients."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption quit(QStringLiteral("quit"),
        QStringLiteral("Ask the running instance to quit, as its tray menu's \"Quit\" does."));
    parser.addOption(quit);
    parser.process(app);
    return parser.isSet(quit);
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
    if (answersOnly(argc, argv) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    // Lets Wayland compositors and docks match the window to the installed desktop entry.
    QGuiApplication::setDesktopFileName(QLatin1String(DesktopEntryId));
    const bool quit = quitOptionGiven(app);

    SingleInstance instance(QDBusConnection::sessionBus());
    if (quit) {
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
            QStringLiteral("Quorvale"), QStringLiteral("Tavrel Control")))
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
