#include "convert/batchsession.h"
#include "convert/files/workfolder.h"
#include "convert/scripttools.h"
#include "testkit.h"
#include "testmain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

using namespace ScriptTools;

// Conversions that meet: two programs converting into one temporary folder at once, and
// cancels (in the engine) and signals (to quorvane-cli) at many different moments, each
// moment an event the program or its tools report, never a share of a measured run. After
// each: the right files converted, no tool process left, nothing left in the temporary
// folder but the converted files the receiver still owns. The tools are the real ones where
// the timing of real work matters, and the fast stand-in where many runs do.
//
// Every tool runs through a small wrapper script that notes its process id (the script
// execs the tool, so the id is the tool's) and whether the temporary name it was given was
// locked at that moment.
class TestFaultsConcurrency : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void twoProgramsShareATemporaryFolder_data();
    void twoProgramsShareATemporaryFolder();
    void runningProgramsFolderIsItsOwn_data();
    void runningProgramsFolderIsItsOwn();
    void cancelAtManyMoments_data();
    void cancelAtManyMoments();
    void signalAtManyMoments_data();
    void signalAtManyMoments();

private:
    using Probe = TestKit::Probe;

    static constexpr int kProgramFiles = 8;   // converted by signalAtManyMoments()

    QString makeFolder(const QString &relativePath) const;
    // The batch of cancelAtManyMoments(): tools (wrapped; the heldRun-th tool run waits in
    // gate(), 0 for none), sources, temporary folder.
    SessionSetup batchSettings(bool realTools, int jobs, const QString &pidLog, int heldRun) const;
    static qsizetype batchFiles(bool realTools);
    QStringList batchSources(bool realTools) const;
    // quorvane-cli on kProgramFiles tones, with wrapped real tools, as batchSettings().
    QProcess *startSignalledProgram(const QString &pidLog, const QString &out, int heldRun);
    QString gate() const;    // where the held tool run says it waits (ScriptTools::holdRun)
    bool waitUntilHeld() const;
    // A tool wrapper: notes its process id in pidLog and, when privateArgument is set, a
    // complaint in m_problems if the folder of "$N" is not a private one (mode 700) inside
    // the temporary folder; runs before, then becomes tool with the same arguments (or, with
    // no tool, a decoder that hangs).
    QString wrapper(const QString &folder, const QString &name, const QString &tool,
                    const QString &pidLog, int privateArgument, const QString &before = {}) const;
    // A copy of quorvane-cli in folder beside the given decoder and encoder (it looks for
    // its tools in its own folder, links resolved).
    QString programCopy(const QString &folder) const;
    QProcess *startProgram(const QString &program, const QStringList &arguments, const QString &tempFolder);
    QStringList toneSources(const QString &folder, int count, const QString &tone) const;
    QStringList byteSources(const QString &folder, int count, const QString &tag) const;
    static QList<qint64> pids(const QString &log);
    static bool isRunning(qint64 pid);   // a zombie nobody reaps counts as ended
    QString problems() const;

    QString m_cli;
    QString m_ffmpeg;
    QString m_lame;
    QString m_ffprobe;
    QString m_fake;
    QTemporaryDir m_toneDir;
    QString m_oneSecond;
    QString m_twoSeconds;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_temp;
    QString m_problems;
    QList<QProcess *> m_programs;   // killed and reaped in cleanup() whatever a check left
};

