#include "clientregistry.h"

#include <QThread>
#include <QtTest>

namespace {
qint64 now = 0;
qint64 testClock()
{
    return now;
}
} // namespace

// The registry and its stopwatch on their own: the real clock, and what the window tests
// cannot reach directly.
class tst_Registry : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { Stopwatch::setClock(nullptr); }

    // Milliseconds on the real clock, and back to it once a test clock is removed.
    void clocks()
    {
        now = 1000;
        Stopwatch::setClock(testClock);
        Stopwatch watch;
        watch.restart();
        now += 123456;
        QCOMPARE(watch.elapsed(), qint64(123456));

        Stopwatch::setClock(nullptr);
        watch.restart();
        QElapsedTimer reference;
        reference.start();
        QThread::msleep(40);
        const qint64 measured = watch.elapsed();
        // the slack covers a preemption between the two starts; other units are far off
        QVERIFY2(measured >= 40 && measured <= reference.elapsed() + 1000,
            qPrintable(QString::number(measured)));
    }
    void liveUpToTheLimit_data()
    {
        QTest::addColumn<qint64>("silentMs");
        QTest::addColumn<bool>("live");
        QTest::newRow("just heard") << qint64(0) << true;
        QTest::newRow("20000") << qint64(20000) << true;
        QTest::newRow("20001") << qint64(20001) << false;
        QTest::newRow("a day and a bit") << qint64(86400000 + 1000) << false;
    }
    void liveUpToTheLimit()
    {
        QFETCH(qint64, silentMs);
        QFETCH(bool, live);
        Stopwatch::setClock(testClock);
        now = 5000000;
        ClientRegistry registry;
        registry.registerOrRefresh(QStringLiteral("::ffff:127.0.0.2"));
        now += silentMs;
        QCOMPARE(ClientRegistry::isLive(registry.snapshot().first()), live);
    }
    // One entry per address text, in text order; a snapshot outlives removals from the registry,
    // as the send path needs while it retires entries during its walk.
    void entries()
    {
        Stopwatch::setClock(testClock);
        now = 0;
        ClientRegistry registry;
        QVERIFY(registry.registerOrRefresh(QStringLiteral("::ffff:127.0.0.2")));
        now = 100;
        QVERIFY(!registry.registerOrRefresh(QStringLiteral("::ffff:127.0.0.2")));
        QVERIFY(registry.registerOrRefresh(QStringLiteral("::ffff:127.0.0.10")));
        QVERIFY(registry.registerOrRefresh(QStringLiteral("127.0.0.2"))); // other text, other entry
        const ClientRegistry::Entries snapshot = registry.snapshot();
        registry.remove(QStringLiteral("::ffff:127.0.0.10"));
        QCOMPARE(registry.size(), 2);
        QVERIFY(registry.registerOrRefresh(QStringLiteral("::ffff:127.0.0.10")));
        registry.clear();
        QCOMPARE(registry.size(), 0);
        now = 250;
        QCOMPARE(
            snapshot.keys(), QStringList({"127.0.0.2", "::ffff:127.0.0.10", "::ffff:127.0.0.2"}));
        QCOMPARE(snapshot.value(QStringLiteral("::ffff:127.0.0.2")).elapsed(), qint64(150));
        QVERIFY(registry.registerOrRefresh(QStringLiteral("::ffff:127.0.0.2")));
    }
};

QTEST_APPLESS_MAIN(tst_Registry)
#include "tst_registry.moc"
