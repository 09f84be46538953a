#include "convert/engine/tagcopy.h"
#include "convert/files/processidentity.h"
#include "convert/files/workfolder.h"
#include "convert/scripttools.h"
#include "testkit.h"
#include "testmain.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace ScriptTools;

// Runs the built quorvane-cli as a user would: real ffmpeg and lame beside it, on short
// generated tones, with its temporary folder (TMPDIR) and its output in the test's own
// folders so that anything it leaves behind is seen.
class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void usageErrors_data();
    void usageErrors();
    void helpAndVersion_data();
    void helpAndVersion();
    void mixedBatch_data();
    void mixedBatch();
    void repeatedNamesFollowSourceOrder();
    void existingFileIsReplaced();
    void damagedSourceIsNamed();
    void wholeOutputs_data();
    void wholeOutputs();
    void replayGainLeavesOutWhatHasNoLoudness();
    void saveFailureFailsTheFile();
    void dryRunListsWalkOrder();
    void folderWithoutM4aFiles();
    void unreadableNameFailsTheRun();
    void closedPipeStopsCleanly();
    void libraryInShardsThenAgain();
    void patternNamesFromTags();
    void splitChapters_data();
    void splitChapters();
    void signalCancels_data();
    void signalCancels();

private:
    struct Run
    {
        bool finished = false;
        int exitCode = -1;
        QString out;
        QString err;
    };
    using Probe = TestKit::Probe;

    Run run(const QStringList &arguments, const QString &program = {}, const std::function<void()> &inChild = {}) const;
    QString tone(const QString &relativePath, const QString &from = {}) const;   // a copy of a tone
    QString makeFolder(const QString &relativePath) const;
    QStringList temporaryLeftovers() const;

    QString m_cli;
    QString m_ffmpeg;
    QString m_ffprobe;
    QTemporaryDir m_toneDir;
    QString m_tone;        // 1 s
    QString m_longTone;    // 2 s
    QString m_headerFirstTone;   // 6 s, its length stated in a header at the front
    QString m_taggedTone;  // 2 s, with a title, an artist and a cover of about 12 kB
    QString m_taggedMusic;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_sources;
    QString m_out;
    QString m_temp;
};

void TestCli::initTestCase()
{
    const QString appDir = qEnvironmentVariable("QUORVANE_APP_DIR");
    QVERIFY2(!appDir.isEmpty(), "QUORVANE_APP_DIR names the folder of the built programs");
    m_cli = QDir(appDir).filePath(QStringLiteral("quorvane-cli"));
    QVERIFY2(QFileInfo(m_cli).isExecutable(), qPrintable(m_cli));
    m_ffmpeg = QDir(appDir).filePath(QStringLiteral("ffmpeg"));
    m_ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
    if (!QFileInfo(m_ffmpeg).isExecutable() || !QFileInfo(QDir(appDir).filePath(QStringLiteral("lame"))).isExecutable()
        || m_ffprobe.isEmpty())
        QSKIP("ffmpeg, ffprobe and lame are needed");

    QVERIFY(m_toneDir.isValid());
    m_tone = m_toneDir.filePath(QStringLiteral("tone.m4a"));
    m_longTone = m_toneDir.filePath(QStringLiteral("long.m4a"));
    m_headerFirstTone = m_toneDir.filePath(QStringLiteral("header-first.m4a"));
    for (const auto &[path, seconds] : {std::pair{m_tone, 1}, std::pair{m_longTone, 2},
                                        std::pair{m_headerFirstTone, 6}})
        QVERIFY(TestKit::makeTone(m_ffmpeg, path, seconds, path == m_headerFirstTone));
    m_taggedTone = m_toneDir.filePath(QStringLiteral("tagged.m4a"));
    QVERIFY(TestKit::makeSource(
        m_ffmpeg, m_taggedTone,
        {QStringLiteral("-i"), m_longTone, QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
         QStringLiteral("testsrc=size=240x240:d=1"), QStringLiteral("-map"), QStringLiteral("0"), QStringLiteral("-map"),
         QStringLiteral("1"), QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-c:a"), QStringLiteral("copy"),
         QStringLiteral("-c:v"), QStringLiteral("mjpeg"), QStringLiteral("-disposition:v"), QStringLiteral("attached_pic"),
         QStringLiteral("-metadata"), QStringLiteral("title=Chanson d’été"), QStringLiteral("-metadata"),
         QStringLiteral("artist=Ñandú")}));
    // The same with the test kit's music in place of the tone.
    const QString music = m_toneDir.filePath(QStringLiteral("music.m4a"));
    m_taggedMusic = m_toneDir.filePath(QStringLiteral("tagged music.m4a"));
    QVERIFY(TestKit::makeMusic(m_ffmpeg, music, {44100, 2, 2})
            && TestKit::makeSource(m_ffmpeg, m_taggedMusic, QStringLiteral("-i %1 -i %2 -map 0:a -map 1:v -map_metadata 1 -c copy "
                                                                          "-disposition:v attached_pic").arg(music, m_taggedTone).split(u' ')));
}

void TestCli::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    m_sources = makeFolder(QStringLiteral("sources"));
    m_out = makeFolder(QStringLiteral("out"));
    m_temp = makeFolder(QStringLiteral("temp"));
}

void TestCli::cleanup()
{
    m_work.reset();
}

void TestCli::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");   // a part of the one-line message

    const QString x = QStringLiteral("x.m4a");
    QTest::newRow("no PATH") << QStringList{} << QStringLiteral("no PATH given");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--loud"), x} << QStringLiteral("Unknown option 'loud'");
    QTest::newRow("bitrate not offered") << QStringList{QStringLiteral("-b"), QStringLiteral("193"), x}
                                         << QStringLiteral("bitrate '193' is not offered");
    QTest::newRow("bitrate not a number") << QStringList{QStringLiteral("--bitrate"), QStringLiteral("loud"), x}
                                          << QStringLiteral("bitrate 'loud' is not offered");
    QTest::newRow("jobs zero") << QStringList{QStringLiteral("-j"), QStringLiteral("0"), x}
                               << QStringLiteral("jobs must be a positive whole number");
    QTest::newRow("output folder missing") << QStringList{QStringLiteral("-o"), QStringLiteral("missing"), x}
                                           << QStringLiteral("output folder does not exist: missing");
    QTest::newRow("output is a file") << QStringList{QStringLiteral("-o"), QStringLiteral("sources/file"), x}
                                      << QStringLiteral("output folder is not a folder");
    QTest::newRow("output folder not writable") << QStringList{QStringLiteral("-o"), QStringLiteral("/proc"), x}
                                                << QStringLiteral("output folder is not writable: /proc");
    QTest::newRow("dry run checks the output folder too")
        << QStringList{QStringLiteral("--dry-run"), QStringLiteral("-o"), QStringLiteral("missing"), x}
        << QStringLiteral("output folder does not exist");
}

