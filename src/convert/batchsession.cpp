#include "convert/batchsession.h"

#include "convert/files/pathhelpers.h"
#include "convert/files/workfolder.h"
#include "results/saving/resultsaver.h"

#include <QDir>
#include <QFile>

#include <utility>

namespace {

QList<FileResult> select(const QList<FileResult> &files, const std::function<bool(const FileResult &)> &wanted)
{
    QList<FileResult> chosen;
    for (const FileResult &file : files) {
        if (wanted(file))
            chosen.append(file);
    }
    return chosen;
}

} // namespace

QString BatchProgress::text() const
{
    QString line = QStringLiteral("%1 of %2 file(s) done").arg(filesDone).arg(total);
    if (remainingMs && filesDone < total)
        line += QStringLiteral(", about %1 left").arg(ProgressEstimate::formatDuration(*remainingMs));
    return line;
}

QList<FileResult> BatchOutcome::converted() const
{
    return select(files, [](const FileResult &f) { return f.isConverted(); });
}

QList<FileResult> BatchOutcome::failed() const
{
    return select(files, [](const FileResult &f) { return f.status == FileStatus::Failed; });
}

QList<FileResult> BatchOutcome::notConverted() const
{
    return select(files, [](const FileResult &f) { return f.status == FileStatus::Cancelled; });
}

QList<FileResult> BatchOutcome::keptDecoderBitrate() const
{
    return select(files, [](const FileResult &f) { return f.status == FileStatus::KeptDecoderBitrate; });
}

QList<FileResult> BatchOutcome::incomplete() const
{
    return select(files, [](const FileResult &f) { return f.isConverted() && !f.warning.isEmpty(); });
}

QList<FileResult> BatchOutcome::otherBitrate() const
{
    return select(files, [](const FileResult &f) { return f.isConverted() && !f.note.isEmpty(); });
}

BatchSession::BatchSession(const SessionSetup &setup, QObject *parent)
    : QObject(parent)
    , m_setup(setup)
{
    m_setup.jobs = qMax(1, m_setup.jobs);
    QStringList names = m_setup.saveNames;
    if (names.size() != m_setup.sources.size()) {
        names.clear();
        for (const QString &source : std::as_const(m_setup.sources))
            names.append(Paths::displayNameFor(source));
    }
    m_saveNames = ResultSaver::uniqueNames(names);
    if (!m_setup.saveFolder.isEmpty()) {
        for (const ResultSaver::Move &move : ResultSaver::keepSourcesSafe(m_saveNames, m_setup.saveFolder, m_setup.sources))
            m_moved.insert(move.index, move.wanted);
        if (m_setup.keepExisting)
            ResultSaver::keepExistingFiles(m_saveNames, m_setup.saveFolder);
    }
    m_ended.fill(false, m_setup.sources.size());
    m_results.resize(m_setup.sources.size());
}

BatchSession::~BatchSession()
{
    if (isRunning())
        abort();
}

QString BatchSession::temporaryFolderProblem(const QString &folder)
{
    const QString path = folder.isEmpty() ? QDir::tempPath() : folder;
    if (path.isEmpty()) {
        // Qt gives no system temporary folder when the one named (TMPDIR) does not exist.
        const QString named = qEnvironmentVariable("TMPDIR");
        return named.isEmpty() ? QStringLiteral("the system's temporary folder cannot be found")
                               : QStringLiteral("the temporary folder does not exist: %1 (TMPDIR)").arg(named);
    }
    if (const QString problem = Paths::folderProblem(path, QStringLiteral("the temporary folder"), Paths::FolderUse::Exists);
        !problem.isEmpty())
        return problem;
    // Whether files can be made there shows as the program's own folder is made in it:
    // nothing of ours is made directly in a folder that other users share.
    QString problem;
    WorkFolder::in(folder, &problem);
    return problem;
}

