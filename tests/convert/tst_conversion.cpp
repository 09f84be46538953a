#include "convert/batchsession.h"
#include "convert/engine/chapters.h"
#include "convert/engine/cover.h"
#include "convert/engine/fileconversion.h"
#include "convert/engine/mpegaudio.h"
#include "convert/engine/verdicts.h"
#include "convert/files/workfolder.h"
#include "convert/scripttools.h"
#include "filelist/walk/librarylayout.h"
#include "testkit.h"
#include "testmain.h"

#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/chapterframe.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/tableofcontentsframe.h>
#include <taglib/tpropertymap.h>
#include <taglib/xingheader.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace ScriptTools;

Q_DECLARE_METATYPE(TestKit::Music)
Q_DECLARE_METATYPE(Tools::Encoding)

// End to end with the real ffmpeg and lame on short generated tones, and on music where the
// sound's content matters; stand-in scripts play the tools where a failure has to be provoked.
class TestConversion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void tagsWrittenAtOnce();   // first: it needs TagLib untouched
    void threeFilesConvertOneAfterAnother();
    void twoJobsKeepSourceOrder();
    void awkwardSourceNamesConvert();
    void encodingChoices_data();
    void encodingChoices();
    void badFileAmongGoodOnes_data();
    void badFileAmongGoodOnes();
    void decoderProblem_data();
    void decoderProblem();
    void encoderProblemKeepsDecoderBitrate_data();
    void encoderProblemKeepsDecoderBitrate();
    void shortSourceIsNamed_data();
    void shortSourceIsNamed();
    void tagsAndCovers_data();
    void tagsAndCovers();
    void chaptersKept_data();
    void chaptersKept();
    void smallDecoderBuildRunsWithoutWhatItLacks_data();
    void smallDecoderBuildRunsWithoutWhatItLacks();
    void fileProgress_data();
    void fileProgress();
    void cancelOrAbortFromProgress_data();
    void cancelOrAbortFromProgress();
    void batchProgressAndOrder_data();
    void batchProgressAndOrder();
    void emptyListFinishesFromTheEventLoop();
    void cancelDuringBatch();
    void cancelWhileEncoding();
    void abortDeletesEveryTemporaryFile();

private:
    using Probe = TestKit::Probe;

    QString source(const QString &name, const QString &from = {});   // a copy of the tone
    QString writeSource(const QString &name, const QByteArray &data);
    SessionSetup settings(int bitrate = 192, int jobs = 1) const;
    QStringList tempFolderEntries() const;
    QString slowDecoder() const;

    QString m_ffmpeg;
    QString m_lame;
    QString m_ffprobe;
    QTemporaryDir m_toneDir;
    QString m_tone;
    QString m_longTone;
    QString m_headerFirstTone;   // 6 s, its length in a header at the front
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_sources;
    QString m_temp;
    QString m_tools;
};

void TestConversion::initTestCase()
{
#ifndef Q_OS_UNIX
    QSKIP("The stand-in tools are POSIX shell scripts");
#endif
    m_ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    m_lame = QStandardPaths::findExecutable(QStringLiteral("lame"));
    m_ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
    if (m_ffmpeg.isEmpty() || m_lame.isEmpty() || m_ffprobe.isEmpty())
        QSKIP("ffmpeg, ffprobe and lame are needed");

    QVERIFY(m_toneDir.isValid());
    m_tone = m_toneDir.filePath(QStringLiteral("tone.m4a"));
    m_longTone = m_toneDir.filePath(QStringLiteral("long.m4a"));
    // Stereo, as most music is; the decoder's default bitrate for it (128 kbps) differs from
    // the bitrate the tests choose.
    m_headerFirstTone = m_toneDir.filePath(QStringLiteral("header-first.m4a"));
    for (const auto &[path, seconds] : {std::pair{m_tone, 1}, std::pair{m_longTone, 4},
                                        std::pair{m_headerFirstTone, 6}})
        QVERIFY(TestKit::makeTone(m_ffmpeg, path, seconds, path == m_headerFirstTone));
}

void TestConversion::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    const QDir work(m_work->path());
    QVERIFY(work.mkdir(QStringLiteral("sources")));
    QVERIFY(work.mkdir(QStringLiteral("temp")));
    QVERIFY(work.mkdir(QStringLiteral("tools")));
    m_sources = work.filePath(QStringLiteral("sources"));
    m_temp = work.filePath(QStringLiteral("temp"));
    m_tools = work.filePath(QStringLiteral("tools"));
}

void TestConversion::cleanup()
{
    m_work.reset();
}

// Jobs that finish together write their tags together. TagLib fills some tables of its own
// on the first such write, unguarded; this runs before anything else in the program has used
// TagLib, every job let go at the same moment, and the sanitizer build's leak check sees what
// a race there loses. Each file gets its tags whole.
void TestConversion::tagsWrittenAtOnce()
{
    const QString plain = QDir(m_work->path()).filePath(QStringLiteral("plain.mp3"));
    QVERIFY(TestKit::makeMusic(m_ffmpeg, plain, TestKit::Music{44100, 2, 1, QStringLiteral("libmp3lame")}));
    SourceTags tags;
    tags.fields = {{QStringLiteral("TITLE"), {QStringLiteral("Title")}}, {QStringLiteral("ARTIST"), {QStringLiteral("Artist")}},
                   {QStringLiteral("ARRANGER"), {QStringLiteral("Arranger")}}};
    constexpr int kJobs = 8;
    QThreadPool pool;
    pool.setMaxThreadCount(kJobs);
    std::atomic<int> waiting{kJobs};
    QList<QFuture<bool>> jobs;
    for (int i = 0; i < kJobs; ++i) {
        const QString copy = QDir(m_work->path()).filePath(QStringLiteral("copy%1.mp3").arg(i));
        QVERIFY(QFile::copy(plain, copy));
        jobs.append(QtConcurrent::run(&pool, [&waiting, &tags, copy] {
            for (--waiting; waiting.load() > 0;) {
            }
            return TagCopy::writeId3v23(tags, copy);
        }));
    }
    for (int i = 0; i < kJobs; ++i) {
        QVERIFY(jobs[i].result());
        QCOMPARE(TagCopy::readFields(QDir(m_work->path()).filePath(QStringLiteral("copy%1.mp3").arg(i))), tags.fields);
    }
}

void TestConversion::threeFilesConvertOneAfterAnother()
{
    const QStringList sources = {source(QStringLiteral("one.m4a")), source(QStringLiteral("two.m4a")),
                                 source(QStringLiteral("three.m4a"))};
    BatchSession batch(TestKit::withSources(settings(192), sources));
    QStringList events;
    connect(&batch, &BatchSession::fileStarted, this, [&events](int index, int total) {
        events.append(QStringLiteral("start %1/%2").arg(index).arg(total));
    });
    connect(&batch, &BatchSession::fileFinished, this, [&events](const FileResult &result) {
        events.append(QStringLiteral("done %1").arg(result.index));
    });
    QSignalSpy finished(&batch, &BatchSession::finished);
    batch.start();
    QVERIFY(batch.isRunning());
    QVERIFY(finished.wait(60000));

    QCOMPARE(events, (QStringList{QStringLiteral("start 0/3"), QStringLiteral("done 0"),
                                  QStringLiteral("start 1/3"), QStringLiteral("done 1"),
                                  QStringLiteral("start 2/3"), QStringLiteral("done 2")}));
    QCOMPARE(finished.at(0).at(0).value<BatchOutcome>().cancelled, false);
    const auto results = finished.at(0).at(0).value<BatchOutcome>().files;
    QCOMPARE(results.size(), 3);
    QStringList temps;
    for (int i = 0; i < 3; ++i) {
        const FileResult &result = results.at(i);
        QCOMPARE(result.index, i);
        QCOMPARE(result.sourcePath, sources.at(i));
        QCOMPARE(result.displayName, QFileInfo(sources.at(i)).completeBaseName() + QStringLiteral(".mp3"));
        QCOMPARE(result.status, FileStatus::Converted);
        QVERIFY(result.reason.isEmpty());
        QCOMPARE(QFileInfo(QFileInfo(result.tempPath).absolutePath()).absolutePath(), QDir(m_temp).absolutePath());
        QVERIFY(TestKit::isTempMp3Name(QFileInfo(result.tempPath).fileName()));

        const Probe info = TestKit::probe(m_ffprobe, result.tempPath);
        QCOMPARE(info.format, QStringLiteral("mp3"));
        QCOMPARE(info.codec, QStringLiteral("mp3"));
        QVERIFY2(qAbs(info.bitRate - 192000) <= 192000 / 50, qPrintable(QString::number(info.bitRate)));
        temps.append(QFileInfo(result.tempPath).fileName());
    }
    // The encoder's output has taken the temporary files' places; nothing else is left.
    temps.sort();
    QCOMPARE(tempFolderEntries(), temps);
    QVERIFY(!batch.isRunning());
}