void TestFaultsConcurrency::initTestCase()
{
#ifndef Q_OS_UNIX
    QSKIP("The tool wrappers are POSIX shell scripts");
#endif
    const QString appDir = qEnvironmentVariable("QUORVANE_APP_DIR");
    QVERIFY2(!appDir.isEmpty(), "QUORVANE_APP_DIR names the folder of the built programs");
    m_cli = QDir(appDir).filePath(QStringLiteral("quorvane-cli"));
    QVERIFY2(QFileInfo(m_cli).isExecutable(), qPrintable(m_cli));
    m_fake = qEnvironmentVariable("QUORVANE_FAKETOOL");
    QVERIFY2(QFileInfo(m_fake).isExecutable(), "QUORVANE_FAKETOOL names the stand-in tool");
    m_ffmpeg = QFileInfo(QDir(appDir).filePath(QStringLiteral("ffmpeg"))).canonicalFilePath();
    m_lame = QFileInfo(QDir(appDir).filePath(QStringLiteral("lame"))).canonicalFilePath();
    m_ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
    if (m_ffmpeg.isEmpty() || m_lame.isEmpty() || m_ffprobe.isEmpty())
        QSKIP("ffmpeg, ffprobe and lame are needed");

    QVERIFY(m_toneDir.isValid());
    m_oneSecond = m_toneDir.filePath(QStringLiteral("one.m4a"));
    m_twoSeconds = m_toneDir.filePath(QStringLiteral("two.m4a"));
    for (const auto &[path, seconds] : {std::pair{m_oneSecond, 1}, std::pair{m_twoSeconds, 2}})
        QVERIFY(TestKit::makeTone(m_ffmpeg, path, seconds));
}

void TestFaultsConcurrency::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    m_temp = makeFolder(QStringLiteral("temp"));
    m_problems = QDir(m_work->path()).filePath(QStringLiteral("problems.log"));
    makeFolder(QStringLiteral("gate"));
}

void TestFaultsConcurrency::cleanup()
{
    for (QProcess *program : std::as_const(m_programs)) {
        if (program->state() != QProcess::NotRunning) {
            program->kill();
            program->waitForFinished(10000);
        }
        delete program;
    }
    m_programs.clear();
    m_work.reset();
}

// Each program converts its own sources, which differ from the other's (by length for the
// real tools, by content for the stand-in), so that a file taken from the other program
// shows in the output. The first decoder of each program waits until the other program's
// first decoder has started, so that the two really convert at the same time.
void TestFaultsConcurrency::twoProgramsShareATemporaryFolder_data()
{
    QTest::addColumn<bool>("realTools");
    QTest::addColumn<int>("filesEach");
    QTest::newRow("real tools, 6 files each") << true << 6;
    QTest::newRow("stand-in tools, 250 files each") << false << 250;
}

