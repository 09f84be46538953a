#include "faultkit.h"
#include "testmain.h"

#include <QScopeGuard>
#include <QTemporaryDir>

#include <memory>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace FaultKit;

// Tools that are missing, cannot be run, crash, fail half-way or hang, through the engine
// in-process and quorvane-cli as a process. Stand-ins are shell scripts in the test's own
// folder; where they pass a run on to the real tool they exec it, so no shell is left over.
// A failed decoder fails the file; a failed encoder leaves the decoder's file, which is
// kept at the decoder's bitrate and named so. A hanging tool is ended by a cancel and by
// closing, and takes nothing of its own with it: no process, no temporary file.
class TestFaultsTools : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void brokenTool_data();
    void brokenTool();
    void hangingToolInTheEngine_data();
    void hangingToolInTheEngine();
    void hangingToolInTheCli_data();
    void hangingToolInTheCli();
    void otherToolRunMisbehaves_data();
    void otherToolRunMisbehaves();

private:
    // A stand-in as a tool: "missing" (nothing there), "not executable" (a script without the
    // right to run), "folder" (a folder of that name) or the body of a shell script.
    bool placeTool(const QString &appDir, const QString &name, const QString &stand);
    QString hangingScript(const QString &how, const QString &outputArgument) const;
    QString hangingOnSecondRun(const QString &tool, const QString &how) const;

    Machine m_machine;
    QTemporaryDir m_fixtures;
    QString m_tone;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_sources;
    QString m_out;
    QString m_temp;
    QString m_cliOut;
    QString m_cliTemp;
    QString m_pids;       // where the stand-ins write their process ids
};

#ifdef Q_OS_UNIX
namespace {

// Alive: running or stopped, not a zombie that nobody has reaped yet (in a container the first
// process may never reap the orphans it inherits).
bool isAlive(qint64 pid)
{
    if (!processExists(pid))
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype end = text.lastIndexOf(')');
    return end < 0 || end + 2 >= text.size() || text.at(end + 2) != 'Z';
}

// Waits for the process to end, as the kernel reports it on a pidfd (a zombie has ended): a
// stop at once kills the tool, and the kill takes effect only when the tool next runs, which
// on a busy machine may be after the program has ended. False when it does not end.
bool hasEnded(qint64 pid)
{
    const int fd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0u));
    if (fd < 0)
        return errno == ESRCH;
    pollfd watched{fd, POLLIN, 0};
    int ready = 0;
    while ((ready = ::poll(&watched, 1, 30000)) < 0 && errno == EINTR) {
    }
    ::close(fd);
    return ready > 0;
}

void killIfAlive(qint64 pid)
{
    if (isAlive(pid))
        ::kill(pid_t(pid), SIGKILL);
}

} // namespace
#endif

void TestFaultsTools::initTestCase()
{
#ifndef Q_OS_UNIX
    QSKIP("The stand-in tools are POSIX shell scripts");
#endif
    m_machine = findMachine();
    if (!m_machine.missing.isEmpty())
        QSKIP(qPrintable(m_machine.missing + QStringLiteral(" needed")));
    QVERIFY(m_fixtures.isValid());
    m_tone = QDir(m_fixtures.path()).filePath(QStringLiteral("tone.m4a"));
    QVERIFY(makeSource(m_machine.ffmpeg, m_tone, toneOptions()));
}

void TestFaultsTools::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    const QDir work(m_work->path());
    for (const char *name : {"sources", "out", "temp", "cli-out", "cli-temp", "pids"})
        QVERIFY(work.mkdir(QString::fromLatin1(name)));
    m_sources = work.filePath(QStringLiteral("sources"));
    m_out = work.filePath(QStringLiteral("out"));
    m_temp = work.filePath(QStringLiteral("temp"));
    m_cliOut = work.filePath(QStringLiteral("cli-out"));
    m_cliTemp = work.filePath(QStringLiteral("cli-temp"));
    m_pids = work.filePath(QStringLiteral("pids"));
    for (const char *name : {"first.m4a", "second.m4a"})
        QVERIFY(QFile::copy(m_tone, QDir(m_sources).filePath(QString::fromLatin1(name))));
}

void TestFaultsTools::cleanup()
{
#ifdef Q_OS_UNIX
    // Whatever a failed check left running goes with the test.
    for (const QString &name : entries(m_pids))
        killIfAlive(readPid(QDir(m_pids).filePath(name)));
#endif
    m_work.reset();
}

bool TestFaultsTools::placeTool(const QString &appDir, const QString &name, const QString &stand)
{
    const QString path = QDir(appDir).filePath(name);
    QFile::remove(path);
    if (stand == QStringLiteral("missing"))
        return true;
    if (stand == QStringLiteral("folder"))
        return QDir().mkdir(path);
    if (writeScript(appDir, name, stand == QStringLiteral("not executable") ? QStringLiteral("exit 0") : stand).isEmpty())
        return false;
    if (stand == QStringLiteral("not executable"))
        return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    return true;
}

