#include "convert/saving/resultset.h"
#include "testkit.h"
#include "testmain.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>

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
    void racingRunsKeepEveryFile();
    void linksAreFollowedOnlyWhenTrusted_data();
    void linksAreFollowedOnlyWhenTrusted();
};

// Lists as "a.mp3|b.mp3"; "" for none.
void TestResultSet::savesUnderSafeNames_data()
{
    QTest::addColumn<QString>("names");        // as added, in order
    QTest::addColumn<QString>("there");        // in the folder before the save
    QTest::addColumn<QString>("sources");      // of those there, the batch's sources
    QTest::addColumn<QString>("existing");     // the run's policy; "" for the windows (names settled as saved)
    QTest::addColumn<QString>("appearing");    // new files at these names once the names are settled
    QTest::addColumn<QString>("saved");        // by entry
    QTest::addColumn<QString>("moved");        // the moves the save reports; %1 the folders

    QTest::newRow("unique names") << u"a.mp3|b.mp3"_s << QString() << QString() << QString() << QString() << u"a.mp3|b.mp3"_s << QString();
    QTest::newRow("repeats numbered in order, case ignored")
        << u"a.mp3|A.mp3|a.mp3"_s << QString() << QString() << QString() << QString() << u"a.mp3|A (2).mp3|a (3).mp3"_s << QString();
    QTest::newRow("an existing file is replaced") << u"a.mp3"_s << u"a.mp3"_s << QString() << QString() << QString() << u"a.mp3"_s << QString();
    QTest::newRow("an existing file is kept when asked")
        << u"a.mp3|b.mp3"_s << u"a.mp3|a (2).mp3"_s << QString() << u"rename"_s << QString() << u"a (3).mp3|b.mp3"_s << QString();
    QTest::newRow("a source is never replaced, nor another name taken")
        << u"a.mp3|a (2).mp3"_s << u"a.mp3"_s << u"a.mp3"_s << QString() << QString() << u"a (3).mp3|a (2).mp3"_s
        << u"%1a.mp3 is one of the sources, so it was saved as %1a (3).mp3"_s;
    QTest::newRow("a source is never replaced, names settled first")
        << u"a.mp3|b.mp3"_s << u"a.mp3|b.mp3"_s << u"a.mp3"_s << u"rename"_s << QString() << u"a (2).mp3|b (2).mp3"_s
        << u"%1a.mp3 is one of the sources, so it was saved as %1a (2).mp3"_s;
    // Files that appear between the run's plan and its save.
    QTest::newRow("overwrite: what appears is replaced")
        << u"a.mp3"_s << QString() << QString() << u"overwrite"_s << u"a.mp3"_s << u"a.mp3"_s << QString();
    QTest::newRow("rename: what appears is kept, the next free name taken as written")
        << u"a.mp3|b.mp3"_s << QString() << QString() << u"rename"_s << u"a.mp3|a (2).mp3"_s << u"a (3).mp3|b.mp3"_s << QString();
    QTest::newRow("skip: what appears at a free name is kept")
        << u"a.mp3"_s << QString() << QString() << u"skip"_s << u"a.mp3"_s << u"a (2).mp3"_s
        << u"%1a.mp3 appeared during the run, so this file was saved as %1a (2).mp3"_s;
    QTest::newRow("skip: the stale file checked is redone")
        << u"a.mp3"_s << u"a.mp3"_s << QString() << u"skip"_s << QString() << u"a.mp3"_s << QString();
    QTest::newRow("skip: another file in the checked one's place is kept")
        << u"a.mp3"_s << u"a.mp3"_s << QString() << u"skip"_s << u"a.mp3"_s << u"a (2).mp3"_s
        << u"%1a.mp3 appeared during the run, so this file was saved as %1a (2).mp3"_s;
}