void TestCli::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    if (arguments.contains(QStringLiteral("/proc")) && !QFileInfo(QStringLiteral("/proc")).isDir())
        QSKIP("no /proc here");
    QFile file(QDir(m_sources).filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    const Run result = run(arguments);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QString());
    const QStringList lines = result.err.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(0).startsWith(QStringLiteral("quorvane-cli: ")), qPrintable(result.err));
    QVERIFY2(lines.at(0).contains(message), qPrintable(result.err));
    QVERIFY(lines.at(1).contains(QStringLiteral("--help")));
    QCOMPARE(TestKit::entries(m_out), QStringList());
    QCOMPARE(TestKit::entries(m_temp), QStringList());
}

void TestCli::helpAndVersion_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");   // the whole of stdout, or a part of it

    QTest::newRow("--version") << QStringLiteral("--version")
                               << QStringLiteral("quorvane-cli %1\n").arg(QStringLiteral(QUORVANE_VERSION));
    QTest::newRow("--help") << QStringLiteral("--help")
                            << QStringLiteral("-b, --bitrate <KBPS>");
}

void TestCli::helpAndVersion()
{
    QFETCH(QString, option);
    QFETCH(QString, expected);

    const Run result = run({option});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QString());
    if (option == QStringLiteral("--version"))
        QCOMPARE(result.out, expected);
    else
        QVERIFY2(result.out.contains(expected), qPrintable(result.out));
}

void TestCli::mixedBatch_data()
{
    QTest::addColumn<QStringList>("mode");
    QTest::newRow("two steps") << QStringList();
    QTest::newRow("single pass") << QStringList{QStringLiteral("--single-pass")};
    QTest::newRow("VBR quality 2, joint stereo") << QStringList{QStringLiteral("-V"), QStringLiteral("2"), QStringLiteral("--stereo"), QStringLiteral("joint")};
    QTest::newRow("single pass, VBR quality 2") << QStringList{QStringLiteral("--single-pass"), QStringLiteral("-V"), QStringLiteral("2")};
    QTest::newRow("ReplayGain of an album") << QStringList{QStringLiteral("--replaygain"), QStringLiteral("album")};
    QTest::newRow("ID3v1") << QStringList{QStringLiteral("--id3v1")};
}