void TestConversion::twoJobsKeepSourceOrder()
{
    // The long first file is still being converted when the short ones are done.
    const QStringList sources = {source(QStringLiteral("long.m4a"), m_longTone),
                                 source(QStringLiteral("b.m4a")), source(QStringLiteral("c.m4a")),
                                 source(QStringLiteral("d.m4a"))};
    BatchSession batch(TestKit::withSources(settings(96, 2), sources));
    int running = 0;
    int mostAtOnce = 0;
    connect(&batch, &BatchSession::fileStarted, this, [&] { mostAtOnce = qMax(mostAtOnce, ++running); });
    connect(&batch, &BatchSession::fileFinished, this, [&] { --running; });
    QSignalSpy finished(&batch, &BatchSession::finished);
    batch.start();
    QVERIFY(finished.wait(60000));

    QCOMPARE(mostAtOnce, 2);
    const auto results = finished.at(0).at(0).value<BatchOutcome>().files;
    QCOMPARE(results.size(), sources.size());
    QSet<QString> temps;
    for (int i = 0; i < results.size(); ++i) {
        QCOMPARE(results.at(i).index, i);
        QCOMPARE(results.at(i).sourcePath, sources.at(i));
        QCOMPARE(results.at(i).status, FileStatus::Converted);
        QVERIFY(qAbs(TestKit::probe(m_ffprobe, results.at(i).tempPath).bitRate - 96000) <= 96000 / 50);
        temps.insert(results.at(i).tempPath);
    }
    QCOMPARE(temps.size(), sources.size());
    QCOMPARE(tempFolderEntries().size(), sources.size());
}

void TestConversion::awkwardSourceNamesConvert()
{
    const QStringList names = {QStringLiteral("with  spaces .m4a"), QStringLiteral("\"double\" 'single'.m4a"),
                               QStringLiteral("$HOME $(id) `id`.m4a"), QStringLiteral("-y.m4a"),
                               QStringLiteral("été 日本 – ñ.m4a"), QStringLiteral("no extension")};
    QStringList sources;
    for (const QString &name : names)
        sources.append(source(name));

    QList<FileResult> results;
    QVERIFY(TestKit::runBatch(sources, settings(128, 2), &results));
    for (int i = 0; i < names.size(); ++i) {
        QVERIFY2(results.at(i).status == FileStatus::Converted, qPrintable(results.at(i).reason));
        QCOMPARE(TestKit::probe(m_ffprobe, results.at(i).tempPath).codec, QStringLiteral("mp3"));
    }
    QCOMPARE(results.at(3).displayName, QStringLiteral("-y.mp3"));
    QCOMPARE(results.at(4).displayName, QStringLiteral("été 日本 – ñ.mp3"));
    QCOMPARE(results.at(5).displayName, QStringLiteral("no extension.mp3"));
    QCOMPARE(tempFolderEntries().size(), names.size());
}

// How many samples a channel of path decodes to with the real decoder; -1 when it fails.
static qint64 decodedSamples(const QString &ffmpeg, const QString &path)
{
    QProcess decoder;
    decoder.start(ffmpeg, QStringList{QStringLiteral("-i"), path} + QStringLiteral("-v error -ac 1 -f s16le -").split(u' '));
    return decoder.waitForFinished(30000) && decoder.exitCode() == 0 ? decoder.readAllStandardOutput().size() / 2 : -1;
}

// Each row: -V or -b and its value, the stereo mode, the source's rate (8000: mono) and codec,
// and the mode. Every value of every choice is in some row, rather than every one with every
// other; in both modes, so are the VBR choices whose average falls between two constant rates.
void TestConversion::encodingChoices_data()
{
    QTest::addColumn<TestKit::Music>("music");
    QTest::addColumn<Tools::Encoding>("encoding");
    QTest::addColumn<bool>("singlePass");
    for (const char *row : {"-V 1 simple 44100 aac two", "-V 1 simple 44100 alac single", "-V 1 simple 48000 alac two",
                            "-V 1 simple 48000 aac single", "-V 2 simple 44100 aac two", "-V 2 simple 44100 aac single",
                            "-V 2 simple 48000 aac two", "-V 2 simple 48000 alac single", "-V 2 joint 44100 aac two",
                            "-V 2 joint 44100 aac single", "-V 3 simple 22050 aac two", "-V 3 simple 22050 alac single",
                            "-V 4 simple 8000 aac two", "-V 4 simple 8000 aac single", "-V 5 simple 8000 alac two",
                            "-V 5 simple 8000 aac single", "-V 0 joint 48000 aac single", "-V 6 joint 22050 aac two",
                            // lame may resample these, and gives 8 kHz 64 kbps at most
                            "-V 7 simple 44100 alac single", "-V 8 simple 8000 aac two", "-V 9 simple 48000 aac single",
                            "-b 8 simple 44100 aac two", "-b 32 joint 22050 alac single", "-b 128 simple 8000 aac two",
                            "-b 192 joint 48000 alac two", "-b 320 simple 44100 aac single"}) {
        const QStringList field = QString::fromLatin1(row).split(u' ');
        const bool vbr = field.at(0) == QStringLiteral("-V");
        const int rate = field.at(3).toInt();
        QTest::newRow(row) << TestKit::Music{rate, rate == 8000 ? 1 : 2, 3, field.at(4)}
                           << Tools::Encoding{vbr ? 128 : field.at(1).toInt(), vbr ? field.at(1).toInt() : -1, field.at(2) == QStringLiteral("joint")}
                           << (field.at(5) == QStringLiteral("single"));
    }
}

// A file converts with no word beyond lame's note at 8 kHz, as long as its source to the sample
// where lame keeps the rate; the length read from its frames is what it decodes to. A VBR file's
// header counts its frames, and the file cut in half is found cut short all the same.
void TestConversion::encodingChoices()
{
    QFETCH(TestKit::Music, music);
    QFETCH(Tools::Encoding, encoding);
    QFETCH(bool, singlePass);
    SessionSetup setup = settings();
    setup.encoding = encoding;
    setup.tools.singlePass = singlePass;
    // Each source once a run, for every row that plays it.
    const QString song = m_toneDir.filePath(QStringLiteral("music %1 %2.m4a").arg(music.rate).arg(music.codec));
    QVERIFY(QFileInfo::exists(song) || TestKit::makeMusic(m_ffmpeg, song, music));
    QList<FileResult> results;
    QVERIFY(TestKit::runBatch({song}, setup, &results));
    const FileResult &result = results.at(0);
    QVERIFY2(result.status == FileStatus::Converted && result.warning.isEmpty(), qPrintable(result.reason + result.warning));
    QVERIFY2(result.note.isEmpty() || result.note.endsWith(QStringLiteral(" kbps is not possible at this source's sample rate")),
             qPrintable(result.note));

    const Probe out = TestKit::probe(m_ffprobe, result.tempPath);
    const qint64 samples = decodedSamples(m_ffmpeg, result.tempPath);
    const qint64 sourceSamples = decodedSamples(m_ffmpeg, song);
    QVERIFY(out.sampleRate > 0 && samples > 0 && sourceSamples > 0);
    QCOMPARE(out.channels, music.channels);
    if (out.sampleRate == music.rate)
        QCOMPARE(samples, sourceSamples);
    else   // lame's resampling leaves its own padding
        QVERIFY(qAbs(double(samples) / out.sampleRate - double(sourceSamples) / music.rate) < 0.25);
    // The frames hold every sample decoded and lame's delay and padding, together under 3456.
    const std::optional<MpegAudio::Facts> facts = MpegAudio::read(result.tempPath);
    const qint64 decodedMs = samples * 1000 / out.sampleRate;
    QVERIFY(facts && facts->lengthMs >= decodedMs - 1 && facts->lengthMs < decodedMs + 3456 * 1000 / out.sampleRate);
    if (!encoding.isVbr()) {
        QCOMPARE(facts->kbps * 1000, out.bitRate);   // its frame headers' rate, as ffprobe reads them
        return;
    }
    TagLib::MPEG::File mp3(QFile::encodeName(result.tempPath).constData());
    QVERIFY(mp3.audioProperties() && mp3.audioProperties()->xingHeader() && mp3.audioProperties()->xingHeader()->totalFrames() > 0);
    const QByteArray bytes = TestKit::readFile(result.tempPath);
    QVERIFY(bytes.left(1 << 16).contains("Xing"));   // lame's "Info" would say a constant rate
    const QString cut = QDir(m_work->path()).filePath(QStringLiteral("cut.mp3"));
    QVERIFY(TestKit::writeFile(cut, bytes.left(bytes.size() / 2)));
    const Verdicts::Output half{true, bytes.size() / 2, MpegAudio::read(cut)};
    QVERIFY(half.audio && qAbs(2 * half.audio->lengthMs - facts->lengthMs) < facts->lengthMs / 5);
    QCOMPARE(Verdicts::encoderVerdict({}, ProcessOutcome{true, false, 0, {}}, half, *facts, false).status, FileStatus::Failed);
}

