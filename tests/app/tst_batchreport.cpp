#include "app/batchreport.h"
#include "testmain.h"

#include <QDir>
#include <QTest>

// What the user is told after a batch, for each mix of outcomes.
class TestBatchReport : public QObject
{
    Q_OBJECT

    static FileResult result(const char *source, FileStatus status, const char *reason = "", const char *warning = "",
                             const char *note = "")
    {
        FileResult r;
        r.note = QString::fromUtf8(note);
        r.sourcePath = QString::fromUtf8(source);
        r.status = status;
        r.reason = QString::fromUtf8(reason);
        r.warning = QString::fromUtf8(warning);
        return r;
    }

private slots:
    void describe_data()
    {
        QTest::addColumn<QList<FileResult>>("results");
        QTest::addColumn<QStringList>("mentioned");
        QTest::addColumn<bool>("silent");

        QTest::newRow("all converted") << QList<FileResult>{result("/a.m4a", FileStatus::Converted)}
                                       << QStringList{} << true;
        QTest::newRow("one failed") << QList<FileResult>{result("/a.m4a", FileStatus::Converted),
                                                         result("/b.m4a", FileStatus::Failed, "file not found")}
                                    << QStringList{u"1 of 2 file(s) could not be converted"_qs,
                                                   u"/b.m4a: file not found"_qs}
                                    << false;
        QTest::newRow("kept bitrate") << QList<FileResult>{result("/a.m4a", FileStatus::KeptDecoderBitrate,
                                                                  "kept the decoder's bitrate: encoder not found")}
                                      << QStringList{u"kept the decoder's default bitrate"_qs,
                                                     u"/a.m4a: kept the decoder's bitrate: encoder not found"_qs}
                                      << false;
        QTest::newRow("cancelled") << QList<FileResult>{result("/a.m4a", FileStatus::Converted),
                                                        result("/b.m4a", FileStatus::Cancelled, "cancelled")}
                                   << QStringList{u"1 of 2 file(s) were cancelled"_qs, u"/b.m4a"_qs} << false;
        QTest::newRow("damaged source") << QList<FileResult>{result("/a.m4a", FileStatus::Converted, "",
                                                                    "converted 0:03 of 0:06; the source may be damaged")}
                                        << QStringList{u"may be incomplete"_qs,
                                                       u"/a.m4a: converted 0:03 of 0:06; the source may be damaged"_qs}
                                        << false;
        QTest::newRow("another bitrate") << QList<FileResult>{result("/a.m4a", FileStatus::Converted, "", "",
                                                                     "encoded at 64 kbps: 192 kbps is not possible at this source's sample rate")}
                                         << QStringList{u"could not take the chosen bitrate"_qs,
                                                        u"/a.m4a: encoded at 64 kbps"_qs}
                                         << false;
    }
    void describe()
    {
        QFETCH(QList<FileResult>, results);
        QFETCH(QStringList, mentioned);
        QFETCH(bool, silent);
        const BatchReport::Report report = BatchReport::describe({results, false});
        QCOMPARE(report.text.isEmpty(), silent);
        for (const QString &text : mentioned) {
            QVERIFY2(report.text.contains(QDir::toNativeSeparators(text)), qPrintable(report.text));
            QVERIFY2(report.details.contains(QDir::toNativeSeparators(text)), qPrintable(report.details));
        }
    }

    void longListsGoIntoTheDetails()
    {
        QList<FileResult> results;
        for (int i = 0; i < 20; ++i)
            results.append(result(qPrintable(QStringLiteral("/f%1.m4a").arg(i)), FileStatus::Failed, "broken"));
        const BatchReport::Report report = BatchReport::describe({results, false});
        QVERIFY(report.text.contains(QStringLiteral("and 12 more")));
        QVERIFY(!report.text.contains(QStringLiteral("/f19.m4a")));
        QVERIFY(report.details.contains(QDir::toNativeSeparators(QStringLiteral("/f19.m4a"))));
    }
};

QUORVANE_TEST_GUILESS_MAIN(TestBatchReport)
#include "tst_batchreport.moc"
