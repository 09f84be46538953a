#include "faultkit.h"
#include "testmain.h"

#include "convert/files/pathhelpers.h"
#include "convert/saving/resultsaver.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <memory>

using namespace FaultKit;

// Bad and unusual sources, each beside a good one: the engine in-process (then saved into an
// output folder as the results window does) and quorvane-cli as a process, with the real
// ffmpeg and lame. A source the tools cannot read fails with a reason; every other one is
// converted and saved under its own name; nothing is left in the temporary folders, the
// program's folder or the sources' folder, and no file already in the output folder is lost.
class TestFaultsInputs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void oneBadOrOddSource_data();
    void oneBadOrOddSource();
    void sameDisplayNameTwice();

private:
    QString makeCase(const QString &kind, const QString &name);
    SessionSetup settings() const;

    Machine m_machine;
    QTemporaryDir m_fixtures;      // generated sources and the program's folder, for every case
    QString m_appDir;
    QString m_cli;
    QStringList m_appEntries;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_sources;
    QString m_out;        // the engine's results are saved here
    QString m_temp;       // the engine's temporary folder
    QString m_cliOut;
    QString m_cliTemp;    // quorvane-cli's TMPDIR
};

void TestFaultsInputs::initTestCase()
{
#ifndef Q_OS_UNIX
    QSKIP("The fault tests use POSIX file names and shell scripts");
#endif
    m_machine = findMachine();
    if (!m_machine.missing.isEmpty())
        QSKIP(qPrintable(m_machine.missing + QStringLiteral(" needed")));
    QVERIFY(m_fixtures.isValid());
    const QDir fixtures(m_fixtures.path());
    m_appDir = fixtures.filePath(QStringLiteral("app"));
    m_cli = makeAppFolder(m_machine, m_appDir);
    QVERIFY(!m_cli.isEmpty());
    m_appEntries = entries(m_appDir);

    const QString &ffmpeg = m_machine.ffmpeg;
    const QStringList lavfiSine{QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                QStringLiteral("sine=frequency=440:duration=1")};
    QVERIFY(makeSource(ffmpeg, fixtures.filePath(QStringLiteral("tone.m4a")), toneOptions()));
    // Its length in a header at the front: cut short, it still states its whole length.
    QVERIFY(makeSource(ffmpeg, fixtures.filePath(QStringLiteral("front.m4a")),
                       toneOptions(4) << QStringLiteral("-movflags") << QStringLiteral("+faststart")));
    QVERIFY(makeSource(ffmpeg, fixtures.filePath(QStringLiteral("video.mp4")),
                       QStringList{QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                   QStringLiteral("testsrc=duration=1:size=160x120:rate=10")}
                           << lavfiSine
                           << QStringList{QStringLiteral("-c:v"), QStringLiteral("mpeg4"), QStringLiteral("-c:a"),
                                          QStringLiteral("aac"), QStringLiteral("-shortest")}));
    QVERIFY(makeSource(ffmpeg, fixtures.filePath(QStringLiteral("alac.m4a")),
                       QStringList(lavfiSine) << QStringLiteral("-ac") << QStringLiteral("2")
                                              << QStringLiteral("-c:a") << QStringLiteral("alac")));
    QVERIFY(makeSource(ffmpeg, fixtures.filePath(QStringLiteral("surround.m4a")),
                       QStringList(lavfiSine) << QStringLiteral("-af")
                                              << QStringLiteral("pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0")
                                              << QStringLiteral("-c:a") << QStringLiteral("aac")));
    QVERIFY(makeSource(ffmpeg, fixtures.filePath(QStringLiteral("narrow.m4a")),
                       QStringList{QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                   QStringLiteral("sine=frequency=440:duration=1:sample_rate=8000"),
                                   QStringLiteral("-ac"), QStringLiteral("1"), QStringLiteral("-c:a"),
                                   QStringLiteral("aac")}));
    const QString picture = fixtures.filePath(QStringLiteral("cover.png"));
    QVERIFY(makeSource(ffmpeg, picture,
                       {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                        QStringLiteral("testsrc=size=64x64"), QStringLiteral("-frames:v"), QStringLiteral("1")}));
    QVERIFY(makeSource(ffmpeg, fixtures.filePath(QStringLiteral("cover.m4a")),
                       {QStringLiteral("-i"), fixtures.filePath(QStringLiteral("tone.m4a")), QStringLiteral("-i"),
                        picture, QStringLiteral("-map"), QStringLiteral("0"), QStringLiteral("-map"),
                        QStringLiteral("1"), QStringLiteral("-c"), QStringLiteral("copy"),
                        QStringLiteral("-disposition:v"), QStringLiteral("attached_pic")}));
}