void TestConversion::badFileAmongGoodOnes_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");   // empty: any non-empty reason

    QTest::newRow("random bytes") << QStringLiteral("random") << QString();
    QTest::newRow("zero bytes") << QStringLiteral("empty") << QString();
    QTest::newRow("text named .m4a") << QStringLiteral("text") << QString();
    QTest::newRow("truncated") << QStringLiteral("truncated") << QString();
    QTest::newRow("missing") << QStringLiteral("missing") << QStringLiteral("file not found");
    QTest::newRow("a folder") << QStringLiteral("folder") << QStringLiteral("not a regular file");
#ifdef Q_OS_UNIX
    QTest::newRow("a FIFO") << QStringLiteral("fifo") << QStringLiteral("not a regular file");
#endif
}

void TestConversion::badFileAmongGoodOnes()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);

    const QString badName = QStringLiteral("bad.m4a");
    QString bad;
    if (kind == QStringLiteral("random")) {
        QByteArray data(20000, Qt::Uninitialized);
        QRandomGenerator fixed(20240611);   // the same bytes on every run
        for (char &byte : data)
            byte = char(fixed.bounded(256));
        bad = writeSource(badName, data);
    } else if (kind == QStringLiteral("empty")) {
        bad = writeSource(badName, {});
    } else if (kind == QStringLiteral("text")) {
        bad = writeSource(badName, "This is not music.\n");
    } else if (kind == QStringLiteral("truncated")) {
        QFile tone(m_tone);
        QVERIFY(tone.open(QIODevice::ReadOnly));
        bad = writeSource(badName, tone.read(tone.size() / 2));
    } else if (kind == QStringLiteral("missing")) {
        bad = QDir(m_sources).filePath(badName);
#ifdef Q_OS_UNIX
    } else if (kind == QStringLiteral("fifo")) {
        bad = QDir(m_sources).filePath(badName);
        QCOMPARE(::mkfifo(QFile::encodeName(bad).constData(), 0600), 0);
#endif
    } else {
        QVERIFY(QDir(m_sources).mkdir(badName));
        bad = QDir(m_sources).filePath(badName);
    }

    const QStringList sources = {source(QStringLiteral("first.m4a")), bad, source(QStringLiteral("third.m4a"))};
    QList<FileResult> results;
    QVERIFY(TestKit::runBatch(sources, settings(), &results));

    QCOMPARE(results.size(), 3);
    QCOMPARE(results.at(0).status, FileStatus::Converted);
    QCOMPARE(results.at(2).status, FileStatus::Converted);
    const FileResult &failed = results.at(1);
    QCOMPARE(failed.status, FileStatus::Failed);
    QCOMPARE(failed.sourcePath, bad);
    QCOMPARE(failed.displayName, QStringLiteral("bad.mp3"));
    QVERIFY(!failed.reason.isEmpty());
    QVERIFY(!failed.reason.contains(u'\n'));
    if (!reason.isEmpty())
        QCOMPARE(failed.reason, reason);
    QVERIFY(failed.tempPath.isEmpty());
    QStringList kept = {QFileInfo(results.at(0).tempPath).fileName(),
                        QFileInfo(results.at(2).tempPath).fileName()};
    kept.sort();
    QCOMPARE(tempFolderEntries(), kept);
}

void TestConversion::decoderProblem_data()
{
    QTest::addColumn<QString>("script");   // the decoder's arguments: -i SOURCE ... TEMP (the 13th)
    QTest::addColumn<QString>("reason");

    QTest::newRow("writes part of a file and fails")
        << QStringLiteral("printf 'ID3 partial' > \"${13}\"; echo 'fake decoder: broken input' >&2; exit 1")
        << QStringLiteral("fake decoder: broken input");
    QTest::newRow("fails without a word")
        << QStringLiteral("printf 'partial' > \"${13}\"; exit 7")
        << QStringLiteral("the decoder failed with exit code 7");
    QTest::newRow("succeeds without a file") << QStringLiteral("exit 0")
                                             << QStringLiteral("the decoder wrote no file");
    QTest::newRow("succeeds with an empty file") << QStringLiteral(": > \"${13}\"; exit 0")
                                                 << QStringLiteral("the decoder wrote an empty file");
    QTest::newRow("killed half-way")
        << QStringLiteral("printf 'partial' > \"${13}\"; kill -9 $$")
        << QStringLiteral("the decoder ended abnormally");
}

void TestConversion::decoderProblem()
{
    QFETCH(QString, script);
    QFETCH(QString, reason);

    const QString encoderRan = QDir(m_work->path()).filePath(QStringLiteral("encoder-ran"));
    SessionSetup tools = settings();
    tools.tools.decoder = writeScript(m_tools, QStringLiteral("ffmpeg"), script);
    tools.tools.encoder = writeScript(m_tools, QStringLiteral("lame"),
                                      QStringLiteral("touch %1").arg(shellQuoted(encoderRan)));
    QList<FileResult> results;
    QVERIFY(TestKit::runBatch({source(QStringLiteral("song.m4a"))}, tools, &results));

    QCOMPARE(results.at(0).status, FileStatus::Failed);
    QCOMPARE(results.at(0).reason, reason);
    QVERIFY(results.at(0).tempPath.isEmpty());
    QVERIFY(tempFolderEntries().isEmpty());
    QVERIFY(!QFile::exists(encoderRan));
}

void TestConversion::encoderProblemKeepsDecoderBitrate_data()
{
    QTest::addColumn<QString>("script");   // empty: no encoder at all; else -h -m s -b N IN OUT
    QTest::addColumn<QString>("reason");

    const QString kept = QStringLiteral("kept at 320 kbps: the encoder failed: ");
    QTest::newRow("writes part of its output and fails")
        << QStringLiteral("printf 'partial' > \"$7\"; echo 'fake encoder: disk full' >&2; exit 1")
        << kept + QStringLiteral("fake encoder: disk full");
    QTest::newRow("succeeds without output") << QStringLiteral("exit 0")
                                             << kept + QStringLiteral("the encoder wrote no file");
    QTest::newRow("killed half-way") << QStringLiteral("printf 'partial' > \"$7\"; kill -9 $$")
                                     << kept + QStringLiteral("the encoder ended abnormally");
    QTest::newRow("damages its input and fails")
        << QStringLiteral(": > \"$6\"; exit 1") << QString();
}

void TestConversion::encoderProblemKeepsDecoderBitrate()
{
    QFETCH(QString, script);
    QFETCH(QString, reason);

    SessionSetup tools = settings(320);
    tools.tools.encoder = script.isEmpty() ? QDir(m_tools).filePath(QStringLiteral("lame"))
                                           : writeScript(m_tools, QStringLiteral("lame"), script);
    QList<FileResult> results;
    QVERIFY(TestKit::runBatch({source(QStringLiteral("song.m4a"))}, tools, &results));
    const FileResult &result = results.at(0);

    if (reason.isEmpty()) {
        // Without the decoder's file there is nothing left to keep.
        QCOMPARE(result.status, FileStatus::Failed);
        QVERIFY(tempFolderEntries().isEmpty());
        return;
    }
    QCOMPARE(result.status, FileStatus::KeptDecoderBitrate);
    QVERIFY(result.isConverted());
    QCOMPARE(result.reason, reason);
    const Probe info = TestKit::probe(m_ffprobe, result.tempPath);
    QCOMPARE(info.codec, QStringLiteral("mp3"));
    QVERIFY2(qAbs(info.bitRate - 320000) <= 320000 / 50, qPrintable(QString::number(info.bitRate)));
    // No half-written encoder output stays beside it.
    QCOMPARE(tempFolderEntries(), QStringList{QFileInfo(result.tempPath).fileName()});
}

