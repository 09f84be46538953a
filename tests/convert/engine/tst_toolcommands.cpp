#include "convert/engine/cover.h"
#include "convert/engine/mpegaudio.h"
#include "convert/engine/tagcopy.h"
#include "convert/engine/toolcommands.h"
#include "testmain.h"

#include <QDir>
#include <QTest>

#include <algorithm>
#include <functional>

class TestToolCommands : public QObject
{
    Q_OBJECT

private slots:
    void bitratesAreRatesLameTakes();
    void decoderArguments_data();
    void decoderArguments();
    void encoderArguments_data();
    void encoderArguments();
    void encoderOutputPath_data();
    void encoderOutputPath();
    void coverShape_data();
    void coverShape();
};

// Each offered bitrate is one lame encodes at, a rate of the MPEG-1 Layer III table or of
// MPEG-2/2.5's (lame picks the sample rate to suit), and reaches it as "-b <n>".
void TestToolCommands::bitratesAreRatesLameTakes()
{
    QList<int> layer3;
    for (int index = 0; index < 16; ++index)
        layer3 << MpegAudio::layer3Kbps(true, index) << MpegAudio::layer3Kbps(false, index);
    const QList<int> offered = Tools::bitrates();
    QVERIFY(std::adjacent_find(offered.cbegin(), offered.cend(), std::greater_equal<int>()) == offered.cend());
    QVERIFY(offered.contains(Tools::defaultBitrate()));
    QCOMPARE(Tools::defaultBitrateText(), QStringLiteral("128 kbps"));
    for (int rate : offered) {
        QVERIFY2(rate > 0 && layer3.contains(rate), qPrintable(Tools::bitrateText(rate)));
        const QStringList arguments = Tools::encoderArguments(Tools::Encoding{rate}, QStringLiteral("in"), QStringLiteral("out"));
        QCOMPARE(arguments.value(arguments.indexOf(QStringLiteral("-b")) + 1), QString::number(rate));
    }
}

// Paths that a shell would split, expand or take for an option must reach the tool unchanged;
// a path that ffmpeg would read as a protocol ("pipe:0.m4a", "concat:a|b") reaches it marked
// as a plain file.
void TestToolCommands::decoderArguments_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("temp");
    QTest::addColumn<QString>("sourceArgument");   // "" when the source goes as it is
    QTest::addColumn<QString>("tempArgument");

    const QString temp = QStringLiteral("/temp/zurvek48213976.mp3");
    QTest::newRow("plain") << QStringLiteral("/music/song.m4a") << temp << QString() << QString();
    QTest::newRow("spaces") << QStringLiteral("/my music/a song .m4a") << temp << QString() << QString();
    QTest::newRow("quotes") << QStringLiteral("/music/\"quoted\" 'song'.m4a") << temp << QString() << QString();
    QTest::newRow("dollar") << QStringLiteral("/music/$HOME $(id).m4a") << temp << QString() << QString();
    QTest::newRow("leading dash") << QStringLiteral("-y.m4a") << temp << QString() << QString();
    QTest::newRow("non-ASCII") << QStringLiteral("/musique/chanson d’été – 日本.m4a") << temp << QString() << QString();
    QTest::newRow("temp folder with spaces") << QStringLiteral("/music/song.m4a")
                                             << QStringLiteral("/temp dir/zurvek11111111.mp3") << QString() << QString();
    QTest::newRow("colon in an absolute path") << QStringLiteral("/music/pipe:0.m4a") << temp << QString() << QString();
    QTest::newRow("relative, like a protocol") << QStringLiteral("pipe:0.m4a") << temp
                                               << QStringLiteral("file:pipe:0.m4a") << QString();
    QTest::newRow("relative, like a list of files")
        << QStringLiteral("concat:a.m4a|b.m4a") << temp << QStringLiteral("file:concat:a.m4a|b.m4a") << QString();
    QTest::newRow("relative, colon further in") << QStringLiteral("music/a:b.m4a") << temp
                                                << QStringLiteral("file:music/a:b.m4a") << QString();
    QTest::newRow("relative temporary folder like a protocol")
        << QStringLiteral("/music/song.m4a") << QStringLiteral("data:x/zurvek11111111.mp3") << QString()
        << QStringLiteral("file:data:x/zurvek11111111.mp3");
#ifdef Q_OS_WIN
    QTest::newRow("drive letter") << QStringLiteral("C:\\music\\song.m4a") << QStringLiteral("C:\\temp\\zurvek11111111.mp3")
                                  << QString() << QString();
#endif
}

