#include "convert/fileconversion.h"

#include "convert/files/pathhelpers.h"
#include "convert/processrunner.h"
#include "convert/progressestimate.h"
#include "convert/tagcopy.h"
#include "convert/files/workfolder.h"
#include "convert/toolcommands.h"
#include "convert/tooloutput.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

// Tools run without a console window.
constexpr int kHiddenWindow = 0;

// A reason is shown in one row of a list; a tool's line can hold a long path.
constexpr qsizetype kMaxReasonLength = 300;

// progress() moves at least this far at a time, so that a list of files running at once does
// not flood the window with repaints.
constexpr double kProgressStep = 0.01;

// Where decoding ends and encoding begins on a file's progress.
constexpr double kDecodedFraction = 0.5;

// In a single pass the decoder's time carries the progress up to here; the rest comes when
// the encoder has finished too.
constexpr double kPipedFraction = 0.99;

// How often at most the watchdog looks at the size of the file a quiet tool writes: a tool
// that writes without a word is found hung this long after the limit at most.
constexpr int kWatchdogLookMs = 2000;

// A steady clock for the watchdog, in ms.
qint64 sinceStart()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

QString shortened(const QString &text)
{
    if (text.size() <= kMaxReasonLength)
        return text;
    return text.left(kMaxReasonLength - 1) + QChar(0x2026);
}

// Every report names the file before its reason; ffmpeg names it again ("SRC: Invalid data
// found when processing input").
QString withoutSourcePath(const QString &reason, const QString &source)
{
    for (const QString &named : {source, Tools::ffmpegFileArgument(source)}) {
        const QString prefix = named + QStringLiteral(": ");
        if (!named.isEmpty() && reason.startsWith(prefix))
            return reason.mid(prefix.size());
    }
    return reason;
}

bool isNonEmptyFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.size() > 0;
}

void removeIfPresent(const QString &path)
{
    if (!path.isEmpty() && QFileInfo::exists(path))
        QFile::remove(path);
}

std::filesystem::path toFsPath(const QString &path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

// Puts from in the place of to. A rename replaces to in one step where the file system
// allows it; otherwise to is removed first, and as a last resort the data is copied.
bool replaceFile(const QString &from, const QString &to)
{
    std::error_code error;
    std::filesystem::rename(toFsPath(from), toFsPath(to), error);
    if (!error)
        return true;
    std::filesystem::remove(toFsPath(to), error);
    error.clear();
    std::filesystem::rename(toFsPath(from), toFsPath(to), error);
    if (!error)
        return true;
    const bool copied = QFile::copy(from, to);
    QFile::remove(from);
    return copied;
}

// Why a tool run did not leave a usable file at outputPath, in one short line.
QString failureReason(const QString &tool, const ProcessOutcome &outcome, const QString &outputPath)
{
    if (!outcome.started) {
        if (outcome.result == StartError::NotFound + kStartErrorBase)
            return tool + QStringLiteral(" not found");
        if (outcome.errorText.isEmpty())
            return QStringLiteral("could not start the ") + tool;
        return QStringLiteral("could not start the ") + tool + QStringLiteral(": ") + outcome.errorText;
    }
    if (outcome.crashed) {
        const QString ended = QStringLiteral("the ") + tool + QStringLiteral(" ended abnormally");
        return outcome.errorText.isEmpty() ? ended : ended + QStringLiteral(": ") + outcome.errorText;
    }
    if (outcome.exitCode != 0) {
        if (!outcome.errorText.isEmpty())
            return outcome.errorText;
        return QStringLiteral("the ") + tool + QStringLiteral(" failed with exit code ")
               + QString::number(outcome.exitCode);
    }
    if (!QFileInfo(outputPath).isFile())
        return QStringLiteral("the ") + tool + QStringLiteral(" wrote no file");
    return QStringLiteral("the ") + tool + QStringLiteral(" wrote an empty file");
}

// Why the MP3 a tool wrote at path is not a conversion ("" when it is one): not MPEG audio, or
// more than half a second shorter than expectedMs. The file's figures go to audio.
QString outputProblem(const QString &tool, const QString &path, std::optional<qint64> expectedMs,
                      TagCopy::MpegAudio *audio)
{
    const std::optional<TagCopy::MpegAudio> found = TagCopy::readMpegAudio(path);
    if (!found)
        return QStringLiteral("the %1's output is not valid MPEG audio").arg(tool);
    constexpr qint64 kShortfallMs = 500;
    if (expectedMs && found->lengthMs < *expectedMs - kShortfallMs) {
        return QStringLiteral("the %1's output is cut short: %2 of %3")
            .arg(tool, ProgressEstimate::formatDuration(found->lengthMs), ProgressEstimate::formatDuration(*expectedMs));
    }
    if (audio)
        *audio = *found;
    return {};
}

} // namespace