void TestCli::mixedBatch()
{
    QFETCH(QStringList, mode);
    // With ReplayGain, one album of the tagged music at two levels 10 dB apart.
    const bool gain = mode.contains(QStringLiteral("--replaygain"));
    for (const auto &[name, volume] : {std::pair{"first", 0}, std::pair{"third", -10}}) {
        const QString path = QDir(m_sources).filePath(QLatin1String(name) + QStringLiteral(".m4a"));
        QVERIFY(gain ? TestKit::makeSource(m_ffmpeg, path, {QStringLiteral("-i"), m_taggedMusic, QStringLiteral("-map"), QStringLiteral("0"),
                                                            QStringLiteral("-c:v"), QStringLiteral("copy"), QStringLiteral("-af"),
                                                            QStringLiteral("volume=%1dB").arg(volume), QStringLiteral("-c:a"),
                                                            QStringLiteral("aac"), QStringLiteral("-metadata"), QStringLiteral("album=Tones")})
                     : QFile::copy(m_taggedTone, path));
    }
    const QString bad = QDir(m_sources).filePath(QStringLiteral("second.m4a"));
    QByteArray noise(20000, Qt::Uninitialized);
    QRandomGenerator fixed(20240611);   // the same bytes on every run
    for (char &byte : noise)
        byte = char(fixed.bounded(256));
    QFile badFile(bad);
    QVERIFY(badFile.open(QIODevice::WriteOnly));
    QCOMPARE(badFile.write(noise), noise.size());
    badFile.close();
    // Planted by another user in the shared temporary folder: links to where they would like
    // a file made, at names of the kind the program uses, and a folder at one. None is
    // followed, none is touched, and no file fails for them.
    const QString victim = QDir(m_work->path()).filePath(QStringLiteral("victim"));
    QStringList planted{QStringLiteral("quorvane-planted"), QStringLiteral("zurvek99999999.mp3")};
    QVERIFY(QFile::link(victim, QDir(m_temp).filePath(planted.at(0))) && QDir(m_temp).mkdir(planted.at(1)));
    for (int i = 1; i <= 8; ++i) {
        planted.append(QStringLiteral("zurvek%1.mp3").arg(QString(8, QChar(u'0' + i))));
        QVERIFY(QFile::link(victim + QString::number(i), QDir(m_temp).filePath(planted.constLast())));
    }
    planted.sort();

    const bool vbr = mode.contains(QStringLiteral("-V"));
    const QStringList rate = vbr ? QStringList() : QStringList{QStringLiteral("-b"), QStringLiteral("192")};
    const Run result = run(mode + rate + QStringList{QStringLiteral("-o"), m_out,
                                              QStringLiteral("-j"), QStringLiteral("2"), m_sources});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QString());   // messages go to stderr, stdout stays for data
    QVERIFY2(!result.err.contains(QStringLiteral("quorvane-toolkeeper")), qPrintable(result.err));   // beside the program

    const QStringList lines = result.err.split(u'\n', Qt::SkipEmptyParts);
    const QString failedPrefix = QStringLiteral("FAILED     ") + QDir::toNativeSeparators(bad) + QStringLiteral(": ");
    QStringList failed;
    for (const QString &line : lines) {
        if (line.startsWith(failedPrefix)) {
            QVERIFY2(line.size() > failedPrefix.size(), qPrintable(line));   // with a reason
            failed.append(line);
        }
    }
    QCOMPARE(failed.size(), 2);   // as it happened, and again under the summary
    QVERIFY2(lines.contains(QStringLiteral("converted  %1 -> first.mp3")
                                .arg(QDir::toNativeSeparators(QDir(m_sources).filePath(QStringLiteral("first.m4a"))))),
             qPrintable(result.err));
    const qsizetype summary = lines.indexOf(QRegularExpression(QStringLiteral("^2 of 3 file\\(s\\) converted, 0 skipped, 1 failed in [0-9:]+$")));
    QVERIFY2(summary >= 0, qPrintable(result.err));
    QVERIFY2(lines.mid(summary + 1) == QStringList{failed.constLast()}, qPrintable(result.err));

    QCOMPARE(TestKit::entries(m_out), (QStringList{QStringLiteral("first.mp3"), QStringLiteral("third.mp3")}));
    const SourceTags tagged = TagCopy::readSource(m_taggedTone);
    QCOMPARE(tagged.pictures.size(), 1);
    QStringList albumGains;
    QList<double> trackGains;
    for (const QString &name : TestKit::entries(m_out)) {
        const Probe info = TestKit::probe(m_ffprobe, QDir(m_out).filePath(name));
        QCOMPARE(info.codec, QStringLiteral("mp3"));
        // lame marks a VBR file with a "Xing" header, a constant one with "Info".
        if (vbr)
            QVERIFY(TestKit::readFile(QDir(m_out).filePath(name)).left(1 << 20).contains("Xing"));
        else
            QVERIFY2(qAbs(info.bitRate - 192000) <= 192000 / 50, qPrintable(QString::number(info.bitRate)));
        QVERIFY2(qAbs(info.duration - 2.0) < 0.1, qPrintable(QString::number(info.duration)));
        const SourceTags tags = TagCopy::readSource(QDir(m_out).filePath(name));
        QCOMPARE(tags.fields.value(QStringLiteral("TITLE")), QStringList{QStringLiteral("Chanson d’été")});
        QCOMPARE(tags.fields.value(QStringLiteral("ARTIST")), QStringList{QStringLiteral("Ñandú")});
        QCOMPARE(tags.pictures.size(), 1);
        QCOMPARE(tags.pictures.at(0).data, tagged.pictures.at(0).data);
        const QByteArray id3v1 = TestKit::readFile(QDir(m_out).filePath(name)).right(128);   // as old players read it
        QCOMPARE(id3v1.startsWith("TAG") ? QString::fromLatin1(id3v1.mid(3, 30)).section(QChar(0), 0, 0) : QString(), QString::fromLatin1(mode.contains(QStringLiteral("--id3v1")) ? "Chanson d'\xE9t\xE9" : ""));
        if (gain) {
            // ReplayGain 2.0 brings the EBU R128 loudness (ffmpeg's ebur128 on the MP3, its last
            // integrated figure in full) to -18 LUFS.
            QProcess meter;
            meter.start(m_ffmpeg, {QStringLiteral("-nostats"), QStringLiteral("-i"), QDir(m_out).filePath(name), QStringLiteral("-af"),
                                   QStringLiteral("ebur128=metadata=1,ametadata=mode=print:key=lavfi.r128.I"), QStringLiteral("-f"),
                                   QStringLiteral("null"), QStringLiteral("-")});
            QVERIFY(meter.waitForFinished(60000));
            const QString said = QString::fromUtf8(meter.readAllStandardError());
            const double loudness = said.section(QStringLiteral("lavfi.r128.I="), -1).section(u'\n', 0, 0).toDouble();
            const double trackGain = tags.fields.value(QStringLiteral("REPLAYGAIN_TRACK_GAIN")).value(0).section(u' ', 0, 0).toDouble();
            QVERIFY2(loudness < -5.0 && qAbs(trackGain - (-18.0 - loudness)) <= 0.1,
                     qPrintable(QStringLiteral("%1 against %2").arg(trackGain).arg(loudness)));
            albumGains.append(tags.fields.value(QStringLiteral("REPLAYGAIN_ALBUM_GAIN")).value(0));
            trackGains.append(trackGain);
        }
    }
    if (gain) {
        QVERIFY(!albumGains.at(0).isEmpty());
        QCOMPARE(albumGains.at(1), albumGains.at(0));
        QVERIFY2(qAbs(trackGains.at(1) - trackGains.at(0) - 10.0) <= 0.2, qPrintable(QString::number(trackGains.at(0))));
    }
    QCOMPARE(TestKit::entries(m_temp), planted);
    QVERIFY(TestKit::entries(m_work->path()).filter(QStringLiteral("victim")).isEmpty());
    QCOMPARE(TestKit::entries(m_sources).size(), 3);
}

void TestCli::repeatedNamesFollowSourceOrder()
{
    // The longer, later file would finish last; its name must still follow the source order.
    const QString a = tone(QStringLiteral("a/song.m4a"), m_longTone);
    const QString b = tone(QStringLiteral("b/song.m4a"));
    const QString c = tone(QStringLiteral("c/SONG.m4a"));

    const Run result = run({QStringLiteral("-o"), m_out, QStringLiteral("-j"), QStringLiteral("3"), a, b, c});
    QVERIFY(result.finished);
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QVERIFY(result.err.contains(QStringLiteral("3 of 3 file(s) converted")));
    QCOMPARE(TestKit::entries(m_out), (QStringList{QStringLiteral("SONG (3).mp3"), QStringLiteral("song (2).mp3"),
                                          QStringLiteral("song.mp3")}));
    QVERIFY(TestKit::probe(m_ffprobe, QDir(m_out).filePath(QStringLiteral("song.mp3"))).duration > 1.5);
    QVERIFY(TestKit::probe(m_ffprobe, QDir(m_out).filePath(QStringLiteral("song (2).mp3"))).duration < 1.5);
    QVERIFY(result.err.contains(QStringLiteral("%1 -> song (2).mp3").arg(QDir::toNativeSeparators(b))));
    QCOMPARE(temporaryLeftovers(), QStringList());
}

