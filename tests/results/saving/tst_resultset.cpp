#include "testkit.h"
#include "results/saving/resultset.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

// The converted files of a batch as both front ends save them: the names given, a source
// never replaced, what is already there replaced or kept, in one folder or in a tree.
class TestResultSet : public QObject
{
    Q_OBJECT

private slots:
    void savesUnderSafeNames_data();
    void savesUnderSafeNames();
};

// Lists as "a.mp3|b.mp3"; "" for none.
void TestResultSet::savesUnderSafeNames_data()
{
    QTest::addColumn<QString>("names");        // as added, in order
    QTest::addColumn<QString>("there");        // in the folder before the save
    QTest::addColumn<QString>("sources");      // of those there, the batch's sources
    QTest::addColumn<bool>("keepExisting");
    QTest::addColumn<QString>("saved");        // by entry
    QTest::addColumn<QString>("moved");        // the moves the save reports; %1 the folders

    QTest::newRow("unique names") << u"a.mp3|b.mp3"_s << QString() << QString() << false << u"a.mp3|b.mp3"_s << QString();
    QTest::newRow("repeats numbered in order, case ignored")
        << u"a.mp3|A.mp3|a.mp3"_s << QString() << QString() << false << u"a.mp3|A (2).mp3|a (3).mp3"_s << QString();
    QTest::newRow("an existing file is replaced") << u"a.mp3"_s << u"a.mp3"_s << QString() << false << u"a.mp3"_s << QString();
    QTest::newRow("an existing file is kept when asked")
        << u"a.mp3|b.mp3"_s << u"a.mp3|a (2).mp3"_s << QString() << true << u"a (3).mp3|b.mp3"_s << QString();
    QTest::newRow("a source is never replaced, nor another name taken")
        << u"a.mp3|a (2).mp3"_s << u"a.mp3"_s << u"a.mp3"_s << false << u"a (3).mp3|a (2).mp3"_s
        << u"%1a.mp3 is one of the sources, so it was saved as %1a (3).mp3"_s;
    QTest::newRow("a source is never replaced, names settled first")
        << u"a.mp3|b.mp3"_s << u"a.mp3|b.mp3"_s << u"a.mp3"_s << true << u"a (2).mp3|b (2).mp3"_s
        << u"%1a.mp3 is one of the sources, so it was saved as %1a (2).mp3"_s;
}

void TestResultSet::savesUnderSafeNames()
{
    QFETCH(QString, names);
    QFETCH(QString, there);
    QFETCH(QString, sources);
    QFETCH(bool, keepExisting);
    QFETCH(QString, saved);
    QFETCH(QString, moved);

    // Once into the folder itself (the windows), once into a tree below it (quorvane-cli).
    for (const QString &tree : {QString(), QStringLiteral("Artist/Album/")}) {
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("out"));
        QDir().mkpath(out + QLatin1Char('/') + tree);
        for (const QString &name : there.split(u'|', Qt::SkipEmptyParts))
            TestKit::writeFile(QDir(out).filePath(tree + name), "before");
        QStringList sourcePaths;
        for (const QString &name : sources.split(u'|', Qt::SkipEmptyParts))
            sourcePaths.append(QDir(out).filePath(tree + name));

        ResultSet set(sourcePaths);
        QStringList temps;
        for (const QString &name : names.split(u'|')) {
            temps.append(dir.filePath(QStringLiteral("zurvek%1.mp3").arg(11111111 + temps.size())));
            TestKit::writeFile(temps.last(), QByteArray::number(temps.size() - 1));
            set.add(tree + name, QString(), temps.last());
        }
        // The names settle before the save (quorvane-cli) or as it runs (the windows).
        QList<ResultSaver::Move> settled = keepExisting ? set.placeIn(out, true) : QList<ResultSaver::Move>();
        QSignalSpy done(&set, &ResultSet::saved);
        set.save(out);
        QVERIFY(done.wait(30000));
        const SaveReport report = done.at(0).at(0).value<SaveReport>();
        QVERIFY(report.failures.isEmpty());
        QStringList moves;
        for (const ResultSaver::Move &move : settled + report.moves)
            moves.append(move.text());
        QCOMPARE(moves.join(u'|'), moved.isEmpty() ? moved : moved.arg(tree));
        const QStringList savedNames = saved.split(u'|');
        for (int i = 0; i < savedNames.size(); ++i)
            QCOMPARE(TestKit::readFile(QDir(out).filePath(tree + savedNames.at(i))), QByteArray::number(i));
        for (const QString &source : std::as_const(sourcePaths))
            QCOMPARE(TestKit::readFile(source), QByteArray("before"));
        // The converted files stay until the set is let go.
        set.releaseFiles({});
        for (const QString &temp : std::as_const(temps))
            QVERIFY(!QFile::exists(temp));
    }
}

QTEST_MAIN(TestResultSet)
#include "tst_resultset.moc"