void TestConversion::shortSourceIsNamed_data()
{
    QTest::addColumn<double>("keptShare");    // of the 6 s source's bytes
    QTest::addColumn<QString>("afterwards");  // printed to stderr after the real decoder's run
    QTest::addColumn<QString>("warning");     // a pattern; empty: no warning

    const QString damaged = QStringLiteral("; the source may be damaged$");
    QTest::newRow("whole source") << 1.0 << QString() << QString();
    QTest::newRow("source cut to half")
        << 0.5 << QString() << QStringLiteral("^converted 0:0\\d of 0:06") + damaged;
    // The times said match the 6 s the real decoder wrote: its file is checked against them.
    QTest::newRow("decoder says 0:06 of 3:00")
        << 1.0 << QStringLiteral("  Duration: 00:03:00.02, start: 0.000000\\nsize=  1kB time=00:00:06.00 bitrate=1\\r")
        << QStringLiteral("^converted 0:06 of 3:00") + damaged;
    QTest::newRow("a negative time after the last good one")
        << 1.0 << QStringLiteral("  Duration: 00:03:00.02,\\ntime=00:00:06.00 \\rtime=-577014:32:22.77\\r")
        << QStringLiteral("^converted 0:06 of 3:00") + damaged;
    QTest::newRow("length not available")
        << 1.0 << QStringLiteral("  Duration: N/A, start: 0.000000\\nsize=  1kB time=00:00:01.00 bitrate=1\\r")
        << QString();
    // The length said is the file's own, whatever the decoder's last progress line said.
    QTest::newRow("no progress line")
        << 1.0 << QStringLiteral("  Duration: 00:03:00.02,\\n") << QStringLiteral("^converted 0:06 of 3:00") + damaged;
    QTest::newRow("last progress line lags behind the file")
        << 1.0 << QStringLiteral("  Duration: 00:03:00.02,\\nsize=  1kB time=00:00:02.00 bitrate=1\\r")
        << QStringLiteral("^converted 0:06 of 3:00") + damaged;
    QTest::newRow("under 1 s short")
        << 1.0 << QStringLiteral("  Duration: 00:00:06.00,\\nsize= time=00:00:05.10 \\r") << QString();
}

// A source that decodes clearly short of its stated length still counts as converted, with a
// note. Stand-in decoders run the real one first and then print lines as it would.
void TestConversion::shortSourceIsNamed()
{
    QFETCH(double, keptShare);
    QFETCH(QString, afterwards);
    QFETCH(QString, warning);

    QFile tone(m_headerFirstTone);
    QVERIFY(tone.open(QIODevice::ReadOnly));
    const QString song = writeSource(QStringLiteral("song.m4a"), tone.read(qint64(double(tone.size()) * keptShare)));
    ToolSet tools = settings().tools;
    if (!afterwards.isEmpty()) {
        tools.decoder = writeScript(m_tools, QStringLiteral("ffmpeg"),
                                    QStringLiteral("%1 \"$@\" 2>/dev/null || exit; printf '%2' >&2")
                                        .arg(shellQuoted(m_ffmpeg), afterwards));
    }
    FileConversion conversion(0, song, Tools::Encoding{128}, tools);
    QSignalSpy finished(&conversion, &FileConversion::finished);
    conversion.start();
    QVERIFY(finished.wait(60000));
    const auto result = finished.at(0).at(0).value<FileResult>();

    QVERIFY2(result.status == FileStatus::Converted || result.status == FileStatus::KeptDecoderBitrate,
             qPrintable(result.reason));
    QVERIFY(QFileInfo(result.tempPath).size() > 0);
    if (warning.isEmpty())
        QVERIFY2(result.warning.isEmpty(), qPrintable(result.warning));
    else
        QVERIFY2(QRegularExpression(warning).match(result.warning).hasMatch(), qPrintable(result.warning));
}

// "a|b|c" as a list; no text at all as an empty one.
static QStringList list(const char *texts)
{
    return QString::fromUtf8(texts).split(u'|', Qt::SkipEmptyParts);
}

void TestConversion::tagsAndCovers_data()
{
    QTest::addColumn<QString>("make");          // ffmpeg's options for the source, if not the tone
    QTest::addColumn<QStringList>("fields");    // the source's, as TagLib names them
    QTest::addColumn<QByteArrayList>("covers"); // a PNG's bytes start with \x89
    QTest::addColumn<QStringList>("frames");    // the MP3's ID3v2.3 tag as TagLib reads it, its ID3v1, a new cover's size
    QTest::addColumn<QString>("note");
    QTest::addColumn<TagChoices>("choices");

    const QByteArray jpeg("\xFF\xD8\xFF\xE0 the source's own JPEG");
    const QByteArray png("\x89PNG\r\n the source's own PNG");
    QTest::newRow("rich tags, JPEG and PNG covers")
        << QString() << list("TITLE=Song|ARTIST=Artist|ALBUM=Album|ALBUMARTIST=Band|COMPOSER=Composer|GENRE=Jazz|"
                             "DATE=2021|TRACKNUMBER=3/12|DISCNUMBER=1/2|COMMENT=Said|LYRICS=La la|COMPILATION=1|"
                             "BPM=120|GROUPING=Group|ARTISTSORT=Artist, The|MUSICBRAINZ_ALBUMID=mb-album|"
                             "MUSICBRAINZ_TRACKID=mb-track|replaygain_track_gain=-6.50 dB")
        << QByteArrayList{jpeg, png}
        << list("APIC=2 [image/png]|APIC=[image/jpeg]|COMM=Said|TALB=Album|TBPM=120|TCMP=1|TCOM=Composer|"
                "TCON=Jazz|TDRC=2021|TIT1=Group|TIT2=Song|TPE1=Artist|TPE2=Band|TPOS=1/2|TRCK=3/12|"
                "TSOP=Artist, The|TXXX=[MusicBrainz Album Id] mb-album|TXXX=[REPLAYGAIN_TRACK_GAIN] -6.50 dB|"
                "UFID=|USLT=La la")
        << QString() << TagChoices();
    QTest::newRow("PNG cover") << QString() << list("TITLE=Song") << QByteArrayList{png}
                               << list("APIC=[image/png]|TIT2=Song") << QString() << TagChoices();
    QTest::newRow("no tags but ffmpeg's own") << QString() << list("") << QByteArrayList() << list("") << QString() << TagChoices();
    QTest::newRow("non-ASCII") << QString() << list("TITLE=Чайка – été 日本|ARTIST=Ñandú") << QByteArrayList()
                               << list("TIT2=Чайка – été 日本|TPE1=Ñandú") << QString() << TagChoices();
    QTest::newRow("two audio tracks, the second longer and stereo")
        << QStringLiteral("-f lavfi -i sine=duration=1 -f lavfi -i sine=duration=3,aformat=channel_layouts=stereo "
                          "-map 0 -map 1 -c:a aac")
        << list("TITLE=Song") << QByteArrayList() << list("TIT2=Song")
        << QStringLiteral("only the first of 2 audio tracks was converted") << TagChoices();
    QTest::newRow("raw AAC named .m4a") << QStringLiteral("-f lavfi -i sine=duration=1 -c:a aac -f adts") << list("")
                                        << QByteArrayList() << list("")
                                        << QStringLiteral("the source's tags could not be read") << TagChoices();

    // One grey in a progressive JPEG: its DC scan alone, each block's difference 0 in a 1-bit code.
    const QByteArray progressive = QByteArray("\xFF\xD8\xFF\xDB\x00\x43\x00", 7) + QByteArray(64, 1)
        + QByteArray("\xFF\xC2\x00\x0B\x08\x05\xDC\x07\xD0\x01\x01\x11\x00\xFF\xC4\x00\x14\x00\x01", 19) + QByteArray(16, 0)
        + QByteArray("\xFF\xDA\x00\x08\x01\x01\x00\x00\x00\x00", 10) + QByteArray(250 * 188 / 8, 0) + "\xFF\xD9";   // 2000x1500
    const QString small = m_toneDir.filePath(QStringLiteral("small.jpg"));
    QVERIFY(TestKit::makeSource(m_ffmpeg, small, QString::fromUtf8("-f lavfi -i testsrc=size=300x200 -frames:v 1 -c:v mjpeg -f mjpeg").split(u' ')));
    QTest::newRow("progressive 2000 px cover, at most 500") << QString() << list("TITLE=Song") << QByteArrayList{progressive}
        << list("APIC=[image/jpeg]|TIT2=Song|cover=500,375") << QString() << TagChoices{500, false};
    QTest::newRow("baseline 300 px cover, at most 500") << QString() << list("TITLE=Song") << QByteArrayList{TestKit::readFile(small)}
        << list("APIC=[image/jpeg]|TIT2=Song") << QString() << TagChoices{500, false};
    QTest::newRow("cover the decoder cannot read") << QString() << list("TITLE=Song") << QByteArrayList{png} << list("APIC=[image/png]|TIT2=Song")
        << QStringLiteral("the cover could not be scaled down and is kept as it was") << TagChoices{500, false};
    QTest::newRow("ID3v1") << QString() << list("TITLE=A title of more than thirty bytes|ARTIST=Чайка – Ñandú|DATE=2021|TRACKNUMBER=3/12|"
                                                "GENRE=jazz|COMMENT=Said in more than twenty-eight bytes") << QByteArrayList()
        << list("COMM=Said in more than twenty-eight bytes|ID3v1=A title of more than thirty by;????? - Ñandú;;2021;Said in more than twenty-eig;"
                "3;8|TCON=jazz|TDRC=2021|TIT2=A title of more than thirty bytes|TPE1=Чайка – Ñandú|TRCK=3/12") << QString() << TagChoices{0, true};
}

