#include "convert/engine/mpegaudio.h"
#include "convert/engine/tooloutput.h"
#include "convert/engine/verdicts.h"
#include "testmain.h"

#include <QDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <optional>

using Said = ToolOutput::DecoderReport;
using Verdicts::Output;

// The lines below are as ffmpeg and lame print them on standard error; the verdicts on them
// are judged here too, on the tools' ends and files as FileConversion finds them.
class TestToolOutput : public QObject
{
    Q_OBJECT

private slots:
    void encodedShare_data();
    void encodedShare();
    void shortSourceWarning_data();
    void shortSourceWarning();
    void decoderReport_data();
    void decoderReport();
    void encodedKbps_data();
    void encodedKbps();
    void verdicts_data();
    void verdicts();
};

using Millis = std::optional<qint64>;

void TestToolOutput::encodedShare_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<std::optional<double>>("expected");

    QTest::newRow("under way")
        << QStringLiteral("   100/232    (43%)|    0:00/    0:00|    0:00/    0:00|   42.243x|    0:00 ")
        << std::optional<double>(100.0 / 232.0);
    QTest::newRow("done")
        << QStringLiteral("   232/232   (100%)|    0:00/    0:00|    0:00/    0:00|   42.129x|    0:00 ")
        << std::optional<double>(1.0);
    QTest::newRow("frame count not known yet")
        << QStringLiteral("     0/       ( 0%)|    0:00/     :  |    0:00/     :  |         x|     :  ")
        << std::optional<double>();
    QTest::newRow("heading")
        << QStringLiteral("    Frame          |  CPU time/estim | REAL time/estim | play/CPU |    ETA ")
        << std::optional<double>();
    QTest::newRow("settings")
        << QStringLiteral("Encoding as 44.1 kHz stereo MPEG-1 Layer III (7.3x) 192 kbps qval=2")
        << std::optional<double>();
    QTest::newRow("histogram") << QStringLiteral("--------------------------------00:03-------")
                               << std::optional<double>();
}

void TestToolOutput::encodedShare()
{
    QFETCH(QString, line);
    QFETCH(std::optional<double>, expected);
    const std::optional<double> share = ToolOutput::encodedShare(line);
    QCOMPARE(share.has_value(), expected.has_value());
    if (expected)
        QCOMPARE(*share, *expected);
}

void TestToolOutput::shortSourceWarning_data()
{
    QTest::addColumn<Millis>("decoded");
    QTest::addColumn<Millis>("source");
    QTest::addColumn<QString>("warning");

    const QString damaged = QStringLiteral("; the source may be damaged");
    QTest::newRow("under half of three minutes")
        << Millis(82400) << Millis(180020) << QStringLiteral("converted 1:22 of 3:00") + damaged;
    QTest::newRow("half of six seconds")
        << Millis(2920) << Millis(6000) << QStringLiteral("converted 0:03 of 0:06") + damaged;
    QTest::newRow("over an hour")
        << Millis(1800000) << Millis(3723000) << QStringLiteral("converted 30:00 of 1:02:03") + damaged;
    QTest::newRow("nothing decoded") << Millis(0) << Millis(6000) << QStringLiteral("converted 0:00 of 0:06") + damaged;
    QTest::newRow("whole, a little longer") << Millis(6030) << Millis(6000) << QString();
    QTest::newRow("exactly whole") << Millis(6000) << Millis(6000) << QString();
    QTest::newRow("under 1 s short, though 15 %") << Millis(5100) << Millis(6000) << QString();
    QTest::newRow("exactly 1 s short") << Millis(5000) << Millis(6000) << QString();
    QTest::newRow("over 1 s short but under 2 %") << Millis(177000) << Millis(180020) << QString();
    QTest::newRow("exactly 2 % short") << Millis(98000) << Millis(100000) << QString();
    QTest::newRow("just over both") << Millis(97999) << Millis(100000)
                                    << QStringLiteral("converted 1:38 of 1:40") + damaged;
    QTest::newRow("source length not known") << Millis(2920) << Millis() << QString();
    QTest::newRow("decoded length not known") << Millis() << Millis(6000) << QString();
    QTest::newRow("source length zero") << Millis(0) << Millis(0) << QString();
}

