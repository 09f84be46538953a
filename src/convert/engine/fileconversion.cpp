#include "convert/engine/fileconversion.h"

#include "convert/engine/cover.h"
#include "convert/engine/mpegaudio.h"
#include "convert/engine/verdicts.h"
#include "convert/files/pathhelpers.h"
#include "convert/files/workfolder.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <filesystem>
#include <map>
#include <mutex>

namespace {

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

bool isNonEmptyFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.size() > 0;
}

// What a tool left at path.
Verdicts::Output outputAt(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return {};
    return {true, info.size(), info.size() > 0 ? MpegAudio::read(path) : std::nullopt};
}

// Puts from in the place of to, both in the temporary folder: a rename replaces to in one step
// where the file system allows it; otherwise to is removed first.
bool renameOver(const QString &from, const QString &to)
{
    const std::filesystem::path source = Paths::filesystemPath(from), target = Paths::filesystemPath(to);
    std::error_code error;
    std::filesystem::rename(source, target, error);
    if (error) {
        std::filesystem::remove(target, error);
        std::filesystem::rename(source, target, error);
    }
    return !error;
}

// What the conversions of this program will still write into their temporary folders: each
// books its whole need before its first tool starts and lets go as it ends, so that a file that
// fits alone is not started beside others that leave it no room.
struct Booking
{
    QString folder;
    qint64 bytes = 0;
    QStringList files;   // what it writes, to tell what of the booking is on the disk already
};
std::mutex s_bookingsMutex;
std::map<const FileConversion *, Booking> s_bookings;

Verdicts::OthersWriting othersWriting(const QString &folder)
{
    const std::lock_guard<std::mutex> lock(s_bookingsMutex);
    Verdicts::OthersWriting others;
    for (const auto &[who, booking] : s_bookings) {
        if (booking.folder != folder)
            continue;
        qint64 written = 0;
        for (const QString &file : booking.files)
            written += QFileInfo(file).size();
        ++others.files;
        others.bytes += qMax<qint64>(0, booking.bytes - written);
    }
    return others;
}

void book(const FileConversion *who, Booking booking)
{
    const std::lock_guard<std::mutex> lock(s_bookingsMutex);
    s_bookings[who] = std::move(booking);
}

void letGo(const FileConversion *who)
{
    const std::lock_guard<std::mutex> lock(s_bookingsMutex);
    s_bookings.erase(who);
}

} // namespace

FileConversion::FileConversion(int index, const QString &sourcePath, const Tools::Encoding &encoding,
                               const ToolSet &tools, const TagChoices &tagChoices, QObject *parent)
    : QObject(parent)
    , m_tools(tools)
    , m_encoding(encoding)
    , m_tagChoices(tagChoices)
    , m_runner(new ProcessRunner(this))
    , m_watchdog(new QTimer(this))
{
    m_clock.start();
    m_watchdog->setSingleShot(true);
    connect(m_watchdog, &QTimer::timeout, this, &FileConversion::onWatchdog);
    if (m_tools.tempFolder.isEmpty())
        m_tools.tempFolder = WorkFolder::in(QString());
    m_result.index = index;
    m_result.sourcePath = sourcePath;
    m_result.displayName = Paths::displayNameFor(sourcePath);
    m_result.status = FileStatus::Cancelled;
    if (m_tools.singlePass)
        m_pipeReader = new ProcessRunner(this);
    if (m_tagChoices.coverMaxPixels > 0) {
        m_coverRunner = new ProcessRunner(this);
        m_coverRunner->setStallTimeout(m_tools.stallTimeoutSeconds);
        connect(m_coverRunner, &ProcessRunner::standardOutputRead, this, [this](const QByteArray &bytes) { m_scaledCover += bytes; });
        connect(m_coverRunner, &ProcessRunner::finished, this, &FileConversion::onCoverScaled);
    }
    for (ProcessRunner *runner : {m_runner, m_pipeReader}) {
        if (!runner)
            continue;
        const bool fromPipeReader = runner == m_pipeReader;
        // Lines queued: a receiver of progress() may abort this conversion, and the runner
        // with it, which must not happen under the runner's own signal.
        connect(runner, &ProcessRunner::standardErrorLineRead, this,
                [this, fromPipeReader](const QString &line) { onToolLine(line, fromPipeReader); }, Qt::QueuedConnection);
        connect(runner, &ProcessRunner::finished, this,
                [this, fromPipeReader](const ProcessOutcome &outcome) { onToolFinished(outcome, fromPipeReader); });
    }
    connect(&m_tagReader, &QFutureWatcher<SourceTags>::finished, this, &FileConversion::onTagsRead);
    connect(&m_tagWriter, &QFutureWatcher<bool>::finished, this, &FileConversion::onTagged);
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
    if (m_state == State::Idle || m_state == State::Starting) {   // the tag reader touches no file of ours
        finishLater(FileStatus::Cancelled, QStringLiteral("cancelled"));
    } else if (m_state == State::Reporting) {
        // From progress(): a converted file's report is still to come.
        if (m_result.isConverted()) {
            removeTemporaryFiles();
            m_result.status = FileStatus::Cancelled;
            m_result.reason = QStringLiteral("cancelled");
        }
    } else if (m_state != State::Cancelling && m_state != State::Done) {
        // A tool or the tag writer always runs here: the next tool starts before progress()
        // says the last one is done. The files are deleted once they have let go of them, in
        // onCancelledToolFinished() or onTagged().
        m_state = State::Cancelling;
        for (ProcessRunner *runner : {m_runner, m_pipeReader, m_coverRunner}) {
            if (runner)
                runner->cancel();
        }
    }
}

