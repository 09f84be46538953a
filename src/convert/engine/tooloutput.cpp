#include "convert/engine/tooloutput.h"

#include "convert/engine/progressestimate.h"

#include <QRegularExpression>

namespace {

// A shortfall counts only when both this long and this large a share of the source: the decoder's
// last progress line and the container's duration differ by a few frames on every whole file.
constexpr qint64 kShortfallMs = 1000;
constexpr double kShortfallShare = 0.02;

// HH:MM:SS with an optional fraction of a second, as ffmpeg prints both lengths. Hours may
// have more than two digits.
QRegularExpression clockPattern(const QString &before)
{
    return QRegularExpression(before + QStringLiteral("(\\d+):([0-5]\\d):([0-5]\\d)(?:\\.(\\d+))?"));
}

std::optional<qint64> clockMs(const QRegularExpressionMatch &match)
{
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint64 hours = match.capturedView(1).toLongLong(&ok);
    // Far beyond any recording; also keeps the sum below from overflowing.
    if (!ok || hours > 1000000)
        return std::nullopt;
    const qint64 minutes = match.capturedView(2).toLongLong();
    const qint64 seconds = match.capturedView(3).toLongLong();
    // The fraction as milliseconds: ".4" is 400, ".02" is 20, ".123456" is 123.
    const qint64 millis = (match.captured(4) + QStringLiteral("000")).left(3).toLongLong();
    return ((hours * 60 + minutes) * 60 + seconds) * 1000 + millis;
}

} // namespace

namespace ToolOutput {

std::optional<double> encodedShare(const QString &line)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*(\\d+)/(\\d+)\\s+\\(\\s*\\d+%\\)"));
    const QRegularExpressionMatch match = pattern.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    const double frame = match.capturedView(1).toDouble();
    const double frames = match.capturedView(2).toDouble();
    if (frames <= 0)
        return std::nullopt;
    return qBound(0.0, frame / frames, 1.0);
}

void readDecoderLine(DecoderReport &report, const QString &line)
{
    // A stream's kind ("Audio" in "  Stream #0:1[0x2](und): Audio: aac ...", "Video" for a cover)
    // and the source's length ("  Duration: 00:03:00.02, start: ..."), anchored at the start: tag
    // values are listed as "name : value", and "    comment : Duration: ..." must not count.
    static const QRegularExpression stream(
        QStringLiteral("^\\s*Stream #\\d+:\\d+(?:\\[\\w+\\])?(?:\\([^)]*\\))?: (\\w+):"));
    static const QRegularExpression duration = clockPattern(QStringLiteral("^\\s*Duration:\\s*"));
    // How far ffmpeg has got, "time=00:01:22.40"; none for "time=N/A" or a negative time.
    static const QRegularExpression time = clockPattern(QStringLiteral("(?:^|\\s)time=\\s*"));
    if (!report.outputListed) {
        report.outputListed = line.startsWith(QStringLiteral("Output #"));
        if (const QString kind = stream.match(line).captured(1); !report.outputListed && !kind.isEmpty()) {
            ++report.inputStreams;
            if (kind == QStringLiteral("Audio") && ++report.audioTracks == 2 && report.firstTrackMs)
                report.sourceMs = report.firstTrackMs;
            return;
        }
    }
    // The input summary with the length comes once, before any progress line.
    if (!report.sourceMs) {
        if (const auto length = clockMs(duration.match(line))) {
            report.sourceMs = length;
            return;
        }
    }
    static const QRegularExpression writeError(QStringLiteral(
        "^(?:\\[[^\\]]*\\]\\s*)?(?:Error (?:writing|closing|muxing)|av_interleaved_write_frame\\(\\))"
        "|: (?:No space left on device|Disk quota exceeded)$"));
    // A build without the metadata writer or the 32-bit PCM coder refuses its outputs at once.
    static const QRegularExpression noChaptersFile(QStringLiteral("Unable to find a suitable output format for '.*\\.ffmeta'"));
    if (noChaptersFile.match(line).hasMatch())
        report.gaps.noChaptersFile = true;
    else if (line.startsWith(QStringLiteral("Unknown encoder 'pcm_s32le'")))
        report.gaps.noWidePcm = true;
    else if (report.writeError.isEmpty() && writeError.match(line).hasMatch())
        report.writeError = line.trimmed();
    else if (const auto decoded = clockMs(time.match(line)))
        report.decodedMs = decoded;
}

std::optional<int> encodedKbps(const QString &line)
{
    static const QRegularExpression pattern(QStringLiteral("^Encoding as .*\\b(\\d+) kbps\\b"));
    if (const QRegularExpressionMatch match = pattern.match(line); match.hasMatch())
        return match.captured(1).toInt();
    return std::nullopt;
}

QString shortSourceWarning(std::optional<qint64> decodedMs, std::optional<qint64> sourceMs)
{
    if (!decodedMs || !sourceMs || *sourceMs <= 0)
        return {};
    const qint64 shortfall = *sourceMs - *decodedMs;
    if (shortfall <= kShortfallMs || double(shortfall) <= kShortfallShare * double(*sourceMs))
        return {};
    return QStringLiteral("converted %1 of %2; the source may be damaged")
        .arg(ProgressEstimate::formatDuration(*decodedMs), ProgressEstimate::formatDuration(*sourceMs));
}

} // namespace ToolOutput