void TestFaultsInputs::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    const QDir work(m_work->path());
    for (const char *name : {"sources", "out", "temp", "cli-out", "cli-temp"})
        QVERIFY(work.mkdir(QString::fromLatin1(name)));
    m_sources = work.filePath(QStringLiteral("sources"));
    m_out = work.filePath(QStringLiteral("out"));
    m_temp = work.filePath(QStringLiteral("temp"));
    m_cliOut = work.filePath(QStringLiteral("cli-out"));
    m_cliTemp = work.filePath(QStringLiteral("cli-temp"));
}

void TestFaultsInputs::cleanup()
{
    m_work.reset();
}

SessionSetup TestFaultsInputs::settings() const
{
    SessionSetup settings;
    settings.tools.decoder = QDir(m_appDir).filePath(QStringLiteral("ffmpeg"));
    settings.tools.encoder = QDir(m_appDir).filePath(QStringLiteral("lame"));
    settings.tools.tempFolder = m_temp;
    settings.encoding.bitrate = 192;
    settings.jobs = 2;
    return settings;
}

// Puts the source of one kind at sources/name and returns its path.
QString TestFaultsInputs::makeCase(const QString &kind, const QString &name)
{
    const QString path = QDir(m_sources).filePath(name);
    if (!QDir().mkpath(QFileInfo(path).path()))
        return {};
    const QDir fixtures(m_fixtures.path());
    const auto copyOf = [&](const char *fixture) {
        return QFile::copy(fixtures.filePath(QString::fromLatin1(fixture)), path) ? path : QString();
    };
    const auto firstHalfOf = [&](const char *fixture) {
        const QByteArray whole = readFile(fixtures.filePath(QString::fromLatin1(fixture)));
        return writeFile(path, whole.left(whole.size() / 2)) ? path : QString();
    };
    if (kind == QStringLiteral("tone"))
        return copyOf("tone.m4a");
    if (kind == QStringLiteral("missing"))
        return path;
    if (kind == QStringLiteral("empty"))
        return writeFile(path, {}) ? path : QString();
    if (kind == QStringLiteral("random")) {
        QByteArray noise(20000, Qt::Uninitialized);
        QRandomGenerator fixed(20240611);   // the same bytes on every run
        for (char &byte : noise)
            byte = char(fixed.bounded(256));
        return writeFile(path, noise) ? path : QString();
    }
    if (kind == QStringLiteral("text"))
        return writeFile(path, "These are the words of a song, not its sound.\n") ? path : QString();
    if (kind == QStringLiteral("cut, index at the end"))
        return firstHalfOf("tone.m4a");
    if (kind == QStringLiteral("cut, index in front"))
        return firstHalfOf("front.m4a");
    if (kind == QStringLiteral("video"))
        return copyOf("video.mp4");
    if (kind == QStringLiteral("alac"))
        return copyOf("alac.m4a");
    if (kind == QStringLiteral("surround"))
        return copyOf("surround.m4a");
    if (kind == QStringLiteral("narrow"))
        return copyOf("narrow.m4a");
    if (kind == QStringLiteral("cover"))
        return copyOf("cover.m4a");
#ifdef Q_OS_UNIX
    if (kind == QStringLiteral("fifo"))
        return TestKit::makeFifo(path) ? path : QString();
#endif
    qWarning("unknown kind of source: %s", qUtf8Printable(kind));
    return {};
}

