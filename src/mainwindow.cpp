#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "bridgeformat.h"
#include "settingsfile.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QHostAddress>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QSettings>
#include <QShowEvent>
#include <QTimer>
#include <QUdpSocket>

namespace {

const char *const ApplicationName = SettingsFile::Application;
const char *const GrayIcon = ":/resources/png/icon_gray.png";
const char *const GreenIcon = ":/resources/png/icon_green.png";

constexpr unsigned short VendorId = 0x0805;
constexpr unsigned short ProductId = 0x1404;
constexpr int PollIntervalMs = 1;
constexpr int AutoConnectIntervalMs = 2000;
constexpr int NotificationMs = 10000;

void showNumber(QLineEdit *field, int value)
{
    field->setText(QString::number(value));
}

void loadPort(const QSettings &settings, const char *key, QLineEdit *field)
{
    showNumber(field, BridgeFormat::storedPort(settings.value(QLatin1String(key), QVariant())));
}

// Qt's tray icon connects to a signal that only desktop platforms offer. On the offscreen
// platform, which the user unit runs on, that connect fails with a harmless warning the
// journal would show at every start; only that one message is dropped, and only while the
// icon is shown.
QtMessageHandler passOn = nullptr;
void dropTraySignalWarning(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    static const QLatin1String traySignal(
        "QObject::connect: No such signal QPlatformNativeInterface::systemTrayWindowChanged");
    if (type != QtWarningMsg || !text.startsWith(traySignal))
        passOn(type, context, text);
}

// A QDebug stream quotes a text and escapes these characters in it.
bool escapedByDebugStream(const QString &text)
{
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() >= 0x7f || c == QLatin1Char('"')
            || c == QLatin1Char('\\'))
            return true;
    return false;
}

// What qDebug() << "sendUdp" << "send to--> CLIENT: " << address writes before the count,
// made once per client; empty when the stream would escape the address.
QString sendLinePrefix(const QString &address)
{
    if (escapedByDebugStream(address))
        return QString();
    return QLatin1String("sendUdp send to--> CLIENT:  \"") + address + QLatin1String("\" ");
}

// The line that qDebug() << "sendUdp" << "send to--> CLIENT: " << address << clientCount
// writes, without setting up a stream for each client and report: same text, same context
// (no file, line or function; category "default"), same message handler.
void logSend(const QString &linePrefix, const QString &address, int clientCount)
{
    if (linePrefix.isEmpty()) {
        qDebug() << "sendUdp"
                 << "send to--> CLIENT: " << address << clientCount;
        return;
    }
    static const QMessageLogContext context(nullptr, 0, nullptr, "default");
    // The lines of a report, and of the reports after it, mostly share the count's text.
    static int lastCount = -1;
    static QString countText;
    if (clientCount != lastCount) {
        countText = QString::number(clientCount);
        lastCount = clientCount;
    }
    qt_message_output(QtDebugMsg, context, linePrefix + countText);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui_MainWindow)
{
    ui->setupUi(this);
    setWindowTitle(tr("Tavrel Control v%1.%2.%3.%4").arg(1).arg(0).arg(1).arg(0));

    // The settings store is located by these names, so they come before readSettings().
    QCoreApplication::setOrganizationName(QLatin1String(SettingsFile::Organization));
    QCoreApplication::setOrganizationDomain(QStringLiteral("quorvale.com"));
    QCoreApplication::setApplicationName(QLatin1String(ApplicationName));
    readSettings();

    udpSocket = new QUdpSocket(this);
    followPort(ui->lineEdit_METERING, &meteringPort);
    followPort(ui->lineEdit_CONFIGURATION, &configPort);
    followPort(ui->lineEdit_CUSTOM, &customPort);
    connect(this, &MainWindow::readyUdp, this, &MainWindow::sendUdp);
    createTrayIcon();

    autoConnectTimer = new QTimer(this);
    connect(autoConnectTimer, &QTimer::timeout, this, &MainWindow::on_START_clicked);
    on_checkBox_auto_connect_clicked();

    hidPollTimer = new QTimer(this);
    connect(hidPollTimer, &QTimer::timeout, this, &MainWindow::hid_receive_timer);
}

// The bridge is not stopped here: the end of the process releases the device.
MainWindow::~MainWindow()
{
    writeSettings();
    delete ui;
}