void TestFaultsTools::brokenTool_data()
{
    QTest::addColumn<QString>("tool");    // ffmpeg or lame, ", single pass" for quorvane-cli --single-pass
    QTest::addColumn<QString>("stand");   // see placeTool(); in a script %1 is the real tool
    QTest::addColumn<QString>("reason");  // a part of the reason

    // The decoder's arguments: -i SOURCE, the chapters file, six options, -f mp3 TEMP (the
    // 13th); the encoder's: -h -m s -b N IN OUT.
    const QString ffmpeg = QStringLiteral("ffmpeg");
    const QString lame = QStringLiteral("lame");
    QTest::newRow("decoder through a wrapper (works)") << ffmpeg << QStringLiteral("exec %1 \"$@\"") << QString();
    // A tool that cannot be run is named before any file starts.
    QTest::newRow("decoder missing") << ffmpeg << QStringLiteral("missing") << QStringLiteral("the decoder was not found: ");
    QTest::newRow("decoder not executable")
        << ffmpeg << QStringLiteral("not executable") << QStringLiteral("the decoder cannot be run: ");
    QTest::newRow("decoder is a folder") << ffmpeg << QStringLiteral("folder") << QStringLiteral("the decoder cannot be run: ");
    QTest::newRow("decoder crashes (SIGSEGV)")
        << ffmpeg << QStringLiteral("kill -SEGV $$") << QStringLiteral("the decoder ended abnormally");
    QTest::newRow("decoder killed after part of its output (SIGKILL)")
        << ffmpeg << QStringLiteral("printf 'ID3 part' > \"${13}\"; kill -KILL $$") << QStringLiteral("the decoder ended abnormally");
    QTest::newRow("decoder fails after part of its output")
        << ffmpeg << QStringLiteral("printf 'ID3 part' > \"${13}\"; echo 'stand-in decoder: out of memory' >&2; exit 3")
        << QStringLiteral("stand-in decoder: out of memory");
    QTest::newRow("decoder writes garbage and says it succeeded")
        << ffmpeg << QStringLiteral("head -c 40000 /dev/urandom > \"${13}\"")
        << QStringLiteral("the decoder's output is not valid MPEG audio");
    QTest::newRow("decoder crashes after its whole output")
        << ffmpeg << QStringLiteral("%1 \"$@\" 2>/dev/null; kill -SEGV $$") << QStringLiteral("the decoder ended abnormally");

    QTest::newRow("encoder through a wrapper (works)") << lame << QStringLiteral("exec %1 \"$@\"") << QString();
    QTest::newRow("encoder missing") << lame << QStringLiteral("missing") << QStringLiteral("the encoder was not found: ");
    QTest::newRow("encoder not executable")
        << lame << QStringLiteral("not executable") << QStringLiteral("the encoder cannot be run: ");
    QTest::newRow("encoder crashes (SIGSEGV)")
        << lame << QStringLiteral("kill -SEGV $$") << QStringLiteral("the encoder ended abnormally");
    QTest::newRow("encoder killed after part of its output (SIGKILL)")
        << lame << QStringLiteral("printf 'part' > \"$7\"; kill -KILL $$") << QStringLiteral("the encoder ended abnormally");
    QTest::newRow("encoder writes garbage and says it succeeded")
        << lame << QStringLiteral("head -c 40000 /dev/urandom > \"$7\"") << QStringLiteral("the encoder's output is not valid MPEG audio");
    QTest::newRow("encoder writes a file cut short and says it succeeded")
        << lame << QStringLiteral("%1 \"$@\" 2>/dev/null && head -c 4000 \"$7\" > \"$7.cut\" && mv \"$7.cut\" \"$7\"")
        << QStringLiteral("the encoder's output is cut short");
    QTest::newRow("encoder fails after part of its output")
        << lame << QStringLiteral("printf 'part' > \"$7\"; echo 'stand-in encoder: disk full' >&2; exit 1")
        << QStringLiteral("stand-in encoder: disk full");

    // A single pass: the decoder writes WAV to the encoder (-h -m s -b N --noreplaygain - OUT);
    // whichever fails, the file fails, with the reason of the tool that failed first.
    const QString piped = QStringLiteral(", single pass");
    const QString halfWay = QStringLiteral("%1 -v error -i \"$2\" -t 0.4 -f wav -; ");
    QTest::newRow("single pass through wrappers (works)") << ffmpeg + piped << QStringLiteral("exec %1 \"$@\"") << QString();
    QTest::newRow("single pass, decoder missing")
        << ffmpeg + piped << QStringLiteral("missing") << QStringLiteral("the decoder was not found: ");
    QTest::newRow("single pass, decoder fails half-way")
        << ffmpeg + piped << halfWay + QStringLiteral("echo 'stand-in decoder: out of memory' >&2; exit 3")
        << QStringLiteral("stand-in decoder: out of memory");
    QTest::newRow("single pass, decoder killed half-way (SIGKILL)")
        << ffmpeg + piped << halfWay + QStringLiteral("kill -KILL $$") << QStringLiteral("the decoder ended abnormally");
    QTest::newRow("single pass, encoder missing")
        << lame + piped << QStringLiteral("missing") << QStringLiteral("the encoder was not found: ");
    QTest::newRow("single pass, encoder crashes (SIGSEGV)")
        << lame + piped << QStringLiteral("kill -SEGV $$") << QStringLiteral("the encoder ended abnormally");
    QTest::newRow("single pass, encoder fails after part of its output")
        << lame + piped << QStringLiteral("printf 'part' > \"$8\"; echo 'stand-in encoder: disk full' >&2; exit 1")
        << QStringLiteral("stand-in encoder: disk full");
}