void TestFaultsInputs::oneBadOrOddSource_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("name");       // in the sources folder; typed as is on the command line
    QTest::addColumn<QString>("saved");      // the name in the output folder; "" when it fails
    QTest::addColumn<QString>("note");       // a part of the failure's reason, or of the warning; "" none
    QTest::addColumn<int>("channels");       // of the saved file; 0 unchecked
    QTest::addColumn<int>("sampleRate");
    QTest::addColumn<int>("kbps");           // the saved file's bitrate

    const QString any;
    // Sources the tools cannot read.
    QTest::newRow("missing file") << QStringLiteral("missing") << QStringLiteral("gone.m4a") << any
                                  << QStringLiteral("file not found") << 0 << 0 << 0;
    QTest::newRow("zero bytes") << QStringLiteral("empty") << QStringLiteral("empty.m4a") << any << any << 0 << 0 << 0;
    QTest::newRow("random bytes") << QStringLiteral("random") << QStringLiteral("noise.m4a") << any << any << 0 << 0 << 0;
    QTest::newRow("text named .m4a") << QStringLiteral("text") << QStringLiteral("lyrics.m4a") << any << any << 0 << 0 << 0;
    QTest::newRow("truncated, index at the end")
        << QStringLiteral("cut, index at the end") << QStringLiteral("cut.m4a") << any << any << 0 << 0 << 0;
    // Never opened: no reader (the longest-first order, the tags, the tools) waits on it.
    QTest::newRow("FIFO") << QStringLiteral("fifo") << QStringLiteral("pipe.m4a") << any
                          << QStringLiteral("not a regular file") << 0 << 0 << 0;

    // Sources that convert, some with a word about them.
    QTest::newRow("truncated, index in front")
        << QStringLiteral("cut, index in front") << QStringLiteral("cut.m4a") << QStringLiteral("cut.mp3")
        << QStringLiteral("the source may be damaged") << 2 << 44100 << 192;
    QTest::newRow("MPEG-4 video with sound") << QStringLiteral("video") << QStringLiteral("clip.mp4")
                                             << QStringLiteral("clip.mp3") << any << 1 << 44100 << 192;
    QTest::newRow("ALAC in .m4a") << QStringLiteral("alac") << QStringLiteral("lossless.m4a")
                                  << QStringLiteral("lossless.mp3") << any << 2 << 44100 << 192;
    QTest::newRow("5.1 channels, mixed down to stereo")
        << QStringLiteral("surround") << QStringLiteral("surround.m4a") << QStringLiteral("surround.mp3")
        << any << 2 << 44100 << 192;
    // MPEG-2.5 at 8 kHz goes no higher than 64 kbps; lame takes the nearest it can.
    QTest::newRow("8 kHz mono") << QStringLiteral("narrow") << QStringLiteral("phone.m4a")
                                << QStringLiteral("phone.mp3") << QStringLiteral("encoded at 64 kbps")
                                << 1 << 8000 << 64;
    QTest::newRow("cover picture") << QStringLiteral("cover") << QStringLiteral("album.m4a")
                                   << QStringLiteral("album.mp3") << any << 2 << 44100 << 192;

    // Names: every one reaches the tools as one argument and comes back as the saved name.
    const auto name = [](const char *tag, const QString &source, const QString &saved) {
        QTest::newRow(tag) << QStringLiteral("tone") << source << saved << QString() << 2 << 44100 << 192;
    };
    name("quotes", QStringLiteral("\"double\" 'single'.m4a"), QStringLiteral("\"double\" 'single'.mp3"));
    name("dollar and backquotes", QStringLiteral("$HOME $(id) `id`.m4a"), QStringLiteral("$HOME $(id) `id`.mp3"));
    name("backslashes", QStringLiteral("back\\slash\\n.m4a"), QStringLiteral("back\\slash\\n.mp3"));
    name("spaces at the ends", QStringLiteral("  padded  .m4a"), QStringLiteral("  padded  .mp3"));
    name("non-ASCII letters", QStringLiteral("été 日本 – ñ Ωμέγα.m4a"), QStringLiteral("été 日本 – ñ Ωμέγα.mp3"));
    name("leading dash", QStringLiteral("-y.m4a"), QStringLiteral("-y.mp3"));
    name("leading dashes, like an option", QStringLiteral("--help.m4a"), QStringLiteral("--help.mp3"));
    name("250 characters", QString(246, u'n') + QStringLiteral(".m4a"), QString(246, u'n') + QStringLiteral(".mp3"));
    name("no extension", QStringLiteral("no extension"), QStringLiteral("no extension.mp3"));
    name("upper-case extension", QStringLiteral("LOUD.M4A"), QStringLiteral("LOUD.mp3"));
    name("percent signs", QStringLiteral("100% %d %s.m4a"), QStringLiteral("100% %d %s.mp3"));
    // ffmpeg reads "name:" in front of a path as a protocol (pipe:, concat:, data:, ...).
    name("looks like a protocol", QStringLiteral("pipe:0.m4a"), QStringLiteral("pipe:0.mp3"));
    name("looks like a list of files", QStringLiteral("concat:a.m4a|b.m4a"), QStringLiteral("concat:a.m4a|b.mp3"));
}

