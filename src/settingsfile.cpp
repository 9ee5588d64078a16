#include "settingsfile.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cstdio>
#include <exception>

namespace {

// The file's path when reading every value throws, else an empty string.
QString unreadableFile(const QString &organization, const QString &application)
{
    QString path;
    try {
        QSettings settings(
            QSettings::NativeFormat, QSettings::UserScope, organization, application);
        path = settings.fileName();
        settings.allKeys(); // parses every value
        return QString();
    } catch (const std::exception &) {
        return path;
    }
}

QString unusedDamagedName(const QString &path)
{
    QString name = path + QStringLiteral(".damaged");
    for (int n = 2; QFileInfo::exists(name); ++n)
        name = path + QStringLiteral(".damaged.") + QString::number(n);
    return name;
}

void say(const QString &text)
{
    std::fprintf(stderr, "tavrel-control: %s\n", qPrintable(text));
}

} // namespace

bool SettingsFile::setAsideIfUnreadable(const QString &organization, const QString &application)
{
    const QString path = unreadableFile(organization, application);
    if (path.isEmpty())
        return true;
    const QString aside = unusedDamagedName(path);
    QFile file(path);
    if (!file.rename(aside)) {
        say(QStringLiteral("cannot read the settings file %1, nor move it aside: %2")
                .arg(path, file.errorString()));
        return false;
    }
    say(QStringLiteral("cannot read the settings file %1; moved it to %2 and starting without "
                       "settings")
            .arg(path, aside));
    return true;
}

bool SettingsFile::isReadable(const QString &organization, const QString &application)
{
    return unreadableFile(organization, application).isEmpty();
}