void TestFaultsTools::brokenTool()
{
    QFETCH(QString, tool);
    QFETCH(QString, stand);
    QFETCH(QString, reason);
    const bool singlePass = tool.endsWith(QStringLiteral(", single pass"));
    tool = tool.section(u',', 0, 0);
    const bool decoder = tool == QStringLiteral("ffmpeg");
    const bool works = reason.isEmpty();
    const bool refused = reason.endsWith(QStringLiteral(": "));   // before any file starts
    const bool fails = !works && (decoder || singlePass);   // else kept at the decoder's bitrate

    const QString appDir = QDir(m_work->path()).filePath(QStringLiteral("app"));
    const QString cli = makeAppFolder(m_machine, appDir);
    QVERIFY(!cli.isEmpty());
    QVERIFY(placeTool(appDir, tool, QString(stand).replace(QStringLiteral("%1"),
                                                           shellQuoted(decoder ? m_machine.ffmpeg : m_machine.lame))));
    const QStringList appEntries = entries(appDir);
    const QStringList sources{QDir(m_sources).filePath(QStringLiteral("first.m4a")),
                              QDir(m_sources).filePath(QStringLiteral("second.m4a"))};
    const QByteArray keep = "an earlier result";
    for (const QString &folder : {m_out, m_cliOut})
        QVERIFY(writeFile(QDir(folder).filePath(QStringLiteral("first.mp3")), keep));

    // The engine. A broken decoder fails each file; a broken encoder leaves each file at the
    // decoder's bitrate (320 kbps), said so.
    SessionSetup settings;
    settings.tools.decoder = QDir(appDir).filePath(QStringLiteral("ffmpeg"));
    settings.tools.encoder = QDir(appDir).filePath(QStringLiteral("lame"));
    settings.tools.tempFolder = m_temp;
    settings.tools.singlePass = singlePass;
    settings.encoding.bitrate = 192;
    settings.jobs = 2;
    QList<FileResult> results;
    if (refused) {
        BatchSession batch(TestKit::withSources(settings, sources));
        QVERIFY2(batch.start().startsWith(reason), qPrintable(reason));
    } else {
        QVERIFY(TestKit::runBatch(sources, settings, &results));
    }
    QCOMPARE(results.size(), refused ? 0 : 2);
    QStringList temps;
    for (const FileResult &result : std::as_const(results)) {
        QVERIFY(!result.reason.contains(u'\n'));
        if (works) {
            QVERIFY2(result.status == FileStatus::Converted, qPrintable(result.reason));
        } else if (fails) {
            QCOMPARE(result.status, FileStatus::Failed);
            QVERIFY2(result.reason.contains(reason), qPrintable(result.reason));
            QVERIFY(result.tempPath.isEmpty());
        } else {
            QCOMPARE(result.status, FileStatus::KeptDecoderBitrate);
            QVERIFY2(result.reason.startsWith(QStringLiteral("kept at 320 kbps: the encoder failed: ")), qPrintable(result.reason));
            QVERIFY2(result.reason.contains(reason), qPrintable(result.reason));
        }
        if (result.isConverted()) {
            const Probe info = probe(m_machine.ffprobe, result.tempPath);
            QCOMPARE(info.codec, QStringLiteral("mp3"));
            const int kbps = works ? 192 : 320;
            QVERIFY2(qAbs(info.bitRate - kbps * 1000) <= kbps * 20, qPrintable(QString::number(info.bitRate)));
            temps.append(QFileInfo(result.tempPath).fileName());
        }
    }
    temps.sort();
    QCOMPARE(TestKit::tempEntries(m_temp), temps);   // nothing beside the kept files: no part of any output
    QVERIFY(releaseConverted(results));
    QCOMPARE(TestKit::tempEntries(m_temp), QStringList());

    // quorvane-cli with the same tools beside it.
    QStringList arguments{QStringLiteral("-b"), QStringLiteral("192"), QStringLiteral("-o"), m_cliOut, m_sources};
    if (singlePass)
        arguments.prepend(QStringLiteral("--single-pass"));
    const CliRun run = runCli(cli, arguments, m_work->path(), m_cliTemp);
    QVERIFY2(run.finished, qPrintable(run.err));
    const QStringList lines = run.err.split(u'\n', Qt::SkipEmptyParts);
    if (refused) {
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.startsWith(QStringLiteral("quorvane-cli: ") + reason) && run.err.endsWith(QStringLiteral("; nothing was converted\n")),
                 qPrintable(run.err));
        QCOMPARE(entries(m_cliOut), QStringList{QStringLiteral("first.mp3")});
    } else if (fails) {
        QCOMPARE(run.exitCode, 1);
        for (const QString &source : sources) {
            const QString failed = QStringLiteral("FAILED     %1: ").arg(source);
            QVERIFY2(std::count_if(lines.begin(), lines.end(),
                                   [&](const QString &line) { return line.startsWith(failed) && line.contains(reason); })
                         == 2,
                     qPrintable(run.err));
        }
        QVERIFY2(run.err.contains(QStringLiteral("0 of 2 file(s) converted, 0 skipped, 2 failed in ")), qPrintable(run.err));
        QCOMPARE(entries(m_cliOut), QStringList{QStringLiteral("first.mp3")});
        QCOMPARE(readFile(QDir(m_cliOut).filePath(QStringLiteral("first.mp3"))), keep);
    } else {
        // Files kept at the decoder's bitrate are saved, but the run did not do what was asked.
        QVERIFY2(run.exitCode == (works ? 0 : 1), qPrintable(run.err));
        QVERIFY2(run.err.contains(works ? QStringLiteral("2 of 2 file(s) converted, 0 skipped, 0 failed in ")
                                        : QStringLiteral("0 of 2 file(s) converted, 2 kept at the decoder's bitrate, 0 skipped, "
                                                         "0 failed in ")),
                 qPrintable(run.err));
        if (!works) {
            for (const QString &source : sources) {
                const QString warning = QStringLiteral("warning    %1: kept at 320 kbps: the encoder failed: ").arg(source);
                QVERIFY2(std::any_of(lines.begin(), lines.end(),
                                     [&](const QString &line) { return line.startsWith(warning) && line.contains(reason); }),
                         qPrintable(run.err));
            }
        }
        QCOMPARE(entries(m_cliOut), (QStringList{QStringLiteral("first.mp3"), QStringLiteral("second.mp3")}));
        for (const QString &name : entries(m_cliOut)) {
            const Probe info = probe(m_machine.ffprobe, QDir(m_cliOut).filePath(name));
            QCOMPARE(info.codec, QStringLiteral("mp3"));
            const int kbps = works ? 192 : 320;
            QVERIFY2(qAbs(info.bitRate - kbps * 1000) <= kbps * 20, qPrintable(QString::number(info.bitRate)));
        }
    }
    QCOMPARE(run.out, QString());
    QCOMPARE(entries(m_cliTemp), QStringList());
    QCOMPARE(entries(appDir), appEntries);
    QCOMPARE(entries(m_sources), (QStringList{QStringLiteral("first.m4a"), QStringLiteral("second.m4a")}));
    QCOMPARE(entries(m_work->path()),
             (QStringList{QStringLiteral("app"), QStringLiteral("cli-out"), QStringLiteral("cli-temp"), QStringLiteral("out"),
                          QStringLiteral("pids"), QStringLiteral("sources"), QStringLiteral("temp")}));   // the CLI's working folder
}

