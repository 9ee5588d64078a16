#include "selfcheck.h"

#include "bridgeformat.h"
#include "settingsfile.h"
#include "singleinstance.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QUdpSocket>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// USB only (bus 0003), as the udev rule matches.
const QByteArray HidId = "HID_ID=0003:00000805:00001404";
const char *const RuleName = "70-tavrel-control.rules";
// Where udev reads rules, most local first.
const char *const RuleFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
    "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
const char *const GroupRule
    = R"(SUBSYSTEM=="hidraw", KERNELS=="0003:0805:1404.*", MODE="0660", GROUP="plugdev")";

struct Ports
{
    int listen = 0, metering = 0, config = 0, custom = 0;
    bool defaults = false;
};

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
}

bool isDeviceNode(const QDir &hidraw, const QString &name)
{
    QFile uevent(hidraw.filePath(name + QLatin1String("/device/uevent")));
    return uevent.open(QIODevice::ReadOnly) && uevent.readAll().split('\n').contains(HidId);
}

// As udev sees them: by the HID ids in sysfs, without opening anything.
QStringList deviceNodes()
{
    const QDir hidraw(QStringLiteral("/sys/class/hidraw"));
    QStringList nodes;
    for (const QString &name : hidraw.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (isDeviceNode(hidraw, name))
            nodes << QLatin1String("/dev/") + name;
    return nodes;
}

QString ruleFolders()
{
    QStringList folders;
    for (const char *folder : RuleFolders)
        folders << QLatin1String(folder);
    return folders.join(QLatin1String(", "));
}

QString installedRule()
{
    for (const char *folder : RuleFolders) {
        const QString path = QLatin1String(folder) + QLatin1Char('/') + QLatin1String(RuleName);
        if (QFileInfo::exists(path))
            return path;
    }
    return {};
}

void sayAccessFix()
{
    const QString rule = installedRule();
    if (rule.isEmpty())
        say(QStringLiteral("  fix: the udev rule %1 is in none of %2; install it (the Debian "
                           "package does; from the source folder: sudo install -m 644 "
                           "packaging/%1 /etc/udev/rules.d/), then unplug and replug the device")
                .arg(QLatin1String(RuleName), ruleFolders()));
    else
        say(QStringLiteral("  fix: unplug and replug the device, so that the udev rule %1 applies")
                .arg(rule));
    say(QStringLiteral("  The rule serves the user at the machine's seat. Over SSH or as a "
                       "service, put this rule in /etc/udev/rules.d/ instead, add the user to "
                       "the group and replug:\n  %1")
            .arg(QLatin1String(GroupRule)));
}

bool checkDevice()
{
    const QStringList nodes = deviceNodes();
    if (nodes.isEmpty())
        say(QStringLiteral("device: none with the ids 0805:1404 is plugged in"));
    bool usable = !nodes.isEmpty();
    for (const QString &node : nodes) {
        const bool allowed = ::access(QFile::encodeName(node).constData(), R_OK | W_OK) == 0;
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        say(QStringLiteral("device: %1 (0805:1404): ").arg(node)
            + (allowed ? QStringLiteral("this user may read and write it")
                       : QStringLiteral("this user may not read and write it (%1)").arg(why)));
        usable = usable && allowed;
    }
    if (!nodes.isEmpty() && !usable)
        sayAccessFix();
    return usable;
}

void checkOtherCopy(const SingleInstance &instance)
{
    say(instance.otherCopyRuns()
            ? QStringLiteral("another copy: running; it keeps the device and the LISTEN port "
                             "while its bridge runs (tavrel-control --quit ends it)")
            : QStringLiteral("another copy: none running"));
}

int portSetting(const QSettings &settings, const char *key)
{
    return BridgeFormat::storedPort(settings.value(QLatin1String(key)));
}

// The ports the window loads at start.
Ports loadPorts(const QSettings &settings)
{
    if (settings.value(QStringLiteral("udp_default_ports")).toBool())
        return {BridgeFormat::DefaultListenPort, BridgeFormat::DefaultMeteringPort,
            BridgeFormat::DefaultConfigPort, BridgeFormat::DefaultCustomPort, true};
    return {portSetting(settings, "udp_listen_port"), portSetting(settings, "udp_metering_port"),
        portSetting(settings, "udp_config_port"), portSetting(settings, "udp_custom_port")};
}

Ports checkSettings()
{
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
        QLatin1String(SettingsFile::Organization), QLatin1String(SettingsFile::Application));
    const QString path = settings.fileName();
    // Qt 5's reader throws on such a file, so it is not read here.
    if (!SettingsFile::isReadable(
            QLatin1String(SettingsFile::Organization), QLatin1String(SettingsFile::Application))) {
        say(QStringLiteral("settings: %1 cannot be read; the next start moves it aside and "
                           "starts as on the first start")
                .arg(path));
        return {};
    }
    say(QStringLiteral("settings: ") + path
        + (QFileInfo::exists(path)
                ? QString()
                : QStringLiteral(" (not there yet: the first start shows ports 0)")));
    const Ports ports = loadPorts(settings);
    const bool autoConnect = settings.value(QStringLiteral("auto_connect")).toBool();
    say(QStringLiteral("ports: LISTEN %1, METERING %2, CONFIG %3, CUSTOM %4%5; Auto Connect %6")
            .arg(ports.listen)
            .arg(ports.metering)
            .arg(ports.config)
            .arg(ports.custom)
            .arg(ports.defaults ? QStringLiteral(" (Use defaults)") : QString())
            .arg(autoConnect
                    ? QStringLiteral("on")
                    : QStringLiteral("off (the bridge starts only when Start is clicked)")));
    return ports;
}

