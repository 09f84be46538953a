#include "convert/engine/verdicts.h"

#include "convert/engine/progressestimate.h"
#include "convert/engine/toolcommands.h"

#include <QDir>
#include <QLocale>

#include <cerrno>
#include <cstring>

namespace {

using Verdicts::Output;

// Why a tool run did not leave a usable file.
QString toolFailure(const QString &tool, const ProcessOutcome &outcome, const Output &output)
{
    const auto withErrorText = [&outcome](const QString &what) {
        return outcome.errorText.isEmpty() ? what : what + QStringLiteral(": ") + outcome.errorText;
    };
    if (!outcome.started) {
        if (outcome.exitCode == StartError::NotFound + kStartErrorBase)
            return tool + QStringLiteral(" not found");
        return withErrorText(QStringLiteral("could not start the ") + tool);
    }
    if (outcome.crashed)
        return withErrorText(QStringLiteral("the ") + tool + QStringLiteral(" ended abnormally"));
    if (outcome.exitCode != 0) {
        return outcome.errorText.isEmpty() ? QStringLiteral("the %1 failed with exit code %2").arg(tool).arg(outcome.exitCode)
                                           : outcome.errorText;
    }
    return QStringLiteral("the ") + tool
           + (output.exists ? QStringLiteral(" wrote an empty file") : QStringLiteral(" wrote no file"));
}

// Why the MP3 a tool wrote is not a conversion ("" when it is one): not MPEG audio, or more than
// half a second shorter than expectedMs.
QString outputProblem(const QString &tool, const Output &output, std::optional<qint64> expectedMs)
{
    if (!output.audio)
        return QStringLiteral("the %1's output is not valid MPEG audio").arg(tool);
    constexpr qint64 kShortfallMs = 500;
    if (expectedMs && output.audio->lengthMs < *expectedMs - kShortfallMs) {
        return QStringLiteral("the %1's output is cut short: %2 of %3")
            .arg(tool, ProgressEstimate::formatDuration(output.audio->lengthMs), ProgressEstimate::formatDuration(*expectedMs));
    }
    return {};
}

// Why the decoder failed ("" when it did not), by how it ended, what it said and what it wrote.
QString decoderEnded(const ProcessOutcome &outcome, const ToolOutput::DecoderReport &said, const Output &output)
{
    if (outcome.succeeded() && said.writeError.isEmpty() && output.size > 0)
        return {};
    // ffmpeg's own last word would be about its stream map.
    if (said.inputStreams > 0 && said.audioTracks == 0)
        return QStringLiteral("the source has no audio");
    if (outcome.succeeded() && !said.writeError.isEmpty())
        return said.writeError;
    return toolFailure(QStringLiteral("decoder"), outcome, output);
}

// Why the encoder left no usable file ("" when it did), its file checked against expectedMs.
QString encoderEnded(const ProcessOutcome &outcome, const Output &output, std::optional<qint64> expectedMs)
{
    if (outcome.succeeded() && output.size > 0)
        return outputProblem(QStringLiteral("encoder"), output, expectedMs);
    return toolFailure(QStringLiteral("encoder"), outcome, output);
}

} // namespace