// A script that writes part of its output, says who it is and then does not end by itself.
//   "stops":          stops itself, before any output, as a stopped process does not end by TERM
//   "exec":           the shell becomes the waiting program
//   "ignores TERM":   the same, deaf to the polite request; only the kill after it ends it
//   "in a child":     the shell waits for a program it started, as a wrapper without exec does
//   "in a child, ignoring TERM": the same, both deaf to the polite request
// The real tool on its first run, and a hanging one on the next: one file converts, the next
// one's tool hangs (files are converted one at a time here).
QString TestFaultsTools::hangingOnSecondRun(const QString &tool, const QString &how) const
{
    const bool decoder = tool == QStringLiteral("ffmpeg");
    const QString marker = shellQuoted(QDir(m_work->path()).filePath(QStringLiteral("ran once")));
    return QStringLiteral("if [ -e %1 ]; then\n%2\nfi\n: > %1\nexec %3 \"$@\"")
        .arg(marker, hangingScript(how, decoder ? QStringLiteral("${13}") : QStringLiteral("$7")),
             shellQuoted(decoder ? m_machine.ffmpeg : m_machine.lame));
}

QString TestFaultsTools::hangingScript(const QString &how, const QString &outputArgument) const
{
    const QString toolPid = shellQuoted(QDir(m_pids).filePath(QStringLiteral("tool")));
    const QString childPid = shellQuoted(QDir(m_pids).filePath(QStringLiteral("child")));
    const QString part = QStringLiteral("printf 'part' > \"%1\"; ").arg(outputArgument);
    if (how == QStringLiteral("stops"))   // as ffmpeg stopped (SIGSTOP) once it has named its input
        return QStringLiteral("echo 'Input #0, mov,mp4,m4a' >&2; echo $$ > %1; kill -STOP $$").arg(toolPid);
    if (how == QStringLiteral("exec"))
        return part + QStringLiteral("echo $$ > %1; exec sleep 60").arg(toolPid);
    if (how == QStringLiteral("ignores TERM"))
        return part + QStringLiteral("trap '' TERM; echo $$ > %1; exec sleep 60").arg(toolPid);
    const QString deaf = how == QStringLiteral("in a child, ignoring TERM") ? QStringLiteral("trap '' TERM; ") : QString();
    return part + deaf + QStringLiteral("sleep 60 & echo $! > %2; echo $$ > %1; wait").arg(toolPid, childPid);
}

void TestFaultsTools::hangingToolInTheEngine_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("how");
    // "closed": abort(), as closing the window does; "cancelled": cancel(); "watched": nobody
    // does anything, and the watchdog stops the tool that shows no progress.
    QTest::addColumn<QString>("end");

    for (const char *tool : {"ffmpeg", "lame"}) {
        for (const char *how : {"exec", "ignores TERM", "in a child", "in a child, ignoring TERM"}) {
            // The deaf child takes the grace period before its kill; the decoder's rows show it.
            if (qstrcmp(tool, "lame") == 0 && qstrcmp(how, "in a child, ignoring TERM") == 0)
                continue;
            for (const char *end : {"cancelled", "closed", "watched"}) {
                if (qstrcmp(end, "watched") == 0 && qstrcmp(how, "exec") == 0)
                    continue;
                const QString tag = QStringLiteral("%1 %2, %3")
                                        .arg(QString::fromLatin1(tool) == QStringLiteral("ffmpeg") ? QStringLiteral("decoder hangs")
                                                                                                 : QStringLiteral("encoder hangs"),
                                             QString::fromLatin1(how), QString::fromLatin1(end));
                QTest::newRow(qPrintable(tag)) << QString::fromLatin1(tool) << QString::fromLatin1(how) << QString::fromLatin1(end);
            }
        }
    }
}

