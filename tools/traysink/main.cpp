// tavrel-traysink: stands in for a desktop's tray host and notification service on a session
// bus that has neither (a headless machine, a test), and prints each notification a program
// sends, one a line: "<urgency> <summary>: <body>" (urgency 0 information, 2 critical).
// Qt sends tray messages over D-Bus only when a tray host is on the bus as its tray icon is
// created, so start this first.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QVariantMap>

#include <cstdio>

class TrayHost : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    bool hostRegistered() const { return true; }

public slots:
    void RegisterStatusNotifierItem(const QString &) { }
};

class Notifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public slots:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
        const QStringList &, const QVariantMap &hints, int)
    {
        std::printf("%d %s: %s\n", hints.value(QStringLiteral("urgency")).toInt(),
            qPrintable(summary), qPrintable(body));
        std::fflush(stdout);
        return ++shown;
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
    void CloseNotification(uint) { }

private:
    uint shown = 0;
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TrayHost host;
    Notifications notifications;
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto all = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties;
    const bool ok = bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &host, all)
        && bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &notifications, all)
        && bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))
        && bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    if (!ok) {
        std::fprintf(stderr, "tavrel-traysink: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    return app.exec();
}

#include "main.moc"