void TestFaultsConcurrency::twoProgramsShareATemporaryFolder()
{
    QFETCH(bool, realTools);
    QFETCH(int, filesEach);

    const QStringList tags = {QStringLiteral("a"), QStringLiteral("b")};
    QList<QStringList> sources;
    QStringList outputs;
    QStringList pidLogs;
    for (const QString &tag : tags) {
        const QString app = makeFolder(QStringLiteral("app-") + tag);
        const QString other = tag == tags.at(0) ? tags.at(1) : tags.at(0);
        const QString mine = QDir(m_work->path()).filePath(tag + QStringLiteral(".started"));
        const QString theirs = QDir(m_work->path()).filePath(other + QStringLiteral(".started"));
        // At most 60 s: programs that never meet fail the test (a complaint in m_problems)
        // rather than hang it or pass without having converted at the same time.
        const QString meet = QStringLiteral("if [ ! -e %1 ]; then : > %1; i=0\n"
                                            "  while [ ! -e %2 ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done\n"
                                            "  [ -e %2 ] || echo 'the two programs never met' >> %3\n"
                                            "fi")
                                 .arg(shellQuoted(mine), shellQuoted(theirs), shellQuoted(m_problems));
        const QString pidLog = QDir(m_work->path()).filePath(tag + QStringLiteral(".pids"));
        pidLogs.append(pidLog);
        QVERIFY(!wrapper(app, QStringLiteral("ffmpeg"), realTools ? m_ffmpeg : m_fake, pidLog, 13, meet).isEmpty());
        QVERIFY(!wrapper(app, QStringLiteral("lame"), realTools ? m_lame : m_fake, pidLog, 6).isEmpty());
        const QString folder = makeFolder(QStringLiteral("sources-") + tag);
        sources.append(realTools ? toneSources(folder, filesEach, tag == tags.at(0) ? m_oneSecond : m_twoSeconds)
                                 : byteSources(folder, filesEach, tag));
        outputs.append(makeFolder(QStringLiteral("out-") + tag));
    }
    QList<QProcess *> programs;
    for (int p = 0; p < tags.size(); ++p) {
        programs.append(startProgram(programCopy(QDir(m_work->path()).filePath(QStringLiteral("app-") + tags.at(p))),
                                     {QStringLiteral("-j"), QStringLiteral("2"), QStringLiteral("-o"),
                                      outputs.at(p), QDir(m_work->path()).filePath(QStringLiteral("sources-") + tags.at(p))},
                                     m_temp));
    }
    for (int p = 0; p < programs.size(); ++p) {
        QProcess *program = programs.at(p);
        QVERIFY(program->waitForFinished(120000));
        const QString err = QString::fromLocal8Bit(program->readAllStandardError());
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QVERIFY2(program->exitCode() == 0, qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("%1 of %1 file(s) converted").arg(filesEach)), qPrintable(err));
    }

    QCOMPARE(problems(), QString());
    QCOMPARE(TestKit::entries(m_temp), QStringList());
    for (int p = 0; p < tags.size(); ++p) {
        QStringList expected;
        for (const QString &source : std::as_const(sources.at(p)))
            expected.append(QFileInfo(source).completeBaseName() + QStringLiteral(".mp3"));
        expected.sort();
        QCOMPARE(TestKit::entries(outputs.at(p)), expected);
        for (const QString &source : std::as_const(sources.at(p))) {
            const QString output = QDir(outputs.at(p)).filePath(QFileInfo(source).completeBaseName()
                                                                 + QStringLiteral(".mp3"));
            if (realTools) {
                const Probe info = TestKit::probe(m_ffprobe, output);
                QCOMPARE(info.codec, QStringLiteral("mp3"));
                const double seconds = p == 0 ? 1.0 : 2.0;
                QVERIFY2(qAbs(info.duration - seconds) < 0.15,
                         qPrintable(output + QStringLiteral(": ") + QString::number(info.duration)));
            } else {
                QFile in(source);
                QFile out(output);
                QVERIFY(in.open(QIODevice::ReadOnly) && out.open(QIODevice::ReadOnly));
                QVERIFY(out.readAll().endsWith(in.readAll()));
            }
        }
        const QList<qint64> ran = pids(pidLogs.at(p));
        QCOMPARE(ran.size(), 2 * filesEach);
        for (qint64 pid : ran)
            QVERIFY(!processExists(pid));
    }
}

// A program keeps its temporary files in a folder of its own (mode 0700), which a sweep by
// another program leaves alone while it runs. Its decoder hangs here, with a child of its
// own. Stopped by a signal it handles, the program takes its folder and tools with it;
// killed outright, its whole tool group still dies with it, and the next sweep clears the
// folder.
void TestFaultsConcurrency::runningProgramsFolderIsItsOwn_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("program ends by SIGTERM") << int(SIGTERM);
    QTest::newRow("program killed by SIGKILL") << int(SIGKILL);
}