void TestFaultsTools::hangingToolInTheEngine()
{
#ifdef Q_OS_UNIX
    QFETCH(QString, tool);
    QFETCH(QString, how);
    QFETCH(QString, end);
    const bool decoder = tool == QStringLiteral("ffmpeg");

    const QString tools = QDir(m_work->path()).filePath(QStringLiteral("tools"));
    QVERIFY(QDir().mkdir(tools));
    SessionSetup settings;
    settings.tools.decoder = m_machine.ffmpeg;
    settings.tools.encoder = m_machine.lame;
    settings.tools.tempFolder = m_temp;
    settings.encoding.bitrate = 192;
    settings.jobs = 1;
    settings.tools.stallTimeoutSeconds = end == QStringLiteral("watched") ? 2 : 0;
    // The first file converts; the second one's tool hangs; the third never starts.
    const QString script = hangingOnSecondRun(tool, how);
    if (decoder)
        settings.tools.decoder = writeScript(tools, QStringLiteral("ffmpeg"), script);
    else
        settings.tools.encoder = writeScript(tools, QStringLiteral("lame"), script);
    QVERIFY(QFile::copy(m_tone, QDir(m_sources).filePath(QStringLiteral("third.m4a"))));
    const QStringList sources{QDir(m_sources).filePath(QStringLiteral("first.m4a")),
                              QDir(m_sources).filePath(QStringLiteral("second.m4a")),
                              QDir(m_sources).filePath(QStringLiteral("third.m4a"))};

    const QString toolPidFile = QDir(m_pids).filePath(QStringLiteral("tool"));
    const QString childPidFile = QDir(m_pids).filePath(QStringLiteral("child"));
    auto batch = std::make_unique<BatchSession>(TestKit::withSources(settings, sources));
    QSignalSpy finished(batch.get(), &BatchSession::finished);
    QList<FileResult> reported;
    connect(batch.get(), &BatchSession::fileFinished, this,
            [&reported](const FileResult &result) { reported.append(result); });
    batch->start();
    QTRY_VERIFY_WITH_TIMEOUT(readPid(toolPidFile) > 0, 30000);
    const qint64 toolPid = readPid(toolPidFile);
    qint64 childPid = 0;
    if (how.startsWith(QStringLiteral("in a child"))) {
        QTRY_VERIFY_WITH_TIMEOUT(readPid(childPidFile) > 0, 30000);
        childPid = readPid(childPidFile);
    }
    QVERIFY(isAlive(toolPid));
    QCOMPARE(reported.size(), 1);
    QCOMPARE(reported.at(0).status, FileStatus::Converted);
    const QString firstTemp = reported.at(0).tempPath;

    if (end == QStringLiteral("watched")) {
        // Each hanging run is stopped in turn, and its file fails with the reason; an encoder's
        // failure keeps the decoder's file, as any encoder failure does.
        QVERIFY(finished.wait(60000));
        const auto results = finished.at(0).at(0).value<BatchOutcome>().files;
        QCOMPARE(finished.at(0).at(0).value<BatchOutcome>().cancelled, false);
        QCOMPARE(results.at(0).status, FileStatus::Converted);
        for (int i : {1, 2}) {
            QCOMPARE(results.at(i).status, decoder ? FileStatus::Failed : FileStatus::KeptDecoderBitrate);
            QVERIFY2(results.at(i).reason.endsWith(QStringLiteral("the %1 made no progress for 2 s")
                                                        .arg(decoder ? QStringLiteral("decoder") : QStringLiteral("encoder"))),
                     qPrintable(results.at(i).reason));
        }
        QVERIFY(hasEnded(toolPid));
        QVERIFY(releaseConverted(results));
    } else if (end == QStringLiteral("closed")) {
        // Closing: blocking, no signal afterwards, and every temporary file of the batch goes,
        // the converted one included.
        batch->abort();
        QVERIFY(!batch->isRunning());
        QVERIFY(hasEnded(toolPid));
        QCOMPARE(TestKit::tempEntries(m_temp), QStringList());
        batch.reset();
        QCOMPARE(finished.size(), 0);
    } else {
        batch->cancel();
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.at(0).at(0).value<BatchOutcome>().cancelled, true);
        const auto results = finished.at(0).at(0).value<BatchOutcome>().files;
        QCOMPARE(results.at(0).status, FileStatus::Converted);
        QCOMPARE(results.at(1).status, FileStatus::Cancelled);
        QCOMPARE(results.at(2).status, FileStatus::Cancelled);
        QVERIFY(hasEnded(toolPid));
        // The converted file is the receiver's; nothing else is left.
        QCOMPARE(TestKit::tempEntries(m_temp), QStringList{QFileInfo(firstTemp).fileName()});
        QVERIFY(releaseConverted(results));
    }
    // A program the tool started goes with it, also when the tool is a wrapper.
    if (childPid)
        QVERIFY(hasEnded(childPid));
    QCOMPARE(TestKit::tempEntries(m_temp), QStringList());
#endif
}

void TestFaultsTools::hangingToolInTheCli_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QList<int>>("signalNumbers");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("options");   // none: stopped by the signals

