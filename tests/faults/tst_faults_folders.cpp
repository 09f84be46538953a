#include "faultkit.h"
#include "testmain.h"

#include "convert/batchsession.h"
#include "convert/saving/resultsaver.h"
#include "filelist/walk/folderwalk.h"

#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>

#include <memory>
#include <thread>

using namespace FaultKit;

// Folders that fail: the temporary folder (missing, not a folder, closed), the output folder
// (missing, closed from the start or half-way, full), a temporary folder that fills up, a
// source folder that disappears during the walk or the batch, and a folder link loop. The
// engine runs in-process, quorvane-cli as a process. A temporary folder that cannot be used
// stops a batch before anything runs; everything else fails file by file, each with its
// reason, and leaves no part of a file behind.
class TestFaultsFolders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void unusableTemporaryFolder_data();
    void unusableTemporaryFolder();
    void unusableOutputFolder_data();
    void unusableOutputFolder();
    void outputFolderClosedHalfWay();
    void outputFolderFull();
    void temporaryFolderFull_data();
    void temporaryFolderFull();
    void sourceFolderRemovedDuringWalk();
    void sourceFolderRemovedDuringBatch();
    void folderLinkLoop();

private:
    QString tone(const QString &relativePath) const;
    QStringList partFiles(const QString &folder) const;

    Machine m_machine;
    QTemporaryDir m_fixtures;
    QString m_appDir;
    QString m_cli;
    QStringList m_appEntries;
    QString m_tone;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_sources;
    QString m_out;
    QString m_temp;
    QString m_previousCurrent;
};

void TestFaultsFolders::initTestCase()
{
#ifndef Q_OS_UNIX
    QSKIP("The fault tests use POSIX folders and shell scripts");
#endif
    m_machine = findMachine();
    if (!m_machine.missing.isEmpty())
        QSKIP(qPrintable(m_machine.missing + QStringLiteral(" needed")));
    QVERIFY(m_fixtures.isValid());
    m_appDir = QDir(m_fixtures.path()).filePath(QStringLiteral("app"));
    m_cli = makeAppFolder(m_machine, m_appDir);
    QVERIFY(!m_cli.isEmpty());
    m_appEntries = entries(m_appDir);
    m_tone = QDir(m_fixtures.path()).filePath(QStringLiteral("tone.m4a"));
    QVERIFY(makeSource(m_machine.ffmpeg, m_tone, toneOptions()));
}

void TestFaultsFolders::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    const QDir work(m_work->path());
    for (const char *name : {"sources", "out", "temp"})
        QVERIFY(work.mkdir(QString::fromLatin1(name)));
    m_sources = work.filePath(QStringLiteral("sources"));
    m_out = work.filePath(QStringLiteral("out"));
    m_temp = work.filePath(QStringLiteral("temp"));
    // The engine runs in the work folder, so that a file made "nowhere" (a bare name) is seen.
    m_previousCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_work->path()));
}

void TestFaultsFolders::cleanup()
{
    QDir::setCurrent(m_previousCurrent);
    QCOMPARE(entries(m_appDir), m_appEntries);
    m_work.reset();
}

QString TestFaultsFolders::tone(const QString &relativePath) const
{
    const QString path = QDir(m_work->path()).filePath(relativePath);
    if (!QDir().mkpath(QFileInfo(path).path()) || !QFile::copy(m_tone, path))
        qWarning("could not copy the tone to %s", qUtf8Printable(path));
    return path;
}

// Part files of an interrupted save: the saver's ".quorvane-*.part" and anything else hidden.
QStringList TestFaultsFolders::partFiles(const QString &folder) const
{
    QStringList parts;
    for (const QString &name : entries(folder)) {
        if (name.startsWith(u'.'))
            parts.append(name);
    }
    return parts;
}