void MainWindow::createTrayIcon()
{
    trayMenu = new QMenu(QStringLiteral("MyMenu"), this);
#if QT_VERSION < QT_VERSION_CHECK(6, 3, 0)
    trayMenu->addAction(QStringLiteral("Quit"), this, &MainWindow::close_exit, QKeySequence());
    trayMenu->addAction(QStringLiteral("Settings"), this, &QWidget::show, QKeySequence());
#else // Qt 6.3 deprecates the overloads above for ones that take the key sequence first
    trayMenu->addAction(QStringLiteral("Quit"), QKeySequence(), this, &MainWindow::close_exit);
    trayMenu->addAction(QStringLiteral("Settings"), QKeySequence(), this, &QWidget::show);
#endif

    trayIcon = new QSystemTrayIcon(this);
    setTrayImage(QLatin1String(GrayIcon));
    trayIcon->setToolTip(QLatin1String(ApplicationName));
    trayIcon->setContextMenu(trayMenu);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::systray_activated);
    connect(trayIcon, &QSystemTrayIcon::messageClicked, this, &MainWindow::systray_message_clicked);
    connect(udpSocket, &QUdpSocket::readyRead, this, &MainWindow::receiveUdp);
    passOn = qInstallMessageHandler(dropTraySignalWarning);
    trayIcon->show();
    qInstallMessageHandler(passOn);
}

void MainWindow::on_START_clicked()
{
    if (hidPollTimer->isActive())
        return;
    hidDevice = hid_open(VendorId, ProductId, nullptr);
    if (!hidDevice)
        return;
    hid_set_nonblocking(hidDevice, 1);

    receivedCount = 0;
    transmittedCount = 0;
    ui->label_status_connection->setText(QStringLiteral("running"));
    ui->label_status_connection->setStyleSheet(QStringLiteral("color: rgb(0, 255, 0);"));
    showNumber(ui->lineEdit_received, receivedCount);
    showNumber(ui->lineEdit_send, transmittedCount);
    ui->lineEdit_clients->setText(QStringLiteral("0"));

    const QString listen = ui->lineEdit_LISTEN->text();
    if (!udpSocket->bind(BridgeFormat::portFromText(listen)))
        qDebug() << "Unable to bind socket to port:" << listen.toInt();

    setTrayImage(QLatin1String(GreenIcon));
    hidPollTimer->start(PollIntervalMs);
    usb_status_slot(1);
}

void MainWindow::on_STOP_clicked()
{
    if (!hidPollTimer->isActive())
        return;
    hidPollTimer->stop();
    hid_close(hidDevice);
    hid_exit();
    hidDevice = nullptr;
    resetGuiElements();
}

void MainWindow::resetGuiElements()
{
    ui->label_status_connection->setText(QStringLiteral("stopped"));
    ui->label_status_connection->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
    qDebug() << "disconnecting... ";
    udpSocket->disconnectFromHost(); // releases the LISTEN binding for the next start
    clientMap.clear();
    showClientCount();
    setTrayImage(QLatin1String(GrayIcon));
}

void MainWindow::usb_status_slot(int status)
{
    switch (status) {
    case 0:
        notify(QStringLiteral("Stopped"), QSystemTrayIcon::Information);
        break;
    case 1:
        notify(QStringLiteral("Running"), QSystemTrayIcon::Information);
        break;
    case -1:
        notify(QStringLiteral("USB Disconnected"), QSystemTrayIcon::Critical);
        resetGuiElements();
        break;
    default:
        break;
    }
}

// One read per tick: reports that come faster wait in the operating system's queue.
void MainWindow::hid_receive_timer()
{
    if (!hidDevice)
        return;
    unsigned char report[BridgeFormat::ReadBufferSize];
    const int length = hid_read(hidDevice, report, sizeof report);
    if (length == BridgeFormat::InputReportSize) {
        BridgeFormat::writeBridgeMessage(hidMessage, report);
        udpQueue.append(hidMessage);
        emit readyUdp(); // sendUdp runs inside the emission and empties the queue
    } else if (length == -1) {
        on_STOP_clicked();
        usb_status_slot(-1);
    }
}

void MainWindow::sendUdp()
{
    receivedCount = BridgeFormat::nextCount(receivedCount);
    showCounter(ui->lineEdit_received, receivedCount);
    while (!udpQueue.isEmpty())
        sendToLiveClients(udpQueue.takeFirst());
}

// Walks a snapshot so that retiring silent clients cannot disturb the walk. The datagrams
// leave together once the walk ends, in the order of the walk.
void MainWindow::sendToLiveClients(const QByteArray &message)
{
    const bool metering = BridgeFormat::isMetering(message);
    const qintptr descriptor
        = udpSocket->state() == QAbstractSocket::BoundState ? udpSocket->socketDescriptor() : -1;
    const ClientRegistry::Entries clients = clientMap.snapshot();
    for (auto client = clients.cbegin(); client != clients.cend(); ++client) {
        if (!ClientRegistry::isLive(client.value())) {
            retireClient(client.key());
            continue;
        }
        sendToPort(message, client.value(), meteringPort, descriptor);
        if (metering)
            continue;
        logSend(client.value().sendLinePrefix, client.key(), clientMap.size());
        sendToPort(message, client.value(), configPort, descriptor);
        sendToPort(message, client.value(), customPort, descriptor);
    }
    if (!reportDatagrams.isEmpty())
        reportDatagrams.send(descriptor, message);
}