FileConversion::FileConversion(int index, const QString &sourcePath, int bitrate,
                               const ToolSet &tools, QObject *parent)
    : QObject(parent)
    , m_tools(tools)
    , m_encoding{bitrate, tools.vbrQuality, tools.jointStereo}
    , m_runner(new ProcessRunner(this))
    , m_watchdog(new QTimer(this))
{
    m_watchdog->setSingleShot(true);
    connect(m_watchdog, &QTimer::timeout, this, &FileConversion::onWatchdog);
    if (m_tools.tempFolder.isEmpty())
        m_tools.tempFolder = WorkFolder::in(QString());
    m_result.index = index;
    m_result.sourcePath = sourcePath;
    m_result.displayName = Paths::displayNameFor(sourcePath);
    m_result.status = FileStatus::Cancelled;
    connect(m_runner, &ProcessRunner::standardErrorLineRead, this, &FileConversion::onToolLine);
    connect(m_runner, &ProcessRunner::finished, this, &FileConversion::onToolFinished);
    if (m_tools.singlePass) {
        m_pipeReader = new ProcessRunner(this);
        connect(m_pipeReader, &ProcessRunner::standardErrorLineRead, this, [this](const QString &line) {
            m_encoderHeardMs = sinceStart();
            if (m_state == State::Piping)
                onEncoderLine(line);
        });
        connect(m_pipeReader, &ProcessRunner::finished, this, [this](const ProcessOutcome &outcome) {
            if (m_state == State::Piping) {
                m_encoderOutcome = outcome;
                onPipedToolFinished();
            } else if (m_state == State::Cancelling) {
                onCancelledToolFinished();
            }
        });
    }
}

FileConversion::~FileConversion()
{
    abort();
}

void FileConversion::start()
{
    if (m_state != State::Idle)
        return;
    m_state = State::Starting;
    QMetaObject::invokeMethod(this, &FileConversion::begin, Qt::QueuedConnection);
}

void FileConversion::cancel()
{
    switch (m_state) {
    case State::Idle:
    case State::Starting:
        finishLater(FileStatus::Cancelled, QStringLiteral("cancelled"));
        break;
    case State::Tagging:
        // The worker cannot be stopped half-way; its report ends the file.
        if (m_tagging.valid()) {
            m_state = State::Cancelling;
            break;
        }
        removeTemporaryFiles();
        finishLater(FileStatus::Cancelled, QStringLiteral("cancelled"));
        break;
    case State::Decoding:
    case State::Encoding:
    case State::Piping:
        if (m_runner->isRunning() || (m_pipeReader && m_pipeReader->isRunning())) {
            // The files are deleted once the tools have let go of them, in
            // onCancelledToolFinished().
            m_state = State::Cancelling;
            m_runner->cancel();
            if (m_pipeReader)
                m_pipeReader->cancel();
        } else {
            // Called from progress() between the two tools or after the last one.
            removeTemporaryFiles();
            finishLater(FileStatus::Cancelled, QStringLiteral("cancelled"));
        }
        break;
    case State::Cancelling:
    case State::Reporting:
    case State::Done:
        break;
    }
}

void FileConversion::abort()
{
    if (m_state == State::Done)
        return;
    m_state = State::Done;
    m_runner->abort();
    if (m_pipeReader)
        m_pipeReader->abort();
    if (m_tagging.valid())
        m_tagging.wait();   // the worker writes into the file about to be deleted
    removeTemporaryFiles();
}