void TestFaultsFolders::unusableTemporaryFolder_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("problem");   // a part of the one reason given

    QTest::newRow("missing") << QStringLiteral("missing") << QStringLiteral("the temporary folder does not exist");
    QTest::newRow("a file, not a folder") << QStringLiteral("file") << QStringLiteral("the temporary folder is not a folder");
    QTest::newRow("below a file") << QStringLiteral("below a file") << QStringLiteral("the temporary folder does not exist");
    QTest::newRow("not writable (immutable)")
        << QStringLiteral("immutable") << QStringLiteral("the temporary folder is not writable");
    QTest::newRow("TMPDIR names a missing folder")
        << QStringLiteral("TMPDIR missing") << QStringLiteral("the temporary folder does not exist");
}

void TestFaultsFolders::unusableTemporaryFolder()
{
    QFETCH(QString, kind);
    QFETCH(QString, problem);

    const QString sources = QDir(m_work->path()).filePath(QStringLiteral("sources"));
    const QStringList files{tone(QStringLiteral("sources/a.m4a")), tone(QStringLiteral("sources/b.m4a"))};
    QString folder = QDir(m_work->path()).filePath(QStringLiteral("tmp"));
    std::unique_ptr<ImmutableFolder> closed;
    if (kind == QStringLiteral("file")) {
        QVERIFY(writeFile(folder, "a file"));
    } else if (kind == QStringLiteral("below a file")) {
        QVERIFY(writeFile(folder, "a file"));
        folder += QStringLiteral("/below");
    } else if (kind == QStringLiteral("immutable")) {
        QVERIFY(QDir().mkdir(folder));
        closed = std::make_unique<ImmutableFolder>(folder);
        if (!closed->problem().isEmpty())
            QSKIP(qPrintable(closed->problem()));
    }
    const QStringList workEntries = entries(m_work->path());

    // The engine: told where, or (empty) left to the system's folder that TMPDIR names.
    const bool throughTmpdir = kind == QStringLiteral("TMPDIR missing");
    const bool hadTmpdir = qEnvironmentVariableIsSet("TMPDIR");
    const QByteArray previousTmpdir = qgetenv("TMPDIR");
    const auto restoreTmpdir = [&] {
        if (hadTmpdir)
            qputenv("TMPDIR", previousTmpdir);
        else
            qunsetenv("TMPDIR");
    };
    auto restoreOnFailure = qScopeGuard(restoreTmpdir);
    if (throughTmpdir)
        qputenv("TMPDIR", folder.toLocal8Bit());
    const QString given = throughTmpdir ? QString() : folder;
    const QString asked = BatchSession::temporaryFolderProblem(given);
    QVERIFY2(asked.contains(problem), qPrintable(asked));

    // The session says so before anything runs, and nothing follows.
    SessionSetup setup;
    setup.sources = files;
    setup.appFolder = m_appDir;
    setup.tools.tempFolder = given;
    BatchSession session(setup);
    QSignalSpy started(&session, &BatchSession::fileStarted);
    QSignalSpy finished(&session, &BatchSession::finished);
    QCOMPARE(session.start(), asked);
    // The session posts its signals to itself: any it had queued would come before this.
    bool flushed = false;
    QMetaObject::invokeMethod(&session, [&] { flushed = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(flushed);
    QCOMPARE(started.count(), 0);
    QCOMPARE(finished.count(), 0);
    QVERIFY(!session.isRunning());
    restoreOnFailure.dismiss();
    restoreTmpdir();

    // quorvane-cli: the problem, before anything runs.
    const CliRun run = runCli(m_cli, {QStringLiteral("-o"), m_out, sources}, m_work->path(), folder);
    QVERIFY2(run.finished, qPrintable(run.err));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QString());
    const QStringList lines = run.err.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.at(0).startsWith(QStringLiteral("quorvane-cli: ")) && lines.at(0).contains(problem)
                 && lines.at(0).endsWith(QStringLiteral("nothing was converted")),
             qPrintable(run.err));

    // Nothing converted into nowhere: no file in the output folder, the working folder or the
    // sources' folder.
    QCOMPARE(entries(m_out), QStringList());
    QCOMPARE(entries(m_work->path()), workEntries);
    QCOMPARE(entries(sources), (QStringList{QStringLiteral("a.m4a"), QStringLiteral("b.m4a")}));
    if (closed) {
        QCOMPARE(entries(folder), QStringList());
        closed->lift();
    }
}