void TestConversion::tagsAndCovers()
{
    QFETCH(QString, make);
    QFETCH(QStringList, fields);
    QFETCH(QByteArrayList, covers);
    QFETCH(QStringList, frames);
    QFETCH(QString, note);
    QFETCH(TagChoices, choices);

    const QString song = QDir(m_sources).filePath(QStringLiteral("song.m4a"));
    QVERIFY(TestKit::makeSource(m_ffmpeg, song, make.isEmpty() ? TestKit::toneOptions() : make.split(u' ')));
    if (!fields.isEmpty()) {
        TagLib::MP4::File file(QFile::encodeName(song).constData());
        TagLib::PropertyMap map;
        for (const QString &field : std::as_const(fields)) {
            const TagLib::String key = field.section(u'=', 0, 0).toStdString();
            const TagLib::StringList value(TagLib::String(field.section(u'=', 1).toStdString(), TagLib::String::UTF8));
            if (key.startsWith("replaygain"))   // a free-form item, outside TagLib's map
                file.tag()->setItem("----:com.apple.iTunes:" + key, value);
            else
                map.insert(key, value);
        }
        file.setProperties(map);
        TagLib::MP4::CoverArtList art;
        for (const QByteArray &cover : std::as_const(covers))
            art.append({cover.startsWith('\x89') ? TagLib::MP4::CoverArt::PNG : TagLib::MP4::CoverArt::JPEG,
                        TagLib::ByteVector(cover.constData(), uint(cover.size()))});
        file.tag()->setItem("covr", art);
        QVERIFY(file.save());
    }

    FileConversion conversion(0, song, Tools::Encoding{320}, settings().tools, choices);
    QSignalSpy finished(&conversion, &FileConversion::finished);
    conversion.start();
    QVERIFY(finished.wait(60000));
    const auto result = finished.at(0).at(0).value<FileResult>();
    QVERIFY2(result.status == FileStatus::Converted, qPrintable(result.reason));
    QVERIFY2(note.isEmpty() ? result.note.isEmpty() : result.note.startsWith(note), qPrintable(result.note));
    QVERIFY2(result.warning.isEmpty(), qPrintable(result.warning));   // the first track is whole
    QVERIFY(qAbs(TestKit::probe(m_ffprobe, result.tempPath).duration - 1.0) < 0.1);
    QCOMPARE(TestKit::chapters(m_ffprobe, result.tempPath), QJsonValue(QJsonArray()));   // none in the source

    TagLib::MPEG::File mp3(QFile::encodeName(result.tempPath).constData());
    QVERIFY(!mp3.hasAPETag());
    QCOMPARE(mp3.hasID3v2Tag(), !frames.isEmpty());   // an untagged source leaves no empty tag
    QStringList found;
    for (const TagLib::ID3v2::Frame *frame : mp3.ID3v2Tag(true)->frameList())
        found.append(QString::fromLatin1(frame->frameID().data(), 4) + u'='
                     + QString::fromStdString(frame->toString().to8Bit(true)));
    if (const TagLib::ID3v1::Tag *v1 = mp3.hasID3v1Tag() ? mp3.ID3v1Tag() : nullptr) {
        const auto text = [](const TagLib::String &field) { return QString::fromStdString(field.to8Bit(true)); };
        found.append(QStringLiteral("ID3v1=%1;%2;%3;%4;%5;%6;%7").arg(text(v1->title()), text(v1->artist()), text(v1->album()))
                         .arg(v1->year()).arg(text(v1->comment())).arg(v1->track()).arg(v1->genreNumber()));
    }
    const auto *front = mp3.hasID3v2Tag() && !mp3.ID3v2Tag()->frameList("APIC").isEmpty()
                            ? static_cast<TagLib::ID3v2::AttachedPictureFrame *>(mp3.ID3v2Tag()->frameList("APIC").front()) : nullptr;
    if (const QByteArray picture = front ? QByteArray(front->picture().data(), front->picture().size()) : QByteArray(); picture != covers.value(0)) {
        QCOMPARE(Cover::shapeOf(picture).kind, Cover::Shape::Kind::BaselineJpeg);
        const QString written = QDir(m_sources).filePath(QStringLiteral("front.jpg"));
        QVERIFY(TestKit::writeFile(written, picture));
        QProcess ffprobe;
        ffprobe.start(m_ffprobe, QString::fromUtf8("-v error -show_entries stream=width,height -of csv=p=0").split(u' ') << written);
        QVERIFY(ffprobe.waitForFinished(30000));
        found.append(QStringLiteral("cover=") + QString::fromUtf8(ffprobe.readAllStandardOutput().trimmed()));
    }
    found.sort();
    QCOMPARE(found, frames);
    if (!covers.isEmpty()) {
        QCOMPARE(mp3.ID3v2Tag()->header()->majorVersion(), 3u);
        QCOMPARE(front->type(), TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    }
}

void TestConversion::chaptersKept_data()
{
    QTest::addColumn<bool>("singlePass");
    QTest::addColumn<int>("count");   // chapters of 3 ms, titled "cN"; 0: three with awkward titles
    QTest::addColumn<bool>("split");  // a file per chapter, as the batch makes them (--split-chapters)
    QTest::newRow("two steps") << false << 0 << false;
    QTest::newRow("single pass") << true << 0 << false;
    for (int count : {255, 256, 600})   // a table of contents counts its entries in one byte
        QTest::addRow("%d chapters", count) << (count == 600) << count << false;
    QTest::newRow("split, two steps") << false << 0 << true;
    QTest::newRow("split, single pass") << true << 0 << true;
}

void TestConversion::smallDecoderBuildRunsWithoutWhatItLacks_data()
{
    QTest::addColumn<bool>("singlePass");
    QTest::addColumn<int>("runs");   // of the decoder, for two files one after the other
    // The first file finds out what the build lacks, one refusal at a time; the second does not.
    QTest::newRow("two steps: no metadata writer") << false << 3;
    QTest::newRow("single pass: nor 32-bit PCM") << true << 4;
}

// A decoder built small (the Windows package's) refuses, as ffmpeg does, the outputs it has no
// writer for; the files still convert, and nothing of the refused runs stays.
void TestConversion::smallDecoderBuildRunsWithoutWhatItLacks()
{
    QFETCH(bool, singlePass);
    QFETCH(int, runs);
    const QString runLog = QDir(m_work->path()).filePath(QStringLiteral("runs"));
    SessionSetup setup = settings();
    setup.tools.singlePass = singlePass;
    setup.tools.decoder = writeScript(
        m_tools, QStringLiteral("ffmpeg-small"),
        QStringLiteral("echo run >> %1\n"
                       "for a; do case \"$a\" in\n"
                       "  *.ffmeta) echo \"[NULL @ 0x1] Unable to find a suitable output format for '$a'\" >&2; exit 1 ;;\n"
                       "  pcm_s32le) echo \"Unknown encoder 'pcm_s32le'\" >&2; exit 1 ;;\n"
                       "esac; done\n"
                       "exec %2 \"$@\"")
            .arg(shellQuoted(runLog), shellQuoted(m_ffmpeg)));
    QList<FileResult> results;
    QVERIFY(TestKit::runBatch({source(QStringLiteral("a.m4a")), source(QStringLiteral("b.m4a"))}, setup, &results));

    QStringList kept;
    for (const FileResult &result : std::as_const(results)) {
        QVERIFY2(result.status == FileStatus::Converted, qPrintable(result.reason));
        QCOMPARE(TestKit::probe(m_ffprobe, result.tempPath).codec, QStringLiteral("mp3"));
        kept.append(QFileInfo(result.tempPath).fileName());
    }
    std::sort(kept.begin(), kept.end());
    QCOMPARE(tempFolderEntries(), kept);
    QCOMPARE(TestKit::readFile(runLog).count("run"), runs);
}

// An audiobook's chapters, titles with ffmpeg's escapes and a line break in them, reach the
// ID3v2.3 tag; their file does not stay.
void TestConversion::chaptersKept()
{
    QFETCH(bool, singlePass);
    QFETCH(int, count);
    QFETCH(bool, split);
    const QString meta = QDir(m_work->path()).filePath(QStringLiteral("chapters.txt"));
    QVERIFY(TestKit::writeFile(meta, ";FFMETADATA1\ntitle=Book\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=700\ntitle=Opening\n"
                                     "[CHAPTER]\nTIMEBASE=1/1000\nSTART=700\nEND=1400\ntitle=Two \\= \\; \\# \\\\ end\n"
                                     "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1400\nEND=2000\ntitle=Été – 終わり\\\nfin\n"));
    QStringList titles = count ? QStringList() : QStringList{QStringLiteral("Opening"), QStringLiteral("Two = ; # \\ end"), QStringLiteral("Été – 終わり\nfin")};
    QList<double> bounds = count ? QList<double>{0.0} : QList<double>{0.0, 0.7, 1.4, 2.0};
    QByteArray many = ";FFMETADATA1\n";   // titled: of untitled ones ffmpeg keeps 255 at most in the source
    for (int i = 0; i < count; ++i) {
        titles.append(QStringLiteral("c%1").arg(i));
        bounds.append(0.003 * (i + 1));
        many += "[CHAPTER]\nTIMEBASE=1/1000\nSTART=" + QByteArray::number(i * 3) + "\nEND=" + QByteArray::number(i * 3 + 3) + "\ntitle=c" + QByteArray::number(i) + '\n';
    }
    QVERIFY(count == 0 || TestKit::writeFile(meta, many));
    const QString book = QDir(m_sources).filePath(QStringLiteral("book.m4b"));
    QStringList make = QStringLiteral("-f lavfi -i sine=duration=2 -i META -map_metadata 1 -map_chapters 1 -c:a aac").split(u' ');
    make.replace(make.indexOf(QStringLiteral("META")), meta);
    QVERIFY(TestKit::makeSource(m_ffmpeg, book, make));
    if (split) {
        // Cut where the decoder says, each chapter's samples its own: they add up to the book's.
        const auto samples = [this](const QString &path) { return decodedSamples(m_ffmpeg, path); };
        SessionSetup setup = settings();
        setup.tools.singlePass = singlePass;
        ChapterLister lister(m_ffmpeg, 30, 1);
        QSignalSpy listed(&lister, &ChapterLister::finished);
        lister.list({book});
        QVERIFY(listed.wait(30000));
        setup.spans = LibraryLayout::chapterSpans(lister.lists().value(book).chapters);
        QCOMPARE(setup.spans.size(), 3);
        QList<FileResult> results;
        QVERIFY(TestKit::runBatch(QStringList(3, book), setup, &results));
        qint64 sum = 0;
        for (int i = 0; i < 3; ++i) {
            QVERIFY2(results.at(i).status == FileStatus::Converted, qPrintable(results.at(i).reason));
            const qint64 length = samples(results.at(i).tempPath);
            QVERIFY(i == 2 || qAbs(length - qRound64(44100 * (bounds[i + 1] - bounds[i]))) <= 1152);
            sum += length;
            TagLib::MPEG::File mp3(QFile::encodeName(results.at(i).tempPath).constData());
            const TagLib::PropertyMap tags = mp3.properties();
            QCOMPARE(QString::fromStdString(tags["TITLE"].toString().to8Bit(true)), titles.at(i));
            QCOMPARE(QString::fromStdString(tags["TRACKNUMBER"].toString().to8Bit(true)), QStringLiteral("%1/3").arg(i + 1));
            QCOMPARE(QString::fromStdString(tags["ALBUM"].toString().to8Bit(true)), QStringLiteral("Book"));
            QVERIFY(mp3.ID3v2Tag()->frameList("CHAP").isEmpty() && mp3.ID3v2Tag()->frameList("CTOC").isEmpty());
        }
        QVERIFY2(qAbs(sum - samples(book)) <= 3 * 1152, qPrintable(QString::number(sum - samples(book))));
        return;
    }
    ToolSet tools = settings().tools;
    tools.singlePass = singlePass;
    FileConversion conversion(0, book, Tools::Encoding{128}, tools);
    QSignalSpy finished(&conversion, &FileConversion::finished);
    conversion.start();
    QVERIFY(finished.wait(60000));
    const auto result = finished.at(0).at(0).value<FileResult>();
    QVERIFY2(result.status == FileStatus::Converted, qPrintable(result.reason));
    QVERIFY(TestKit::readFile(result.tempPath).startsWith("ID3\x03"));
    const QJsonArray chapters = TestKit::chapters(m_ffprobe, result.tempPath).toArray();
    QCOMPARE(chapters.size(), titles.size());
    for (int i = 0; i < chapters.size(); ++i) {
        const QJsonObject chapter = chapters.at(i).toObject();
        QCOMPARE(chapter.value(QStringLiteral("tags")).toObject().value(QStringLiteral("title")).toString(), titles.at(i));
        QVERIFY(qAbs(chapter.value(QStringLiteral("start_time")).toString().toDouble() - bounds[i]) < 0.003);
        QVERIFY(qAbs(chapter.value(QStringLiteral("end_time")).toString().toDouble() - bounds[i + 1]) < 0.003);
    }
    TagLib::MPEG::File mp3(QFile::encodeName(result.tempPath).constData());
    using Table = TagLib::ID3v2::TableOfContentsFrame;
    QStringList walked;   // as a reader walks the tables of contents: from the top-level one down
    const std::function<void(const Table *, bool)> walk = [&](const Table *table, bool top) {
        QVERIFY(table && table->isTopLevel() == top && table->isOrdered() && table->entryCount() <= 255);
        for (const TagLib::ByteVector &id : table->childElements()) {
            if (const auto *chapter = TagLib::ID3v2::ChapterFrame::findByElementID(mp3.ID3v2Tag(), id))
                walked.append(QString::fromStdString(chapter->embeddedFrameList("TIT2").front()->toString().to8Bit(true)));
            else
                walk(Table::findByElementID(mp3.ID3v2Tag(), id), false);
        }
    };
    walk(Table::findTopLevel(mp3.ID3v2Tag()), true);
    QCOMPARE(walked, titles);
    QCOMPARE(tempFolderEntries(), QStringList{QFileInfo(result.tempPath).fileName()});
}

void TestConversion::fileProgress_data()
{
    QTest::addColumn<QString>("decoder");   // empty: the real one
    QTest::addColumn<QString>("encoder");
    QTest::addColumn<FileStatus>("status");

    QTest::newRow("converted") << QString() << QString() << FileStatus::Converted;
    QTest::newRow("encoder fails, decoder's file kept")
        << QString() << QStringLiteral("exit 1") << FileStatus::KeptDecoderBitrate;
    QTest::newRow("decoder fails") << QStringLiteral("exit 1") << QString() << FileStatus::Failed;
    QTest::newRow("decoder states no length")
        << QStringLiteral("%1 \"$@\" 2>/dev/null") << QString() << FileStatus::Converted;
}

void TestConversion::fileProgress()
{
    QFETCH(QString, decoder);
    QFETCH(QString, encoder);
    QFETCH(FileStatus, status);

    ToolSet tools = settings().tools;
    if (!decoder.isEmpty())
        tools.decoder = writeScript(m_tools, QStringLiteral("ffmpeg"),
                                    QString(decoder).replace(QStringLiteral("%1"), shellQuoted(m_ffmpeg)));
    if (!encoder.isEmpty())
        tools.encoder = writeScript(m_tools, QStringLiteral("lame"), encoder);
    FileConversion conversion(7, source(QStringLiteral("long.m4a"), m_longTone), Tools::Encoding{128}, tools);
    QList<double> fractions;
    bool finishedBeforeProgress = false;
    bool isFinished = false;
    connect(&conversion, &FileConversion::progress, this, [&](int index, double fraction) {
        QCOMPARE(index, 7);
        fractions.append(fraction);
        finishedBeforeProgress = finishedBeforeProgress || isFinished;
    });
    connect(&conversion, &FileConversion::finished, this, [&isFinished] { isFinished = true; });
    QSignalSpy finished(&conversion, &FileConversion::finished);
    conversion.start();
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.at(0).at(0).value<FileResult>().status, status);
    QVERIFY(!finishedBeforeProgress);

    if (status == FileStatus::Failed) {
        QVERIFY(fractions.isEmpty() || fractions.last() < 1.0);
        return;
    }
    // Rising in steps of at least 1 %, through the end of decoding, to the whole file.
    QVERIFY(!fractions.isEmpty());
    QVERIFY(fractions.size() <= 101);
    QVERIFY(fractions.contains(0.5));
    QCOMPARE(fractions.last(), 1.0);
    for (int i = 0; i < fractions.size(); ++i) {
        QVERIFY(fractions.at(i) > 0.0 && fractions.at(i) <= 1.0);
        if (i > 0) {
            const double step = fractions.at(i) - fractions.at(i - 1);
            QVERIFY2(step >= 0.01 || (step > 0 && (fractions.at(i) == 0.5 || fractions.at(i) == 1.0)),
                     qPrintable(QString::number(step)));
        }
    }
}