void TestFaultsConcurrency::runningProgramsFolderIsItsOwn()
{
    QFETCH(int, signalNumber);
    const QString app = makeFolder(QStringLiteral("app"));
    const QString pidLog = QDir(m_work->path()).filePath(QStringLiteral("tools.pids"));
    QVERIFY(!wrapper(app, QStringLiteral("ffmpeg"), QString(), pidLog, 13,
                     QStringLiteral("sleep 60 & echo $! >> %1; printf 'partial' > \"${13}\"").arg(shellQuoted(pidLog)))
                 .isEmpty());
    QVERIFY(!wrapper(app, QStringLiteral("lame"), m_lame, pidLog, 6).isEmpty());
    const QString out = makeFolder(QStringLiteral("out"));
    const QStringList sources = toneSources(makeFolder(QStringLiteral("sources")), 1, m_oneSecond);
    QProcess *program = startProgram(programCopy(app), QStringList{QStringLiteral("-o"), out} + sources, m_temp);
    QTRY_VERIFY_WITH_TIMEOUT(pids(pidLog).size() == 2 && TestKit::tempEntries(m_temp).size() == 1, 30000);
    const QList<qint64> tools = pids(pidLog);

    // One folder (its mode the wrappers check), with the decoder's file in it.
    const QStringList held = TestKit::entries(m_temp);
    QCOMPARE(held.size(), 1);
    QVERIFY(TestKit::isTempMp3Name(TestKit::tempEntries(m_temp).constFirst()));
    QCOMPARE(WorkFolder::removeAbandoned(m_temp), 0);   // a running program's folder stays
    QCOMPARE(TestKit::entries(m_temp), held);

    QCOMPARE(::kill(pid_t(program->processId()), signalNumber), 0);
    QVERIFY(program->waitForFinished(30000));
    // The decoder and its child end with the program, however it ends.
    for (qint64 pid : tools)
        QTRY_VERIFY_WITH_TIMEOUT(!isRunning(pid), 30000);
    if (signalNumber == SIGKILL) {
        QCOMPARE(program->exitStatus(), QProcess::CrashExit);
        QCOMPARE(TestKit::entries(m_temp), held);
        QCOMPARE(WorkFolder::removeAbandoned(m_temp), 1);
    } else {
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QCOMPARE(program->exitCode(), 128 + signalNumber);
    }
    QCOMPARE(TestKit::entries(m_temp), QStringList());
    QCOMPARE(TestKit::entries(out), QStringList());
    QCOMPARE(problems(), QString());
}

void TestFaultsConcurrency::cancelAtManyMoments_data()
{
    QTest::addColumn<bool>("realTools");
    QTest::addColumn<int>("jobs");
    QTest::addColumn<QString>("when");   // start, tool, fileStarted, progress, fileFinished, finished
    QTest::addColumn<int>("value");      // the n-th tool run or signal (1-based)
    QTest::addColumn<bool>("abort");

    for (const bool realTools : {false, true}) {
        const int lastRun = 2 * int(batchFiles(realTools));
        for (const int jobs : {1, 2}) {
            const QString prefix = QStringLiteral("%1, jobs %2, ")
                                       .arg(realTools ? QStringLiteral("real tools") : QStringLiteral("stand-in"))
                                       .arg(jobs);
            auto row = [&](const QString &when, int value, bool abort = false) {
                QTest::addRow("%s%s %d%s", qPrintable(prefix), qPrintable(when), value,
                              abort ? " (abort)" : "")
                    << realTools << jobs << when << value << abort;
            };
            row(QStringLiteral("start"), 0);
            for (const int n : {1, 2, lastRun / 2 + 1, lastRun})
                row(QStringLiteral("tool"), n);
            row(QStringLiteral("tool"), 3, true);
            row(QStringLiteral("tool"), lastRun, true);
            for (const int n : {1, 2, 4})
                row(QStringLiteral("fileStarted"), n);
            for (const int n : {1, 3})
                row(QStringLiteral("progress"), n);
            for (const int n : {1, 3})
                row(QStringLiteral("fileFinished"), n);
            row(QStringLiteral("fileFinished"), 2, true);
            row(QStringLiteral("finished"), 1);
        }
    }
}