void TestFaultsFolders::unusableOutputFolder_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("usageError");   // quorvane-cli's message (exit status 2)
    QTest::addColumn<QString>("reason");       // a part of the reason ResultSaver gives per file

    QTest::newRow("missing") << QStringLiteral("missing") << QStringLiteral("output folder does not exist")
                             << QStringLiteral("No such file or directory");
    QTest::newRow("below a file") << QStringLiteral("below a file") << QStringLiteral("output folder does not exist")
                                  << QStringLiteral("Not a directory");
    QTest::newRow("not writable (immutable)")
        << QStringLiteral("immutable") << QStringLiteral("output folder is not writable")
        << QStringLiteral("Operation not permitted");
    // Planted in a folder that every user may write: the run would write where that user chose.
    QTest::newRow("another user's link in a sticky folder")
        << QStringLiteral("stranger's link") << QStringLiteral("output folder is reached through a link that another user owns")
        << QString();
}

// The command line refuses the folder before anything runs; saving (as the results window
// does) names each file that could not be saved, and creates nothing.
void TestFaultsFolders::unusableOutputFolder()
{
    QFETCH(QString, kind);
    QFETCH(QString, usageError);
    QFETCH(QString, reason);

    const QString source = tone(QStringLiteral("sources/a.m4a"));
    QString folder = QDir(m_work->path()).filePath(QStringLiteral("target"));
    std::unique_ptr<ImmutableFolder> closed;
    const QByteArray keep = "an earlier result";
    if (kind == QStringLiteral("below a file")) {
        QVERIFY(writeFile(folder, "a file"));
        folder += QStringLiteral("/below");
    } else if (kind == QStringLiteral("stranger's link")) {
        QUORVANE_SKIP_UNLESS_ROOT();
        const QString shared = QDir(m_work->path()).filePath(QStringLiteral("shared"));
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(shared));
        QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
        QVERIFY(QFile::link(folder, QDir(shared).filePath(QStringLiteral("out"))));
        folder = QDir(shared).filePath(QStringLiteral("out"));
        QCOMPARE(::lchown(QFile::encodeName(folder).constData(), TestKit::kOtherUser, TestKit::kOtherUser), 0);
    } else if (kind == QStringLiteral("immutable")) {
        QVERIFY(writeFile(QDir(folder).filePath(QStringLiteral("a.mp3")), keep));
        closed = std::make_unique<ImmutableFolder>(folder);
        if (!closed->problem().isEmpty())
            QSKIP(qPrintable(closed->problem()));
    }
    const QStringList workEntries = entries(m_work->path());

    const CliRun run = runCli(m_cli, {QStringLiteral("-o"), folder, source}, m_work->path(), m_temp);
    QVERIFY2(run.finished, qPrintable(run.err));
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith(QStringLiteral("quorvane-cli: ") + usageError), qPrintable(run.err));
    QCOMPARE(entries(m_temp), QStringList());
    if (reason.isEmpty())
        return;   // the front ends refuse it; the saver is given only folders they took

    // Saving a converted file there.
    const QString converted = QDir(m_work->path()).filePath(QStringLiteral("converted.mp3"));
    QVERIFY(writeFile(converted, "ID3 a converted file"));
    const QList<ResultSaver::Failure> failures =
        ResultSaver::save(folder, {{QStringLiteral("a.mp3"), converted}, {QStringLiteral("b.mp3"), converted}}).failures;
    QCOMPARE(failures.size(), 2);
    for (const ResultSaver::Failure &failure : failures)
        QVERIFY2(failure.reason.contains(reason), qPrintable(failure.reason));
    QCOMPARE(failures.at(0).target, QDir(folder).filePath(QStringLiteral("a.mp3")));
    QVERIFY(QFile::remove(converted));

    QCOMPARE(entries(m_work->path()), workEntries);
    if (closed) {
        QCOMPARE(entries(folder), QStringList{QStringLiteral("a.mp3")});
        QCOMPARE(readFile(QDir(folder).filePath(QStringLiteral("a.mp3"))), keep);
        closed->lift();
    }
}