void FileConversion::begin()
{
    if (m_state != State::Starting)
        return;
    // A FIFO or a device is never opened: reading one could wait forever.
    if (const QFileInfo source(m_result.sourcePath); !source.isFile()) {
        finish(FileStatus::Failed, source.exists() ? QStringLiteral("not a regular file") : QStringLiteral("file not found"));
        return;
    }
    // No folder of our own could be made in the system's temporary folder; a bare file name
    // would land in whatever folder the program was started from.
    if (m_tools.tempFolder.isEmpty()) {
        finish(FileStatus::Failed, QStringLiteral("no folder for temporary files can be made"));
        return;
    }
    // Before the decoder: a source with two audio tracks needs the first one's length then.
    m_sourceTags = TagCopy::readSource(m_result.sourcePath);
    m_tempPath = WorkFolder::newTempMp3Path(m_tools.tempFolder);
    if (m_tempPath.isEmpty()) {
        finish(FileStatus::Failed, QStringLiteral("no free name for a temporary file"));
        return;
    }
    if (m_pipeReader) {
        m_state = State::Piping;
        m_encoderOutput = Tools::encoderOutputPath(m_tools.tempFolder, m_tempPath, m_encoding);
        m_runner->startPiped(m_tools.decoder, Tools::pipedDecoderArguments(m_result.sourcePath), m_pipeReader,
                             m_tools.encoder, Tools::pipedEncoderArguments(m_encoding, m_encoderOutput), kHiddenWindow);
        watchTools();
        return;
    }
    m_state = State::Decoding;
    m_runner->start(m_tools.decoder, Tools::decoderArguments(m_result.sourcePath, m_tempPath),
                    kHiddenWindow);
    watchTools();
}

void FileConversion::watchTools()
{
    m_decoderHeardMs = m_encoderHeardMs = sinceStart();
    m_watchedSize = 0;
    if (m_tools.stallTimeoutSeconds > 0)
        m_watchdog->start(qMin(kWatchdogLookMs, m_tools.stallTimeoutSeconds * 1000));
}

// A tool is hung when neither it nor (in a single pass) its partner has shown progress for
// the whole limit: in a pipe, one that stops makes the other wait too. The one that has been
// quiet longest is named. The tool is stopped as by a cancel, and the reason replaces
// whatever it says as it dies.
void FileConversion::onWatchdog()
{
    if (m_state != State::Decoding && m_state != State::Encoding && m_state != State::Piping)
        return;
    // The file's growth counts from when it was written, not from when it is looked at.
    const qint64 now = sinceStart();
    if (const QFileInfo written(m_state == State::Decoding ? m_tempPath : m_encoderOutput); written.size() != m_watchedSize) {
        m_watchedSize = written.size();
        const qint64 age = qBound<qint64>(0, written.lastModified().msecsTo(QDateTime::currentDateTime()), now);
        qint64 &heard = m_state == State::Decoding ? m_decoderHeardMs : m_encoderHeardMs;
        heard = qMax(heard, now - age);
    }
    // Only a tool that still runs is judged: in a single pass one may have ended already.
    const qint64 limitMs = qint64(m_tools.stallTimeoutSeconds) * 1000;
    const bool decoderRuns = m_state == State::Decoding || (m_state == State::Piping && !m_decoderOutcome);
    const bool encoderRuns = m_state == State::Encoding || (m_state == State::Piping && !m_encoderOutcome);
    const qint64 decoderQuiet = decoderRuns ? now - m_decoderHeardMs : -1;
    const qint64 encoderQuiet = encoderRuns ? now - m_encoderHeardMs : -1;
    const qint64 quiet = decoderRuns && encoderRuns ? qMin(decoderQuiet, encoderQuiet) : qMax(decoderQuiet, encoderQuiet);
    if (quiet < limitMs) {
        m_watchdog->start(int(qMin<qint64>(kWatchdogLookMs, limitMs - quiet)));
        return;
    }
    const QString tool = decoderQuiet >= encoderQuiet ? QStringLiteral("decoder") : QStringLiteral("encoder");
    m_stallReason = QStringLiteral("the %1 made no progress for %2 s").arg(tool).arg(m_tools.stallTimeoutSeconds);
    m_runner->cancel();
    if (m_pipeReader)
        m_pipeReader->cancel();
}

void FileConversion::onToolLine(const QString &line)
{
    if (m_state == State::Decoding || m_state == State::Piping) {
        m_decoderHeardMs = sinceStart();
        onDecoderLine(line);
    } else if (m_state == State::Encoding) {
        m_encoderHeardMs = sinceStart();
        onEncoderLine(line);
    }
}