void TestFaultsConcurrency::cancelAtManyMoments()
{
    QFETCH(bool, realTools);
    QFETCH(int, jobs);
    QFETCH(QString, when);
    QFETCH(int, value);
    QFETCH(bool, abort);

    const QString pidLog = QDir(m_work->path()).filePath(QStringLiteral("tools.pids"));
    const SessionSetup settings = batchSettings(realTools, jobs, pidLog, when == QStringLiteral("tool") ? value : 0);
    const QStringList sources = batchSources(realTools);

    BatchSession batch(TestKit::withSources(settings, sources));
    QSignalSpy finished(&batch, &BatchSession::finished);
    bool asked = false;
    bool wasRunning = false;
    BatchOutcome outcome;
    const auto stop = [&] {
        if (asked)
            return;
        asked = true;
        wasRunning = batch.isRunning();
        if (abort)
            outcome = batch.abort();
        else
            batch.cancel();
    };
    int seen = 0;
    const auto onNth = [&] {
        if (++seen == value)
            stop();
    };
    if (when == QStringLiteral("fileStarted"))
        connect(&batch, &BatchSession::fileStarted, this, onNth);
    else if (when == QStringLiteral("progress"))
        connect(&batch, &BatchSession::progressChanged, this, onNth);
    else if (when == QStringLiteral("fileFinished"))
        connect(&batch, &BatchSession::fileFinished, this, onNth);
    else if (when == QStringLiteral("finished"))
        connect(&batch, &BatchSession::finished, this, stop, Qt::QueuedConnection);

    batch.start();
    if (when == QStringLiteral("start")) {
        stop();
    } else if (when == QStringLiteral("tool")) {
        QVERIFY(waitUntilHeld());
        stop();
    }
    QTRY_VERIFY_WITH_TIMEOUT(asked, 60000);
    // Every moment but the last meets the batch running.
    QCOMPARE(wasRunning, when != QStringLiteral("finished"));
    if (abort) {
        // Blocking and silent: nothing may come afterwards.
        QCoreApplication::processEvents();
        QCOMPARE(finished.count(), 0);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(finished.count() > 0, 60000);
        QCoreApplication::processEvents();   // a second finished() would be queued by now
        QCOMPARE(finished.count(), 1);
        outcome = finished.at(0).at(0).value<BatchOutcome>();
        QCOMPARE(outcome.cancelled, wasRunning);
    }
    QVERIFY(!batch.isRunning());

    // No tool is left, and every one that ran has been reaped by the engine.
    const QList<qint64> ran = pids(pidLog);
    for (qint64 pid : ran)
        QVERIFY2(!processExists(pid), qPrintable(QString::number(pid)));
    QCOMPARE(problems(), QString());

    const QList<FileResult> results = outcome.files;
    QCOMPARE(results.size(), sources.size());
    QStringList kept;
    for (int i = 0; i < results.size(); ++i) {
        const FileResult &result = results.at(i);
        QCOMPARE(result.index, i);
        QCOMPARE(result.sourcePath, sources.at(i));
        QVERIFY2(result.status != FileStatus::Failed, qPrintable(result.reason));
        if (!wasRunning)
            QVERIFY(result.isConverted());
        if (!result.isConverted()) {
            QCOMPARE(result.reason, QStringLiteral("cancelled"));
            QVERIFY(result.tempPath.isEmpty());
            continue;
        }
        QVERIFY(TestKit::isTempMp3Name(QFileInfo(result.tempPath).fileName()));
        if (!realTools && !(abort && wasRunning)) {
            QFile in(sources.at(i));
            QFile out(result.tempPath);
            QVERIFY(in.open(QIODevice::ReadOnly));
            QVERIFY2(out.open(QIODevice::ReadOnly), qPrintable(result.tempPath));
            QVERIFY(out.readAll().endsWith(in.readAll()));
        }
        kept.append(QFileInfo(result.tempPath).fileName());
    }
    // A held run's file, and with it the batch, cannot have been converted whole.
    if (when == QStringLiteral("tool") || when == QStringLiteral("start"))
        QVERIFY(kept.size() < results.size());
    qInfo("%s; %d of %d converted, %d tool runs",
          wasRunning ? (abort ? "aborted while running" : "cancelled while running") : "asked after the end",
          int(kept.size()),
          int(results.size()), int(ran.size()));
    kept.sort();
    // An aborted batch takes its converted files with it; a cancelled one hands them over.
    QCOMPARE(TestKit::tempEntries(m_temp), abort && wasRunning ? QStringList() : kept);
    for (const FileResult &result : results) {
        if (result.isConverted())
            WorkFolder::discardTempMp3(result.tempPath);
    }
    QCOMPARE(TestKit::tempEntries(m_temp), QStringList());
}