// The output folder is closed while the batch runs (a disk unmounted, a share gone
// read-only): the files saved before it stay, the others fail with the reason.
void TestFaultsFolders::outputFolderClosedHalfWay()
{
    {
        ImmutableFolder probe(m_out);
        if (!probe.problem().isEmpty())
            QSKIP(qPrintable(probe.problem()));
    }
    const QString chattr = QStandardPaths::findExecutable(QStringLiteral("chattr"));
    for (const char *name : {"sources/1 first.m4a", "sources/2 second.m4a", "sources/3 third.m4a"})
        tone(QString::fromLatin1(name));
    const QByteArray older = "an older second";
    QVERIFY(writeFile(QDir(m_out).filePath(QStringLiteral("2 second.mp3")), older));

    // The decoder closes the output folder as the second file starts; the first is saved by then.
    const QString appDir = QDir(m_work->path()).filePath(QStringLiteral("app"));
    const QString cli = makeAppFolder(
        m_machine, appDir,
        QStringLiteral("case \"$2\" in *second*) %1 +i %2 ;; esac\nexec %3 \"$@\"")
            .arg(shellQuoted(chattr), shellQuoted(m_out), shellQuoted(m_machine.ffmpeg)));
    QVERIFY(!cli.isEmpty());
    const auto reopen = qScopeGuard([&] { QProcess::execute(chattr, {QStringLiteral("-i"), m_out}); });
    const CliRun run = runCli(cli, {QStringLiteral("-j"), QStringLiteral("1"), QStringLiteral("-o"), m_out, m_sources},
                              m_work->path(), m_temp);
    QProcess::execute(chattr, {QStringLiteral("-i"), m_out});
    QVERIFY2(run.finished, qPrintable(run.err));
    QCOMPARE(run.exitCode, 1);
    const QStringList lines = run.err.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(run.err.contains(QStringLiteral("1 of 3 file(s) converted, 0 skipped, 2 failed in ")), qPrintable(run.err));
    for (const char *name : {"2 second", "3 third"}) {
        const QString failed = QStringLiteral("FAILED     %1: could not save %2: Operation not permitted")
                                   .arg(QDir(m_sources).filePath(QString::fromLatin1(name) + QStringLiteral(".m4a")),
                                        QDir(m_out).filePath(QString::fromLatin1(name) + QStringLiteral(".mp3")));
        QVERIFY2(lines.count(failed) == 2, qPrintable(run.err));
    }
    QCOMPARE(entries(m_out), (QStringList{QStringLiteral("1 first.mp3"), QStringLiteral("2 second.mp3")}));
    QCOMPARE(probe(m_machine.ffprobe, QDir(m_out).filePath(QStringLiteral("1 first.mp3"))).codec, QStringLiteral("mp3"));
    QCOMPARE(readFile(QDir(m_out).filePath(QStringLiteral("2 second.mp3"))), older);
    QCOMPARE(entries(m_temp), QStringList());
}