void TestCli::existingFileIsReplaced()
{
    const QString source = tone(QStringLiteral("sources/tone.m4a"));
    const QString target = QDir(m_out).filePath(QStringLiteral("tone.mp3"));
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("an older file of the same name");
    old.close();

    // Relative paths, from the working folder, as typed in a shell.
    const Run result = run({QStringLiteral("--output"), QStringLiteral("out"), QStringLiteral("--bitrate=64 kbps"),
                            QStringLiteral("sources/tone.m4a")});
    QVERIFY(result.finished);
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QCOMPARE(TestKit::entries(m_out), QStringList{QStringLiteral("tone.mp3")});
    const Probe info = TestKit::probe(m_ffprobe, target);
    QCOMPARE(info.codec, QStringLiteral("mp3"));
    QVERIFY2(qAbs(info.bitRate - 64000) <= 64000 / 50, qPrintable(QString::number(info.bitRate)));
    QVERIFY(QFileInfo(source).isFile());

    // An existing file that is one of the batch's sources is never replaced, whatever path
    // names it: its output and the other source's take the next free names.
    const QByteArray mine = TestKit::readFile(target);
    const Run again = run({QStringLiteral("-j"), QStringLiteral("1"), QStringLiteral("-o"), QStringLiteral("out"),
                           QStringLiteral("sources/tone.m4a"), QStringLiteral("./out/../out/tone.mp3")});
    QVERIFY2(again.exitCode == 0, qPrintable(again.err));
    QCOMPARE(TestKit::readFile(target), mine);
    QCOMPARE(TestKit::entries(m_out), (QStringList{QStringLiteral("tone (2).mp3"), QStringLiteral("tone (3).mp3"),
                                                   QStringLiteral("tone.mp3")}));
    QVERIFY2(again.err.contains(QStringLiteral("tone.mp3 is one of the sources, so it was saved as tone (3).mp3")), qPrintable(again.err));

    // --existing rename keeps both: the new file takes the next name that is free on disk.
    const Run both = run({QStringLiteral("--existing"), QStringLiteral("rename"), QStringLiteral("-o"), QStringLiteral("out"),
                          QStringLiteral("sources/tone.m4a")});
    QVERIFY2(both.exitCode == 0 && both.err.contains(QStringLiteral("-> tone (4).mp3")), qPrintable(both.err));
    QCOMPARE(TestKit::readFile(target), mine);
    QCOMPARE(TestKit::entries(m_out).size(), 4);
}

// A source that decodes clearly short of its stated length is converted, named, counted
// apart and fails the run; its output is shorter than the source, so a later
// --skip-existing run converts it again.
void TestCli::damagedSourceIsNamed()
{
    QFile whole(m_headerFirstTone);
    QVERIFY(whole.open(QIODevice::ReadOnly));
    const QString cut = QDir(m_sources).filePath(QStringLiteral("cut.m4a"));
    QFile half(cut);
    QVERIFY(half.open(QIODevice::WriteOnly));
    QVERIFY(half.write(whole.read(whole.size() / 2)) > 0);
    half.close();

    const QRegularExpression warning(
        QStringLiteral("^warning    %1: converted 0:0\\d of 0:06; the source may be damaged$")
            .arg(QRegularExpression::escape(QDir::toNativeSeparators(cut))),
        QRegularExpression::MultilineOption);
    for (const QStringList &options : {QStringList(), QStringList{QStringLiteral("--skip-existing")}}) {
        const Run result = run(options + QStringList{QStringLiteral("-o"), m_out, cut});
        QVERIFY(result.finished);
        QVERIFY2(result.exitCode == 1, qPrintable(result.err));
        QVERIFY2(warning.match(result.err).hasMatch(), qPrintable(result.err));
        QVERIFY2(result.err.contains(QStringLiteral("0 of 1 file(s) converted, 1 incomplete, 0 skipped, 0 failed")),
                 qPrintable(result.err));
        QCOMPARE(TestKit::entries(m_out), QStringList{QStringLiteral("cut.mp3")});
    }
}

void TestCli::wholeOutputs_data()
{
    QTest::addColumn<QString>("change");   // what befalls the saved output (or its source) before a run again
    QTest::addColumn<double>("seconds");   // of the output after the run again; 0: skipped, untouched

    QTest::newRow("whole: skipped") << QString() << 0.0;
    QTest::newRow("0 bytes") << QStringLiteral("empty") << 2.0;
    // The first half still holds the tag in front, whose cover outweighs the audio left.
    QTest::newRow("cut in half") << QStringLiteral("half") << 2.0;
    QTest::newRow("random bytes") << QStringLiteral("random") << 2.0;
    QTest::newRow("shorter than its source") << QStringLiteral("longer source") << 6.0;
    // Its header still states every frame; under half of them are there.
    QTest::newRow("VBR whole: skipped") << QStringLiteral("VBR") << 0.0;
    QTest::newRow("VBR cut in half") << QStringLiteral("VBR half") << 2.0;
    // With --replaygain, an output is done only with the frames asked for.
    QTest::newRow("ReplayGain frames there: skipped") << QStringLiteral("gain") << 0.0;
    QTest::newRow("ReplayGain frames missing") << QStringLiteral("gain missing") << 2.0;
}

// Under --skip-existing an output newer than its source is left alone only when it is whole.
void TestCli::wholeOutputs()
{
    QFETCH(QString, change);
    QFETCH(double, seconds);
    const QString source = tone(QStringLiteral("sources/a.m4a"), m_taggedMusic);
    const QString output = QDir(m_out).filePath(QStringLiteral("a.mp3"));
    QStringList arguments{QStringLiteral("--skip-existing"), change.startsWith(u'V') ? QStringLiteral("-V") : QStringLiteral("-b"),
                          change.startsWith(u'V') ? QStringLiteral("2") : QStringLiteral("64"), QStringLiteral("-o"), m_out, source};
    const QStringList gain{QStringLiteral("--replaygain"), QStringLiteral("track")};
    QCOMPARE(run(change == QStringLiteral("gain") ? gain + arguments : arguments).exitCode, 0);
    if (change.startsWith(QStringLiteral("gain")))
        arguments = gain + arguments;
    QByteArray bytes = TestKit::readFile(output);
    QRandomGenerator fixed(20240612);   // the same bytes on every run
    for (char &byte : bytes)
        byte = change == QStringLiteral("random") ? char(fixed.bounded(256)) : byte;
    bytes.truncate(change == QStringLiteral("empty") ? 0 : change.endsWith(QStringLiteral("half")) ? bytes.size() / 2 : bytes.size());
    QVERIFY(TestKit::writeFile(output, bytes));
    QFile longer(source);   // another, longer recording in its place, still older than the output
    QVERIFY(change != QStringLiteral("longer source")
            || (longer.remove() && QFile::copy(m_headerFirstTone, source) && longer.open(QIODevice::Append)
                && longer.setFileTime(QFileInfo(output).lastModified().addSecs(-60), QFileDevice::FileModificationTime)));

    const Run again = run(arguments);
    QVERIFY2(again.exitCode == 0 && again.err.contains(seconds > 0 ? QStringLiteral("1 of 1 file(s) converted, 0 skipped")
                                                                  : QStringLiteral("0 of 1 file(s) converted, 1 skipped")),
             qPrintable(again.err));
    if (seconds > 0)
        QVERIFY2(qAbs(TestKit::probe(m_ffprobe, output).duration - seconds) < 0.1, qPrintable(again.err));
    else
        QCOMPARE(TestKit::readFile(output), bytes);
}