// SIGTERM (and a second one, which stops at once) to quorvane-cli, real tools, eight files
// two at a time: as it starts, while a given tool run waits (so that its file cannot be
// done), and once it has printed its summary. Each moment gives one answer: a signal before
// the program watches for signals ends it before any tool runs; one that meets files not yet
// converted cancels them, with "cancel" said, the summary counting exactly what was saved and
// status 143; one that comes once every file has ended changes nothing, status 0. In every
// case no tool is left, the temporary folder is empty and every saved file is whole.
void TestFaultsConcurrency::signalAtManyMoments_data()
{
    QTest::addColumn<int>("heldRun");   // 0: as it starts; -1: once its summary is printed
    QTest::addColumn<bool>("twice");

    QTest::newRow("as it starts") << 0 << false;
    for (const int run : {1, 2, 9, 2 * kProgramFiles})
        QTest::addRow("while tool run %d waits", run) << run << false;
    for (const int run : {3, 12})
        QTest::addRow("while tool run %d waits, then again", run) << run << true;
    QTest::newRow("once the summary is printed") << -1 << false;
}

void TestFaultsConcurrency::signalAtManyMoments()
{
    QFETCH(int, heldRun);
    QFETCH(bool, twice);

    const QString pidLog = QDir(m_work->path()).filePath(QStringLiteral("tools.pids"));
    const QString out = QDir(m_work->path()).filePath(QStringLiteral("out"));
    const int total = kProgramFiles;
    static const QRegularExpression summary(QStringLiteral("(\\d+) of %1 file\\(s\\) converted").arg(total));
    QProcess *program = startSignalledProgram(pidLog, out, qMax(0, heldRun));
    QString err;
    if (heldRun > 0) {
        QVERIFY(waitUntilHeld());
    } else if (heldRun < 0) {
        QTRY_VERIFY_WITH_TIMEOUT((err += QString::fromLocal8Bit(program->readAllStandardError())).contains(summary)
                                     || program->state() == QProcess::NotRunning,
                                 60000);
    }
    if (program->state() != QProcess::NotRunning)
        ::kill(pid_t(program->processId()), SIGTERM);
    if (twice) {
        // The second signal must come after the first was handled, or the two merge.
        QTRY_VERIFY_WITH_TIMEOUT((err += QString::fromLocal8Bit(program->readAllStandardError()))
                                         .contains(QStringLiteral("cancelling"))
                                     || program->state() == QProcess::NotRunning,
                                 30000);
        if (program->state() != QProcess::NotRunning)
            ::kill(pid_t(program->processId()), SIGTERM);
    }
    // It may have ended while the test waited (waitForFinished() is false then).
    QVERIFY(program->state() == QProcess::NotRunning || program->waitForFinished(60000));
    err += QString::fromLocal8Bit(program->readAllStandardError());

    const QList<qint64> ran = pids(pidLog);
    const QStringList saved = TestKit::entries(out);
    const QRegularExpressionMatch match = summary.match(err);
    if (heldRun == 0) {
        // Killed before it watches for signals, or stopped as its walk ended.
        QVERIFY2(program->exitStatus() == QProcess::CrashExit || program->exitCode() == 128 + SIGTERM, qPrintable(err));
        QCOMPARE(ran, QList<qint64>());
        QVERIFY2(!match.hasMatch(), qPrintable(err));
    } else if (heldRun > 0) {
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QVERIFY2(program->exitCode() == 128 + SIGTERM, qPrintable(err));
        QVERIFY2(err.contains(QStringLiteral("cancelling")), qPrintable(err));
        QVERIFY2(match.hasMatch() && err.contains(QStringLiteral("cancelled, %1 file(s) not converted")
                                                      .arg(total - int(saved.size()))),
                 qPrintable(err));
        QCOMPARE(match.captured(1).toInt(), int(saved.size()));
        QVERIFY(saved.size() < total);
    } else {
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QVERIFY2(program->exitCode() == 0, qPrintable(err));
        QVERIFY2(!err.contains(QStringLiteral("cancel")), qPrintable(err));
        QCOMPARE(match.captured(1).toInt(), total);
        QCOMPARE(int(saved.size()), total);
    }
    QVERIFY2(!err.contains(QStringLiteral("FAILED")), qPrintable(err));
    // A tool killed with its keeper at a stop at once is left to the first process to reap,
    // which in a container may never come: ended is what counts.
    for (qint64 pid : ran)
        QTRY_VERIFY_WITH_TIMEOUT(!isRunning(pid), 10000);
    QCOMPARE(problems(), QString());
    QCOMPARE(TestKit::entries(m_temp), QStringList());

    // What was saved is whole.
    qInfo("%s; %d of %d saved, %d tool runs",
          program->exitStatus() == QProcess::CrashExit
              ? "killed before watching for signals"
              : qPrintable(QStringLiteral("exit %1").arg(program->exitCode())),
          int(saved.size()), total, int(ran.size()));
    for (const QString &name : saved) {
        const Probe info = TestKit::probe(m_ffprobe, QDir(out).filePath(name));
        QCOMPARE(info.codec, QStringLiteral("mp3"));
        QVERIFY2(qAbs(info.duration - 1.0) < 0.15, qPrintable(name + QStringLiteral(": ")
                                                              + QString::number(info.duration)));
    }
}

