#include "fakehidapi.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QUdpSocket>
#include <QtTest>

// One trip each way through the real window: a device report out to a client, a client
// datagram in to the device.
class tst_Smoke : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::isolateSettings(); }
    void bothDirections();
};

void tst_Smoke::bothDirections()
{
    FakeHid::reset();
    FakeHid::plug();
    MainWindow window;
    auto *listen = window.findChild<QLineEdit *>("lineEdit_LISTEN");
    auto *metering = window.findChild<QLineEdit *>("lineEdit_METERING");
    auto *config = window.findChild<QLineEdit *>("lineEdit_CONFIGURATION");
    auto *custom = window.findChild<QLineEdit *>("lineEdit_CUSTOM");
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 listenPort = probe.localPort();
    probe.close();

    QUdpSocket client;
    QVERIFY2(client.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0),
        qPrintable(client.errorString()));
    listen->setText(QString::number(listenPort));
    metering->setText(QString::number(client.localPort()));
    config->setText(QStringLiteral("1"));
    custom->setText(QStringLiteral("2"));

    QTest::mouseClick(window.findChild<QPushButton *>("START"), Qt::LeftButton);
    QCOMPARE(window.findChild<QLabel *>("label_status_connection")->text(), QString("running"));

    client.writeDatagram(QByteArray::fromHex("a0a04b41"), QHostAddress::LocalHost, listenPort);
    QTRY_COMPARE(window.findChild<QLineEdit *>("lineEdit_clients")->text(), QString("1"));
    FakeHid::queueInput(QByteArray::fromHex("00f00102030405060708"));
    QTRY_VERIFY(client.hasPendingDatagrams());
    QCOMPARE(client.receiveDatagram().data(), QByteArray::fromHex("a0a000f00102030405060708"));

    client.writeDatagram(
        QByteArray::fromHex("a0a00102030405060708090a0b0c"), QHostAddress::LocalHost, listenPort);
    QTRY_COMPARE(FakeHid::writtenReports().size(), 1);
    QCOMPARE(FakeHid::writtenReports().first(), QByteArray::fromHex("000102030405060708090a"));
}

QTEST_MAIN(tst_Smoke)
#include "tst_smoke.moc"
