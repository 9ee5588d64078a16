#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

// Shared by the window tests: a private settings store and a record of debug lines.
namespace TestSupport {

// Points XDG_CONFIG_HOME at a fresh temporary folder, so the developer's own settings are
// never read or written. Call before the first QSettings (before any MainWindow).
inline QString isolateSettings()
{
    static QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
    return configHome.path();
}

inline QString settingsFile()
{
    return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"))
        + QStringLiteral("/Quorvale/Tavrel Control.conf");
}

struct LoggedLine
{
    QtMsgType type;
    QString category;
    QString text;
    bool hasContext; // file, line or function recorded
};

// Records every message while alive, as the default handler would receive it.
class DebugCapture
{
public:
    DebugCapture()
    {
        lines().clear();
        previous = qInstallMessageHandler(&DebugCapture::handle);
    }
    ~DebugCapture() { qInstallMessageHandler(previous); }

    static QList<LoggedLine> &lines()
    {
        static QList<LoggedLine> recorded;
        return recorded;
    }

    // Debug-level texts only, in order.
    static QStringList debugTexts()
    {
        QStringList texts;
        for (const LoggedLine &line : lines())
            if (line.type == QtDebugMsg)
                texts.append(line.text);
        return texts;
    }

    static int count(const QString &text) { return debugTexts().count(text); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        const bool hasContext = context.file || context.line || context.function;
        lines().append({type, QString::fromLatin1(context.category), text, hasContext});
    }

    QtMessageHandler previous;
};

} // namespace TestSupport

#endif // TESTSUPPORT_H
