#include "convert/engine/progressestimate.h"
#include "testmain.h"

#include <QTest>

#include <optional>

class TestProgressEstimate : public QObject
{
    Q_OBJECT

private slots:
    void remainingMs_data();
    void remainingMs();
    void startAgainForgetsTheLastBatch();
    void formatDuration_data();
    void formatDuration();
};

using Millis = std::optional<qint64>;

void TestProgressEstimate::remainingMs_data()
{
    QTest::addColumn<qint64>("startMs");
    QTest::addColumn<double>("share");
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<Millis>("remaining");

    QTest::newRow("nothing done yet") << qint64(0) << 0.0 << qint64(0) << Millis();
    QTest::newRow("under 2 % after 10 s") << qint64(0) << 0.019 << qint64(10000) << Millis();
    QTest::newRow("2 % after 10 s") << qint64(0) << 0.02 << qint64(10000) << Millis(490000);
    QTest::newRow("half within the first second") << qint64(0) << 0.5 << qint64(999) << Millis();
    QTest::newRow("half after 1 s") << qint64(0) << 0.5 << qint64(1000) << Millis(1000);
    QTest::newRow("25 % after 10 s") << qint64(0) << 0.25 << qint64(10000) << Millis(30000);
    QTest::newRow("10 % after 10 s") << qint64(0) << 0.1 << qint64(10000) << Millis(90000);
    QTest::newRow("a third after 20 s") << qint64(0) << 1.0 / 3.0 << qint64(20000) << Millis(40000);
    QTest::newRow("70 % after 7 s") << qint64(0) << 0.7 << qint64(7000) << Millis(3000);
    QTest::newRow("clock started late") << qint64(5000) << 0.25 << qint64(15000) << Millis(30000);
    QTest::newRow("all done") << qint64(0) << 1.0 << qint64(10000) << Millis(0);
    QTest::newRow("all done within the first second") << qint64(0) << 1.0 << qint64(300) << Millis(0);
    QTest::newRow("more than all") << qint64(0) << 1.5 << qint64(10000) << Millis(0);
    QTest::newRow("below nothing") << qint64(0) << -0.1 << qint64(10000) << Millis();
    QTest::newRow("2 % after 28 hours") << qint64(0) << 0.02 << qint64(100000000) << Millis(4900000000);
}

void TestProgressEstimate::remainingMs()
{
    QFETCH(qint64, startMs);
    QFETCH(double, share);
    QFETCH(qint64, nowMs);
    QFETCH(Millis, remaining);

    ProgressEstimate estimate;
    estimate.start(startMs);
    estimate.update(share, nowMs);
    QCOMPARE(estimate.remainingMs(), remaining);
}

void TestProgressEstimate::startAgainForgetsTheLastBatch()
{
    ProgressEstimate estimate;
    estimate.start(0);
    estimate.update(0.5, 10000);
    QCOMPARE(estimate.remainingMs(), Millis(10000));

    estimate.start(20000);
    QCOMPARE(estimate.remainingMs(), Millis());
    estimate.update(0.25, 30000);
    QCOMPARE(estimate.remainingMs(), Millis(30000));
}

void TestProgressEstimate::formatDuration_data()
{
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<QString>("text");

    QTest::newRow("0") << qint64(0) << QStringLiteral("0:00");
    QTest::newRow("7 s") << qint64(7000) << QStringLiteral("0:07");
    QTest::newRow("1:22.4") << qint64(82400) << QStringLiteral("1:22");
    QTest::newRow("1 h 2 min 3 s") << qint64(3723000) << QStringLiteral("1:02:03");
    QTest::newRow("499 ms rounds down") << qint64(499) << QStringLiteral("0:00");
    QTest::newRow("500 ms rounds up") << qint64(500) << QStringLiteral("0:01");
    QTest::newRow("59.5 s rounds to a minute") << qint64(59500) << QStringLiteral("1:00");
    QTest::newRow("10 minutes") << qint64(600000) << QStringLiteral("10:00");
    QTest::newRow("just under an hour rounds up") << qint64(3599500) << QStringLiteral("1:00:00");
    QTest::newRow("10 hours") << qint64(36000000) << QStringLiteral("10:00:00");
    QTest::newRow("negative") << qint64(-5000) << QStringLiteral("0:00");
}

void TestProgressEstimate::formatDuration()
{
    QFETCH(qint64, milliseconds);
    QFETCH(QString, text);
    QCOMPARE(ProgressEstimate::formatDuration(milliseconds), text);
}

QUORVANE_TEST_GUILESS_MAIN(TestProgressEstimate)
#include "tst_progressestimate.moc"