// Bound as the bridge binds it, but not shared, so that no datagram strays here from a bridge
// that holds the port.
void checkListenPort(int listen)
{
    const auto port = static_cast<quint16>(listen); // the low 16 bits, as the window binds
    QUdpSocket probe;
    if (port == 0)
        say(QStringLiteral("LISTEN port 0: the bridge would listen on a port picked at random; "
                           "tick \"Use defaults\" or enter a port"));
    else if (probe.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress))
        say(QStringLiteral("LISTEN port %1: free").arg(port));
    else
        say(QStringLiteral("LISTEN port %1: taken (%2); a bridge started while it is taken runs, "
                           "but no client reaches it")
                .arg(port)
                .arg(probe.errorString()));
}

void sayTrayOnDisplay(const QString &platform)
{
    const char *variable = platform == QLatin1String("xcb") ? "DISPLAY" : "WAYLAND_DISPLAY";
    say(QStringLiteral("display: %1 (%2); system tray: %3")
            .arg(QString::fromLocal8Bit(qgetenv(variable)), platform,
                QSystemTrayIcon::isSystemTrayAvailable()
                    ? QStringLiteral("available")
                    : QStringLiteral("none, so the window shows at start")));
}

// Without a display, a tray of this user's desktop session may still be found on its bus.
QString whyNoDisplay()
{
    const QString x11 = QString::fromLocal8Bit(qgetenv("DISPLAY"));
    const QString wayland = QString::fromLocal8Bit(qgetenv("WAYLAND_DISPLAY"));
    if (!x11.isEmpty())
        return QStringLiteral("display: %1 cannot be used").arg(x11);
    if (!wayland.isEmpty())
        return QStringLiteral("display: Wayland's %1 cannot be used").arg(wayland);
    return QStringLiteral("display: none (DISPLAY and WAYLAND_DISPLAY are unset)");
}

void sayNoDisplay()
{
    say(whyNoDisplay()
        + QStringLiteral(", so the program runs only with -platform offscreen, as the user unit "
                         "does, without tray or window"));
    const QDBusConnection bus = QDBusConnection::sessionBus();
    const bool watcher = bus.isConnected()
        && bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
    say(watcher ? QStringLiteral("system tray: a desktop session of this user has one (a "
                                 "StatusNotifierWatcher is on the session bus)")
                : QStringLiteral("system tray: none (no StatusNotifierWatcher on the session "
                                 "bus)"));
}

void checkTray()
{
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen"))
        sayNoDisplay();
    else
        sayTrayOnDisplay(platform);
}

} // namespace

int SelfCheck::run(const SingleInstance &instance)
{
    const bool usable = checkDevice();
    checkOtherCopy(instance);
    checkListenPort(checkSettings().listen);
    checkTray();
    return usable ? 0 : 1;
}