namespace Verdicts {

QString runFailure(const QString &tool, const ProcessOutcome &outcome)
{
    if (outcome.succeeded())
        return {};
    if (outcome.stalled)
        return QStringLiteral("the %1 %2").arg(tool, outcome.errorText);
    return toolFailure(tool, outcome, Output{true, 1, {}});
}

QString decoderFailure(const QString &stallReason, const ProcessOutcome &outcome,
                       const ToolOutput::DecoderReport &said, const Output &output)
{
    if (!stallReason.isEmpty())
        return stallReason;
    if (const QString reason = decoderEnded(outcome, said, output); !reason.isEmpty())
        return reason;
    return outputProblem(QStringLiteral("decoder"), output, said.decodedMs);
}

Verdict encoderVerdict(const QString &stallReason, const ProcessOutcome &outcome, const Output &output,
                       const MpegAudio::Facts &decoded, bool decoderFileLeft)
{
    const QString reason = stallReason.isEmpty() ? encoderEnded(outcome, output, decoded.lengthMs) : stallReason;
    if (reason.isEmpty())
        return {FileStatus::Converted, {}};
    if (!decoderFileLeft)
        return {FileStatus::Failed, reason};
    return {FileStatus::KeptDecoderBitrate,
            QStringLiteral("kept at %1 kbps: the encoder failed: %2").arg(decoded.kbps).arg(reason)};
}

QString singlePassFailure(const QString &stallReason, const ProcessOutcome &decoder,
                          const ToolOutput::DecoderReport &said, bool decoderStopped,
                          const ProcessOutcome &encoder, const Output &output)
{
    if (!stallReason.isEmpty())
        return stallReason;
    // The pipe stands for the decoder's file.
    const QString decoderReason = decoderEnded(decoder, said, Output{true, 1, {}});
    const bool encoderFailed = !encoder.succeeded() || output.size <= 0;
    static const QString brokenPipe = QString::fromLocal8Bit(std::strerror(EPIPE));
    const bool decoderLostItsReader =
        encoderFailed
        && (decoderStopped || decoderReason.endsWith(brokenPipe, Qt::CaseInsensitive)
            || said.writeError.endsWith(brokenPipe, Qt::CaseInsensitive));
    if (!decoderReason.isEmpty() && !decoderLostItsReader)
        return decoderReason;
    return encoderEnded(encoder, output, said.decodedMs);
}

QString note(int audioTracks, std::optional<int> encodedKbps, const Tools::Encoding &encoding,
             bool tagsRead, bool tagsWritten)
{
    QStringList notes;
    if (audioTracks > 1)
        notes.append(QStringLiteral("only the first of %1 audio tracks was converted").arg(audioTracks));
    // A VBR file has no one bitrate to compare.
    if (encodedKbps && !encoding.isVbr() && *encodedKbps != encoding.bitrate) {
        notes.append(QStringLiteral("encoded at %1 kbps: %2 kbps is not possible at this source's sample rate")
                         .arg(*encodedKbps)
                         .arg(encoding.bitrate));
    }
    if (!tagsRead)
        notes.append(QStringLiteral("the source's tags could not be read"));
    if (!tagsWritten)
        notes.append(QStringLiteral("the tags could not be written"));
    return notes.join(QStringLiteral("; "));
}

qint64 tempBytesNeeded(qint64 durationMs, const Tools::Encoding &encoding, bool singlePass)
{
    // A kbps is an eighth of a byte a millisecond; the margin covers the frames' padding and
    // headers, and the tags.
    const qint64 encoderKbps = encoding.isVbr() ? 320 : encoding.bitrate;
    const qint64 kbps = singlePass ? encoderKbps : 320 + encoderKbps;
    return durationMs * kbps / 8 * 102 / 100 + (16 << 10);
}

QString tempSpaceProblem(qint64 needed, qint64 freeBytes, const OthersWriting &others, const QString &folder)
{
    if (freeBytes < 0 || freeBytes >= needed + others.bytes)
        return {};
    const QLocale c = QLocale::c();
    const auto size = [&c](qint64 bytes) { return c.formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat); };
    QString text = QStringLiteral("not enough temporary space: about %1 needed, %2 free in %3")
                       .arg(size(needed), size(freeBytes), QDir::toNativeSeparators(folder));
    if (freeBytes >= needed) {
        return text + QStringLiteral(", of which the %1 other file(s) converting now will still write %2; fewer files at "
                                     "once or a temporary folder with more space (TMPDIR) would help")
                          .arg(others.files)
                          .arg(size(others.bytes));
    }
    return text + QStringLiteral("; a temporary folder with more space (TMPDIR) would help");
}

QString shownReason(const QString &reason, const QString &sourcePath)
{
    QString shown = reason;
    for (const QString &named : {sourcePath, Tools::ffmpegFileArgument(sourcePath)}) {
        if (!named.isEmpty() && reason.startsWith(named + QStringLiteral(": "))) {
            shown = reason.mid(named.size() + 2);
            break;
        }
    }
    constexpr qsizetype kMaxLength = 300;
    return shown.size() <= kMaxLength ? shown : shown.left(kMaxLength - 1) + QChar(0x2026);
}

} // namespace Verdicts