QString TestFaultsConcurrency::makeFolder(const QString &relativePath) const
{
    const QString path = QDir(m_work->path()).filePath(relativePath);
    if (!QDir().mkpath(path))
        qWarning("could not make %s", qUtf8Printable(path));
    return path;
}

SessionSetup TestFaultsConcurrency::batchSettings(bool realTools, int jobs, const QString &pidLog, int heldRun) const
{
    const QString tools = makeFolder(QStringLiteral("tools"));
    const QString hold = heldRun > 0 ? holdRun(gate(), heldRun) : QString();
    SessionSetup settings;
    // The engine is given its folder as it is: the program's own is the session's to make.
    settings.tools.decoder = wrapper(tools, QStringLiteral("decoder"), realTools ? m_ffmpeg : m_fake, pidLog, 0, hold);
    settings.tools.encoder = wrapper(tools, QStringLiteral("encoder"), realTools ? m_lame : m_fake, pidLog, 0, hold);
    settings.tools.tempFolder = m_temp;
    settings.encoding.bitrate = 96;
    settings.jobs = jobs;
    return settings;
}

qsizetype TestFaultsConcurrency::batchFiles(bool realTools)
{
    return realTools ? 5 : 40;
}

QStringList TestFaultsConcurrency::batchSources(bool realTools) const
{
    const QString folder = makeFolder(QStringLiteral("sources"));
    return realTools ? toneSources(folder, int(batchFiles(realTools)), m_oneSecond)
                     : byteSources(folder, int(batchFiles(realTools)), QStringLiteral("s"));
}

QProcess *TestFaultsConcurrency::startSignalledProgram(const QString &pidLog, const QString &out, int heldRun)
{
    const QString app = makeFolder(QStringLiteral("app"));
    const QString hold = heldRun > 0 ? holdRun(gate(), heldRun) : QString();
    if (wrapper(app, QStringLiteral("ffmpeg"), m_ffmpeg, pidLog, 13, hold).isEmpty()
        || wrapper(app, QStringLiteral("lame"), m_lame, pidLog, 6, hold).isEmpty())
        qWarning("could not write the tool wrappers");
    makeFolder(out);
    const QStringList sources = toneSources(makeFolder(QStringLiteral("sources")), kProgramFiles, m_oneSecond);
    return startProgram(programCopy(app),
                        QStringList{QStringLiteral("-j"), QStringLiteral("2"), QStringLiteral("-o"), out} + sources,
                        m_temp);
}