void TestToolCommands::decoderArguments()
{
    QFETCH(QString, source);
    QFETCH(QString, temp);
    QFETCH(QString, sourceArgument);
    QFETCH(QString, tempArgument);
    // The chapters into a metadata file beside the MP3 first; then the first audio track only,
    // no tags, at the top rate, so that lame's re-encoding is not limited by ffmpeg's default
    // 128 kbps. Stand-in tools find the MP3 as the 13th and last argument.
    const QString mp3 = tempArgument.isEmpty() ? temp : tempArgument;
    const QStringList expected = {QStringLiteral("-i"), sourceArgument.isEmpty() ? source : sourceArgument,
                                  QStringLiteral("-an"), QDir::toNativeSeparators(mp3.chopped(4) + QStringLiteral(".ffmeta")),
                                  QStringLiteral("-map"), QStringLiteral("0:a:0"),
                                  QStringLiteral("-id3v2_version"), QStringLiteral("0"),
                                  QStringLiteral("-b:a"), QStringLiteral("320k"),
                                  QStringLiteral("-f"), QStringLiteral("mp3"), mp3};
    QCOMPARE(Tools::decoderArguments(source, temp), expected);
    // The single pass: the same chapters; the same track as 32-bit WAV on standard output,
    // more channels mixed down to stereo, no tags.
    const QStringList piped = expected.mid(0, 6)
                              + QStringList{QStringLiteral("-map_metadata"), QStringLiteral("-1"), QStringLiteral("-af"),
                                            QStringLiteral("aformat=channel_layouts=mono|stereo"),
                                            QStringLiteral("-c:a"), QStringLiteral("pcm_s32le"),
                                            QStringLiteral("-f"), QStringLiteral("wav"), QStringLiteral("-")};
    QCOMPARE(Tools::pipedDecoderArguments(source, temp), piped);
    // A decoder built without the metadata writer or 32-bit PCM: no chapters file, 16 bits.
    const Tools::DecoderGaps lacking{true, true};
    QStringList plain = expected;
    plain.remove(2, 2);
    QCOMPARE(Tools::decoderArguments(source, temp, {}, lacking), plain);
    QStringList narrow = piped;
    narrow.remove(2, 2);
    narrow.replace(narrow.indexOf(QStringLiteral("pcm_s32le")), QStringLiteral("pcm_s16le"));
    QCOMPARE(Tools::pipedDecoderArguments(source, temp, {}, lacking), narrow);
}

void TestToolCommands::encoderArguments_data()
{
    QTest::addColumn<int>("bitrate");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("vbrQuality");   // -1: the constant bitrate
    QTest::addColumn<bool>("jointStereo");

    const auto expect = [](const QString &rate, const QString &in, const QString &out) {
        return QStringList{QStringLiteral("-h"), QStringLiteral("-m"), QStringLiteral("s"),
                           QStringLiteral("-b"), rate, in, out};
    };
    const QString in = QStringLiteral("/temp/zurvek48213976.mp3");
    const QString out = QStringLiteral("/temp/zurvek48213976_128 kbps.mp3");
    QTest::newRow("128") << 128 << in << out << expect(QStringLiteral("128"), in, out) << -1 << false;
    QTest::newRow("8") << 8 << in << out << expect(QStringLiteral("8"), in, out) << -1 << false;
    QTest::newRow("320") << 320 << in << out << expect(QStringLiteral("320"), in, out) << -1 << false;
    QTest::newRow("0 from an unreadable text") << 0 << in << out << expect(QStringLiteral("0"), in, out) << -1 << false;
    const QString odd = QStringLiteral("/t m p/\"$x\" ’é’/-zurvek12345678.mp3");
    QTest::newRow("awkward paths") << 192 << odd << odd + QStringLiteral(".out")
                                   << expect(QStringLiteral("192"), odd, odd + QStringLiteral(".out")) << -1 << false;
    QTest::newRow("single pass: standard input") << 192 << QStringLiteral("-") << odd
                                                 << expect(QStringLiteral("192"), QStringLiteral("-"), odd) << -1 << false;
    QTest::newRow("joint stereo") << 192 << in << out
                                  << QStringList{QStringLiteral("-h"), QStringLiteral("-m"), QStringLiteral("j"), QStringLiteral("-b"),
                                                 QStringLiteral("192"), in, out} << -1 << true;
    QTest::newRow("VBR quality 2, the bitrate unused") << 192 << in << out
                                                      << QStringList{QStringLiteral("-h"), QStringLiteral("-m"), QStringLiteral("s"),
                                                                     QStringLiteral("-V"), QStringLiteral("2"), in, out} << 2 << false;
}

void TestToolCommands::encoderArguments()
{
    QFETCH(int, bitrate);
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QStringList, expected);
    QFETCH(int, vbrQuality);
    QFETCH(bool, jointStereo);
    const Tools::Encoding encoding{bitrate, vbrQuality, jointStereo};
    QCOMPARE(Tools::encoderArguments(encoding, input, output), expected);
    // The single pass's line reads its input from the pipe, and leaves out lame's own gain analysis.
    QStringList piped = expected;
    piped.replace(piped.size() - 2, QStringLiteral("-"));
    piped.insert(piped.size() - 2, QStringLiteral("--noreplaygain"));
    QCOMPARE(Tools::pipedEncoderArguments(encoding, output), piped);
}