void FileConversion::abort()
{
    if (m_state == State::Done)
        return;
    m_state = State::Done;
    for (ProcessRunner *runner : {m_runner, m_pipeReader, m_coverRunner}) {
        if (runner)
            runner->abort();
    }
    m_tagWriter.waitForFinished();   // the worker writes into the file about to be deleted
    removeTemporaryFiles();
    letGo(this);
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
    m_tagReader.setFuture(QtConcurrent::run(&TagCopy::readSource, m_result.sourcePath));
}

void FileConversion::onTagsRead()
{
    if (m_state != State::Starting)
        return;   // cancelled or aborted meanwhile
    m_sourceTags = TagCopy::chapterTags(m_tagReader.result(), m_span);
    m_said.firstTrackMs = m_sourceTags.firstAudioTrackMs;
    m_result.tempPath = WorkFolder::newTempMp3Path(m_tools.tempFolder);
    if (m_result.tempPath.isEmpty()) {
        finish(FileStatus::Failed, QStringLiteral("no free name for a temporary file"));
        return;
    }
    // Into the temporary folder, not beside the program: an installed program's folder is
    // read-only, and every file would silently keep the decoder's bitrate.
    m_encoderOutput = Tools::encoderOutputPath(m_tools.tempFolder, m_result.tempPath, m_encoding);
    // A long audiobook's files can outgrow a temporary folder kept in memory, and so can several
    // files at once: better said now than after hours of decoding into a full disk.
    if (m_sourceTags.firstAudioTrackMs) {
        // A chapter needs room for itself only.
        const qint64 needed = Verdicts::tempBytesNeeded(m_span.lengthMs(*m_sourceTags.firstAudioTrackMs), m_encoding,
                                                        m_pipeReader);
        const QString problem = Verdicts::tempSpaceProblem(needed, QStorageInfo(m_tools.tempFolder).bytesAvailable(),
                                                           othersWriting(m_tools.tempFolder),
                                                           QFileInfo(m_tools.tempFolder).path());
        if (!problem.isEmpty()) {
            fail(problem);
            return;
        }
        book(this, {m_tools.tempFolder, needed, {m_result.tempPath, m_encoderOutput}});
    }
    runTools();
}

// What each decoder build has said it lacks, for the program's whole run: every file after
// the first goes straight to the commands it can carry out.
static std::mutex s_gapsMutex;
static std::map<QString, Tools::DecoderGaps> s_gapsOfDecoder;

static Tools::DecoderGaps knownGaps(const QString &decoder)
{
    const std::lock_guard<std::mutex> lock(s_gapsMutex);
    const auto known = s_gapsOfDecoder.find(decoder);
    return known != s_gapsOfDecoder.end() ? known->second : Tools::DecoderGaps{};
}