void FileConversion::onDecoderLine(const QString &line)
{
    if (!m_outputListed) {
        m_outputListed = line.startsWith(QStringLiteral("Output #"));
        const QString kind = ToolOutput::streamKind(line);
        if (!m_outputListed && !kind.isEmpty()) {
            ++m_inputStreams;
            // The container's length is its longest track's; only the first is decoded.
            if (kind == QStringLiteral("Audio") && ++m_audioTracks == 2 && m_sourceTags.firstAudioTrackMs)
                m_sourceMs = m_sourceTags.firstAudioTrackMs;
            return;
        }
    }
    // The input summary with the length comes once, before any progress line.
    if (!m_sourceMs) {
        if (const auto length = ToolOutput::durationMs(line)) {
            m_sourceMs = length;
            return;
        }
    }
    // ffmpeg says it could not write the whole of its output (a full disk) and still
    // exits with 0; the first such line is the reason the file fails. Anchored, so that a
    // source's name in the input summary cannot pass for one.
    static const QRegularExpression writeError(QStringLiteral(
        "^(?:\\[[^\\]]*\\]\\s*)?(?:Error (?:writing|closing|muxing)|av_interleaved_write_frame\\(\\))"
        "|: (?:No space left on device|Disk quota exceeded)$"));
    if (m_decoderWriteError.isEmpty() && writeError.match(line).hasMatch()) {
        m_decoderWriteError = line.trimmed();
        return;
    }
    // The last progress line is written at the end and tells the length of the output.
    if (const auto time = ToolOutput::timeMs(line)) {
        m_decodedMs = time;
        const double span = m_state == State::Piping ? kPipedFraction : kDecodedFraction;
        if (m_sourceMs && *m_sourceMs > 0)
            reportProgress(span * qMin(1.0, double(*time) / double(*m_sourceMs)));
    }
}

void FileConversion::onEncoderLine(const QString &line)
{
    // Reading a pipe, the encoder knows no length and counts no share.
    if (const auto share = ToolOutput::encodedShare(line); share && m_state == State::Encoding) {
        reportProgress(kDecodedFraction + (1.0 - kDecodedFraction) * *share);
        return;
    }
    // "Encoding as 8 kHz single-ch MPEG-2.5 Layer III (0.4x)  64 kbps qval=2", once.
    static const QRegularExpression encodingAs(QStringLiteral("^Encoding as .*\\b(\\d+) kbps\\b"));
    if (!m_encodedKbps) {
        if (const QRegularExpressionMatch match = encodingAs.match(line); match.hasMatch())
            m_encodedKbps = match.captured(1).toInt();
    }
}

void FileConversion::reportProgress(double fraction)
{
    fraction = qBound(0.0, fraction, 1.0);
    if (fraction <= m_reportedFraction)
        return;
    const bool milestone = fraction == kDecodedFraction || fraction == 1.0;
    if (!milestone && fraction - m_reportedFraction < kProgressStep)
        return;
    m_reportedFraction = fraction;
    emit progress(m_result.index, fraction);
}

void FileConversion::onToolFinished(const ProcessOutcome &outcome)
{
    switch (m_state) {
    case State::Decoding:
        onDecoderFinished(outcome);
        break;
    case State::Encoding:
        onEncoderFinished(outcome);
        break;
    case State::Piping:
        m_decoderOutcome = outcome;
        onPipedToolFinished();
        break;
    case State::Cancelling:
        onCancelledToolFinished();
        break;
    default:
        break;
    }
}

void FileConversion::onCancelledToolFinished()
{
    if (m_runner->isRunning() || (m_pipeReader && m_pipeReader->isRunning()))
        return;   // the other tool of a single pass still holds its file
    removeTemporaryFiles();
    finish(FileStatus::Cancelled, QStringLiteral("cancelled"));
}

// Why the decoder failed ("" when it did not): the exit code counts as much as the file, for a
// decoder that fails half-way leaves a partial file that must not pass for a converted one.
QString FileConversion::decoderFailure(const ProcessOutcome &outcome, const QString &outputPath) const
{
    if (!m_stallReason.isEmpty())
        return m_stallReason;
    if (outcome.succeeded() && m_decoderWriteError.isEmpty() && (outputPath.isEmpty() || isNonEmptyFile(outputPath)))
        return {};
    // ffmpeg's own last word would be about its stream map.
    if (m_inputStreams > 0 && m_audioTracks == 0)
        return QStringLiteral("the source has no audio");
    if (outcome.succeeded() && !m_decoderWriteError.isEmpty())
        return m_decoderWriteError;
    return failureReason(QStringLiteral("decoder"), outcome, outputPath);
}