void TestToolOutput::shortSourceWarning()
{
    QFETCH(Millis, decoded);
    QFETCH(Millis, source);
    QFETCH(QString, warning);
    QCOMPARE(ToolOutput::shortSourceWarning(decoded, source), warning);
}

void TestToolOutput::decoderReport_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<Millis>("firstTrackMs");
    QTest::addColumn<QString>("expected");   // sourceMs decodedMs streams tracks | writeError, what it lacks

    const QStringList summary = {QStringLiteral("Input #0, mov,mp4,m4a,3gp,3g2,mj2, from 'Error writing.m4a':"),
                                 QStringLiteral("  Duration: 00:03:00.02, start: 0.000000, bitrate: 65 kb/s"),
                                 QStringLiteral("  Stream #0:0[0x1](und): Audio: aac (LC), 44100 Hz, stereo")};
    const QStringList output = {QStringLiteral("Output #0, mp3, to 'x.mp3':"), QStringLiteral("  Stream #0:0: Audio: mp3"),
                                QStringLiteral("size=  1kB time=00:00:06.00 bitrate=1"), QStringLiteral("  Duration: 00:00:09.00,")};
    const QString secondTrack = QStringLiteral("  Stream #0:2[0x3](und): Audio: aac (LC), 44100 Hz, stereo");
    const QString cover = QStringLiteral("  Stream #0:1[0x2]: Video: mjpeg (Baseline), 600x600");
    // One line each: the input summary's length, a progress line's time, a listed stream.
    const char *const single[][2] = {
        {"  Duration: 00:03:00.02, start: 0.000000, bitrate: 65 kb/s", "180020 -1 0 0 |"},
        {"Duration: 00:03:00.02,", "180020 -1 0 0 |"},
        {"  Duration: N/A, start: 0.000000, bitrate: N/A", "-1 -1 0 0 |"},
        {"  Duration: 01:02:03.5, start: 0", "3723500 -1 0 0 |"},
        {"  Duration: 00:00:06, start: 0", "6000 -1 0 0 |"},
        {"  Duration: 00:00:01.123456,", "1123 -1 0 0 |"},
        {"  Duration: 123:00:00.00,", "442800000 -1 0 0 |"},
        {"    comment         : Duration: 00:09:00.00", "-1 -1 0 0 |"},
        {"time=00:01:22.40", "-1 82400 0 0 |"},
        {"size=      46kB time=00:00:02.92 bitrate= 130.1kbits/s speed= 107x    ", "-1 2920 0 0 |"},
        {"size=      95KiB time=00:00:06.03 bitrate= 129.0kbits/s speed= 111x elapsed=0:00:00.05", "-1 6030 0 0 |"},
        {"size=       0kB time=00:00:00.00 bitrate=N/A speed=   0x", "-1 0 0 0 |"},
        {"size=N/A time=N/A bitrate=N/A speed=N/A", "-1 -1 0 0 |"},
        {"time=-577014:32:22.77", "-1 -1 0 0 |"},
        {"size=       0kB time=-00:00:00.02 bitrate=N/A", "-1 -1 0 0 |"},
        {"start_time=00:00:01.00", "-1 -1 0 0 |"},
        {"", "-1 -1 0 0 |"},
        {"  Stream #0:1[0x2](und): Audio: aac (LC), 44100 Hz", "-1 -1 1 1 |"},
        {"  Stream #0:1: Video: mjpeg (Baseline), 600x600", "-1 -1 1 0 |"},
        {"  Stream #0:0 -> #0:0 (aac (native) -> mp3 (libmp3lame))", "-1 -1 0 0 |"},
        {"    title           : Stream #0:5: Audio: x", "-1 -1 0 0 |"},
        // A decoder built small refuses the outputs it lacks.
        {"[NULL @ 0000000000c95b00] Unable to find a suitable output format for 'C:\\t\\zurvek1.ffmeta'", "-1 -1 0 0 | no chapters file"},
        {"Unable to find a suitable output format for 'x.mp3'", "-1 -1 0 0 |"},
        {"Unknown encoder 'pcm_s32le'", "-1 -1 0 0 | no 32-bit PCM"},
    };
    for (const auto &[line, expected] : single)
        QTest::newRow(line) << QStringList{QString::fromUtf8(line)} << Millis() << QString::fromUtf8(expected);
    QTest::newRow("a whole run") << summary + QStringList{cover} + output << Millis() << QStringLiteral("180020 6000 2 1 |");
    QTest::newRow("a second audio track: the first's length")
        << summary + QStringList{secondTrack} + output << Millis(60000) << QStringLiteral("60000 6000 2 2 |");
    QTest::newRow("a second audio track of unknown length")
        << summary + QStringList{secondTrack} + output << Millis() << QStringLiteral("180020 6000 2 2 |");
    QTest::newRow("no audio") << QStringList{summary.at(1), cover} << Millis() << QStringLiteral("180020 -1 1 0 |");
    QTest::newRow("a full disk: the first word counts")
        << output + QStringList{QStringLiteral("[out#0/mp3 @ 0x5] Error writing trailer: No space left on device"),
                                QStringLiteral("av_interleaved_write_frame(): Disk quota exceeded"),
                                QStringLiteral("size=  2kB time=-00:00:00.02 bitrate=1")}
        << Millis() << QStringLiteral("9000 6000 0 0 |[out#0/mp3 @ 0x5] Error writing trailer: No space left on device");
}