void TestFaultsInputs::oneBadOrOddSource()
{
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QFETCH(QString, saved);
    QFETCH(QString, note);
    QFETCH(int, channels);
    QFETCH(int, sampleRate);
    QFETCH(int, kbps);
    const bool converts = !saved.isEmpty();

    const QString source = makeCase(kind, name);
    QVERIFY(!source.isEmpty());
    const QString good = makeCase(QStringLiteral("tone"), QStringLiteral("good.m4a"));
    const QStringList sourceEntries = entries(m_sources);
    const QString failedName = Paths::displayNameFor(name);

    // Files already in the output folders: one of no concern to the batch, and an older file
    // under the source's name. The first must stay as it is; the second is replaced by a
    // converted file, and stays as it is when the source fails.
    const QByteArray keep = "an earlier result";
    const QByteArray older = "an older file under the source's name";
    for (const QString &folder : {m_out, m_cliOut}) {
        QVERIFY(writeFile(QDir(folder).filePath(QStringLiteral("keep.mp3")), keep));
        QVERIFY(writeFile(QDir(folder).filePath(converts ? saved : failedName), older));
    }
    QStringList expectedOut{QStringLiteral("good.mp3"), QStringLiteral("keep.mp3"), converts ? saved : failedName};
    expectedOut.sort();

    const auto checkOutput = [&](const QString &folder) {
        QCOMPARE(entries(folder), expectedOut);
        QCOMPARE(readFile(QDir(folder).filePath(QStringLiteral("keep.mp3"))), keep);
        if (!converts)
            QCOMPARE(readFile(QDir(folder).filePath(failedName)), older);
        QCOMPARE(probe(m_machine.ffprobe, QDir(folder).filePath(QStringLiteral("good.mp3"))).codec,
                 QStringLiteral("mp3"));
        if (!converts)
            return;
        const Probe info = probe(m_machine.ffprobe, QDir(folder).filePath(saved));
        QCOMPARE(info.codec, QStringLiteral("mp3"));
        if (channels)
            QCOMPARE(info.channels, channels);
        if (sampleRate)
            QCOMPARE(info.sampleRate, sampleRate);
        QVERIFY2(qAbs(info.bitRate - kbps * 1000) <= kbps * 20, qPrintable(QString::number(info.bitRate)));
    };

    // The engine, as the main window runs it, then saving as the results window does.
    QList<FileResult> results;
    QVERIFY(TestKit::runBatch({source, good}, settings(), &results));
    QCOMPARE(results.size(), 2);
    const FileResult &result = results.at(0);
    QCOMPARE(results.at(1).status, FileStatus::Converted);
    QCOMPARE(result.sourcePath, source);
    QVERIFY(!result.reason.contains(u'\n'));
    QStringList temps{QFileInfo(results.at(1).tempPath).fileName()};
    if (converts) {
        QVERIFY2(result.status == FileStatus::Converted, qPrintable(result.reason));
        QCOMPARE(result.displayName, saved);
        // A word about a converted file: a warning (it may not be whole) or a note (it is
        // whole, but not quite as asked).
        const QString said = (result.warning + u' ' + result.note).trimmed();
        if (note.isEmpty())
            QVERIFY2(said.isEmpty(), qPrintable(said));
        else
            QVERIFY2(said.contains(note), qPrintable(said));
        temps.append(QFileInfo(result.tempPath).fileName());
    } else {
        QCOMPARE(result.status, FileStatus::Failed);
        QVERIFY(!result.reason.isEmpty());
        QVERIFY2(result.reason.contains(note), qPrintable(result.reason));
        QVERIFY(result.tempPath.isEmpty());
    }
    temps.sort();
    QCOMPARE(TestKit::tempEntries(m_temp), temps);

    QList<ResultSaver::Item> items;
    QStringList names;
    for (const FileResult &r : std::as_const(results)) {
        if (r.isConverted())
            names.append(r.displayName);
    }
    names = Paths::uniqueNames(names);
    for (const FileResult &r : std::as_const(results)) {
        if (r.isConverted())
            items.append({names.at(items.size()), r.tempPath});
    }
    const QList<ResultSaver::Failure> failures = ResultSaver::save(m_out, items).failures;
    for (const ResultSaver::Failure &failure : failures)
        qWarning("not saved: %s: %s", qUtf8Printable(failure.target), qUtf8Printable(failure.reason));
    QVERIFY(failures.isEmpty());
    QVERIFY(releaseConverted(results));
    QCOMPARE(TestKit::tempEntries(m_temp), QStringList());
    checkOutput(m_out);
    if (QTest::currentTestFailed())
        return;

    // quorvane-cli, with the names typed as they are, relative to the sources' folder.
    const CliRun run = runCli(m_cli,
                              {QStringLiteral("-b"), QStringLiteral("192"), QStringLiteral("-j"), QStringLiteral("2"),
                               QStringLiteral("-o"), m_cliOut, QStringLiteral("--"), name, QStringLiteral("good.m4a")},
                              m_sources, m_cliTemp);
    QVERIFY2(run.finished, qPrintable(run.err));
    // A file that may not be whole is saved, but counted apart, and fails the run.
    const bool incomplete = converts && !result.warning.isEmpty();
    QVERIFY2(run.exitCode == (converts && !incomplete ? 0 : 1), qPrintable(run.err));
    QCOMPARE(run.out, QString());
    const QStringList lines = run.err.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(lines.contains(QStringLiteral("converted  good.m4a -> good.mp3")), qPrintable(run.err));
    if (converts) {
        QVERIFY2(lines.contains(QStringLiteral("converted  %1 -> %2").arg(name, saved)), qPrintable(run.err));
        QVERIFY2(run.err.contains(incomplete ? QStringLiteral("1 of 2 file(s) converted, 1 incomplete, 0 skipped, 0 failed in ")
                                             : QStringLiteral("2 of 2 file(s) converted, 0 skipped, 0 failed in ")),
                 qPrintable(run.err));
        if (!note.isEmpty()) {
            const QString warning = QStringLiteral("warning    %1: ").arg(name);
            QVERIFY2(std::any_of(lines.begin(), lines.end(),
                                 [&](const QString &line) { return line.startsWith(warning) && line.contains(note); }),
                     qPrintable(run.err));
        }
    } else {
        const QString failed = QStringLiteral("FAILED     %1: ").arg(name);
        const auto failedLines = std::count_if(lines.begin(), lines.end(), [&](const QString &line) {
            return line.startsWith(failed) && line.size() > failed.size() && line.contains(note);
        });
        QVERIFY2(failedLines == 2, qPrintable(run.err));   // as it happened, and under the summary
        QVERIFY2(run.err.contains(QStringLiteral("1 of 2 file(s) converted, 0 skipped, 1 failed in ")), qPrintable(run.err));
    }
    checkOutput(m_cliOut);
    QCOMPARE(entries(m_cliTemp), QStringList());

    QCOMPARE(entries(m_sources), sourceEntries);
    QCOMPARE(entries(m_appDir), m_appEntries);
}