// Digital silence and a file under 0.4 s have no loudness to measure: saved without frames,
// with a warning, and left out of their album, whose gain is then the one file's own.
void TestCli::replayGainLeavesOutWhatHasNoLoudness()
{
    const QString album = makeFolder(QStringLiteral("album"));
    const QStringList tagged{QStringLiteral("-metadata"), QStringLiteral("album=Mixed")};
    QVERIFY(TestKit::makeMusic(m_ffmpeg, QDir(album).filePath(QStringLiteral("music.m4a")), {44100, 2, 2}, tagged));
    QVERIFY(TestKit::makeMusic(m_ffmpeg, QDir(album).filePath(QStringLiteral("short.m4a")), {44100, 2, 0.3}, tagged));
    QVERIFY(TestKit::makeSource(m_ffmpeg, QDir(album).filePath(QStringLiteral("silent.m4a")),
                                QStringList{QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                            QStringLiteral("anullsrc=r=44100:cl=stereo:d=2"), QStringLiteral("-c:a"),
                                            QStringLiteral("aac")} + tagged));

    const Run result = run({QStringLiteral("--replaygain"), QStringLiteral("album"), QStringLiteral("-o"), m_out, album});
    QVERIFY2(result.exitCode == 0, qPrintable(result.err));
    QVERIFY2(result.err.contains(QStringLiteral("3 of 3 file(s) converted, 2 saved without ReplayGain, 0 skipped")), qPrintable(result.err));
    QVERIFY2(result.err.contains(QStringLiteral("silent.m4a: saved without ReplayGain: it is silent")), qPrintable(result.err));
    QVERIFY2(result.err.contains(QStringLiteral("short.m4a: saved without ReplayGain: it is shorter than 0.4 s")), qPrintable(result.err));
    for (const QString &name : {QStringLiteral("short.mp3"), QStringLiteral("silent.mp3")}) {
        const SourceTags tags = TagCopy::readSource(QDir(m_out).filePath(name));
        QVERIFY2(!tags.fields.contains(QStringLiteral("REPLAYGAIN_TRACK_GAIN")) && !tags.fields.contains(QStringLiteral("REPLAYGAIN_ALBUM_GAIN")),
                 qPrintable(name));
    }
    const SourceTags music = TagCopy::readSource(QDir(m_out).filePath(QStringLiteral("music.mp3")));
    QVERIFY(!music.fields.value(QStringLiteral("REPLAYGAIN_TRACK_GAIN")).isEmpty());
    QCOMPARE(music.fields.value(QStringLiteral("REPLAYGAIN_ALBUM_GAIN")), music.fields.value(QStringLiteral("REPLAYGAIN_TRACK_GAIN")));
}

void TestCli::saveFailureFailsTheFile()
{
    const QString source = tone(QStringLiteral("sources/tone.m4a"));
    tone(QStringLiteral("sources/other.m4a"));
    // A folder where the file would go cannot be replaced by it.
    QVERIFY(QDir(m_out).mkdir(QStringLiteral("tone.mp3")));

    const Run result = run({QStringLiteral("-o"), m_out, m_sources});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    const QStringList lines = result.err.split(u'\n', Qt::SkipEmptyParts);
    const qsizetype summary = lines.indexOf(QRegularExpression(QStringLiteral("^1 of 2 file\\(s\\) converted, 0 skipped, 1 failed in [0-9:]+$")));
    QVERIFY2(summary >= 0, qPrintable(result.err));
    QCOMPARE(lines.size(), summary + 2);
    QVERIFY2(lines.constLast().startsWith(QStringLiteral("FAILED     %1: could not save %2: ")
                                              .arg(QDir::toNativeSeparators(source),
                                                   QDir::toNativeSeparators(QDir(m_out).filePath(QStringLiteral("tone.mp3"))))),
             qPrintable(result.err));
    QCOMPARE(TestKit::entries(m_out), (QStringList{QStringLiteral("other.mp3"), QStringLiteral("tone.mp3")}));
    QVERIFY(QFileInfo(QDir(m_out).filePath(QStringLiteral("tone.mp3"))).isDir());
    QCOMPARE(temporaryLeftovers(), QStringList());
}