#ifdef Q_OS_UNIX
    // Nobody stops the program: the watchdog stops each hanging run, the run's file fails (or
    // keeps the decoder's bitrate) with the reason, and the batch goes on.
    const QStringList watched{QStringLiteral("--tool-timeout"), QStringLiteral("2")};
    const QStringList watchedPipe = watched + QStringList{QStringLiteral("--single-pass")};
    QTest::newRow("decoder hangs in a child, watched")
        << QStringLiteral("ffmpeg") << QStringLiteral("in a child") << QList<int>() << 1 << watched;
    QTest::newRow("encoder ignores TERM, watched")
        << QStringLiteral("lame") << QStringLiteral("ignores TERM") << QList<int>() << 1 << watched;
    QTest::newRow("decoder hangs, watched, single pass")
        << QStringLiteral("ffmpeg") << QStringLiteral("exec") << QList<int>() << 1 << watchedPipe;
    QTest::newRow("decoder stops before its first sample, watched, single pass")
        << QStringLiteral("ffmpeg") << QStringLiteral("stops") << QList<int>() << 1 << watchedPipe;
    QTest::newRow("encoder hangs in a child, watched, single pass")
        << QStringLiteral("lame") << QStringLiteral("in a child") << QList<int>() << 1 << watchedPipe;
    QTest::newRow("decoder hangs, Ctrl+C") << QStringLiteral("ffmpeg") << QStringLiteral("exec") << QList<int>{SIGINT} << 130 << QStringList();
    QTest::newRow("decoder hangs in a child, Ctrl+C")
        << QStringLiteral("ffmpeg") << QStringLiteral("in a child") << QList<int>{SIGINT} << 130 << QStringList();
    QTest::newRow("encoder hangs in a child, SIGTERM")
        << QStringLiteral("lame") << QStringLiteral("in a child") << QList<int>{SIGTERM} << 143 << QStringList();
    QTest::newRow("encoder ignores TERM, SIGTERM")
        << QStringLiteral("lame") << QStringLiteral("ignores TERM") << QList<int>{SIGTERM} << 143 << QStringList();
    QTest::newRow("decoder ignores TERM, Ctrl+C twice (stop at once)")
        << QStringLiteral("ffmpeg") << QStringLiteral("ignores TERM") << QList<int>{SIGINT, SIGINT} << 130 << QStringList();
    QTest::newRow("decoder hangs in a child, both ignoring TERM, SIGTERM")
        << QStringLiteral("ffmpeg") << QStringLiteral("in a child, ignoring TERM") << QList<int>{SIGTERM} << 143 << QStringList();
    QTest::newRow("decoder hangs in a child, both ignoring TERM, Ctrl+C twice (stop at once)")
        << QStringLiteral("ffmpeg") << QStringLiteral("in a child, ignoring TERM") << QList<int>{SIGINT, SIGINT} << 130 << QStringList();
#endif
}

void TestFaultsTools::hangingToolInTheCli()
{
#ifdef Q_OS_UNIX
    QFETCH(QString, tool);
    QFETCH(QString, how);
    QFETCH(QList<int>, signalNumbers);
    QFETCH(int, exitCode);
    QFETCH(QStringList, options);
    const bool decoder = tool == QStringLiteral("ffmpeg");

    const QString appDir = QDir(m_work->path()).filePath(QStringLiteral("app"));
    const QString script = hangingOnSecondRun(tool, how);
    const QString cliPath = makeAppFolder(m_machine, appDir, decoder ? script : QString(), decoder ? QString() : script);
    QVERIFY(!cliPath.isEmpty());
    const QStringList appEntries = entries(appDir);
    QVERIFY(QFile::copy(m_tone, QDir(m_sources).filePath(QStringLiteral("third.m4a"))));
    const QString toolPidFile = QDir(m_pids).filePath(QStringLiteral("tool"));
    const QString childPidFile = QDir(m_pids).filePath(QStringLiteral("child"));

    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), m_cliTemp);
    cli.setProcessEnvironment(environment);
    cli.setWorkingDirectory(m_work->path());
    cli.setStandardInputFile(QProcess::nullDevice());
    cli.start(cliPath, options + QStringList{QStringLiteral("-j"), QStringLiteral("1"), QStringLiteral("-o"), m_cliOut,
                                             QDir(m_sources).filePath(QStringLiteral("first.m4a")),
                                             QDir(m_sources).filePath(QStringLiteral("second.m4a")),
                                             QDir(m_sources).filePath(QStringLiteral("third.m4a"))});
    QVERIFY(cli.waitForStarted(30000));
    const auto reaper = qScopeGuard([&cli] {
        cli.kill();
        cli.waitForFinished(5000);
    });
    QTRY_VERIFY_WITH_TIMEOUT(readPid(toolPidFile) > 0, 30000);
    const qint64 toolPid = readPid(toolPidFile);
    qint64 childPid = 0;
    if (how.startsWith(QStringLiteral("in a child"))) {
        QTRY_VERIFY_WITH_TIMEOUT(readPid(childPidFile) > 0, 30000);
        childPid = readPid(childPidFile);
    }
    QVERIFY(isAlive(toolPid) || signalNumbers.isEmpty());
    if (!signalNumbers.isEmpty())
        QCOMPARE(entries(m_cliOut), QStringList{QStringLiteral("first.mp3")});   // saved as soon as done

    // Taken once: processId() is 0 once the program has ended, and a signal to "process 0"
    // would go to the test's own process group.
    const qint64 cliPid = cli.processId();
    QVERIFY(cliPid > 0);
    QString err;
    for (qsizetype i = 0; i < signalNumbers.size(); ++i) {
        // Still ours: not reaped yet, so the id cannot have passed to another process.
        QCOMPARE(cli.state(), QProcess::Running);
        QCOMPARE(::kill(pid_t(cliPid), signalNumbers.at(i)), 0);
        // A signal sent before the last one was handled would merge with it.
        if (i + 1 < signalNumbers.size()) {
            QTRY_VERIFY_WITH_TIMEOUT((err += QString::fromLocal8Bit(cli.readAllStandardError()))
                                         .contains(QStringLiteral("cancelling")),
                                     30000);
        }
    }
    QVERIFY(cli.waitForFinished(30000));
    err += QString::fromLocal8Bit(cli.readAllStandardError());
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli.exitCode() == exitCode, qPrintable(err));
    if (signalNumbers.isEmpty()) {
        const QString reason = QStringLiteral("the %1 made no progress for 2 s").arg(decoder ? QStringLiteral("decoder") : QStringLiteral("encoder"));
        QVERIFY2(err.count(reason) >= 2 && err.contains(QStringLiteral("1 of 3 file(s) converted")), qPrintable(err));
    } else {
        QVERIFY2(err.contains(QRegularExpression(QStringLiteral("1 of 3 file\\(s\\) converted, 0 skipped, 0 failed in [0-9:]+; cancelled, 2 file\\(s\\) not converted"))), qPrintable(err));
        QVERIFY(!err.contains(QStringLiteral("FAILED")));
    }

    QVERIFY(hasEnded(toolPid));
    if (childPid)
        QVERIFY(hasEnded(childPid));
    QCOMPARE(entries(m_cliTemp), QStringList());
    if (!signalNumbers.isEmpty())
        QCOMPARE(entries(m_cliOut), QStringList{QStringLiteral("first.mp3")});
    QCOMPARE(probe(m_machine.ffprobe, QDir(m_cliOut).filePath(QStringLiteral("first.mp3"))).codec, QStringLiteral("mp3"));
    QCOMPARE(entries(appDir), appEntries);