// Two sources whose saved names would be the same, one of them at the length limit: the
// second gets " (2)", which no longer fits in a file name; that file fails with the reason.
void TestFaultsInputs::sameDisplayNameTwice()
{
    const QString longName = QString(251, u'n');
    const QString first = makeCase(QStringLiteral("tone"), QStringLiteral("a/") + longName + QStringLiteral(".m4a"));
    const QString second = makeCase(QStringLiteral("tone"), QStringLiteral("b/") + longName + QStringLiteral(".m4a"));
    QVERIFY(!first.isEmpty() && !second.isEmpty());

    const CliRun run = runCli(m_cli, {QStringLiteral("-o"), m_cliOut, first, second}, m_sources, m_cliTemp);
    QVERIFY2(run.finished, qPrintable(run.err));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains(QStringLiteral("converted  %1 -> %2.mp3").arg(first, longName)), qPrintable(run.err));
    QVERIFY2(run.err.contains(QStringLiteral("FAILED     %1: could not save ").arg(second)), qPrintable(run.err));
    QCOMPARE(entries(m_cliOut), QStringList{longName + QStringLiteral(".mp3")});
    QCOMPARE(entries(m_cliTemp), QStringList());
    QCOMPARE(entries(m_appDir), m_appEntries);
}

QUORVANE_TEST_GUILESS_MAIN(TestFaultsInputs)
#include "tst_faults_inputs.moc"