void TestResultSet::savesUnderSafeNames()
{
    QFETCH(QString, names);
    QFETCH(QString, there);
    QFETCH(QString, sources);
    QFETCH(QString, existing);
    QFETCH(QString, appearing);
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

        QStringList temps;
        QStringList treeNames;
        for (const QString &name : names.split(u'|')) {
            temps.append(dir.filePath(QStringLiteral("zurvek%1.mp3").arg(11111111 + temps.size())));
            TestKit::writeFile(temps.last(), QByteArray::number(temps.size() - 1));
            treeNames.append(tree + name);
        }
        ResultSet &set = *TestKit::convertedSet(treeNames, temps, sourcePaths);
        std::unique_ptr<ResultSet> owned(&set);
        // The names settle before the save (quorvane-cli) or as it runs (the windows).
        if (!existing.isEmpty())
            set.placeIn(out, existing == u"rename"_s ? ResultSaver::Existing::Rename
                             : existing == u"skip"_s ? ResultSaver::Existing::Skip
                                                     : ResultSaver::Existing::Overwrite);
        // A new file each, never the old one rewritten: another program's save.
        for (const QString &name : appearing.split(u'|', Qt::SkipEmptyParts)) {
            TestKit::writeFile(dir.filePath(u"new"_s), "appeared");
            std::error_code error;
            std::filesystem::rename(dir.filePath(u"new"_s).toStdU16String(),
                                    QDir(out).filePath(tree + name).toStdU16String(), error);
            QVERIFY2(!error, error.message().c_str());
        }
        QSignalSpy done(&set, &ResultSet::saved);
        set.save(out);
        QVERIFY(done.wait(30000));
        const SaveReport report = done.at(0).at(0).value<SaveReport>();
        QVERIFY(report.failures.isEmpty());
        QStringList moves;
        for (int i = 0; i < set.count(); ++i)
            moves.append(set.at(i).note);
        for (const ResultSaver::Move &move : report.moves)
            moves.append(move.text());
        moves.removeAll(QString());
        QCOMPARE(moves.join(u'|'), moved.isEmpty() ? moved : moved.arg(tree));
        const QStringList savedNames = saved.split(u'|');
        for (int i = 0; i < savedNames.size(); ++i) {
            if (!existing.isEmpty())   // the name the run reports
                QCOMPARE(set.at(i).outputName, tree + savedNames.at(i));
            QCOMPARE(TestKit::readFile(QDir(out).filePath(tree + savedNames.at(i))), QByteArray::number(i));
        }
        for (const QString &name : appearing.split(u'|', Qt::SkipEmptyParts)) {
            if (!savedNames.contains(name))
                QCOMPARE(TestKit::readFile(QDir(out).filePath(tree + name)), QByteArray("appeared"));
        }
        for (const QString &source : std::as_const(sourcePaths))
            QCOMPARE(TestKit::readFile(source), QByteArray("before"));
        // The converted files stay until the set is let go.
        set.releaseFiles({});
        for (const QString &temp : std::as_const(temps))
            QVERIFY(!QFile::exists(temp));
    }
}

// Two runs that keep existing files save the same names into one folder at once: every
// file of both is kept, each under a name of its own.
void TestResultSet::racingRunsKeepEveryFile()
{
    QTemporaryDir dir;
    std::vector<std::unique_ptr<ResultSet>> runs;
    std::vector<std::unique_ptr<QSignalSpy>> done;
    for (int run = 0; run < 2; ++run) {
        QStringList names;
        QStringList temps;
        for (int i = 0; i < 5; ++i) {
            temps.append(dir.filePath(QStringLiteral("run%1-%2").arg(run).arg(i)));
            QVERIFY(TestKit::writeFile(temps.last(), QByteArray::number(run * 5 + i)));
            names.append(QStringLiteral("x%1.mp3").arg(i));
        }
        runs.emplace_back(TestKit::convertedSet(names, temps));
        runs.back()->placeIn(dir.filePath(u"out"_s), ResultSaver::Existing::Rename);
        done.push_back(std::make_unique<QSignalSpy>(runs.back().get(), &ResultSet::saved));
    }
    QVERIFY(QDir(dir.path()).mkdir(u"out"_s));
    for (const auto &run : runs)
        run->save(dir.filePath(u"out"_s));
    for (const auto &spy : done)
        QVERIFY(!spy->isEmpty() || spy->wait(30000));
    QSet<QByteArray> kept;
    for (const QString &name : TestKit::entries(dir.filePath(u"out"_s)))
        kept.insert(TestKit::readFile(QDir(dir.filePath(u"out"_s)).filePath(name)));
    QCOMPARE(kept.size(), 10);
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
#ifdef Q_OS_WIN
    QSKIP("links are made by administrators only on Windows, and other users do not share its folders");
#else
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

    const QList<ResultSaver::Failure> failures = ResultSaver::save(out, {{saved, dir.filePath(u"converted"_s)}}).failures;
    QCOMPARE(TestKit::readFile(victim), followed ? QByteArray("after") : QByteArray("before"));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(TestKit::entries(QFileInfo(victim).path()), QStringList{u"x.mp3"_s});
    QCOMPARE(failures.size(), followed ? 0 : 1);
    if (!followed)
        QCOMPARE(failures.first().reason, QDir::toNativeSeparators(link) + u" is a link owned by another user; not followed"_s);
#endif
}

QUORVANE_TEST_MAIN(TestResultSet)
#include "tst_resultset.moc"