// A small file system as the output folder, nearly full: what fits is saved, what does not
// fails with the reason, an older file of the same name stays whole, and no part is left.
void TestFaultsFolders::outputFolderFull()
{
    SmallFileSystem small(m_out, 256);
    if (!small.problem().isEmpty())
        QSKIP(qPrintable(small.problem()));
    const QByteArray keep = "an earlier result";
    const QByteArray older = "an older second";
    QVERIFY(writeFile(QDir(m_out).filePath(QStringLiteral("keep.mp3")), keep));
    QVERIFY(writeFile(QDir(m_out).filePath(QStringLiteral("2 second.mp3")), older));
    // About 40 kB per file at 320 kbps: room for one and a half.
    QVERIFY(fillUp(QDir(m_out).filePath(QStringLiteral("filler")), 60 * 1024));
    for (const char *name : {"sources/1 first.m4a", "sources/2 second.m4a"})
        tone(QString::fromLatin1(name));

    const CliRun run = runCli(m_cli, {QStringLiteral("-b"), QStringLiteral("320"), QStringLiteral("-j"), QStringLiteral("1"),
                                      QStringLiteral("-o"), m_out, m_sources},
                              m_work->path(), m_temp);
    QVERIFY2(run.finished, qPrintable(run.err));
    QCOMPARE(run.exitCode, 1);
    const QStringList lines = run.err.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(run.err.contains(QStringLiteral("1 of 2 file(s) converted, 0 skipped, 1 failed in ")), qPrintable(run.err));
    const QString failed = QStringLiteral("FAILED     %1: could not save %2: No space left on device")
                               .arg(QDir(m_sources).filePath(QStringLiteral("2 second.m4a")),
                                    QDir(m_out).filePath(QStringLiteral("2 second.mp3")));
    QVERIFY2(lines.count(failed) == 2, qPrintable(run.err));
    QCOMPARE(entries(m_out), (QStringList{QStringLiteral("1 first.mp3"), QStringLiteral("2 second.mp3"),
                                          QStringLiteral("filler"), QStringLiteral("keep.mp3")}));
    QCOMPARE(probe(m_machine.ffprobe, QDir(m_out).filePath(QStringLiteral("1 first.mp3"))).codec, QStringLiteral("mp3"));
    QCOMPARE(readFile(QDir(m_out).filePath(QStringLiteral("2 second.mp3"))), older);
    QCOMPARE(readFile(QDir(m_out).filePath(QStringLiteral("keep.mp3"))), keep);
    QCOMPARE(entries(m_temp), QStringList());

    // Saving as the results window does, into the same full folder.
    const QString converted = QDir(m_work->path()).filePath(QStringLiteral("converted.mp3"));
    QVERIFY(writeFile(converted, QByteArray(100 * 1024, 'x')));
    const QList<ResultSaver::Failure> failures =
        ResultSaver::save(m_out, {{QStringLiteral("keep.mp3"), converted}, {QStringLiteral("new.mp3"), converted}}).failures;
    QCOMPARE(failures.size(), 2);
    for (const ResultSaver::Failure &failure : failures)
        QVERIFY2(failure.reason.contains(QStringLiteral("No space left on device")), qPrintable(failure.reason));
    QCOMPARE(readFile(QDir(m_out).filePath(QStringLiteral("keep.mp3"))), keep);
    QCOMPARE(partFiles(m_out), QStringList());
    QVERIFY(!QFileInfo::exists(QDir(m_out).filePath(QStringLiteral("new.mp3"))));
}

void TestFaultsFolders::temporaryFolderFull_data()
{
    QTest::addColumn<int>("roomKb");
    QTest::addColumn<bool>("singlePass");
    QTest::addColumn<int>("files");   // at once; all but one fail
    QTest::addColumn<QString>("reason");

    // Each fails before the decoder starts, so nothing is half-written. A second of tone at
    // 320 kbps: about 40 kB from the decoder and 40 kB from the encoder.
    const QString tooLittle = QStringLiteral("; a temporary folder with more space (TMPDIR) would help");
    QTest::newRow("no room for the decoder's file") << 8 << false << 1 << tooLittle;
    QTest::newRow("room for the decoder's file, not the encoder's") << 60 << false << 1 << tooLittle;
    QTest::newRow("a single pass without room for the encoder's file") << 30 << true << 1 << tooLittle;
    QTest::newRow("room for each alone, not for both at once")
        << 150 << false << 2 << QStringLiteral(" other file(s) converting now will still write ");
}