void TestToolOutput::decoderReport()
{
    QFETCH(QStringList, lines);
    QFETCH(Millis, firstTrackMs);
    QFETCH(QString, expected);
    Said said;
    said.firstTrackMs = firstTrackMs;
    for (const QString &line : std::as_const(lines))
        ToolOutput::readDecoderLine(said, line);
    QCOMPARE(QStringLiteral("%1 %2 %3 %4 |%5")
                 .arg(said.sourceMs.value_or(-1)).arg(said.decodedMs.value_or(-1))
                 .arg(said.inputStreams).arg(said.audioTracks).arg(said.writeError)
                 + QString::fromLatin1(said.gaps.noChaptersFile ? " no chapters file" : "")
                 + QString::fromLatin1(said.gaps.noWidePcm ? " no 32-bit PCM" : ""),
             expected);
}

void TestToolOutput::encodedKbps_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<std::optional<int>>("kbps");
    QTest::newRow("44.1 kHz") << QStringLiteral("Encoding as 44.1 kHz j-stereo MPEG-1 Layer III (11x) 128 kbps qval=3")
                              << std::optional<int>(128);
    QTest::newRow("8 kHz") << QStringLiteral("Encoding as 8 kHz single-ch MPEG-2.5 Layer III (0.4x)  64 kbps qval=2")
                           << std::optional<int>(64);
    QTest::newRow("VBR") << QStringLiteral("Encoding as 44.1 kHz j-stereo MPEG-1 Layer III VBR(q=2)") << std::optional<int>();
    QTest::newRow("not the settings") << QStringLiteral("LAME 3.100 64bits (http://lame.sf.net) 128 kbps") << std::optional<int>();
}

void TestToolOutput::encodedKbps()
{
    QFETCH(QString, line);
    QFETCH(std::optional<int>, kbps);
    QCOMPARE(ToolOutput::encodedKbps(line), kbps);
}

namespace {

ProcessOutcome exited(int code, const QString &text = {})
{
    return {true, false, code, text};
}

ProcessOutcome killed(const QString &text = {})
{
    return {true, true, kCrashedResult, text};
}

Said said(const QString &writeError = {}, int streams = 1, int tracks = 1, Millis decodedMs = 6000)
{
    return {{}, {}, decodedMs, writeError, streams, tracks, true, {}};
}

Output mp3(qint64 ms)
{
    return {true, 9000, MpegAudio::Facts{ms, 320}};
}

QString judged(const Verdicts::Verdict &verdict)
{
    static const char *const statuses[] = {"converted", "kept", "failed", "cancelled"};
    return QString::fromLatin1(statuses[int(verdict.status)]) + u'|' + verdict.reason;
}

} // namespace