void TestConversion::cancelOrAbortFromProgress_data()
{
    QTest::addColumn<double>("at");
    QTest::addColumn<bool>("abort");

    QTest::newRow("cancel when decoded") << 0.5 << false;
    QTest::newRow("cancel when encoded") << 1.0 << false;
    QTest::newRow("abort when decoded") << 0.5 << true;
    QTest::newRow("abort when encoded") << 1.0 << true;
}

// A receiver of progress may stop the file while neither tool runs.
void TestConversion::cancelOrAbortFromProgress()
{
    QFETCH(double, at);
    QFETCH(bool, abort);

    FileConversion conversion(0, source(QStringLiteral("song.m4a")), Tools::Encoding{128}, settings().tools);
    bool stopped = false;
    connect(&conversion, &FileConversion::progress, this, [&](int, double fraction) {
        if (stopped || fraction < at)
            return;
        stopped = true;
        if (abort)
            conversion.abort();
        else
            conversion.cancel();
    });
    QSignalSpy finished(&conversion, &FileConversion::finished);
    conversion.start();
    QTRY_VERIFY_WITH_TIMEOUT(stopped, 60000);
    if (!abort) {
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
        const auto result = finished.at(0).at(0).value<FileResult>();
        QCOMPARE(result.status, FileStatus::Cancelled);
        QVERIFY(result.tempPath.isEmpty());
    }
    // A report the conversion had queued to itself (a converted one's, before its 1.0) comes first.
    bool flushed = false;
    QMetaObject::invokeMethod(&conversion, [&] { flushed = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(flushed);
    QCOMPARE(finished.count(), abort ? 0 : 1);
    QVERIFY(tempFolderEntries().isEmpty());
}

void TestConversion::batchProgressAndOrder_data()
{
    QTest::addColumn<int>("jobs");
    QTest::addColumn<bool>("longestFirst");   // c is 4 s long, e 6 s, the others 1 s
    QTest::newRow("one at a time") << 1 << false;
    QTest::newRow("three at once") << 3 << false;
    QTest::newRow("one at a time, longest first") << 1 << true;
}

// Every file is decoded exactly once, into a name no other file uses; files start in source
// order (or longest first) and results come in source order; the share done only rises and
// ends whole.
void TestConversion::batchProgressAndOrder()
{
    QFETCH(int, jobs);
    QFETCH(bool, longestFirst);

    const QString log = QDir(m_work->path()).filePath(QStringLiteral("decoder.log"));
    SessionSetup tools = settings(128, jobs);
    tools.tools.decoder = writeScript(m_tools, QStringLiteral("ffmpeg"),
                                      QStringLiteral("printf '%s\\t%s\\n' \"$2\" \"${13}\" >> %1; exec %2 \"$@\"")
                                          .arg(shellQuoted(log), shellQuoted(m_ffmpeg)));
    tools.longestFirst = longestFirst;
    QStringList sources;
    for (const QString &name : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
                                QStringLiteral("d"), QStringLiteral("e")}) {
        const QString tone = name == QStringLiteral("c") ? m_longTone : name == QStringLiteral("e") ? m_headerFirstTone : m_tone;
        sources.append(source(name + QStringLiteral(".m4a"), tone));
    }
    const int total = int(sources.size());
    const QList<int> order = longestFirst ? QList<int>{4, 2, 0, 1, 3} : QList<int>{0, 1, 2, 3, 4};

    BatchSession batch(TestKit::withSources(tools, sources));
    QStringList events;
    QList<int> startedOrder;
    QList<double> shares;
    int running = 0;
    int mostAtOnce = 0;
    connect(&batch, &BatchSession::fileStarted, this, [&](int index, int count) {
        QCOMPARE(count, total);
        startedOrder.append(index);
        mostAtOnce = qMax(mostAtOnce, ++running);
        events.append(QStringLiteral("start %1").arg(index));
    });
    connect(&batch, &BatchSession::fileFinished, this, [&](const FileResult &result) {
        --running;
        events.append(QStringLiteral("done %1").arg(result.index));
    });
    connect(&batch, &BatchSession::progressChanged, this, [&](const BatchProgress &progress) {
        QCOMPARE(progress.total, total);
        shares.append(progress.shareDone);
        events.append(QStringLiteral("progress %1 %2").arg(progress.filesDone).arg(progress.shareDone == 1.0 ? QStringLiteral("whole")
                                                                                       : QStringLiteral("part")));
    });
    connect(&batch, &BatchSession::finished, this, [&] { events.append(QStringLiteral("finished")); });
    QSignalSpy finished(&batch, &BatchSession::finished);
    batch.start();
    QVERIFY(finished.wait(60000));

    QCOMPARE(finished.at(0).at(0).value<BatchOutcome>().cancelled, false);
    QCOMPARE(startedOrder, order);
    QCOMPARE(mostAtOnce, jobs);
    if (jobs == 1) {
        // Strictly in turn: a file starts only after the one before it has finished.
        QStringList turns;
        QStringList expected;
        for (const QString &event : std::as_const(events)) {
            if (event.startsWith(QStringLiteral("start")) || event.startsWith(QStringLiteral("done")))
                turns.append(event);
        }
        for (int index : order)
            expected << QStringLiteral("start %1").arg(index) << QStringLiteral("done %1").arg(index);
        QCOMPARE(turns, expected);
    }

    // Each fileFinished is followed by the count of files done so far; the last says all.
    int done = 0;
    for (int i = 0; i < events.size(); ++i) {
        if (!events.at(i).startsWith(QStringLiteral("done")))
            continue;
        ++done;
        QVERIFY(i + 1 < events.size());
        QVERIFY2(events.at(i + 1).startsWith(QStringLiteral("progress %1 ").arg(done)), qPrintable(events.at(i + 1)));
    }
    QCOMPARE(done, total);
    QCOMPARE(events.at(events.size() - 2), QStringLiteral("progress 5 whole"));
    QCOMPARE(events.last(), QStringLiteral("finished"));
    // Whole only once every file has finished, and said once.
    QCOMPARE(events.filter(QStringLiteral("whole")), QStringList{QStringLiteral("progress 5 whole")});
    for (int i = 0; i < shares.size(); ++i) {
        QVERIFY(shares.at(i) >= 0.0 && shares.at(i) <= 1.0);
        if (i > 0)
            QVERIFY(shares.at(i) > shares.at(i - 1) || shares.at(i) == shares.at(i - 1));
    }

    const auto results = finished.at(0).at(0).value<BatchOutcome>().files;
    QSet<QString> temps;
    for (int i = 0; i < total; ++i) {
        QCOMPARE(results.at(i).index, i);
        QCOMPARE(results.at(i).sourcePath, sources.at(i));
        QVERIFY2(results.at(i).status == FileStatus::Converted, qPrintable(results.at(i).reason));
        QVERIFY(results.at(i).warning.isEmpty());
        temps.insert(results.at(i).tempPath);
    }
    QCOMPARE(temps.size(), total);
    QCOMPARE(tempFolderEntries().size(), total);

    QFile logFile(log);
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    QStringList decoded;
    QSet<QString> outputs;
    for (const QByteArray &line : logFile.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split('\t');
        QCOMPARE(fields.size(), 2);
        decoded.append(QString::fromUtf8(fields.at(0)));
        outputs.insert(QString::fromUtf8(fields.at(1)));
    }
    decoded.sort();
    QCOMPARE(decoded, sources);
    QCOMPARE(outputs.size(), total);
    QCOMPARE(outputs, temps);
}

void TestConversion::emptyListFinishesFromTheEventLoop()
{
    BatchSession batch(TestKit::withSources(settings(), {}));
    QSignalSpy started(&batch, &BatchSession::fileStarted);
    QSignalSpy finished(&batch, &BatchSession::finished);
    QSignalSpy progress(&batch, &BatchSession::progressChanged);
    int progressAtFinish = -1;
    connect(&batch, &BatchSession::finished, this, [&] { progressAtFinish = int(progress.count()); });
    batch.start();
    QCOMPARE(finished.count(), 0);
    QVERIFY(finished.wait(10000));
    // Whole, like any batch that was not cancelled.
    QCOMPARE(progressAtFinish, 1);
    QCOMPARE(progress.at(0).at(0).value<BatchProgress>().shareDone, 1.0);
    QCOMPARE(progress.at(0).at(0).value<BatchProgress>().filesDone, 0);
    QCOMPARE(progress.at(0).at(0).value<BatchProgress>().total, 0);
    QVERIFY(finished.at(0).at(0).value<BatchOutcome>().files.isEmpty());
    QCOMPARE(finished.at(0).at(0).value<BatchOutcome>().cancelled, false);
    QCOMPARE(started.count(), 0);
    QVERIFY(!batch.isRunning());
}

void TestConversion::cancelDuringBatch()
{
    const QString pidFile = QDir(m_work->path()).filePath(QStringLiteral("slow.pid"));
    SessionSetup tools = settings();
    tools.tools.decoder = slowDecoder();
    const QStringList sources = {source(QStringLiteral("quick.m4a")), source(QStringLiteral("slow.m4a")),
                                 source(QStringLiteral("never.m4a"))};
    BatchSession batch(TestKit::withSources(tools, sources));
    QSignalSpy fileFinished(&batch, &BatchSession::fileFinished);
    QSignalSpy finished(&batch, &BatchSession::finished);
    QSignalSpy progress(&batch, &BatchSession::progressChanged);
    batch.start();
    QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 30000);
    const qint64 pid = readPid(pidFile);
    // The first file's result and the partial one.
    QCOMPARE(tempFolderEntries().size(), 2);

    batch.cancel();
    QVERIFY(batch.isRunning());   // until the slow decoder has ended
    QVERIFY(finished.wait(30000));

    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).value<BatchOutcome>().cancelled, true);
    const auto results = finished.at(0).at(0).value<BatchOutcome>().files;
    QCOMPARE(results.size(), 3);
    QCOMPARE(results.at(0).status, FileStatus::Converted);
    QCOMPARE(results.at(1).status, FileStatus::Cancelled);
    QCOMPARE(results.at(2).status, FileStatus::Cancelled);
    QCOMPARE(results.at(2).sourcePath, sources.at(2));
    QCOMPARE(fileFinished.count(), 2);   // the third file never started
    // The cancelled file counts as done; the one that never started does not.
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).value<BatchProgress>().filesDone, 2);
    QCOMPARE(progress.last().at(0).value<BatchProgress>().total, 3);
    QCOMPARE(progress.last().at(0).value<BatchProgress>().shareDone, 2.0 / 3.0);
    QVERIFY(!processExists(pid));
    QVERIFY(!batch.isRunning());
    // The converted file stays for whoever takes the results; nothing else is left.
    QCOMPARE(tempFolderEntries(), QStringList{QFileInfo(results.at(0).tempPath).fileName()});
}