// A small file system as the temporary folder, nearly full: what does not fit fails with the
// reason in plain text before anything is written, and no part of a file is left there.
void TestFaultsFolders::temporaryFolderFull()
{
    QFETCH(int, roomKb);
    QFETCH(bool, singlePass);
    QFETCH(int, files);
    QFETCH(QString, reason);

    SmallFileSystem small(m_temp, 256);
    if (!small.problem().isEmpty())
        QSKIP(qPrintable(small.problem()));
    QVERIFY(fillUp(QDir(m_temp).filePath(QStringLiteral("filler")), roomKb * 1024));
    QStringList sources{tone(QStringLiteral("sources/a.m4a"))};
    if (files == 2)
        sources.append(tone(QStringLiteral("sources/b.m4a")));

    SessionSetup settings;
    settings.tools.decoder = QDir(m_appDir).filePath(QStringLiteral("ffmpeg"));
    settings.tools.encoder = QDir(m_appDir).filePath(QStringLiteral("lame"));
    settings.tools.tempFolder = m_temp;
    settings.tools.singlePass = singlePass;
    settings.encoding.bitrate = 320;
    settings.jobs = files;
    QList<FileResult> results;
    QVERIFY(TestKit::runBatch(sources, settings, &results));
    QCOMPARE(std::count_if(results.begin(), results.end(), [](const FileResult &r) { return r.isConverted(); }), files - 1);
    const auto failed = std::find_if(results.begin(), results.end(), [](const FileResult &r) { return !r.isConverted(); });
    QCOMPARE(failed->status, FileStatus::Failed);
    QVERIFY2(failed->reason.startsWith(QStringLiteral("not enough temporary space: about ")) && failed->reason.contains(reason),
             qPrintable(failed->reason));
    QVERIFY(releaseConverted(results));
    QCOMPARE(TestKit::tempEntries(m_temp), QStringList{QStringLiteral("filler")});

    QStringList arguments{QStringLiteral("-b"), QStringLiteral("320"), QStringLiteral("-j"), QString::number(files),
                          QStringLiteral("-o"), m_out};
    if (singlePass)
        arguments.append(QStringLiteral("--single-pass"));
    const CliRun run = runCli(m_cli, arguments + sources, m_work->path(), m_temp);
    QVERIFY2(run.finished, qPrintable(run.err));
    QVERIFY2(run.exitCode == 1, qPrintable(run.err));
    QVERIFY2(run.err.contains(QStringLiteral(": not enough temporary space: about ")) && run.err.contains(reason), qPrintable(run.err));
    QCOMPARE(entries(m_out).size(), files - 1);
    QCOMPARE(TestKit::tempEntries(m_temp), QStringList{QStringLiteral("filler")});
}

// A walk through a tree that another thread is removing: it ends, without a file twice and
// without a file that was never there.
void TestFaultsFolders::sourceFolderRemovedDuringWalk()
{
    const QDir root(m_sources);
    QSet<QString> made;
    for (int i = 0; i < 60; ++i) {
        for (int j = 0; j < 4; ++j) {
            const QString path = root.filePath(QStringLiteral("f%1/g%2/s.m4a").arg(i).arg(j));
            QVERIFY(writeFile(path, "x"));
            made.insert(QDir::toNativeSeparators(path));
        }
    }
    std::thread remover([&root] {
        for (int i = 59; i >= 0; i -= 2)
            QDir(root.filePath(QStringLiteral("f%1").arg(i))).removeRecursively();
    });
    const QStringList listed = FolderWalk::collectFiles(m_sources, QStringLiteral("*.m4a"));
    remover.join();

    QCOMPARE(QSet<QString>(listed.begin(), listed.end()).size(), listed.size());
    for (const QString &path : listed)
        QVERIFY2(made.contains(path), qPrintable(path));
    QVERIFY(listed.size() >= 30 * 4);   // the folders nobody removed
}