#endif
}

QUORVANE_TEST_GUILESS_MAIN(TestFaultsTools)
#include "tst_faults_tools.moc"

// The decoder's other runs, each through the runner: the chapter listing (--split-chapters), the
// cover scaling (--cover-max) and the loudness measuring (--replaygain). A stand-in passes every
// other run to the real decoder and misbehaves on one kind: it hangs (--tool-timeout 2, or a
// SIGTERM), fails, or answers garbage and says it succeeded. The run says what was not done.
// The loudness rows measure an album of two files, of which only the first run misbehaves: the
// other still gets the album's frames, measured without it.
void TestFaultsTools::otherToolRunMisbehaves_data()
{
    QTest::addColumn<QString>("run");     // the arguments that tell the run: listing, cover, loudness
    QTest::addColumn<QString>("how");     // hangs, fails, garbage, or "hangs, SIGTERM"
    QTest::addColumn<QString>("reason");  // a part of what the run says

    const QString hung = QStringLiteral("the decoder made no progress for 2 s");
    const QString failed = QStringLiteral("stand-in decoder: broken");
    for (const char *run : {"listing", "cover", "loudness"}) {
        const QString kind = QString::fromLatin1(run);
        const QString garbage = kind == QStringLiteral("listing") ? QStringLiteral("the decoder's chapter list is not in its metadata format")
                                : kind == QStringLiteral("cover") ? QStringLiteral("the decoder gave no whole JPEG that fits")
                                                                  : QStringLiteral("the decoder gave ");
        QTest::newRow(qPrintable(kind + QStringLiteral(" hangs"))) << kind << QStringLiteral("hangs") << hung;
        QTest::newRow(qPrintable(kind + QStringLiteral(" fails"))) << kind << QStringLiteral("fails") << failed;
        QTest::newRow(qPrintable(kind + QStringLiteral(" answers garbage"))) << kind << QStringLiteral("garbage") << garbage;
    }
    QTest::newRow("loudness hangs, SIGTERM") << QStringLiteral("loudness") << QStringLiteral("hangs, SIGTERM")
                                             << QStringLiteral("saved without ReplayGain: the batch was cancelled first");
}

