#include "convert/saving/resultset.h"

#include "convert/files/pathhelpers.h"
#include "convert/files/workfolder.h"

#include <QtConcurrent/QtConcurrentRun>

#include <utility>

ResultSet::ResultSet(const QStringList &sources, QObject *parent)
    : QObject(parent)
{
    m_files.resize(sources.size());
    for (int i = 0; i < m_files.size(); ++i) {
        FileResult &file = m_files[i].record;
        file.index = i;
        file.sourcePath = sources.at(i);
        file.displayName = Paths::displayNameFor(file.sourcePath);
        file.status = FileStatus::Cancelled;
        file.reason = QStringLiteral("cancelled");
    }
    connect(&m_watcher, &QFutureWatcherBase::finished, this, &ResultSet::onJobEnded);
}

ResultSet::~ResultSet()
{
    // Shut-down: the copy under way is finished (no part file stays), then the files go.
    m_cancelled = true;
    m_watcher.disconnect(this);
    m_watcher.waitForFinished();
    releaseFiles({});
}

void ResultSet::record(const FileResult &result)
{
    // What the source is and is called stays the set's; what became of it is new.
    FileResult &file = m_files[result.index].record;
    file.tempPath = result.tempPath;
    file.status = result.status;
    file.reason = result.reason;
    file.warning = result.warning;
    file.withoutGain = file.withoutGain || result.withoutGain;
    QStringList notes{file.note, result.note};
    notes.removeAll(QString());
    file.note = notes.join(QStringLiteral("; "));
}

void ResultSet::name(const QStringList &names)
{
    m_names = {};
    for (int i = 0; i < names.size(); ++i)
        m_files[i].record.outputName = names.at(i).isEmpty() ? QString() : m_names.claim(names.at(i));
}

// Looked up once: a save for each file of a big batch must not look at every source again.
const QSet<QString> &ResultSet::sourceIds()
{
    if (!m_sourceIds) {
        QStringList sources;
        for (const File &file : std::as_const(m_files))
            sources.append(file.record.sourcePath);
        m_sourceIds = ResultSaver::fileIdentities(sources);
    }
    return *m_sourceIds;
}

void ResultSet::placeIn(const QString &folder, ResultSaver::Existing existing)
{
    QStringList names;
    for (const File &file : std::as_const(m_files))
        names.append(file.record.outputName);
    const QList<ResultSaver::Move> moves = ResultSaver::keepSourcesSafe(names, folder, sourceIds());
    if (existing == ResultSaver::Existing::Rename)
        ResultSaver::keepExistingFiles(names, folder);
    m_existing = existing;
    name(names);
    for (File &file : m_files) {
        if (existing == ResultSaver::Existing::Skip && !file.record.outputName.isEmpty())
            file.there = ResultSaver::entryAt(folder, file.record.outputName);
    }
    for (const ResultSaver::Move &move : moves)
        m_files[move.index].record.note = move.text();
}

void ResultSet::save(const QString &folder, const QList<int> &indices)
{
    Job job;
    job.folder = folder;
    job.report.entries = indices;
    if (indices.isEmpty()) {
        for (const File &file : std::as_const(m_files)) {
            if (!file.record.tempPath.isEmpty())
                job.report.entries.append(file.record.index);
        }
    }
    // The names as the rows show them, moved off a source for this save only.
    QStringList names;
    for (int index : std::as_const(job.report.entries))
        names.append(m_files.at(index).record.outputName);
    job.report.moves = ResultSaver::keepSourcesSafe(names, folder, sourceIds());
    for (ResultSaver::Move &move : job.report.moves)
        move.index = job.report.entries.at(move.index);
    for (int i = 0; i < names.size(); ++i) {
        const File &file = m_files.at(job.report.entries.at(i));
        job.items.append({names.at(i), file.record.tempPath, m_existing, file.there});
    }
    m_waiting.append(job);
    if (!m_running)
        startNext();
}

void ResultSet::startNext()
{
    if (m_waiting.isEmpty())
        return;
    m_running = std::make_unique<Job>(m_waiting.takeFirst());
    const int total = int(m_running->items.size());
    const auto saved = [this, total](int count) {
        QMetaObject::invokeMethod(this, [this, count, total] { emit progress(count, total); }, Qt::QueuedConnection);
    };
    m_watcher.setFuture(QtConcurrent::run(ResultSaver::save, m_running->folder, m_running->items, saved, &m_cancelled));
}

void ResultSet::onJobEnded()
{
    QList<Job> ended{std::move(*m_running)};
    m_running.reset();
    SaveReport &report = ended.first().report;
    const ResultSaver::Saved done = m_watcher.result();
    report.failures = done.failures;
    for (ResultSaver::Failure &failure : report.failures)
        failure.entry = report.entries.at(failure.entry);
    // The record is known by the name it got from now on.
    for (ResultSaver::Move move : done.moves) {
        move.index = report.entries.at(move.index);
        m_files[move.index].record.outputName = move.given;
        report.moves.append(move);
    }
    if (m_cancelled) {
        // The saves asked for after the one that stopped end unstarted.
        ended.append(m_waiting);
        m_waiting.clear();
        for (Job &job : ended)
            job.report.cancelled = true;
    }
    if (m_discarded) {
        releaseFiles({});
        deleteLater();
        return;
    }
    m_cancelled = false;
    startNext();
    for (const Job &job : std::as_const(ended))
        emit saved(job.report);
}

void ResultSet::discard()
{
    m_discarded = true;
    m_cancelled = true;
    if (m_running)
        return;   // once the copy under way has ended
    releaseFiles({});
    deleteLater();
}

void ResultSet::releaseFiles(const QList<int> &indices)
{
    const auto release = [this](int index) {
        QString &temp = m_files[index].record.tempPath;
        if (!temp.isEmpty())
            WorkFolder::discardTempMp3(std::exchange(temp, QString()));
    };
    if (indices.isEmpty()) {
        for (int index = 0; index < m_files.size(); ++index)
            release(index);
    }
    for (int index : indices)
        release(index);
}
