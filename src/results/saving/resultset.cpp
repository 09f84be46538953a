#include "results/saving/resultset.h"

#include "convert/files/workfolder.h"

#include <QtConcurrent/QtConcurrentRun>

#include <numeric>

ResultSet::ResultSet(const QStringList &sources, QObject *parent)
    : QObject(parent)
    , m_sources(sources)
{
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

int ResultSet::add(const QString &name, const QString &source, const QString &tempPath)
{
    m_entries.append({m_names.claim(name), source, tempPath});
    return int(m_entries.size()) - 1;
}

void ResultSet::setTempPath(int entry, const QString &tempPath)
{
    m_entries[entry].tempPath = tempPath;
}

// Looked up once: a save for each file of a big batch must not look at every source again.
const QSet<QString> &ResultSet::sourceIds()
{
    if (!m_sourceIds)
        m_sourceIds = ResultSaver::fileIdentities(m_sources);
    return *m_sourceIds;
}

QStringList ResultSet::names() const
{
    QStringList names;
    for (const Entry &entry : m_entries)
        names.append(entry.name);
    return names;
}

QList<ResultSaver::Move> ResultSet::placeIn(const QString &folder, ResultSaver::Existing existing)
{
    QStringList names = this->names();
    QList<ResultSaver::Move> moves = ResultSaver::keepSourcesSafe(names, folder, sourceIds());
    if (existing == ResultSaver::Existing::Rename)
        ResultSaver::keepExistingFiles(names, folder);
    m_existing = existing;
    m_names = {};
    for (int i = 0; i < names.size(); ++i) {
        m_entries[i].name = m_names.claim(names.at(i));
        if (existing == ResultSaver::Existing::Skip)
            m_entries[i].there = ResultSaver::entryAt(folder, m_entries.at(i).name);
    }
    return moves;
}

void ResultSet::save(const QString &folder, const QList<int> &entries)
{
    Job job;
    job.folder = folder;
    job.report.entries = entries;
    if (entries.isEmpty()) {
        job.report.entries.resize(m_entries.size());
        std::iota(job.report.entries.begin(), job.report.entries.end(), 0);
    }
    // The names as the rows show them, moved off a source for this save only.
    QStringList names;
    for (int entry : std::as_const(job.report.entries))
        names.append(m_entries.at(entry).name);
    job.report.moves = ResultSaver::keepSourcesSafe(names, folder, sourceIds());
    for (ResultSaver::Move &move : job.report.moves)
        move.index = job.report.entries.at(move.index);
    for (int i = 0; i < names.size(); ++i) {
        const Entry &entry = m_entries.at(job.report.entries.at(i));
        job.items.append({names.at(i), entry.tempPath, m_existing, entry.there});
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
    // The entry is known by the name it got from now on.
    for (ResultSaver::Move move : done.moves) {
        move.index = report.entries.at(move.index);
        m_entries[move.index].name = move.given;
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

void ResultSet::releaseFiles(const QList<int> &entries)
{
    const auto release = [this](int entry) {
        if (!m_entries.at(entry).tempPath.isEmpty())
            WorkFolder::discardTempMp3(m_entries.at(entry).tempPath);
        m_entries[entry].tempPath.clear();
    };
    if (entries.isEmpty()) {
        for (int entry = 0; entry < m_entries.size(); ++entry)
            release(entry);
    }
    for (int entry : entries)
        release(entry);
}