QString TestFaultsConcurrency::gate() const
{
    return QDir(m_work->path()).filePath(QStringLiteral("gate"));
}

bool TestFaultsConcurrency::waitUntilHeld() const
{
    return QTest::qWaitFor([this] { return QFileInfo::exists(QDir(gate()).filePath(QStringLiteral("held"))); },
                           60000);
}

QString TestFaultsConcurrency::wrapper(const QString &folder, const QString &name, const QString &tool,
                                       const QString &pidLog, int privateArgument, const QString &before) const
{
    QString body = QStringLiteral("echo $$ >> %1\n").arg(shellQuoted(pidLog));
    if (privateArgument > 0) {
        body += QStringLiteral("d=$(dirname \"${%1}\"); { [ \"$(dirname \"$d\")\" = %2 ] && [ \"$(stat -c %a \"$d\")\" = 700 ]; } "
                               "|| echo \"not private: ${%1}\" >> %3\n")
                    .arg(privateArgument)
                    .arg(shellQuoted(m_temp), shellQuoted(m_problems));
    }
    if (!before.isEmpty())
        body += before + u'\n';
    // No tool: a decoder that never ends by itself and writes nothing.
    body += tool.isEmpty() ? QStringLiteral("exec sleep 60") : QStringLiteral("exec %1 \"$@\"").arg(shellQuoted(tool));
    return writeScript(folder, name, body);
}

QString TestFaultsConcurrency::programCopy(const QString &folder) const
{
    const QString program = QDir(folder).filePath(QStringLiteral("quorvane-cli"));
    if (!QFileInfo::exists(program) && !QFile::copy(m_cli, program))
        qWarning("could not copy the program to %s", qUtf8Printable(program));
    // The tools' keeper, where the build has one, as in an installed copy.
    const QString keeper = QFileInfo(m_cli).dir().filePath(QStringLiteral("quorvane-toolkeeper"));
    if (QFileInfo::exists(keeper))
        QFile::copy(keeper, QDir(folder).filePath(QStringLiteral("quorvane-toolkeeper")));
    return program;
}

QProcess *TestFaultsConcurrency::startProgram(const QString &program, const QStringList &arguments,
                                              const QString &tempFolder)
{
    auto *process = new QProcess;
    m_programs.append(process);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tempFolder);
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(m_work->path());
    process->setStandardInputFile(QProcess::nullDevice());
    process->start(program, arguments);
    if (!process->waitForStarted(30000))
        qWarning("could not start %s", qUtf8Printable(program));
    return process;
}

QStringList TestFaultsConcurrency::toneSources(const QString &folder, int count, const QString &tone) const
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = QDir(folder).filePath(QStringLiteral("song %1.m4a").arg(i, 3, 10, QLatin1Char('0')));
        if (!QFile::copy(tone, path))
            qWarning("could not copy the tone to %s", qUtf8Printable(path));
        paths.append(path);
    }
    return paths;
}

QStringList TestFaultsConcurrency::byteSources(const QString &folder, int count, const QString &tag) const
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = QDir(folder).filePath(QStringLiteral("song %1.m4a").arg(i, 4, 10, QLatin1Char('0')));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write((tag + u'-' + QString::number(i) + u'\n').toUtf8()) < 0)
            qWarning("could not write %s", qUtf8Printable(path));
        paths.append(path);
    }
    return paths;
}

QList<qint64> TestFaultsConcurrency::pids(const QString &log)
{
    QList<qint64> list;
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return list;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (const qint64 pid = line.trimmed().toLongLong(); pid > 0)
            list.append(pid);
    }
    return list;
}

bool TestFaultsConcurrency::isRunning(qint64 pid)
{
    if (!processExists(pid))
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype end = text.lastIndexOf(')');
    return end < 0 || text.mid(end + 2, 1) != "Z";
}

QString TestFaultsConcurrency::problems() const
{
    QFile file(m_problems);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

QUORVANE_TEST_GUILESS_MAIN(TestFaultsConcurrency)
#include "tst_faults_concurrency.moc"