void FileConversion::runTools()
{
    m_gaps = knownGaps(m_tools.decoder);
    if (m_pipeReader) {
        m_state = State::Piping;
        m_runner->startPiped(m_tools.decoder,
                             Tools::pipedDecoderArguments(m_result.sourcePath, m_result.tempPath, m_span, m_gaps),
                             m_pipeReader, m_tools.encoder, Tools::pipedEncoderArguments(m_encoding, m_encoderOutput));
    } else {
        m_state = State::Decoding;
        m_runner->start(m_tools.decoder, Tools::decoderArguments(m_result.sourcePath, m_result.tempPath, m_span, m_gaps));
    }
    watchTools();
}

// A decoder that refused an output it lacks is run again without it, once per gap: the
// file is not at fault. Nothing was decoded; what either tool opened is removed first.
bool FileConversion::rerunWithoutGaps()
{
    if (!m_said.gaps.beyond(m_gaps))
        return false;
    {
        const std::lock_guard<std::mutex> lock(s_gapsMutex);
        Tools::DecoderGaps &known = s_gapsOfDecoder[m_tools.decoder];
        known = known | m_said.gaps;
    }
    if (!m_stallReason.isEmpty())
        return false;
    discardToolFiles();
    m_said = ToolOutput::DecoderReport{};
    m_said.firstTrackMs = m_sourceTags.firstAudioTrackMs;
    m_decoderOutcome.reset();
    m_encoderOutcome.reset();
    m_decoderStopped = false;
    runTools();
    return true;
}

// How long the decoder's output should come out: the source's length, or the span's.
std::optional<qint64> FileConversion::expectedMs() const
{
    if (m_said.sourceMs)
        return m_span.lengthMs(*m_said.sourceMs);
    if (!m_span.isWhole() && m_span.hasEnd())
        return m_span.lengthMs(m_span.endMs);
    return std::nullopt;
}