void TestCli::dryRunListsWalkOrder()
{
    const QString tree = makeFolder(QStringLiteral("tree"));
    for (const char *name : {"tree/b.m4a", "tree/A.M4A", "tree/notes.txt", "tree/~lock.m4a", "tree/sub/deep/d.m4a",
                             "tree/sub/c.m4a", "tree/zed/e.m4a", "tree/zed/e.mp3"}) {
        const QString path = QDir(m_work->path()).filePath(QString::fromUtf8(name));
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QString text = QDir(m_work->path()).filePath(QStringLiteral("tree/notes.txt"));
    const QString missing = QDir(m_work->path()).filePath(QStringLiteral("gone.m4a"));

    // A dry run changes nothing on disk: not even what a killed run of ours left is swept.
    const QString abandoned = QStringLiteral("quorvane-%1-%2-aBc123").arg(ProcessIdentity::tag()).arg(TestKit::goneProcessId());
    QVERIFY(QDir(m_temp).mkdir(abandoned) && QFile::setPermissions(QDir(m_temp).filePath(abandoned), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const Run result = run({QStringLiteral("--dry-run"), QStringLiteral("-o"), m_out, text, tree, missing});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QStringLiteral("left out 1 file(s) whose name begins with \"~\" (lock and temporary files)\n"));
    QStringList expected{text};
    // Level by level: the folder's own files (by name, case ignored), then each subfolder's.
    for (const char *name : {"tree/A.M4A", "tree/b.m4a", "tree/sub/c.m4a", "tree/zed/e.m4a", "tree/sub/deep/d.m4a"})
        expected.append(QDir(m_work->path()).filePath(QString::fromUtf8(name)));
    expected.append(missing);
    for (QString &path : expected)
        path = QDir::toNativeSeparators(path);
    QCOMPARE(result.out.split(u'\n'), expected + QStringList{QString()});

    QCOMPARE(TestKit::entries(m_out), QStringList());
    QCOMPARE(TestKit::entries(m_temp), QStringList{abandoned});
    QCOMPARE(TestKit::entries(tree), (QStringList{QStringLiteral("A.M4A"), QStringLiteral("b.m4a"), QStringLiteral("notes.txt"),
                                         QStringLiteral("sub"), QStringLiteral("zed"), QStringLiteral("~lock.m4a")}));
#ifdef Q_OS_LINUX
    // A list that standard output cannot take fails the run.
    const Run full = run({QStringLiteral("--dry-run"), QStringLiteral("-o"), m_out, text, tree, missing}, {},
                         [] { ::dup2(::open("/dev/full", O_WRONLY | O_CLOEXEC), STDOUT_FILENO); });
    QVERIFY2(full.finished && full.exitCode == 1, qPrintable(full.err));
    QCOMPARE(full.err, result.err + QStringLiteral("quorvane-cli: cannot write to standard output: ") + qt_error_string(ENOSPC) + u'\n');
#endif
}

void TestCli::folderWithoutM4aFiles()
{
    QFile other(QDir(m_sources).filePath(QStringLiteral("notes.txt")));
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.close();

    const Run result = run({QStringLiteral("-o"), m_out, m_sources});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.err.contains(QStringLiteral("nothing to convert")), qPrintable(result.err));
    QCOMPARE(TestKit::entries(m_out), QStringList());
}

// A name that is not UTF-8 cannot be converted, nor can a FIFO: each is named as the walk ends
// and again under the summary, and fails a run that converted everything else.
void TestCli::unreadableNameFailsTheRun()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    tone(QStringLiteral("sources/ok.m4a"));
    const QByteArray latin1 = QFile::encodeName(m_sources) + "/Caf\xe9.m4a";
    QCOMPARE(::close(::open(latin1.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600)), 0);
    const auto remove = qScopeGuard([&latin1] { ::unlink(latin1.constData()); });   // QTemporaryDir cannot name it
    QVERIFY(TestKit::makeFifo(QDir(m_sources).filePath(QStringLiteral("pipe.m4a"))));

    const Run result = run({QStringLiteral("-o"), m_out, m_sources});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    const QString line = QStringLiteral("unreadable %1/Caf\\xe9.m4a: its name is not valid UTF-8\n").arg(m_sources);
    const QString fifo = QStringLiteral("unreadable %1/pipe.m4a: not a regular file\n").arg(m_sources);
    QVERIFY2(result.err.count(line) == 2 && result.err.count(fifo) == 2
                 && result.err.contains(QStringLiteral("1 of 1 file(s) converted")),
             qPrintable(result.err));
    QCOMPARE(TestKit::entries(m_out), QStringList{QStringLiteral("ok.mp3")});
#endif
}

// Standard error is a pipe whose reader has gone ("2>&1 | head -1" once head has ended): the
// first line written stops the run as a signal would, with nothing left behind.
void TestCli::closedPipeStopsCleanly()
{
#ifdef Q_OS_UNIX
    tone(QStringLiteral("sources/a.m4a"));
    tone(QStringLiteral("sources/b.m4a"));
    const Run result = run({QStringLiteral("-j"), QStringLiteral("1"), QStringLiteral("-o"), m_out, m_sources}, {}, [] {
        int ends[2];
        if (::pipe(ends) == 0 && ::dup2(ends[1], STDERR_FILENO) >= 0)
            ::close(ends[0]);
    });
    QVERIFY(result.finished);   // not killed by the signal
    QCOMPARE(result.exitCode, 141);
    QCOMPARE(TestKit::entries(m_out), QStringList{QStringLiteral("a.mp3")});
    QCOMPARE(temporaryLeftovers(), QStringList());
#endif
}

// Two shards under GNU parallel into one mirror convert every file once; a run again
// converts only the source that changed since.
void TestCli::libraryInShardsThenAgain()
{
    const QString parallel = QStandardPaths::findExecutable(QStringLiteral("parallel"));
    if (parallel.isEmpty())
        QSKIP("GNU parallel is needed (scripts/install-deps.sh installs it)");
    for (const char *name : {"A/x", "A/y", "B/x"})
        tone(QStringLiteral("sources/%1.m4a").arg(QLatin1String(name)));
    const QStringList library{QStringLiteral("--keep-tree"), QStringLiteral("--skip-existing"),
                              QStringLiteral("-o"), m_out, m_sources};
    const auto converted = [](const Run &result) {
        return (u'\n' + result.err).count(QStringLiteral("\nconverted  "));
    };

    Run result = run(QStringList{QStringLiteral("--will-cite"), QStringLiteral("-q"), m_cli, QStringLiteral("--shard"),
                                 QStringLiteral("{}/2")}
                         + library + QStringList{QStringLiteral(":::"), QStringLiteral("1"), QStringLiteral("2")},
                     parallel);
    QVERIFY2(result.finished && result.exitCode == 0 && converted(result) == 3, qPrintable(result.err));
    for (const char *name : {"A/x", "A/y", "B/x"})
        QVERIFY(QFileInfo(QDir(m_out).filePath(QStringLiteral("sources/%1.mp3").arg(QLatin1String(name)))).isFile());
    result = run(library);
    QVERIFY2(converted(result) == 0 && result.err.count(QStringLiteral("skipped    ")) == 3
                 && result.err.contains(QStringLiteral("0 of 3 file(s) converted, 3 skipped, 0 failed in ")),
             qPrintable(result.err));
    QFile changed(QDir(m_sources).filePath(QStringLiteral("B/x.m4a")));
    QVERIFY(changed.open(QIODevice::Append)
            && changed.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
    result = run(library);
    QVERIFY2(result.exitCode == 0 && result.err.contains(QStringLiteral("%1 -> sources/B/x.mp3").arg(changed.fileName()))
                 && result.err.contains(QStringLiteral("1 of 3 file(s) converted, 2 skipped, 0 failed in ")),
             qPrintable(result.err));
}

// --pattern builds the tree from the sources' tags, with names safe on any system.
void TestCli::patternNamesFromTags()
{
    const auto tagged = [this](const QString &name, const QStringList &tags) {
        QStringList options = TestKit::toneOptions(1);
        for (const QString &tag : tags)
            options << QStringLiteral("-metadata") << tag;
        return TestKit::makeSource(m_ffmpeg, QDir(m_sources).filePath(name), options);
    };
    QVERIFY(tagged(QStringLiteral("a.m4a"), {QStringLiteral("artist=AC/DC"), QStringLiteral("album=Live: 1991"),
                                             QStringLiteral("track=3"), QStringLiteral("title=Thunder?")}));
    QVERIFY(tagged(QStringLiteral("sub/b.m4a"),
                   {QStringLiteral("artist=Ñandú"), QStringLiteral("track=12/14"), QStringLiteral("title=Two")}));
    // MPEG-4 keeps the track as an unsigned 16-bit number.
    QVERIFY(tagged(QStringLiteral("c.m4a"), {QStringLiteral("album=\u200bLast"), QStringLiteral("track=65535"), QStringLiteral("title=End")}));

    const Run result = run({QStringLiteral("--pattern"), QStringLiteral("{albumartist}/{album}/{track:02} {title}"),
                            QStringLiteral("-o"), m_out, m_sources});
    QVERIFY2(result.finished && result.exitCode == 0, qPrintable(result.err));
    QStringList tree;
    for (QDirIterator file(m_out, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); file.hasNext();)
        tree.append(QDir(m_out).relativeFilePath(file.next()));
    tree.sort();
    QCOMPARE(tree, (QStringList{QStringLiteral("AC-DC/Live- 1991/03 Thunder_.mp3"),
                                QStringLiteral("Unknown Artist/Last/65535 End.mp3"), QStringLiteral("Ñandú/Unknown Album/12 Two.mp3")}));
}

void TestCli::splitChapters_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("expected");   // the files made, sorted
    QTest::addColumn<bool>("late");              // a fourth chapter starts after the audio has ended
    const QStringList plain{QStringLiteral("plain.mp3")};
    const QStringList three{QStringLiteral("book/01 One.mp3"), QStringLiteral("book/02 Two.mp3"), QStringLiteral("book/03 Three.mp3")};
    QTest::newRow("default names") << QStringList() << three + plain << false;
    QTest::newRow("pattern, single pass") << QStringList{QStringLiteral("--single-pass"), QStringLiteral("-p"), QStringLiteral("{album}/{chapter}-{chapters} {chaptertitle}")}
        << QStringList{QStringLiteral("Book/1-3 One.mp3"), QStringLiteral("Book/2-3 Two.mp3"), QStringLiteral("Book/3-3 Three.mp3"),
                       QStringLiteral("Unknown Album/1-1 plain.mp3")} << false;
    // The one before it runs to the audio's end; the late one fails, with that said.
    QTest::newRow("a chapter past the audio")
        << QStringList() << QStringList{QStringLiteral("book/01 One.mp3"), QStringLiteral("book/02 Two.mp3"), QStringLiteral("book/03 Three.mp3")} + plain
        << true;
}

