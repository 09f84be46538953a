// Compiled in here for the same reason as the parser in tst_clioptions.cpp.
#include "cli/clireport.h"
#include "convert/batchsession.h"
#include "convert/files/pathhelpers.h"
#include "testmain.h"

#include <QTest>

#include <optional>

class TestCliReport : public QObject
{
    Q_OBJECT

private slots:
    void fileLines();
    void liveLine_data();
    void liveLine();
    void summaryLine_data();
    void summaryLine();
    void usageError();
};

void TestCliReport::fileLines()
{
    QCOMPARE(CliReport::convertedLine(QStringLiteral("/m/a.m4a"), QStringLiteral("a.mp3")),
             QStringLiteral("converted  /m/a.m4a -> a.mp3"));
    QCOMPARE(CliReport::failedLine(QStringLiteral("/m/b.m4a"), QStringLiteral("file not found")),
             QStringLiteral("FAILED     /m/b.m4a: file not found"));
    QCOMPARE(CliReport::warningLine(QStringLiteral("/m/c.m4a"),
                                    QStringLiteral("converted 0:03 of 0:06; the source may be damaged")),
             QStringLiteral("warning    /m/c.m4a: converted 0:03 of 0:06; the source may be damaged"));
    QCOMPARE(CliReport::cancelledLine(QStringLiteral("/m/d.m4a")), QStringLiteral("cancelled  /m/d.m4a"));
    QCOMPARE(CliReport::skippedLine(QStringLiteral("/m/e.m4a"), QStringLiteral("A/e.mp3")),
             QStringLiteral("skipped    /m/e.m4a: A/e.mp3 is up to date"));
    QCOMPARE(CliReport::tildeLine(2), QStringLiteral("left out 2 file(s) whose name begins with \"~\" (lock and temporary files)"));
    QCOMPARE(Paths::printable(QStringLiteral("/m/two\nlines\t\u007f \u00e9.m4a")),
             QStringLiteral("/m/two\\x0alines\\x09\\x7f \u00e9.m4a"));
}

void TestCliReport::liveLine_data()
{
    QTest::addColumn<int>("done");
    QTest::addColumn<int>("total");
    QTest::addColumn<double>("share");
    QTest::addColumn<qint64>("remainingMs");   // below 0: no estimate yet
    QTest::addColumn<QString>("line");

    QTest::newRow("start") << 0 << 10 << 0.0 << qint64(-1) << QStringLiteral("0 of 10 file(s) done, 0%");
    QTest::newRow("with time left") << 3 << 10 << 0.3 << qint64(12000)
                                    << QStringLiteral("3 of 10 file(s) done, 30%, about 0:12 left");
    QTest::newRow("rounds down") << 2 << 3 << 2.0 / 3 << qint64(65000)
                                 << QStringLiteral("2 of 3 file(s) done, 66%, about 1:05 left");
    QTest::newRow("almost done is not 100%") << 999 << 1000 << 0.999 << qint64(-1)
                                              << QStringLiteral("999 of 1000 file(s) done, 99%");
    QTest::newRow("done: no time left shown") << 4 << 4 << 1.0 << qint64(0)
                                              << QStringLiteral("4 of 4 file(s) done, 100%");
}

void TestCliReport::liveLine()
{
    QFETCH(int, done);
    QFETCH(int, total);
    QFETCH(double, share);
    QFETCH(qint64, remainingMs);
    QFETCH(QString, line);

    BatchProgress progress;
    progress.filesDone = done;
    progress.total = total;
    progress.shareDone = share;
    if (remainingMs >= 0)
        progress.remainingMs = remainingMs;
    QCOMPARE(progress.text(true), line);
}

void TestCliReport::summaryLine_data()
{
    // converted, kept at the decoder's bitrate, incomplete, total, skipped, failed, cancelled
    QTest::addColumn<QList<int>>("counts");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<QString>("line");

    QTest::newRow("all") << QList<int>{3, 0, 0, 3, 0, 0, 0} << qint64(42400)
                         << QStringLiteral("3 of 3 file(s) converted, 0 skipped, 0 failed in 0:42");
    QTest::newRow("skipped and failed") << QList<int>{2, 0, 0, 5, 2, 1, 0} << qint64(3725000)
                                        << QStringLiteral("2 of 5 file(s) converted, 2 skipped, 1 failed in 1:02:05");
    QTest::newRow("kept and incomplete apart") << QList<int>{3, 1, 1, 5, 0, 0, 0} << qint64(4000)
        << QStringLiteral("3 of 5 file(s) converted, 1 kept at the decoder's bitrate, 1 incomplete, 0 skipped, "
                          "0 failed in 0:04");
    QTest::newRow("cancelled") << QList<int>{1, 0, 0, 4, 0, 0, 2} << qint64(0)
                               << QStringLiteral("1 of 4 file(s) converted, 0 skipped, 0 failed in 0:00; "
                                                 "cancelled, 2 file(s) not converted");
}

void TestCliReport::summaryLine()
{
    QFETCH(QList<int>, counts);
    QFETCH(qint64, elapsedMs);
    QFETCH(QString, line);
    const CliReport::SummaryCounts c{counts[0], counts[1], counts[2], counts[3], counts[4], counts[5], counts[6]};
    QCOMPARE(CliReport::summaryLine(c, elapsedMs), line);
}

void TestCliReport::usageError()
{
    QCOMPARE(CliReport::usageErrorText(QStringLiteral("no PATH given")),
             QStringLiteral("quorvane-cli: no PATH given\nTry 'quorvane-cli --help' for more information.\n"));
}

QUORVANE_TEST_GUILESS_MAIN(TestCliReport)
#include "tst_clireport.moc"