void FileConversion::watchTools()
{
    m_decoderHeardMs = m_encoderHeardMs = m_clock.elapsed();
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
    const qint64 now = m_clock.elapsed();
    if (const QFileInfo written(m_state == State::Decoding ? m_result.tempPath : m_encoderOutput); written.size() != m_watchedSize) {
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
    bool decoderStalled = decoderQuiet >= encoderQuiet;
    // Joined by a pipe, both go quiet once one stops, and which went first is a matter of how
    // often each speaks; the system tells who waits for whom.
    if (decoderRuns && encoderRuns) {
        using Waiting = ProcessRunner::Waiting;
        const Waiting decoder = m_runner->waiting();
        const Waiting encoder = m_pipeReader->waiting();
        if (decoder == Waiting::Stopped || encoder == Waiting::ToRead)
            decoderStalled = true;
        else if (encoder == Waiting::Stopped || decoder == Waiting::ToWrite)
            decoderStalled = false;
    }
    const QString tool = decoderStalled ? QStringLiteral("decoder") : QStringLiteral("encoder");
    m_stallReason = QStringLiteral("the %1 made no progress for %2 s").arg(tool).arg(m_tools.stallTimeoutSeconds);
    m_runner->cancel();
    if (m_pipeReader)
        m_pipeReader->cancel();
}

void FileConversion::onToolLine(const QString &line, bool fromPipeReader)
{
    if (fromPipeReader || m_state == State::Encoding) {
        m_encoderHeardMs = m_clock.elapsed();
        // Reading a pipe, the encoder knows no length and counts no share.
        if (const auto share = ToolOutput::encodedShare(line); share && m_state == State::Encoding)
            reportProgress(kDecodedFraction + (1.0 - kDecodedFraction) * *share);
        else if (!m_encodedKbps && (m_state == State::Encoding || m_state == State::Piping))
            m_encodedKbps = ToolOutput::encodedKbps(line);
    } else if (m_state == State::Decoding || m_state == State::Piping) {
        m_decoderHeardMs = m_clock.elapsed();
        ToolOutput::readDecoderLine(m_said, line);
        const double span = m_state == State::Piping ? kPipedFraction : kDecodedFraction;
        if (const std::optional<qint64> expected = expectedMs(); m_said.decodedMs && expected && *expected > 0)
            reportProgress(span * qMin(1.0, double(*m_said.decodedMs) / double(*expected)));
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

void FileConversion::onToolFinished(const ProcessOutcome &outcome, bool fromPipeReader)
{
    if (m_state == State::Decoding) {
        onDecoderFinished(outcome);
    } else if (m_state == State::Encoding) {
        onEncoderFinished(outcome);
    } else if (m_state == State::Piping) {
        (fromPipeReader ? m_encoderOutcome : m_decoderOutcome) = outcome;
        onPipedToolFinished();
    } else if (m_state == State::Cancelling) {
        onCancelledToolFinished();
    }
}

void FileConversion::onCancelledToolFinished()
{
    if (m_runner->isRunning() || (m_pipeReader && m_pipeReader->isRunning()) || (m_coverRunner && m_coverRunner->isRunning()))
        return;   // the other tool of a single pass still holds its file
    removeTemporaryFiles();
    finish(FileStatus::Cancelled, QStringLiteral("cancelled"));
}

void FileConversion::onDecoderFinished(const ProcessOutcome &outcome)
{
    const Verdicts::Output output = outputAt(m_result.tempPath);
    if (const QString reason = Verdicts::decoderFailure(m_stallReason, outcome, m_said, output); !reason.isEmpty()) {
        if (!rerunWithoutGaps())
            fail(reason);
        return;
    }
    m_decoded = *output.audio;
    takeChapters();
    m_state = State::Encoding;
    m_runner->start(m_tools.encoder, Tools::encoderArguments(m_encoding, m_result.tempPath, m_encoderOutput));
    watchTools();
    reportProgress(kDecodedFraction);   // last: a receiver may cancel or abort
}

void FileConversion::onEncoderFinished(const ProcessOutcome &outcome)
{
    const Verdicts::Verdict verdict = Verdicts::encoderVerdict(m_stallReason, outcome, outputAt(m_encoderOutput),
                                                               m_decoded, isNonEmptyFile(m_result.tempPath));
    if (verdict.status == FileStatus::Converted) {
        takeEncoderOutput();
    } else if (verdict.status == FileStatus::Failed) {
        fail(verdict.reason);
    } else {
        WorkFolder::discardTempMp3(m_encoderOutput);
        startTagging(verdict.status, verdict.reason);
    }
}

// Both tools of a single pass report here as each ends.
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
    const Verdicts::Output output = outputAt(m_encoderOutput);
    if (const QString reason = Verdicts::singlePassFailure(m_stallReason, *m_decoderOutcome, m_said, m_decoderStopped,
                                                           *m_encoderOutcome, output);
        !reason.isEmpty()) {
        if (!rerunWithoutGaps())
            fail(reason);
        return;
    }
    m_decoded = *output.audio;
    takeChapters();
    takeEncoderOutput();
}

// The decoder's chapters file is gone once it has ended well: its chapters wait for the tag
// step with the source's tags.
void FileConversion::takeChapters()
{
    const QString path = Tools::chaptersPath(m_result.tempPath);
    if (m_span.isWhole())   // a chapter's file holds no chapters
        m_sourceTags.chapters = Chapters::readFile(path);
    QFile::remove(path);
}

// The encoder's checked file takes the temporary file's name, and the tag step follows.
void FileConversion::takeEncoderOutput()
{
    if (!renameOver(m_encoderOutput, m_result.tempPath) || !isNonEmptyFile(m_result.tempPath)) {
        fail(QStringLiteral("could not put the re-encoded file in place"));
        return;
    }
    startTagging(FileStatus::Converted, QString());
}

// The file converts with status and reason once the source's tags are in it.
void FileConversion::startTagging(FileStatus status, const QString &reason)
{
    m_result.status = status;
    m_result.reason = reason;
    if (m_sourceTags.isEmpty()) {
        conclude();
        return;
    }
    if (m_coverRunner) {
        const SourcePicture &front = m_sourceTags.pictures.value(TagCopy::frontIndex(m_sourceTags.pictures));
        if (!m_sourceTags.pictures.isEmpty() && !Cover::fits(front.data, m_tagChoices.coverMaxPixels)) {
            // The picture goes to the decoder in a file of this conversion's, beside its MP3.
            QFile picture(Tools::coverPath(m_result.tempPath));
            if (picture.open(QIODevice::WriteOnly) && picture.write(front.data) == front.data.size() && picture.flush()) {
                m_state = State::Scaling;
                m_scaledCover.clear();
                m_coverRunner->start(m_tools.decoder, Cover::scaleArguments(picture.fileName(), m_tagChoices.coverMaxPixels),
                                     ProcessRunner::Output::Read);
                return;
            }
            m_coverNote = QStringLiteral("the cover could not be scaled down and is kept as it was");
        }
    }
    writeTags();
}

// The scaler's answer replaces the front cover only when it is a whole baseline JPEG that fits.
void FileConversion::onCoverScaled(const ProcessOutcome &outcome)
{
    QFile::remove(Tools::coverPath(m_result.tempPath));
    if (m_state == State::Cancelling) {
        onCancelledToolFinished();
        return;
    }
    if (m_state != State::Scaling)
        return;
    const QString failure = Verdicts::runFailure(QStringLiteral("decoder"), outcome);
    if (failure.isEmpty() && Cover::isWhole(m_scaledCover) && Cover::fits(m_scaledCover, m_tagChoices.coverMaxPixels)) {
        SourcePicture &front = m_sourceTags.pictures[TagCopy::frontIndex(m_sourceTags.pictures)];
        front.data = std::exchange(m_scaledCover, {});
        front.mimeType = QStringLiteral("image/jpeg");
    } else {
        m_coverNote = QStringLiteral("the cover could not be scaled down and is kept as it was: %1")
                          .arg(failure.isEmpty() ? QStringLiteral("the decoder gave no whole JPEG that fits") : failure);
    }
    writeTags();
}

void FileConversion::writeTags()
{
    m_state = State::Tagging;
    m_tagWriter.setFuture(QtConcurrent::run(&TagCopy::writeId3v23, m_sourceTags, m_result.tempPath, m_tagChoices.id3v1));
}

void FileConversion::onTagged()
{
    if (m_state == State::Cancelling) {
        onCancelledToolFinished();
    } else if (m_state == State::Tagging) {
        m_tagsWritten = m_tagWriter.result();
        conclude();
    }
    // Otherwise aborted: the files are gone and nothing is reported.
}

// A converted file is whole in its progress before it reports, from the event loop: a receiver
// of progress() may still cancel it, or abort it.
void FileConversion::conclude()
{
    finishLater(m_result.status, m_result.reason);
    reportProgress(1.0);
}

// What the tools write, all in the program's own private folder (see WorkFolder).
void FileConversion::discardToolFiles()
{
    if (!m_result.tempPath.isEmpty()) {
        QFile::remove(Tools::chaptersPath(m_result.tempPath));
        QFile::remove(Tools::coverPath(m_result.tempPath));
    }
    WorkFolder::discardTempMp3(m_encoderOutput);
    WorkFolder::discardTempMp3(m_result.tempPath);
}

void FileConversion::removeTemporaryFiles()
{
    discardToolFiles();
    // A second call (a cancel between the tools, then abort() before the report) deletes
    // nothing, whatever has come to the names since.
    m_encoderOutput.clear();
    m_result.tempPath.clear();
}

void FileConversion::finish(FileStatus status, const QString &reason)
{
    letGo(this);
    m_state = State::Done;
    m_watchdog->stop();
    m_result.status = status;
    m_result.reason = Verdicts::shownReason(reason, m_result.sourcePath);
    if (!m_span.isWhole() && !m_result.reason.isEmpty() && status != FileStatus::Cancelled)
        m_result.reason = QStringLiteral("chapter %1 of %2: %3").arg(m_span.chapter).arg(m_span.chapters).arg(m_result.reason);
    if (m_result.isConverted()) {
        // m_result.tempPath is the receiver's now, until it lets it go (WorkFolder::discardTempMp3()).
        // The file's own length, as its headers give it: the decoder's last progress line can
        // lag well behind what it wrote before it stopped.
        m_result.warning = ToolOutput::shortSourceWarning(
            m_decoded.lengthMs > 0 ? std::optional<qint64>(m_decoded.lengthMs) : m_said.decodedMs, expectedMs());
        QStringList notes{Verdicts::note(m_said.audioTracks, status == FileStatus::Converted ? m_encodedKbps : std::nullopt,
                                         m_encoding, m_sourceTags.readable, m_tagsWritten),
                          m_coverNote};
        notes.removeAll(QString());
        m_result.note = notes.join(QStringLiteral("; "));
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
    m_result.status = status;
    m_result.reason = reason;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_state == State::Reporting)
                finish(m_result.status, m_result.reason);
        },
        Qt::QueuedConnection);
}
