#include "convert/tooloutput.h"

#include <QTest>

#include <optional>

// The lines below are as ffmpeg and lame print them on standard error.
class TestToolOutput : public QObject
{
    Q_OBJECT

private slots:
    void durationMs_data();
    void durationMs();
    void timeMs_data();
    void timeMs();
    void streamKind_data();
    void streamKind();
    void encodedShare_data();
    void encodedShare();
    void shortSourceWarning_data();
    void shortSourceWarning();
};

using Millis = std::optional<qint64>;

void TestToolOutput::durationMs_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<Millis>("expected");

    QTest::newRow("input summary")
        << QStringLiteral("  Duration: 00:03:00.02, start: 0.000000, bitrate: 65 kb/s") << Millis(180020);
    QTest::newRow("bare") << QStringLiteral("Duration: 00:03:00.02,") << Millis(180020);
    QTest::newRow("not available")
        << QStringLiteral("  Duration: N/A, start: 0.000000, bitrate: N/A") << Millis();
    QTest::newRow("one digit of fraction") << QStringLiteral("  Duration: 01:02:03.5, start: 0") << Millis(3723500);
    QTest::newRow("no fraction") << QStringLiteral("  Duration: 00:00:06, start: 0") << Millis(6000);
    QTest::newRow("many digits of fraction") << QStringLiteral("  Duration: 00:00:01.123456,") << Millis(1123);
    QTest::newRow("over 99 hours") << QStringLiteral("  Duration: 123:00:00.00,") << Millis(442800000);
    QTest::newRow("in a tag's value")
        << QStringLiteral("    comment         : Duration: 00:09:00.00") << Millis();
    QTest::newRow("progress line")
        << QStringLiteral("size=      46kB time=00:00:02.92 bitrate= 130.1kbits/s speed= 107x") << Millis();
    QTest::newRow("empty") << QString() << Millis();
}

void TestToolOutput::durationMs()
{
    QFETCH(QString, line);
    QFETCH(Millis, expected);
    QCOMPARE(ToolOutput::durationMs(line), expected);
}

void TestToolOutput::timeMs_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<Millis>("expected");

    QTest::newRow("bare") << QStringLiteral("time=00:01:22.40") << Millis(82400);
    QTest::newRow("progress line")
        << QStringLiteral("size=      46kB time=00:00:02.92 bitrate= 130.1kbits/s speed= 107x    ")
        << Millis(2920);
    QTest::newRow("newer progress line")
        << QStringLiteral("size=      95KiB time=00:00:06.03 bitrate= 129.0kbits/s speed= 111x elapsed=0:00:00.05")
        << Millis(6030);
    QTest::newRow("first progress line")
        << QStringLiteral("size=       0kB time=00:00:00.00 bitrate=N/A speed=   0x") << Millis(0);
    QTest::newRow("not available") << QStringLiteral("size=N/A time=N/A bitrate=N/A speed=N/A") << Millis();
    QTest::newRow("negative") << QStringLiteral("time=-577014:32:22.77") << Millis();
    QTest::newRow("negative in a progress line")
        << QStringLiteral("size=       0kB time=-00:00:00.02 bitrate=N/A") << Millis();
    QTest::newRow("part of another word") << QStringLiteral("start_time=00:00:01.00") << Millis();
    QTest::newRow("duration line") << QStringLiteral("  Duration: 00:03:00.02, start: 0.000000") << Millis();
    QTest::newRow("empty") << QString() << Millis();
}

void TestToolOutput::timeMs()
{
    QFETCH(QString, line);
    QFETCH(Millis, expected);
    QCOMPARE(ToolOutput::timeMs(line), expected);
}

void TestToolOutput::streamKind_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("kind");
    QTest::newRow("audio") << QStringLiteral("  Stream #0:1[0x2](und): Audio: aac (LC), 44100 Hz") << QStringLiteral("Audio");
    QTest::newRow("cover") << QStringLiteral("  Stream #0:1: Video: mjpeg (Baseline), 600x600") << QStringLiteral("Video");
    QTest::newRow("stream map") << QStringLiteral("  Stream #0:0 -> #0:0 (aac (native) -> mp3 (libmp3lame))") << QString();
    QTest::newRow("in a tag's value") << QStringLiteral("    title           : Stream #0:5: Audio: x") << QString();
}

void TestToolOutput::streamKind()
{
    QFETCH(QString, line);
    QFETCH(QString, kind);
    QCOMPARE(ToolOutput::streamKind(line), kind);
}

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

QTEST_GUILESS_MAIN(TestToolOutput)
#include "tst_tooloutput.moc"