void TestToolCommands::encoderOutputPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("temp");
    QTest::addColumn<int>("bitrate");
    QTest::addColumn<QString>("expected");

    const QString sep = QDir::separator();
    QTest::newRow("beside the temporary file")
        << QStringLiteral("/temp") << QStringLiteral("/temp/zurvek48213976.mp3")
        << 128 << QStringLiteral("/temp") + sep + QStringLiteral("zurvek48213976_128 kbps.mp3");
    QTest::newRow("folder ends with a separator")
        << QStringLiteral("/temp/") << QStringLiteral("/temp/zurvek48213976.mp3")
        << 320 << QStringLiteral("/temp/zurvek48213976_320 kbps.mp3");
    QTest::newRow("other folder")
        << QStringLiteral("/out folder") << QStringLiteral("/temp/zurvek12345678.mp3")
        << 8 << QStringLiteral("/out folder") + sep + QStringLiteral("zurvek12345678_8 kbps.mp3");
}

void TestToolCommands::encoderOutputPath()
{
    QFETCH(QString, folder);
    QFETCH(QString, temp);
    QFETCH(int, bitrate);
    QFETCH(QString, expected);
    QCOMPARE(Tools::encoderOutputPath(folder, temp, Tools::Encoding{bitrate}), QDir::toNativeSeparators(expected));
}

// A JPEG's start up to its frame header (marker frame), after an APP0 segment and before.
// A JPEG's start up to its frame header (marker frame), after an APP0 segment and before.
static QByteArray jpegStart(char frame, int width, int height, char precision = 8, const QByteArray &before = {}, int components = 1)
{
    QByteArray header("\xFF", 1);
    header += frame;
    header += char(0) + QByteArray(1, char(8 + 3 * components)) + precision + char(height >> 8) + char(height) + char(width >> 8)
              + char(width) + char(components);
    for (int c = 1; c <= components; ++c)
        header += QByteArray(1, char(c)) + char(0x11) + char(0);
    return QByteArray("\xFF\xD8\xFF\xE0\x00\x06JFIF", 10) + before + header;
}

void TestToolCommands::coverShape_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("shape");   // "baseline", "other" JPEG or "not JPEG", and its size
    QTest::addColumn<bool>("fits");       // a cover to keep under a limit of 500 pixels
    QTest::addColumn<bool>("whole");      // what a scaler's answer must be: to its end, with a scan
    QTest::newRow("baseline (SOF0)") << jpegStart('\xC0', 300, 500) << QStringLiteral("baseline 300x500") << true << false;
    QTest::newRow("baseline, too tall") << jpegStart('\xC0', 300, 501) << QStringLiteral("baseline 300x501") << false << false;
    QTest::newRow("extended sequential (SOF1)") << jpegStart('\xC1', 300, 200) << QStringLiteral("baseline 300x200") << true << false;
    QTest::newRow("SOF1 of 12-bit samples") << jpegStart('\xC1', 300, 200, 12) << QStringLiteral("other 300x200") << false << false;
    QTest::newRow("progressive (SOF2)") << jpegStart('\xC2', 300, 200) << QStringLiteral("other 300x200") << false << false;
    QTest::newRow("a table, a fill byte first") << jpegStart('\xC0', 300, 200, 8, QByteArray("\xFF\xC4\x00\x03\x00\xFF", 6)) << QStringLiteral("baseline 300x200") << true << false;
    QTest::newRow("PNG") << QByteArray("\x89PNG\r\n\x1A\n") << QStringLiteral("not JPEG 0x0") << false << false;
    // Small players read grey and YCbCr; CMYK, or RGB by its Adobe marker, goes to the scaler.
    QTest::newRow("YCbCr") << jpegStart('\xC0', 300, 200, 8, {}, 3) << QStringLiteral("baseline 300x200") << true << false;
    QTest::newRow("CMYK") << jpegStart('\xC0', 300, 200, 8, {}, 4) << QStringLiteral("other 300x200") << false << false;
    QTest::newRow("RGB by its Adobe marker") << jpegStart('\xC0', 300, 200, 8, QByteArray("\xFF\xEE\x00\x0E" "Adobe\x00\x64\x00\x00\x00\x00\x00", 16), 3)
                                             << QStringLiteral("other 300x200") << false << false;
    QTest::newRow("whole: a scan and the end") << jpegStart('\xC0', 300, 200) + QByteArray("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00\x12\x34\xFF\xD9", 14) << QStringLiteral("baseline 300x200") << true << true;
    QTest::newRow("a scan, cut before the end") << jpegStart('\xC0', 300, 200) + QByteArray("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00\x12\x34\xFF\xD9", 14).chopped(2) << QStringLiteral("baseline 300x200") << true << false;
}

void TestToolCommands::coverShape()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, shape);
    QFETCH(bool, fits);
    QFETCH(bool, whole);
    const Cover::Shape found = Cover::shapeOf(data);
    const char *const kinds[] = {"baseline", "other", "not JPEG"};
    QCOMPARE(QStringLiteral("%1 %2x%3").arg(QLatin1String(kinds[int(found.kind)])).arg(found.width).arg(found.height), shape);
    QCOMPARE(Cover::fits(data, 500), fits);
    QCOMPARE(Cover::isWhole(data), whole);
}

QUORVANE_TEST_GUILESS_MAIN(TestToolCommands)
#include "tst_toolcommands.moc"