// Without a descriptor of its own the socket still sends, one datagram at a time.
void MainWindow::sendToPort(
    const QByteArray &message, const ClientEntry &client, quint16 port, qintptr descriptor)
{
    if (descriptor == -1)
        udpSocket->writeDatagram(message, client.address, port);
    else
        reportDatagrams.add(client.destination, port);
}

// Keeps *port at the field's number, converted once per change of its text rather than for
// every datagram: a new number still takes effect with the next one.
void MainWindow::followPort(QLineEdit *field, quint16 *port)
{
    *port = BridgeFormat::portFromText(field->text());
    connect(field, &QLineEdit::textChanged, this,
        [port](const QString &text) { *port = BridgeFormat::portFromText(text); });
}

// Reads until the socket has nothing left, many datagrams per system call. TRANSMITTED is
// shown once the drain ends: nothing is painted before control returns to the event loop, and
// laying the field's text out again for every datagram of a burst took a third of the time
// spent per datagram.
void MainWindow::receiveUdp()
{
    const int transmittedBefore = transmittedCount;
    const qintptr descriptor = udpSocket->socketDescriptor();
    do {
        while (descriptor != -1 && receiveBatch(descriptor)) { }
    } while (receiveThroughQt());
    if (transmittedCount != transmittedBefore)
        showCounter(ui->lineEdit_send, transmittedCount);
}

// True when the batch came back full, so that more may be waiting.
bool MainWindow::receiveBatch(qintptr descriptor)
{
    const int received = receiveBatches.receive(descriptor);
    for (int i = 0; i < received; ++i) {
        lastSender.update(receiveBatches.sender(i));
        handleDatagram(
            receiveBatches.datagram(i), lastSender.address(), lastSender.text(), lastSender.port());
    }
    return receiveBatches.isFull(received);
}

// Each drain ends with a read of Qt's own, which arms the socket's next read notification;
// it also takes a datagram that came after the last batch. False when none was left or the
// read failed: what is pending then waits for the next notification.
bool MainWindow::receiveThroughQt()
{
    char prefix[ReceiveBatch::PrefixSize]; // as in a batch: no byte past the 12th is used
    QHostAddress sender;
    quint16 senderPort = 0;
    const qint64 length = udpSocket->readDatagram(prefix, sizeof prefix, &sender, &senderPort);
    if (sender.isNull() || length < 0)
        return false;
    handleDatagram(QByteArray::fromRawData(prefix, static_cast<int>(length)), sender,
        sender.toString(), senderPort);
    return true;
}

void MainWindow::handleDatagram(const QByteArray &datagram, const QHostAddress &sender,
    const QString &senderText, quint16 senderPort)
{
    if (!BridgeFormat::hasMarker(datagram))
        return;
    registerClient(senderText);
    if (BridgeFormat::isKeepAlive(datagram)) {
        qDebug() << "Keep Alive message from: " << sender << ":" << senderPort;
        return;
    }
    transmittedCount = BridgeFormat::nextCount(transmittedCount); // shown by receiveUdp()
    const BridgeFormat::ControlReport report = BridgeFormat::controlReport(datagram);
    if (hidDevice)
        hid_write(hidDevice, report.data(), report.size());
}

// A new client's destination takes the form of the socket's family, as Qt's write would;
// its send line's text up to the count is made here too.
void MainWindow::registerClient(const QString &address)
{
    ClientEntry *added = clientMap.registerOrRefresh(address);
    if (!added)
        return;
    const int family = UdpBatch::socketFamily(udpSocket->socketDescriptor());
    added->destination = UdpBatch::socketAddress(added->address, family);
    added->sendLinePrefix = sendLinePrefix(address);
    showClientCount();
}

void MainWindow::retireClient(const QString &address)
{
    qDebug() << "OFFLINE: " << address;
    clientMap.remove(address);
    showClientCount();
}

void MainWindow::showClientCount()
{
    showNumber(ui->lineEdit_clients, clientMap.size());
}

// Laying a field's text out again took four fifths of the work per device report. Nobody sees
// the counters of a hidden window, the state a tray program spends most of its life in, so
// they are brought up to date as it shows.
void MainWindow::showCounter(QLineEdit *field, int count)
{
    if (isVisible())
        showNumber(field, count);
    else
        countersBehind = true;
}