void TestConversion::cancelWhileEncoding()
{
    const QString pidFile = QDir(m_work->path()).filePath(QStringLiteral("encoder.pid"));
    ToolSet tools = settings().tools;
    tools.encoder = writeScript(m_tools, QStringLiteral("lame"),
                                QStringLiteral("printf 'partial' > \"$7\"; echo $$ > %1; exec sleep 30")
                                    .arg(shellQuoted(pidFile)));
    FileConversion conversion(0, source(QStringLiteral("song.m4a")), Tools::Encoding{128}, tools);
    QSignalSpy finished(&conversion, &FileConversion::finished);
    conversion.start();
    QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 30000);
    const qint64 pid = readPid(pidFile);
    // The decoder's file and the encoder's output.
    QCOMPARE(TestKit::entries(m_temp).size(), 2);

    conversion.cancel();
    QVERIFY(finished.wait(30000));
    const auto result = finished.at(0).at(0).value<FileResult>();
    QCOMPARE(result.status, FileStatus::Cancelled);
    QVERIFY(result.tempPath.isEmpty());
    QVERIFY(!processExists(pid));
    QVERIFY(tempFolderEntries().isEmpty());
    bool flushed = false;
    QMetaObject::invokeMethod(&conversion, [&] { flushed = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(flushed);
    QCOMPARE(finished.count(), 1);
}

void TestConversion::abortDeletesEveryTemporaryFile()
{
    const QString pidFile = QDir(m_work->path()).filePath(QStringLiteral("slow.pid"));
    SessionSetup tools = settings();
    tools.tools.decoder = slowDecoder();
    auto batch = std::make_unique<BatchSession>(
        TestKit::withSources(tools, {source(QStringLiteral("quick.m4a")), source(QStringLiteral("slow.m4a"))}));
    QSignalSpy fileFinished(batch.get(), &BatchSession::fileFinished);
    QSignalSpy finished(batch.get(), &BatchSession::finished);
    batch->start();
    QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 30000);
    const qint64 pid = readPid(pidFile);
    QCOMPARE(fileFinished.count(), 1);
    QCOMPARE(tempFolderEntries().size(), 2);   // as in cancelDuringBatch

    batch->abort();
    QVERIFY(!batch->isRunning());
    QVERIFY(!processExists(pid));
    QVERIFY(tempFolderEntries().isEmpty());   // the converted file's too
    // The session posts its signals to itself: any still queued would come before this.
    bool flushed = false;
    QMetaObject::invokeMethod(batch.get(), [&] { flushed = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(flushed);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(fileFinished.count(), 1);
    batch.reset();
}

QString TestConversion::source(const QString &name, const QString &from)
{
    const QString path = QDir(m_sources).filePath(name);
    if (!QFile::copy(from.isEmpty() ? m_tone : from, path))
        qWarning("could not copy the tone to %s", qUtf8Printable(path));
    return path;
}

QString TestConversion::writeSource(const QString &name, const QByteArray &data)
{
    const QString path = QDir(m_sources).filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        qWarning("could not write %s", qUtf8Printable(path));
    return path;
}

SessionSetup TestConversion::settings(int bitrate, int jobs) const
{
    SessionSetup settings;
    settings.tools = {m_ffmpeg, m_lame, m_temp, {}};
    settings.encoding.bitrate = bitrate;
    settings.jobs = jobs;
    return settings;
}


QStringList TestConversion::tempFolderEntries() const
{
    return TestKit::tempEntries(m_temp);
}

// The real decoder, except for sources called slow.m4a: those get a partial file and a
// decoder that does not end by itself. Its process id lands in slow.pid beside the folders.
QString TestConversion::slowDecoder() const
{
    const QString pidFile = QDir(m_work->path()).filePath(QStringLiteral("slow.pid"));
    return writeScript(m_tools, QStringLiteral("ffmpeg"),
                       QStringLiteral("case \"$2\" in\n"
                                      "*/slow.m4a) printf 'partial' > \"${13}\"; echo $$ > %1; exec sleep 30 ;;\n"
                                      "*) exec %2 \"$@\" ;;\n"
                                      "esac")
                           .arg(shellQuoted(pidFile), shellQuoted(m_ffmpeg)));
}

QUORVANE_TEST_GUILESS_MAIN(TestConversion)
#include "tst_conversion.moc"
