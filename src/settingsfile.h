#ifndef SETTINGSFILE_H
#define SETTINGSFILE_H

#include <QString>

namespace SettingsFile {

// The names Qt finds the settings file by: ~/.config/<organization>/<application>.conf.
constexpr const char *Organization = "Quorvale";
constexpr const char *Application = "Tavrel Control";

// A settings file that Qt's reader cannot parse (one that makes it throw) used to end the
// program at start; this mends that obvious fault. Such a file is moved aside as
// <name>.damaged, never deleted, and the program starts as with no settings file.
// False only when it could not be moved.
bool setAsideIfUnreadable(const QString &organization, const QString &application);

// False for a file that setAsideIfUnreadable would move aside.
bool isReadable(const QString &organization, const QString &application);

} // namespace SettingsFile

#endif // SETTINGSFILE_H