void MainWindow::showEvent(QShowEvent *event)
{
    if (countersBehind) {
        showNumber(ui->lineEdit_received, receivedCount);
        showNumber(ui->lineEdit_send, transmittedCount);
        countersBehind = false;
    }
    QMainWindow::showEvent(event);
}

void MainWindow::doControlLedsOff()
{
    const BridgeFormat::LedsOffReport report = BridgeFormat::ledsOffReport();
    if (hidDevice)
        hid_write(hidDevice, report.data(), report.size());
}

void MainWindow::readSettings()
{
    QSettings settings;
    loadPort(settings, "udp_metering_port", ui->lineEdit_METERING);
    loadPort(settings, "udp_config_port", ui->lineEdit_CONFIGURATION);
    loadPort(settings, "udp_custom_port", ui->lineEdit_CUSTOM);
    loadPort(settings, "udp_listen_port", ui->lineEdit_LISTEN);
    ui->checkBox_use_defaults->setChecked(
        settings.value(QStringLiteral("udp_default_ports")).toBool());
    ui->checkBox_auto_connect->setChecked(settings.value(QStringLiteral("auto_connect")).toBool());
    // Setting a checked state from code emits no clicked(), so apply it by hand.
    on_checkBox_use_defaults_clicked();
}

void MainWindow::writeSettings()
{
    QSettings settings;
    settings.setValue(QStringLiteral("udp_default_ports"), ui->checkBox_use_defaults->isChecked());
    settings.setValue(QStringLiteral("udp_metering_port"), ui->lineEdit_METERING->text().toInt());
    settings.setValue(
        QStringLiteral("udp_config_port"), ui->lineEdit_CONFIGURATION->text().toInt());
    settings.setValue(QStringLiteral("udp_custom_port"), ui->lineEdit_CUSTOM->text().toInt());
    settings.setValue(QStringLiteral("udp_listen_port"), ui->lineEdit_LISTEN->text().toInt());
    settings.setValue(QStringLiteral("auto_connect"), ui->checkBox_auto_connect->isChecked());
}

void MainWindow::on_checkBox_use_defaults_clicked()
{
    const bool useDefaults = ui->checkBox_use_defaults->isChecked();
    if (useDefaults) {
        showNumber(ui->lineEdit_LISTEN, BridgeFormat::DefaultListenPort);
        showNumber(ui->lineEdit_METERING, BridgeFormat::DefaultMeteringPort);
        showNumber(ui->lineEdit_CONFIGURATION, BridgeFormat::DefaultConfigPort);
        showNumber(ui->lineEdit_CUSTOM, BridgeFormat::DefaultCustomPort);
    }
    ui->lineEdit_LISTEN->setEnabled(!useDefaults);
    ui->lineEdit_METERING->setEnabled(!useDefaults);
    ui->lineEdit_CONFIGURATION->setEnabled(!useDefaults);
    ui->lineEdit_CUSTOM->setEnabled(!useDefaults);
}

// Auto-connect disables both buttons: the bridge then stops only on device loss.
void MainWindow::on_checkBox_auto_connect_clicked()
{
    const bool autoConnect = ui->checkBox_auto_connect->isChecked();
    ui->START->setEnabled(!autoConnect);
    ui->STOP->setEnabled(!autoConnect);
    if (autoConnect)
        autoConnectTimer->start(AutoConnectIntervalMs);
    else
        autoConnectTimer->stop();
}

void MainWindow::systray_activated(QSystemTrayIcon::ActivationReason reason)
{
    Q_UNUSED(reason) // the context menu is the only way to the window
}

void MainWindow::systray_message_clicked() { }

void MainWindow::closeEvent(QCloseEvent *event)
{
    writeSettings();
    if (exitRequested) {
        event->accept();
        return;
    }
    event->ignore();
    hide(); // close to the tray; the bridge keeps running
}

void MainWindow::close_exit()
{
    exitRequested = true;
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    close();
#else
    // Qt 6 quits on the last window closed only when that window was visible: Quit from the
    // tray, with the window hidden, ends the event loop here as it does under Qt 5.
    if (close() && QGuiApplication::quitOnLastWindowClosed())
        QCoreApplication::quit();
#endif
}

void MainWindow::setTrayImage(const QString &resourcePath)
{
    trayIcon->setIcon(QIcon(resourcePath));
}

void MainWindow::notify(const QString &text, QSystemTrayIcon::MessageIcon icon)
{
    trayIcon->showMessage(QLatin1String(ApplicationName), text, icon, NotificationMs);
}
