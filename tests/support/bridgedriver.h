#ifndef BRIDGEDRIVER_H
#define BRIDGEDRIVER_H

#include "fakehidapi.h"
#include "loopbackclient.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

inline QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}
static const QByteArray KeepAlive = hex("a0a04b41");

// The real window with the simulated device plugged in, METERING, CONFIG and CUSTOM naming the
// first client's ports and LISTEN a free port; its debug lines captured from the start.
class BridgeDriver
{
public:
    explicit BridgeDriver(std::initializer_list<const LoopbackClient *> clients)
    {
        FakeHid::reset();
        FakeHid::plug();
        const LoopbackClient &first = **clients.begin();
        setField("lineEdit_METERING", QString::number(first.port(LoopbackClient::Metering)));
        setField("lineEdit_CONFIGURATION", QString::number(first.port(LoopbackClient::Config)));
        setField("lineEdit_CUSTOM", QString::number(first.port(LoopbackClient::Custom)));
        for (const LoopbackClient *client : clients)
            if (!client->isValid())
                setupErrors.append(client->errorString());
        QUdpSocket probe; // free on every address of both IP versions, as the bridge binds
        if (!probe.bind(0))
            setupErrors.append(probe.errorString());
        listenPort = probe.localPort();
        probe.close();
        setField("lineEdit_LISTEN", QString::number(listenPort));
    }

    // False when a client socket could not be set up or the bridge did not start.
    bool start()
    {
        QTest::mouseClick(window.findChild<QPushButton *>("START"), Qt::LeftButton);
        return setupErrors.isEmpty() && status() == QLatin1String("running");
    }
    QString problems() const
    {
        return setupErrors.isEmpty() ? QStringLiteral("status ") + status()
                                     : setupErrors.join(QStringLiteral("; "));
    }
    void stop() { QTest::mouseClick(window.findChild<QPushButton *>("STOP"), Qt::LeftButton); }
    QString status() const { return window.findChild<QLabel *>("label_status_connection")->text(); }

    void setField(const char *name, const QString &text) { field(name)->setText(text); }
    QString text(const char *name) const { return field(name)->text(); }
    QString clients() const { return text("lineEdit_clients"); }
    QString received() const { return text("lineEdit_received"); }
    QString transmitted() const { return text("lineEdit_send"); }

    // Runs the receive path once, as the socket's notification would, outside the event loop.
    bool receiveNow()
    {
        return QMetaObject::invokeMethod(&window, "receiveUdp", Qt::DirectConnection);
    }

    TestSupport::DebugCapture capture;
    MainWindow window;
    quint16 listenPort = 0;

private:
    QLineEdit *field(const char *name) const { return window.findChild<QLineEdit *>(name); }
    QStringList setupErrors;
};

#define START_BRIDGE(bridge) QVERIFY2((bridge).start(), qPrintable((bridge).problems()))

// The lines the bridge itself wrote: debug level, default category, in order.
inline QStringList bridgeLines()
{
    QStringList texts;
    for (const TestSupport::LoggedLine &line : TestSupport::DebugCapture::lines())
        if (line.type == QtDebugMsg && line.category == QLatin1String("default"))
            texts.append(line.text);
    return texts;
}

inline QString keepAliveLine(const LoopbackClient &client, int sender = 0)
{
    return QStringLiteral("Keep Alive message from:  QHostAddress(\"%1\") : %2")
        .arg(client.mappedAddress())
        .arg(client.senderPort(sender));
}

inline QString sendLine(const LoopbackClient &client, int registrySize)
{
    return QStringLiteral("sendUdp send to--> CLIENT:  \"%1\" %2")
        .arg(client.mappedAddress())
        .arg(registrySize);
}

inline QString offlineLine(const LoopbackClient &client)
{
    return QStringLiteral("OFFLINE:  \"%1\"").arg(client.mappedAddress());
}

// Room for loopback delivery on a loaded machine before running the receive path by hand.
inline void letDatagramsLand()
{
    QThread::msleep(50);
}

#endif // BRIDGEDRIVER_H
