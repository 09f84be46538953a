#include "testkit.h"
#include "results/saving/resultset.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The converted files of a batch as both front ends save them: the names given, a source
// never replaced, what is already there replaced or kept, in one folder or in a tree.
class TestResultSet : public QObject
{
    Q_OBJECT

private slots:
    void savesUnderSafeNames_data();
    void savesUnderSafeNames();
    void linksAreFollowedOnlyWhenTrusted_data();
    void linksAreFollowedOnlyWhenTrusted();
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

// A link at the output name, or in place of a folder the name leads through, in a sticky
// folder open to all: followed (its target gets the file, the link stays) only when its
// owner is this user or the folder's owner, as the kernel's rule for sticky folders has it.
void TestResultSet::linksAreFollowedOnlyWhenTrusted_data()
{
    QTest::addColumn<QString>("linkOwner");   // "us", "other user", "folder's owner" (the other user)
    QTest::addColumn<QString>("saved");       // "x.mp3", or "Album/x.mp3" through a folder link
    QTest::addColumn<bool>("followed");

    QTest::newRow("our link at the name") << u"us"_s << u"x.mp3"_s << true;
    QTest::newRow("our link for the folder") << u"us"_s << u"Album/x.mp3"_s << true;
    QTest::newRow("another user's link at the name") << u"other user"_s << u"x.mp3"_s << false;
    QTest::newRow("another user's link for the folder") << u"other user"_s << u"Album/x.mp3"_s << false;
    QTest::newRow("the folder owner's link at the name") << u"folder's owner"_s << u"x.mp3"_s << true;
}

void TestResultSet::linksAreFollowedOnlyWhenTrusted()
{
    QFETCH(QString, linkOwner);
    QFETCH(QString, saved);
    QFETCH(bool, followed);
    QTemporaryDir dir;
    const QString out = dir.filePath(u"out"_s);
    const QString victim = dir.filePath(u"victim/x.mp3"_s);
    QVERIFY(TestKit::writeFile(victim, "before") && TestKit::writeFile(dir.filePath(u"converted"_s), "after"));
    QVERIFY(QDir().mkpath(out));
    QCOMPARE(::chmod(QFile::encodeName(out).constData(), 01777), 0);
    const bool throughFolder = saved.contains(u'/');
    const QString link = QDir(out).filePath(throughFolder ? u"Album"_s : u"x.mp3"_s);
    QVERIFY(QFile::link(throughFolder ? u"../victim"_s : u"../victim/x.mp3"_s, link));   // as the link's folder sees it
    if (linkOwner != u"us"_s) {
        QUORVANE_SKIP_UNLESS_ROOT();
        QCOMPARE(::lchown(QFile::encodeName(link).constData(), TestKit::kOtherUser, TestKit::kOtherUser), 0);
        if (linkOwner == u"folder's owner"_s)
            QCOMPARE(::chown(QFile::encodeName(out).constData(), TestKit::kOtherUser, TestKit::kOtherUser), 0);
    }

    const QList<ResultSaver::Failure> failures = ResultSaver::save(out, {{saved, dir.filePath(u"converted"_s)}});
    QCOMPARE(TestKit::readFile(victim), followed ? QByteArray("after") : QByteArray("before"));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(TestKit::entries(QFileInfo(victim).path()), QStringList{u"x.mp3"_s});
    QCOMPARE(failures.size(), followed ? 0 : 1);
    if (!followed)
        QCOMPARE(failures.first().reason, QDir::toNativeSeparators(link) + u" is a link owned by another user; not followed"_s);
}

QTEST_MAIN(TestResultSet)
#include "tst_resultset.moc"