QString BatchSession::start()
{
    if (m_batch || m_done)
        return {};
    // Before anything runs: a batch would only fail file after file, each for the same reason.
    QString workFolder;
    if (!m_setup.sources.isEmpty()) {
        if (const QString problem = temporaryFolderProblem(m_setup.tempFolder); !problem.isEmpty())
            return problem;
        // What programs that were killed outright left behind.
        WorkFolder::removeAbandoned(m_setup.tempFolder);
        QString problem;
        workFolder = WorkFolder::in(m_setup.tempFolder, &problem);
        if (workFolder.isEmpty())
            return problem;
    }

    BatchSettings settings;
    settings.tools.decoder = Paths::toolPath(m_setup.appFolder, QStringLiteral("ffmpeg"));
    settings.tools.encoder = Paths::toolPath(m_setup.appFolder, QStringLiteral("lame"));
    settings.tools.tempFolder = workFolder;
    settings.tools.singlePass = m_setup.singlePass;
    settings.tools.stallTimeoutSeconds = m_setup.toolTimeoutSeconds;
    settings.tools.vbrQuality = m_setup.vbrQuality;
    settings.tools.jointStereo = m_setup.jointStereo;
    settings.bitrate = m_setup.bitrate;
    settings.jobs = m_setup.jobs;
    settings.longestFirst = m_setup.longestFirst;
    m_batch = new ConversionBatch(m_setup.sources, settings, this);
    connect(m_batch, &ConversionBatch::fileStarted, this, [this](int index, int total) {
        ++m_filesBegun;   // not index + 1: the longest may start first
        emit fileStarted(index, total);
    });
    connect(m_batch, &ConversionBatch::fileFinished, this, &BatchSession::onFileFinished);
    connect(m_batch, &ConversionBatch::progressChanged, this, [this](double share, int filesDone, int) {
        m_share = share;
        m_filesDone = filesDone;
        if (!m_cancelling)
            emit progressChanged(progress());
    });
    connect(m_batch, &ConversionBatch::finished, this, &BatchSession::onBatchFinished);
    m_clock.start();
    m_estimate.start(0);
    m_batch->start();
    return {};
}

void BatchSession::cancel()
{
    if (!isRunning() || m_cancelling)
        return;
    m_cancelling = true;
    m_batch->cancel();
}

BatchOutcome BatchSession::abort()
{
    if (m_batch && isRunning()) {
        m_batch->disconnect(this);
        m_batch->abort();
    }
    m_done = true;
    BatchOutcome outcome = outcomeSoFar();
    outcome.cancelled = true;
    return outcome;
}

bool BatchSession::isRunning() const
{
    return m_batch && !m_done && m_batch->isRunning();
}

BatchProgress BatchSession::progress() const
{
    BatchProgress now;
    now.total = int(m_setup.sources.size());
    now.filesDone = m_filesDone;
    now.filesBegun = qMax(m_filesBegun, m_filesDone);
    // Finished files alone are the floor until the engine's first report.
    now.shareDone = qMax(m_share, now.total > 0 ? double(m_filesDone) / now.total : 1.0);
    if (m_clock.isValid()) {
        m_estimate.update(now.shareDone, m_clock.elapsed());
        now.remainingMs = m_estimate.remainingMs();
    }
    return now;
}

void BatchSession::onFileFinished(FileResult result)
{
    const int index = result.index;
    if (!m_setup.saveFolder.isEmpty() && result.isConverted()) {
        const QList<ResultSaver::Failure> failures =
            ResultSaver::save(m_setup.saveFolder, {{m_saveNames.at(index), result.tempPath}});
        // Saved or not, the temporary file is the session's now and goes; a stop at once
        // must not delete by its name again, which may be another conversion's by then.
        m_batch->takeConvertedFile(index);
        WorkFolder::discardTempMp3(result.tempPath);
        result.tempPath.clear();
        if (!failures.isEmpty()) {
            result.status = FileStatus::Failed;
            result.reason = QStringLiteral("could not save %1: %2")
                                .arg(failures.constFirst().target, failures.constFirst().reason);
        } else if (m_moved.contains(index)) {
            const QString moved = QStringLiteral("saved as %1: %2 is one of the sources")
                                      .arg(m_saveNames.at(index), m_moved.value(index));
            result.note = result.note.isEmpty() ? moved : result.note + QStringLiteral("; ") + moved;
        }
    }
    if (index >= 0 && index < m_ended.size()) {
        m_ended[index] = true;
        m_results[index] = result;
    }
    emit fileFinished(result);
}

void BatchSession::onBatchFinished(const QList<FileResult> &results, bool cancelled)
{
    if (m_done)
        return;
    m_done = true;
    BatchOutcome outcome;
    outcome.cancelled = cancelled;
    for (int i = 0; i < results.size(); ++i)
        outcome.files.append(m_ended.value(i) ? m_results.at(i) : results.at(i));
    emit finished(outcome);
}

BatchOutcome BatchSession::outcomeSoFar() const
{
    BatchOutcome outcome;
    const QList<FileResult> engine = m_batch ? m_batch->results() : QList<FileResult>();
    for (int i = 0; i < m_setup.sources.size(); ++i) {
        if (m_ended.value(i)) {
            outcome.files.append(m_results.at(i));
        } else if (i < engine.size()) {
            FileResult pending = engine.at(i);
            pending.status = FileStatus::Cancelled;
            pending.tempPath.clear();
            outcome.files.append(pending);
        }
    }
    return outcome;
}