// Each row holds a verdict on plain facts and what it must be.
void TestToolOutput::verdicts_data()
{
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QString>("expected");

    const ProcessOutcome ok = exited(0);
    const QString stall = QStringLiteral("the encoder made no progress for 120 s");
    const auto decoder = [](const QString &stallReason, const ProcessOutcome &outcome, const Said &said, const Output &output) {
        return Verdicts::decoderFailure(stallReason, outcome, said, output);
    };
    QTest::newRow("decoder: whole") << decoder({}, ok, said(), mp3(6000)) << QString();
    QTest::newRow("decoder: under half a second short") << decoder({}, ok, said(), mp3(5600)) << QString();
    QTest::newRow("decoder: cut short") << decoder({}, ok, said(), mp3(5000))
                                        << QStringLiteral("the decoder's output is cut short: 0:05 of 0:06");
    QTest::newRow("decoder: hung") << decoder(stall, ok, said(), mp3(6000)) << stall;
    QTest::newRow("decoder: not MPEG audio") << decoder({}, ok, said(), Output{true, 9, {}})
                                             << QStringLiteral("the decoder's output is not valid MPEG audio");
    QTest::newRow("decoder: a full disk, exit 0") << decoder({}, ok, said(QStringLiteral("Error closing: x")), mp3(6000))
                                                  << QStringLiteral("Error closing: x");
    QTest::newRow("decoder: no audio stream") << decoder({}, exited(1, QStringLiteral("no stream")), said({}, 1, 0), Output())
                                              << QStringLiteral("the source has no audio");
    QTest::newRow("decoder: cannot start")
        << decoder({}, {false, false, StartError::Other + kStartErrorBase, QStringLiteral("denied")}, said(), Output())
        << QStringLiteral("could not start the decoder: denied");
    QTest::newRow("decoder: crashed, saying why") << decoder({}, killed(QStringLiteral("Segfault")), said(), mp3(6000))
                                                  << QStringLiteral("the decoder ended abnormally: Segfault");

    const auto encoder = [](const QString &stallReason, const ProcessOutcome &outcome, const Output &output, bool decoderFileLeft) {
        return judged(Verdicts::encoderVerdict(stallReason, outcome, output, {6000, 320}, decoderFileLeft));
    };
    const QString kept = QStringLiteral("kept|kept at 320 kbps: the encoder failed: ");
    QTest::newRow("encoder: converted") << encoder({}, ok, mp3(6000), true) << QStringLiteral("converted|");
    QTest::newRow("encoder: cut short") << encoder({}, ok, mp3(4000), true)
                                        << kept + QStringLiteral("the encoder's output is cut short: 0:04 of 0:06");
    QTest::newRow("encoder: hung") << encoder(stall, ok, mp3(6000), true) << kept + stall;
    QTest::newRow("encoder: empty file") << encoder({}, ok, Output{true, 0, {}}, true)
                                         << kept + QStringLiteral("the encoder wrote an empty file");
    QTest::newRow("encoder: fails, the decoder's file gone")
        << encoder({}, exited(1, QStringLiteral("disk full")), mp3(6000), false) << QStringLiteral("failed|disk full");

    const QString brokenPipe = QStringLiteral("Error writing: ") + QString::fromLocal8Bit(std::strerror(EPIPE));
    const ProcessOutcome full = exited(1, QStringLiteral("lame: disk full"));
    const ProcessOutcome notFound = {false, false, StartError::NotFound + kStartErrorBase, QStringLiteral("No file")};
    QTest::newRow("single pass: whole") << Verdicts::singlePassFailure({}, ok, said(), false, ok, mp3(6000)) << QString();
    QTest::newRow("single pass: hung") << Verdicts::singlePassFailure(stall, ok, said(), false, ok, mp3(6000)) << stall;
    QTest::newRow("single pass: the decoder fails first")
        << Verdicts::singlePassFailure({}, exited(1, QStringLiteral("bad input")), said(), false, ok, mp3(2000))
        << QStringLiteral("bad input");
    QTest::newRow("single pass: the decoder loses its pipe")
        << Verdicts::singlePassFailure({}, exited(1, brokenPipe), said(), false, full, Output()) << full.errorText;
    QTest::newRow("single pass: the decoder says it lost its pipe")
        << Verdicts::singlePassFailure({}, ok, said(brokenPipe), false, full, Output()) << full.errorText;
    QTest::newRow("single pass: the decoder stopped by us")
        << Verdicts::singlePassFailure({}, killed(), said(), true, full, Output()) << full.errorText;
    QTest::newRow("single pass: the decoder never started")
        << Verdicts::singlePassFailure({}, notFound, said(), false, killed(), Output()) << QStringLiteral("decoder not found");
    QTest::newRow("single pass: short of the decoder's time")
        << Verdicts::singlePassFailure({}, ok, said(), false, ok, mp3(4000))
        << QStringLiteral("the encoder's output is cut short: 0:04 of 0:06");

    const QString at64 = QStringLiteral("encoded at 64 kbps: 128 kbps is not possible at this source's sample rate");
    QTest::newRow("note: as asked") << Verdicts::note(1, 128, {128, -1, false}, true, true) << QString();
    QTest::newRow("note: another bitrate") << Verdicts::note(1, 64, {128, -1, false}, true, true) << at64;
    QTest::newRow("note: VBR has no one bitrate") << Verdicts::note(1, 64, {128, 2, false}, true, true) << QString();
    QTest::newRow("note: everything, in order")
        << Verdicts::note(3, 64, {128, -1, false}, false, false)
        << QStringLiteral("only the first of 3 audio tracks was converted; ") + at64
               + QStringLiteral("; the source's tags could not be read; the tags could not be written");

    // 20 hours at 128 kbps, where a temporary folder in memory may hold much less: two steps
    // write the decoder's file at 320 kbps beside the encoder's.
    const auto needed = [](bool singlePass) { return Verdicts::tempBytesNeeded(72'000'000, {128, -1, false}, singlePass); };
    const QString tmp = QDir::toNativeSeparators(QStringLiteral("/tmp"));
    const QString gone = QStringLiteral("not enough temporary space: about 4.1 GB needed, 1.2 GB free in ") + tmp;
    QTest::newRow("space: too little for both files of two steps")
        << Verdicts::tempSpaceProblem(needed(false), 1'200'000'000, {}, QStringLiteral("/tmp"))
        << gone + QStringLiteral("; a temporary folder with more space (TMPDIR) would help");
    QTest::newRow("space: enough for a single pass") << Verdicts::tempSpaceProblem(needed(true), 1'200'000'000, {}, {}) << QString();
    QTest::newRow("space: enough alone, not beside the others")
        << Verdicts::tempSpaceProblem(needed(false), 5'000'000'000, {2, 1'000'000'000}, QStringLiteral("/tmp"))
        << QStringLiteral("not enough temporary space: about 4.1 GB needed, 5.0 GB free in ") + tmp
               + QStringLiteral(", of which the 2 other "
                          "file(s) converting now will still write 1.0 GB; fewer files at once or a temporary folder "
                          "with more space (TMPDIR) would help");

    const QString invalid = QStringLiteral("Invalid data found when processing input");
    const QString song = QStringLiteral("/a/b.m4a");
    QTest::newRow("shown: the source's path") << Verdicts::shownReason(song + QStringLiteral(": ") + invalid, song) << invalid;
#ifndef Q_OS_WIN   // where "b:" is a drive, and ffmpeg is given the name as it is
    QTest::newRow("shown: ffmpeg's name of it")
        << Verdicts::shownReason(QStringLiteral("file:b:c.m4a: ") + invalid, QStringLiteral("b:c.m4a")) << invalid;
#endif
    QTest::newRow("shown: another path") << Verdicts::shownReason(QStringLiteral("/a/x.m4a: ") + invalid, song)
                                         << QStringLiteral("/a/x.m4a: ") + invalid;
    QTest::newRow("shown: long") << Verdicts::shownReason(QString(301, u'x'), {}) << QString(299, u'x') + QChar(0x2026);
}

void TestToolOutput::verdicts()
{
    QFETCH(QString, verdict);
    QFETCH(QString, expected);
    QCOMPARE(verdict, expected);
}

QUORVANE_TEST_GUILESS_MAIN(TestToolOutput)
#include "tst_tooloutput.moc"
