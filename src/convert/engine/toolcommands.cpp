#include "convert/engine/toolcommands.h"

#include "convert/files/pathhelpers.h"

#include <QDir>
#include <QFileInfo>

namespace Tools {

QList<int> bitrates()
{
    return {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256, 320};
}

int defaultBitrate()
{
    return 128;
}

QString bitrateText(int bitrate)
{
    return QString::number(bitrate) + QStringLiteral(" kbps");
}

QString defaultBitrateText()
{
    return bitrateText(defaultBitrate());
}

QString ffmpegFileArgument(const QString &path)
{
    if (!path.contains(u':') || QDir::fromNativeSeparators(path).startsWith(u'/'))
        return path;
    // "C:\music" and "C:music" are drive paths to ffmpeg too.
    if (Paths::startsWithDrive(path))
        return path;
    return QStringLiteral("file:") + path;
}

// Seconds as ffmpeg's time options take them: "83.250".
static QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 3);
}

SpanArguments spanArguments(const SourceSpan &span)
{
    SpanArguments arguments;
    if (span.isWhole())
        return arguments;
    constexpr qint64 kSettleMs = 1000;
    const qint64 seekMs = qMax<qint64>(0, span.startMs - kSettleMs);
    if (seekMs > 0)
        arguments.input = QStringList{QStringLiteral("-ss"), seconds(seekMs)};
    if (span.startMs > seekMs)
        arguments.output = QStringList{QStringLiteral("-ss"), seconds(span.startMs - seekMs)};
    if (span.hasEnd())
        arguments.output += QStringList{QStringLiteral("-t"), seconds(span.endMs - span.startMs)};
    return arguments;
}

// The source, then the chapters file: metadata only, no stream ("-an") goes into it; then the
// span's output options, which belong to the audio output that follows.
static QStringList sourceAndChapters(const QString &source, const QString &tempMp3, const SourceSpan &span,
                                     const DecoderGaps &gaps)
{
    const SpanArguments cut = spanArguments(span);
    QStringList arguments = cut.input + QStringList{QStringLiteral("-i"), ffmpegFileArgument(source)};
    if (!gaps.noChaptersFile)
        arguments += QStringList{QStringLiteral("-an"), ffmpegFileArgument(chaptersPath(tempMp3))};
    return arguments + cut.output;
}

QStringList chapterListArguments(const QString &source)
{
    return {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"),
            ffmpegFileArgument(source), QStringLiteral("-an"), QStringLiteral("-f"), QStringLiteral("ffmetadata"),
            QStringLiteral("-")};
}

QStringList decoderArguments(const QString &source, const QString &tempMp3, const SourceSpan &span,
                             const DecoderGaps &gaps)
{
    return sourceAndChapters(source, tempMp3, span, gaps)
           + QStringList{QStringLiteral("-map"), QStringLiteral("0:a:0"),
                         QStringLiteral("-id3v2_version"), QStringLiteral("0"),
                         QStringLiteral("-b:a"), QStringLiteral("320k"),
                         QStringLiteral("-f"), QStringLiteral("mp3"), ffmpegFileArgument(tempMp3)};
}

// A file the conversion keeps beside its temporary MP3, named after it; "" without one.
static QString besideTemp(const QString &tempMp3, const QString &suffix)
{
    if (tempMp3.isEmpty())
        return {};
    const QFileInfo temp(QDir::fromNativeSeparators(tempMp3));
    return QDir::toNativeSeparators(temp.dir().filePath(temp.completeBaseName() + suffix));
}

QString chaptersPath(const QString &tempMp3)
{
    return besideTemp(tempMp3, QStringLiteral(".ffmeta"));
}

QString coverPath(const QString &tempMp3)
{
    return besideTemp(tempMp3, QStringLiteral(".cover"));
}

QString Encoding::text() const
{
    return isVbr() ? QStringLiteral("VBR quality %1").arg(vbrQuality) : bitrateText(bitrate);
}

QStringList encoderArguments(const Encoding &encoding, const QString &input, const QString &output)
{
    return {QStringLiteral("-h"), QStringLiteral("-m"), encoding.jointStereo ? QStringLiteral("j") : QStringLiteral("s"),
            encoding.isVbr() ? QStringLiteral("-V") : QStringLiteral("-b"),
            QString::number(encoding.isVbr() ? encoding.vbrQuality : encoding.bitrate), input, output};
}

QStringList pipedEncoderArguments(const Encoding &encoding, const QString &output)
{
    QStringList arguments = encoderArguments(encoding, QStringLiteral("-"), output);
    arguments.insert(arguments.size() - 2, QStringLiteral("--noreplaygain"));
    return arguments;
}

QStringList pipedDecoderArguments(const QString &source, const QString &tempMp3, const SourceSpan &span,
                                  const DecoderGaps &gaps)
{
    return sourceAndChapters(source, tempMp3, span, gaps)
           + QStringList{QStringLiteral("-map"), QStringLiteral("0:a:0"),
                         QStringLiteral("-map_metadata"), QStringLiteral("-1"),
                         QStringLiteral("-af"), QStringLiteral("aformat=channel_layouts=mono|stereo"),
                         QStringLiteral("-c:a"), gaps.noWidePcm ? QStringLiteral("pcm_s16le") : QStringLiteral("pcm_s32le"),
                         QStringLiteral("-f"), QStringLiteral("wav"), QStringLiteral("-")};
}

QString encoderOutputPath(const QString &folder, const QString &tempMp3, const Encoding &encoding)
{
    const QString base = QFileInfo(QDir::fromNativeSeparators(tempMp3)).completeBaseName();
    return QDir::toNativeSeparators(QDir(folder).filePath(base + u'_' + encoding.text() + QStringLiteral(".mp3")));
}

QStringList floatSampleArguments(const QString &file, int channels, int rate)
{
    return {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), ffmpegFileArgument(file),
            QStringLiteral("-map"), QStringLiteral("0:a:0"), QStringLiteral("-ac"), QString::number(channels),
            QStringLiteral("-ar"), QString::number(rate), QStringLiteral("-f"), QStringLiteral("f32le"), QStringLiteral("-")};
}

} // namespace Tools