void FileConversion::onDecoderFinished(const ProcessOutcome &outcome)
{
    if (const QString reason = decoderFailure(outcome, m_tempPath); !reason.isEmpty()) {
        fail(reason);
        return;
    }
    // A decoder that says it succeeded has still written garbage or a file cut short now and
    // then; neither may pass for a conversion.
    if (const QString problem = outputProblem(QStringLiteral("decoder"), m_tempPath, m_decodedMs, &m_decoded);
        !problem.isEmpty()) {
        fail(problem);
        return;
    }
    noteWhatWasDecoded();
    reportProgress(kDecodedFraction);
    if (m_state != State::Decoding)
        return;   // a receiver of progress() cancelled or aborted
    m_state = State::Encoding;
    // Into the temporary folder, not beside the program: an installed program's folder is
    // read-only, and every file would silently keep the decoder's bitrate.
    m_encoderOutput = Tools::encoderOutputPath(m_tools.tempFolder, m_tempPath, m_encoding);
    m_runner->start(m_tools.encoder, Tools::encoderArguments(m_encoding, m_tempPath, m_encoderOutput),
                    kHiddenWindow);
    watchTools();
}

void FileConversion::onEncoderFinished(const ProcessOutcome &outcome)
{
    QString problem = m_stallReason;
    if (problem.isEmpty() && outcome.succeeded() && isNonEmptyFile(m_encoderOutput))
        problem = outputProblem(QStringLiteral("encoder"), m_encoderOutput, m_decoded.lengthMs, nullptr);
    if (outcome.succeeded() && isNonEmptyFile(m_encoderOutput) && problem.isEmpty()) {
        takeEncoderOutput();
        return;
    }

    const QString reason = problem.isEmpty() ? failureReason(QStringLiteral("encoder"), outcome, m_encoderOutput)
                                             : problem;
    removeIfPresent(m_encoderOutput);
    if (!isNonEmptyFile(m_tempPath)) {
        fail(reason);
        return;
    }
    // The decoder's file is still a good MP3, only at the decoder's bitrate; the user is told
    // so rather than handed a different bitrate silently.
    startTagging(FileStatus::KeptDecoderBitrate,
                 QStringLiteral("kept at %1 kbps: the encoder failed: %2").arg(m_decoded.kbps).arg(reason));
}

// Both tools of a single pass have ended. A tool that fails takes the other with it: a decoder
// that dies leaves the encoder a short input, which it encodes without complaint; an encoder
// that dies leaves the decoder writing into a closed pipe. The one that failed first names
// the reason: the decoder's, unless its failure is only the closed pipe or the stop below.
void FileConversion::onPipedToolFinished()
{
    if (!m_decoderOutcome || !m_encoderOutcome) {
        // The other tool has nothing left to do: a decoder that never started may leave the
        // encoder waiting for input, and a decoder deaf to its closed pipe would go on.
        if (m_decoderOutcome && !m_decoderOutcome->started) {
            m_pipeReader->cancel();
        } else if (m_encoderOutcome && !m_encoderOutcome->succeeded()) {
            m_decoderStopped = true;
            m_runner->cancel();
        }
        return;
    }
    if (!m_stallReason.isEmpty()) {
        fail(m_stallReason);
        return;
    }
    const ProcessOutcome &encoder = *m_encoderOutcome;
    const QString decoderReason = decoderFailure(*m_decoderOutcome, QString());
    const bool encoderFailed = !encoder.succeeded() || !isNonEmptyFile(m_encoderOutput);
    static const QString brokenPipe = QString::fromLocal8Bit(std::strerror(EPIPE));
    const bool decoderLostItsReader =
        encoderFailed
        && (m_decoderStopped || decoderReason.endsWith(brokenPipe, Qt::CaseInsensitive)
            || m_decoderWriteError.endsWith(brokenPipe, Qt::CaseInsensitive));
    if (!decoderReason.isEmpty() && !decoderLostItsReader) {
        fail(decoderReason);
        return;
    }
    if (encoderFailed) {
        fail(failureReason(QStringLiteral("encoder"), encoder, m_encoderOutput));
        return;
    }
    if (const QString problem = outputProblem(QStringLiteral("encoder"), m_encoderOutput, m_decodedMs, &m_decoded);
        !problem.isEmpty()) {
        fail(problem);
        return;
    }
    noteWhatWasDecoded();
    takeEncoderOutput();
}