// A book becomes a file per chapter, a file without chapters one file; a dry run lists them and
// a run again with --skip-existing skips every one.
void TestCli::splitChapters()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, expected);
    QFETCH(bool, late);
    const QString meta = QDir(m_work->path()).filePath(QStringLiteral("meta.txt"));
    QVERIFY(TestKit::writeFile(meta, ";FFMETADATA1\ntitle=Book\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=700\ntitle=One\n"
                                     "[CHAPTER]\nTIMEBASE=1/1000\nSTART=700\nEND=1500\ntitle=Two\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=1500\nEND=2000\ntitle=Three\n"
                                     + QByteArray(late ? "[CHAPTER]\nTIMEBASE=1/1000\nSTART=5000\nEND=6000\ntitle=Four\n" : "")));
    QVERIFY(TestKit::makeSource(m_ffmpeg, QDir(m_sources).filePath(QStringLiteral("book.m4b")),
                                {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=duration=2"), QStringLiteral("-i"), meta,
                                 QStringLiteral("-map_metadata"), QStringLiteral("1"), QStringLiteral("-map_chapters"), QStringLiteral("1"), QStringLiteral("-c:a"), QStringLiteral("aac")}));
    tone(QStringLiteral("sources/plain.m4a"));
    const QStringList arguments = options + QStringList{QStringLiteral("--split-chapters"), QStringLiteral("--skip-existing"), QStringLiteral("-o"), m_out, m_sources};
    const QString lateFails = QStringLiteral("chapter 4 of 4 starts at 0:05, after the end of the audio at 0:02");
    const Run dry = run(QStringList{QStringLiteral("--dry-run")} + arguments);
    QVERIFY2(dry.out.count(QStringLiteral(" -> ")) == expected.size() && dry.err.contains(lateFails) == late, qPrintable(dry.out + dry.err));
    const Run result = run(arguments);
    QVERIFY2(result.finished && result.exitCode == (late ? 1 : 0) && result.err.contains(lateFails) == late, qPrintable(result.err));
    QStringList tree;
    for (QDirIterator file(m_out, QDir::Files, QDirIterator::Subdirectories); file.hasNext();)
        tree.append(QDir(m_out).relativeFilePath(file.next()));
    tree.sort();
    QCOMPARE(tree, expected);
    const Run again = run(arguments);
    QVERIFY2(again.exitCode == (late ? 1 : 0)
                 && again.err.contains(late ? QStringLiteral("0 of 5 file(s) converted, 4 skipped, 1 failed")
                                            : QStringLiteral("0 of 4 file(s) converted, 4 skipped")),
             qPrintable(again.err));
}

void TestCli::signalCancels_data()
{
    QTest::addColumn<QList<int>>("signalNumbers");
    QTest::addColumn<bool>("decoderIgnoresTerm");   // then only a second signal's kill stops it
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("singlePass");

#ifdef Q_OS_UNIX
    QTest::newRow("SIGTERM cancels") << QList<int>{SIGTERM} << false << 143 << QStringLiteral("cancelling") << false;
    // A scheduler's cancel is a SIGTERM: the hint names no key its user cannot press.
    QTest::newRow("SIGTERM names a second SIGTERM")
        << QList<int>{SIGTERM} << false << 143 << QStringLiteral("(a second SIGTERM stops at once)") << false;
    QTest::newRow("SIGINT names a second Ctrl+C")
        << QList<int>{SIGINT} << false << 130 << QStringLiteral("(a second Ctrl+C stops at once)") << false;
    QTest::newRow("SIGINT cancels") << QList<int>{SIGINT} << false << 130 << QStringLiteral("cancelling") << false;
    QTest::newRow("the terminal closing cancels") << QList<int>{SIGHUP} << false << 129 << QStringLiteral("cancelling") << false;
    QTest::newRow("a closed pipe cancels") << QList<int>{SIGPIPE} << false << 141 << QStringLiteral("cancelling") << false;
    QTest::newRow("a second SIGINT stops at once")
        << QList<int>{SIGINT, SIGINT} << true << 130 << QStringLiteral("stopping at once") << false;
    QTest::newRow("single pass, SIGINT cancels") << QList<int>{SIGINT} << false << 130 << QStringLiteral("cancelling") << true;
    QTest::newRow("single pass, a second SIGINT stops at once")
        << QList<int>{SIGINT, SIGINT} << true << 130 << QStringLiteral("stopping at once") << true;
#endif
}

