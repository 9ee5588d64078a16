// tavrel-client: a UDP client of the bridge for checking it from any machine.
//
//   tavrel-client --bridge 192.0.2.7 --send 0102030405060708090a
//
// prints one line per datagram received: port=<n> data=<hex> metering=<yes|no>.
// Exit codes: 0 done (count reached, timeout without --count, Ctrl-C, SIGTERM), 1 --count not
// reached before --timeout or a receive port unavailable, 2 bad command line.

#include "bridgeclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostInfo>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

constexpr int UsageError = 2;

[[noreturn]] void usageError(const QString &text)
{
    std::fprintf(stderr, "tavrel-client: %s (see --help)\n", qPrintable(text));
    std::exit(UsageError);
}

int number(const QCommandLineParser &parser, const QString &name, int lowest, int highest)
{
    bool ok = false;
    const int value = parser.value(name).toInt(&ok, 10);
    if (!ok || value < lowest || value > highest)
        usageError(QStringLiteral("--%1 wants a whole number from %2 to %3, not \"%4\"")
                       .arg(name)
                       .arg(lowest)
                       .arg(highest)
                       .arg(parser.value(name)));
    return value;
}

quint16 port(const QCommandLineParser &parser, const QString &name)
{
    return static_cast<quint16>(number(parser, name, 1, 65535));
}

// Hex digits in pairs; spaces and colons between them are allowed for readability.
QByteArray hexBytes(const QString &name, const QString &text)
{
    QString digits = text;
    digits.remove(QRegularExpression(QStringLiteral("[\\s:]")));
    static const QRegularExpression hex(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
    if (!hex.match(digits).hasMatch())
        usageError(
            QStringLiteral("--%1 wants bytes in hex, like 0a1b2c, not \"%2\"").arg(name, text));
    return QByteArray::fromHex(digits.toLatin1());
}

QHostAddress bridgeAddress(const QString &host)
{
    QHostAddress address(host);
    if (!address.isNull())
        return address;
    const QList<QHostAddress> found = QHostInfo::fromName(host).addresses();
    for (const QHostAddress &candidate : found)
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol)
            return candidate; // the bridge's own replies go to the address it sees
    if (found.isEmpty())
        usageError(QStringLiteral("cannot resolve the bridge address \"%1\"").arg(host));
    return found.first();
}

// --send and --raw in the order they were given, each turned into the datagram to send.
QList<QByteArray> datagrams(const QCommandLineParser &parser)
{
    const QStringList sends = parser.values(QStringLiteral("send"));
    const QStringList raws = parser.values(QStringLiteral("raw"));
    int sendIndex = 0;
    int rawIndex = 0;
    QList<QByteArray> result;
    for (const QString &name : parser.optionNames()) {
        if (name == QLatin1String("send"))
            result.append(QByteArray::fromHex("a0a0") + hexBytes(name, sends.at(sendIndex++)));
        else if (name == QLatin1String("raw"))
            result.append(hexBytes(name, raws.at(rawIndex++)));
    }
    return result;
}

ClientOptions parse(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Registers with a Tavrel Control bridge by keep-alives, prints every datagram the bridge\n"
        "sends (port=<n> data=<hex> metering=<yes|no>) and sends payloads given in hex."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"bridge", "Bridge address (default 127.0.0.1).", "host", "127.0.0.1"},
        {"listen-port", "The bridge's LISTEN port (default 18153).", "n", "18153"},
        {"bind", "Local address to receive on and send from (default any).", "address"},
        {"metering", "Local port for METERING messages (default 18150).", "n", "18150"},
        {"config", "Local port for CONFIG messages (default 18151).", "n", "18151"},
        {"custom", "Local port for CUSTOM messages (default 18152).", "n", "18152"},
        {"interval", "Keep-alive interval in ms, the first at start (default 5000; 0 = none).",
            "ms", "5000"},
        {"send", "Send A0 A0 and these bytes once, after the first keep-alive (repeatable).",
            "hex"},
        {"raw", "Send exactly these bytes once, after the first keep-alive (repeatable).", "hex"},
        {"count", "Exit after receiving n datagrams (default: run until Ctrl-C).", "n"},
        {"timeout", "Exit after this long; code 1 if --count was not reached.", "ms"},
    });
    // Mistakes end with code 2, unlike process(), which uses 1 also taken by a timeout.
    if (!parser.parse(app.arguments()))
        usageError(parser.errorText().remove(QRegularExpression(QStringLiteral("\\.$"))));
    parser.process(app); // only --help, --help-all and --version are left for it: they exit
    if (!parser.positionalArguments().isEmpty())
        usageError(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    ClientOptions options;
    options.bridge = bridgeAddress(parser.value(QStringLiteral("bridge")));
    options.listenPort = port(parser, QStringLiteral("listen-port"));
    if (parser.isSet(QStringLiteral("bind"))) {
        options.bind = QHostAddress(parser.value(QStringLiteral("bind")));
        if (options.bind.isNull())
            usageError(QStringLiteral("--bind wants an IP address, not \"%1\"")
                           .arg(parser.value(QStringLiteral("bind"))));
    }
    // Ports named twice share one socket: each datagram is printed once.
    for (const char *name : {"metering", "config", "custom"}) {
        const quint16 value = port(parser, QLatin1String(name));
        if (!options.receivePorts.contains(value))
            options.receivePorts.append(value);
    }
    options.intervalMs = number(parser, QStringLiteral("interval"), 0, INT_MAX);
    options.datagrams = datagrams(parser);
    if (parser.isSet(QStringLiteral("count")))
        options.count = number(parser, QStringLiteral("count"), 1, INT_MAX);
    if (parser.isSet(QStringLiteral("timeout")))
        options.timeoutMs = number(parser, QStringLiteral("timeout"), 1, INT_MAX);
    return options;
}

// SIGINT and SIGTERM arrive as readable data on a signalfd, so the event loop ends cleanly
// and no work happens inside a signal handler. They are blocked before anything can start a
// thread, so every thread inherits the mask and none of them takes the signal instead.
sigset_t quitSignals()
{
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    return blocked;
}

void quitOnSignals(QCoreApplication &app, const sigset_t &blocked)
{
    const int fd = signalfd(-1, &blocked, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
        std::perror("tavrel-client: signalfd");
        pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr); // the default actions then apply
        return;
    }
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [fd, &app] {
        signalfd_siginfo info;
        if (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            app.exit(0);
    });
}

} // namespace

int main(int argc, char *argv[])
{
    const sigset_t blocked = quitSignals();
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-client"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    quitOnSignals(app, blocked);

    BridgeClient client(parse(app));
    QObject::connect(
        &client, &BridgeClient::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    if (!client.start())
        return 1;
    return app.exec();
}