// A source folder removed between the walk and the conversion of its files: those fail as
// not found, the others convert.
void TestFaultsFolders::sourceFolderRemovedDuringBatch()
{
    for (const char *name : {"sources/a/1.m4a", "sources/b/2.m4a", "sources/b/3.m4a"})
        tone(QString::fromLatin1(name));
    const QString appDir = QDir(m_work->path()).filePath(QStringLiteral("app"));
    const QString cli = makeAppFolder(m_machine, appDir,
                                      QStringLiteral("rm -rf %1\nexec %2 \"$@\"")
                                          .arg(shellQuoted(QDir(m_sources).filePath(QStringLiteral("b"))),
                                               shellQuoted(m_machine.ffmpeg)));
    QVERIFY(!cli.isEmpty());
    const CliRun run = runCli(cli, {QStringLiteral("-j"), QStringLiteral("1"), QStringLiteral("-o"), m_out, m_sources},
                              m_work->path(), m_temp);
    QVERIFY2(run.finished, qPrintable(run.err));
    QCOMPARE(run.exitCode, 1);
    const QStringList lines = run.err.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(run.err.contains(QStringLiteral("1 of 3 file(s) converted, 0 skipped, 2 failed in ")), qPrintable(run.err));
    for (const char *name : {"b/2.m4a", "b/3.m4a"}) {
        const QString failed = QStringLiteral("FAILED     %1: file not found")
                                   .arg(QDir(m_sources).filePath(QString::fromLatin1(name)));
        QVERIFY2(lines.count(failed) == 2, qPrintable(run.err));
    }
    QCOMPARE(entries(m_out), QStringList{QStringLiteral("1.mp3")});
    QCOMPARE(entries(m_temp), QStringList());
}

// Links back up the tree (to the start folder and to itself): the walk ends, and each file is
// listed and converted once. The start folder may itself be a link.
void TestFaultsFolders::folderLinkLoop()
{
    const QString tree = QDir(m_sources).filePath(QStringLiteral("tree"));
    tone(QStringLiteral("sources/tree/top.m4a"));
    tone(QStringLiteral("sources/tree/sub/inner.m4a"));
    QVERIFY(QFile::link(tree, QDir(tree).filePath(QStringLiteral("sub/up"))));
    QVERIFY(QFile::link(QDir(tree).filePath(QStringLiteral("sub")), QDir(tree).filePath(QStringLiteral("sub/self"))));
    const QString viaLink = QDir(m_sources).filePath(QStringLiteral("link to tree"));
    QVERIFY(QFile::link(tree, viaLink));

    const QStringList expected{QDir(viaLink).filePath(QStringLiteral("top.m4a")),
                               QDir(viaLink).filePath(QStringLiteral("sub/inner.m4a"))};
    QCOMPARE(FolderWalk::collectFiles(viaLink, QStringLiteral("*.m4a")), expected);

    const CliRun dry = runCli(m_cli, {QStringLiteral("--dry-run"), QStringLiteral("-o"), m_out, viaLink},
                              m_work->path(), m_temp);
    QVERIFY2(dry.finished && dry.exitCode == 0, qPrintable(dry.err));
    QCOMPARE(dry.out, expected.join(u'\n') + u'\n');

    const CliRun run = runCli(m_cli, {QStringLiteral("-o"), m_out, viaLink}, m_work->path(), m_temp);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.err.contains(QStringLiteral("2 of 2 file(s) converted")), qPrintable(run.err));
    QCOMPARE(entries(m_out), (QStringList{QStringLiteral("inner.mp3"), QStringLiteral("top.mp3")}));
    QCOMPARE(entries(m_temp), QStringList());
}

QUORVANE_TEST_GUILESS_MAIN(TestFaultsFolders)
#include "tst_faults_folders.moc"