// The encoder's checked file takes the temporary file's name, and the tag step follows.
void FileConversion::takeEncoderOutput()
{
    const bool replaced = replaceFile(m_encoderOutput, m_tempPath);
    removeIfPresent(m_encoderOutput);
    if (!replaced || !isNonEmptyFile(m_tempPath)) {
        fail(QStringLiteral("could not put the re-encoded file in place"));
        return;
    }
    // A VBR file has no one bitrate to compare.
    if (m_encodedKbps && !m_encoding.isVbr() && *m_encodedKbps != m_encoding.bitrate) {
        addNote(QStringLiteral("encoded at %1 kbps: %2 kbps is not possible at this source's sample rate")
                    .arg(*m_encodedKbps)
                    .arg(m_encoding.bitrate));
    }
    startTagging(FileStatus::Converted, QString());
}

void FileConversion::startTagging(FileStatus status, const QString &reason)
{
    if (!m_sourceTags.readable)
        addNote(QStringLiteral("the source's tags could not be read"));
    if (m_sourceTags.isEmpty()) {
        finish(status, reason);
        return;
    }
    m_state = State::Tagging;
    m_tagging = std::async(std::launch::async, [this, tags = m_sourceTags, path = m_tempPath, status, reason] {
        const bool written = TagCopy::writeId3v23(tags, path);
        QMetaObject::invokeMethod(
            this, [this, written, status, reason] { onTagged(written, status, reason); }, Qt::QueuedConnection);
    });
}

void FileConversion::onTagged(bool written, FileStatus status, const QString &reason)
{
    m_tagging = {};
    if (m_state == State::Cancelling) {
        removeTemporaryFiles();
        finish(FileStatus::Cancelled, QStringLiteral("cancelled"));
    } else if (m_state == State::Tagging) {
        if (!written)
            addNote(QStringLiteral("the tags could not be written"));
        finish(status, reason);
    }
    // Otherwise aborted: the files are gone and nothing is reported.
}

// What the decoder's report says of a file that converts: a source cut short, tracks left out.
void FileConversion::noteWhatWasDecoded()
{
    // The file's own length, as its headers give it: the decoder's last progress line can lag
    // well behind what it wrote before it stopped.
    const std::optional<qint64> kept = m_decoded.lengthMs > 0 ? std::optional<qint64>(m_decoded.lengthMs) : m_decodedMs;
    m_result.warning = ToolOutput::shortSourceWarning(kept, m_sourceMs);
    if (m_audioTracks > 1)
        addNote(QStringLiteral("only the first of %1 audio tracks was converted").arg(m_audioTracks));
}

void FileConversion::addNote(const QString &note)
{
    m_result.note = m_result.note.isEmpty() ? note : m_result.note + QStringLiteral("; ") + note;
}

void FileConversion::removeTemporaryFiles()
{
    removeIfPresent(m_encoderOutput);
    removeIfPresent(m_tempPath);
    // A second call (a cancel between the tools, then abort() before the report) deletes
    // nothing, whatever has come to the names since.
    m_encoderOutput.clear();
    m_tempPath.clear();
}

void FileConversion::finish(FileStatus status, const QString &reason)
{
    const State before = m_state;
    if ((before == State::Encoding || before == State::Piping || before == State::Tagging)
        && (status == FileStatus::Converted || status == FileStatus::KeptDecoderBitrate)) {
        reportProgress(1.0);
        if (m_state != before)
            return;   // a receiver of progress() cancelled or aborted, and the files are gone
    }
    m_state = State::Done;
    m_watchdog->stop();
    m_result.status = status;
    m_result.reason = shortened(withoutSourcePath(reason, m_result.sourcePath));
    if (m_result.isConverted()) {
        // The file is the receiver's now, until it lets it go (WorkFolder::discardTempMp3()).
        m_result.tempPath = m_tempPath;
    } else {
        m_result.tempPath.clear();
        m_result.warning.clear();
        m_result.note.clear();
    }
    emit finished(m_result);
}

void FileConversion::fail(const QString &reason)
{
    removeTemporaryFiles();
    finish(FileStatus::Failed, reason);
}

void FileConversion::finishLater(FileStatus status, const QString &reason)
{
    m_state = State::Reporting;
    QMetaObject::invokeMethod(
        this,
        [this, status, reason] {
            if (m_state == State::Reporting)
                finish(status, reason);
        },
        Qt::QueuedConnection);
}