void TestCli::signalCancels()
{
#ifndef Q_OS_UNIX
    QSKIP("The stand-in decoder is a POSIX shell script");
#else
    QFETCH(QList<int>, signalNumbers);
    QFETCH(bool, decoderIgnoresTerm);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(bool, singlePass);

    // The program looks for its tools in its own folder (links resolved), so it runs from a
    // copy beside stand-in tools: the real ones, except that slow.m4a gets part of an output
    // (a file, or the pipe to the encoder of a single pass) and a decoder that never ends by
    // itself. The encoder says who it is: the last one started must be gone too.
    const QString app = makeFolder(QStringLiteral("app"));
    const QString program = QDir(app).filePath(QStringLiteral("quorvane-cli"));
    QVERIFY(QFile::copy(m_cli, program));
    const QString lamePid = QDir(m_work->path()).filePath(QStringLiteral("lame.pid"));
    QVERIFY(!writeScript(app, QStringLiteral("lame"),
                         QStringLiteral("echo $$ > %1; exec %2 \"$@\"")
                             .arg(shellQuoted(lamePid),
                                  shellQuoted(QFileInfo(QDir(QFileInfo(m_cli).path()).filePath(QStringLiteral("lame")))
                                                  .canonicalFilePath())))
                 .isEmpty());
    const QString pidFile = QDir(m_work->path()).filePath(QStringLiteral("slow.pid"));
    const QString decoder = writeScript(
        app, QStringLiteral("ffmpeg"),
        QStringLiteral("case \"$2\" in\n"
                       "*/slow.m4a) %1printf 'partial' > \"${11:-/dev/stdout}\"; echo $$ > %2; exec sleep 60 ;;\n"
                       "*) exec %3 \"$@\" ;;\n"
                       "esac")
            .arg(decoderIgnoresTerm ? QStringLiteral("trap '' TERM; ") : QString(), shellQuoted(pidFile),
                 shellQuoted(QFileInfo(m_ffmpeg).canonicalFilePath())));
    QVERIFY(!decoder.isEmpty());

    const QString quick = tone(QStringLiteral("sources/quick.m4a"));
    const QString slow = tone(QStringLiteral("sources/slow.m4a"));
    const QString never = tone(QStringLiteral("sources/never.m4a"));

    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), m_temp);
    cli.setProcessEnvironment(environment);
    cli.setWorkingDirectory(m_work->path());
    cli.start(program, QStringList{QStringLiteral("-j"), QStringLiteral("1"), QStringLiteral("-o"), m_out, quick, slow, never}
                           << (singlePass ? QStringList{QStringLiteral("--single-pass")} : QStringList()));
    QVERIFY(cli.waitForStarted(30000));
    // Whatever a failed check leaves running goes with the test.
    const auto reaper = qScopeGuard([&cli, &pidFile, &lamePid] {
        for (const QString &file : {pidFile, lamePid}) {
            if (const qint64 stray = readPid(file); processExists(stray))
                ::kill(pid_t(stray), SIGKILL);
        }
        cli.kill();
        cli.waitForFinished(5000);
    });
    QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 30000);
    const qint64 pid = readPid(pidFile);
    QVERIFY(processExists(pid));
    QCOMPARE(TestKit::entries(m_out), QStringList{QStringLiteral("quick.mp3")});   // saved as soon as done

    QString err;
    for (qsizetype i = 0; i < signalNumbers.size(); ++i) {
        QCOMPARE(::kill(pid_t(cli.processId()), signalNumbers.at(i)), 0);
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
    QVERIFY2(err.contains(message), qPrintable(err));
    QVERIFY2(err.contains(QRegularExpression(QStringLiteral("1 of 3 file\\(s\\) converted, 0 skipped, 0 failed in [0-9:]+; cancelled, 2 file\\(s\\) not converted"))), qPrintable(err));
    QVERIFY(!err.contains(QStringLiteral("FAILED")));
#ifdef Q_OS_LINUX
    QCOMPARE(err.count(QStringLiteral("quorvane-toolkeeper is missing")), 1);   // not in the copy's folder
#endif

    QVERIFY(!processExists(pid));
    QVERIFY(!processExists(readPid(lamePid)));
    QCOMPARE(TestKit::entries(m_temp), QStringList());
    QCOMPARE(TestKit::entries(m_out), QStringList{QStringLiteral("quick.mp3")});
    QCOMPARE(TestKit::probe(m_ffprobe, QDir(m_out).filePath(QStringLiteral("quick.mp3"))).codec, QStringLiteral("mp3"));
#endif
}

TestCli::Run TestCli::run(const QStringList &arguments, const QString &program, const std::function<void()> &inChild) const
{
    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), m_temp);
    cli.setProcessEnvironment(environment);
    cli.setWorkingDirectory(m_work->path());
    cli.setStandardInputFile(QProcess::nullDevice());
    if (inChild)
        cli.setChildProcessModifier(inChild);
    cli.start(program.isEmpty() ? m_cli : program, arguments);
    Run result;
    result.finished = cli.waitForFinished(60000) && cli.exitStatus() == QProcess::NormalExit;
    result.exitCode = cli.exitCode();
    result.out = QString::fromLocal8Bit(cli.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(cli.readAllStandardError());
    return result;
}

QString TestCli::tone(const QString &relativePath, const QString &from) const
{
    const QString path = QDir(m_work->path()).filePath(relativePath);
    if (!QDir().mkpath(QFileInfo(path).path()) || !QFile::copy(from.isEmpty() ? m_tone : from, path))
        qWarning("could not copy the tone to %s", qUtf8Printable(path));
    return path;
}

QString TestCli::makeFolder(const QString &relativePath) const
{
    const QString path = QDir(m_work->path()).filePath(relativePath);
    if (!QDir().mkpath(path))
        qWarning("could not make %s", qUtf8Printable(path));
    return path;
}

// The engine's temporary MP3 files (and anything else) left in the program's TMPDIR.
QStringList TestCli::temporaryLeftovers() const
{
    QStringList left = TestKit::entries(m_temp);
    for (const QString &name : std::as_const(left)) {
        if (!TestKit::isTempMp3Name(name))
            qWarning("unexpected file in the temporary folder: %s", qUtf8Printable(name));
    }
    return left;
}

QUORVANE_TEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