void TestFaultsTools::otherToolRunMisbehaves()
{
#ifdef Q_OS_UNIX
    QFETCH(QString, run);
    QFETCH(QString, how);
    QFETCH(QString, reason);
    const QString pidFile = QDir(m_pids).filePath(QStringLiteral("tool"));
    const QString marks = run == QStringLiteral("listing") ? QStringLiteral("*\" -f ffmetadata - \"*")
                          : run == QStringLiteral("cover") ? QStringLiteral("*\" image2pipe \"*")
                                                           : QStringLiteral("*\" f32le \"*");
    // A frame header of a 16 x 16 JPEG and nothing after it, for the cover.
    const QString garbage = run == QStringLiteral("listing") ? QStringLiteral("echo 'no listing'")
                            : run == QStringLiteral("cover") ? QStringLiteral("printf '\\377\\330\\377\\300\\000\\021\\010\\000\\020\\000\\020\\003'")
                                                             : QStringLiteral("head -c 100000 /dev/urandom");
    const QString misbehave = how.startsWith(QStringLiteral("hangs")) ? QStringLiteral("echo $$ > %1; exec sleep 60").arg(shellQuoted(pidFile))
                              : how == QStringLiteral("fails") ? QStringLiteral("echo 'stand-in decoder: broken' >&2; exit 1")
                                                               : garbage + QStringLiteral("; exit 0");
    const QString once = shellQuoted(QDir(m_work->path()).filePath(QStringLiteral("misbehaved")));
    // mkdir: of two runs at once, one only misbehaves.
    const QString decoder = QStringLiteral("case \" $* \" in %1) mkdir %4 2>/dev/null && { %2; } ;; esac\nexec %3 \"$@\"")
                                .arg(marks, misbehave, shellQuoted(m_machine.ffmpeg), once);
    const QString cli = makeAppFolder(m_machine, QDir(m_work->path()).filePath(QStringLiteral("app")), decoder);
    QVERIFY(!cli.isEmpty());

    // Music with what the run needs: chapters, a cover that must be scaled, or nothing more.
    const QString music = QDir(m_work->path()).filePath(QStringLiteral("music.m4a"));
    QVERIFY(TestKit::makeMusic(m_machine.ffmpeg, music, TestKit::Music{44100, 2, 2}));
    const QString album = QDir(m_work->path()).filePath(QStringLiteral("album"));
    QVERIFY(QDir().mkpath(album));
    const QString source = QDir(album).filePath(QStringLiteral("song.m4a"));
    QStringList options{QStringLiteral("--tool-timeout"), QStringLiteral("2"), QStringLiteral("-o"), m_cliOut};
    if (run == QStringLiteral("listing")) {
        const QString meta = QDir(m_work->path()).filePath(QStringLiteral("meta.txt"));
        QVERIFY(writeFile(meta, ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=One\n"
                                "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Two\n"));
        QVERIFY(makeSource(m_machine.ffmpeg, source, {QStringLiteral("-i"), music, QStringLiteral("-i"), meta, QStringLiteral("-map"),
                                                      QStringLiteral("0"), QStringLiteral("-map_chapters"), QStringLiteral("1"),
                                                      QStringLiteral("-c"), QStringLiteral("copy")}));
        options << QStringLiteral("--split-chapters");
    } else if (run == QStringLiteral("cover")) {
        QVERIFY(makeSource(m_machine.ffmpeg, source, {QStringLiteral("-i"), music, QStringLiteral("-f"), QStringLiteral("lavfi"),
                                                      QStringLiteral("-i"), QStringLiteral("color=c=red:s=64x64:d=1"), QStringLiteral("-map"),
                                                      QStringLiteral("0:a"), QStringLiteral("-map"), QStringLiteral("1:v"),
                                                      QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-c:a"),
                                                      QStringLiteral("copy"), QStringLiteral("-c:v"), QStringLiteral("png"),
                                                      QStringLiteral("-disposition:v"), QStringLiteral("attached_pic")}));
        options << QStringLiteral("--cover-max") << QStringLiteral("32");
    } else {
        for (const QString &name : {QStringLiteral("song.m4a"), QStringLiteral("other.m4a")})
            QVERIFY(makeSource(m_machine.ffmpeg, QDir(album).filePath(name),
                               {QStringLiteral("-i"), music, QStringLiteral("-c"), QStringLiteral("copy"),
                                QStringLiteral("-metadata"), QStringLiteral("album=Both")}));
        options << QStringLiteral("--replaygain") << QStringLiteral("album");
    }
    const QString input = run == QStringLiteral("loudness") ? album : source;

    CliRun result;
    if (how == QStringLiteral("hangs, SIGTERM")) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), m_cliTemp);
        process.setProcessEnvironment(environment);
        // One file at a time: the first hangs in its measuring, and the second has not started.
        process.start(cli, options << QStringLiteral("-j") << QStringLiteral("1") << input);
        QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 30000);   // measuring
        ::kill(pid_t(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(30000));
        result = {process.exitStatus() == QProcess::NormalExit, process.exitCode(),
                  QString::fromLocal8Bit(process.readAllStandardOutput()), QString::fromLocal8Bit(process.readAllStandardError())};
        QCOMPARE(result.exitCode, 128 + SIGTERM);
        QVERIFY2(result.err.contains(QStringLiteral("1 of 2 file(s) converted, 1 saved without ReplayGain"))
                     && result.err.contains(QStringLiteral("cancelled, 1 file(s) not converted")),
                 qPrintable(result.err));
    } else {
        result = runCli(cli, options << input, m_work->path(), m_cliTemp);
    }
    QVERIFY2(result.finished, qPrintable(result.err));
    QVERIFY2(result.err.contains(reason), qPrintable(result.err));
    if (readPid(pidFile) > 0)
        QVERIFY(hasEnded(readPid(pidFile)));   // the hung run went with its keeper's group
    QCOMPARE(entries(m_cliTemp), QStringList());
    if (run == QStringLiteral("listing")) {
        // The book fails as a whole, by the listing's reason: nothing is cut by guesswork.
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(QStringLiteral("FAILED     %1: its chapters could not be listed: ").arg(source)), qPrintable(result.err));
        QCOMPARE(entries(m_cliOut), QStringList());
        // A dry run foretells it.
        QVERIFY(QDir().rmdir(QDir(m_work->path()).filePath(QStringLiteral("misbehaved"))));
        const CliRun dry = runCli(cli, QStringList{QStringLiteral("--dry-run")} + options, m_work->path(), m_cliTemp);
        QVERIFY2(dry.exitCode == 1 && dry.out.isEmpty() && dry.err.contains(reason), qPrintable(dry.err));
        return;
    }
    if (run == QStringLiteral("cover")) {
        // The file is whole; its cover stays the source's, with a warning.
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.err.contains(QStringLiteral("warning    %1: the cover could not be scaled down").arg(source)), qPrintable(result.err));
        QCOMPARE(TagCopy::readSource(QDir(m_cliOut).filePath(QStringLiteral("song.mp3"))).pictures.value(0).mimeType,
                 QStringLiteral("image/png"));
        return;
    }
    // Both are saved as converted (after a cancel only the one being measured): the one that
    // could not be measured without frames, and named, the other with its own gain, which is
    // its album's.
    const bool cancelled = how == QStringLiteral("hangs, SIGTERM");
    const QStringList expected = cancelled ? QStringList{QStringLiteral("other.mp3")}
                                           : QStringList{QStringLiteral("other.mp3"), QStringLiteral("song.mp3")};
    QCOMPARE(entries(m_cliOut), expected);
    int measured = 0;
    for (const QString &name : entries(m_cliOut)) {
        const SourceTags file = TagCopy::readSource(QDir(m_cliOut).filePath(name));
        QVERIFY(file.readable);
        const QString track = file.fields.value(QStringLiteral("REPLAYGAIN_TRACK_GAIN")).value(0);
        QCOMPARE(file.fields.value(QStringLiteral("REPLAYGAIN_ALBUM_GAIN")).value(0), track);
        if (!track.isEmpty()) {
            QVERIFY2(!cancelled && track.endsWith(QStringLiteral(" dB")), qPrintable(track));
            ++measured;
        }
    }
    QVERIFY2(measured == (cancelled ? 0 : 1), qPrintable(result.err));
    if (!cancelled) {
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(QStringLiteral(".mp3 without ReplayGain: its loudness could not be measured: ")),
                 qPrintable(result.err));
    }
#endif
}
