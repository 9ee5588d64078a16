#include "bridgeformat.h"
#include "fakehidapi.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QLineEdit>
#include <QtTest>

#include <climits>

// The counters run past the largest int to the smallest. The window counts with
// BridgeFormat::nextCount (its wrap is in tst_bridgeformat, which the sanitized run checks
// for undefined behaviour) and shows each value with setText; 2^31 datagrams are out of a
// test's reach, so this checks the other half: the counter fields show the extreme values
// whole, exactly as the counters produce them.
class tst_CounterWrap : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::isolateSettings(); }
    void extremesShownWhole_data();
    void extremesShownWhole();
};

void tst_CounterWrap::extremesShownWhole_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("shown");
    for (const char *field : {"lineEdit_send", "lineEdit_received"}) {
        QTest::addRow("%s, largest", field) << field << INT_MAX << "2147483647";
        QTest::addRow("%s, after the largest", field)
            << field << BridgeFormat::nextCount(INT_MAX) << "-2147483648";
        QTest::addRow("%s, the one after", field)
            << field << BridgeFormat::nextCount(BridgeFormat::nextCount(INT_MAX)) << "-2147483647";
    }
}

void tst_CounterWrap::extremesShownWhole()
{
    QFETCH(QString, field);
    QFETCH(int, count);
    QFETCH(QString, shown);
    MainWindow window;
    auto *edit = window.findChild<QLineEdit *>(field);
    QVERIFY(edit);
    edit->setText(QString::number(count)); // as the window shows every count
    QCOMPARE(edit->text(), shown);
    QCOMPARE(edit->displayText(), shown); // no mask, echo mode or length limit in the way
    QVERIFY(!edit->validator() && edit->inputMask().isEmpty() && edit->maxLength() >= shown.size());
}

QTEST_MAIN(tst_CounterWrap)
#include "tst_counterwrap.moc"
