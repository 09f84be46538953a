#pragma once

#include "results/saving/resultsaver.h"

#include <QFutureWatcher>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <optional>

// What one save did: the entries it was asked for, those that could not be saved and the
// names that moved so as not to replace a source.
struct SaveReport
{
    QList<int> entries;
    QList<ResultSaver::Failure> failures;
    QList<ResultSaver::Move> moves;
    bool cancelled = false;   // stopped before every entry was reached
};
Q_DECLARE_METATYPE(SaveReport)

// The converted files of one batch, for both front ends: each entry's name in the output
// folder (a path below it with "/" for a tree), its source and its temporary file. The set
// makes the names unique, never lets a save replace one of the batch's sources, saves on a
// worker thread, and owns the temporary files: they go when the set is discarded or
// destroyed, never while a save reads them.
class ResultSet : public QObject
{
    Q_OBJECT

public:
    struct Entry
    {
        QString name;       // the name given once saved, where that was not the one asked for
        QString source;
        QString tempPath;   // "" until converted, and once saved and let go
        SharedFolder::Entry there = {};   // what was at the name when placeIn() checked it
    };

    // sources: every source of the batch, converted or not; no save replaces one of them.
    explicit ResultSet(const QStringList &sources = {}, QObject *parent = nullptr);
    ~ResultSet() override;   // stops a running save, waits for it, deletes the files

    // Adds an entry under name, or the next free " (n)" name in its folder when an entry
    // before it has that name already (letter case ignored, as Windows and macOS do).
    int add(const QString &name, const QString &source, const QString &tempPath = {});
    void setTempPath(int entry, const QString &tempPath);
    int count() const { return int(m_entries.size()); }
    const Entry &at(int entry) const { return m_entries.at(entry); }
    QStringList names() const;

    // Settles the names for folder once and for good, and what saves do with a file already
    // at a name: a name that would land on a source, or (Rename) on anything there already,
    // moves to the next free " (n)" name; with Skip, what is at each name now is noted.
    QList<ResultSaver::Move> placeIn(const QString &folder, ResultSaver::Existing existing);

    // Copies the entries (all when none are named) into folder on a worker thread:
    // progress() after each, saved() at the end. A save asked for while one runs follows it.
    // A name that would replace a source goes to the next free name for this save only.
    void save(const QString &folder, const QList<int> &entries = {});
    bool isSaving() const { return m_running != nullptr; }
    // Deletes the temporary files of entries (all when none are named) that no save reads.
    void releaseFiles(const QList<int> &entries);
    // Stops saving after the file being copied (no part file stays); the saves asked for
    // end with saved(cancelled); the files then go, and the set deletes itself. Never waits.
    void discard();

signals:
    void progress(int saved, int total);
    void saved(const SaveReport &report);

private:
    struct Job
    {
        QString folder;
        SaveReport report;
        QList<ResultSaver::Item> items;
    };
    const QSet<QString> &sourceIds();
    void startNext();
    void onJobEnded();

    QStringList m_sources;
    std::optional<QSet<QString>> m_sourceIds;
    QList<Entry> m_entries;
    ResultSaver::UniqueNames m_names;   // the entries'
    QList<Job> m_waiting;
    std::unique_ptr<Job> m_running;
    ResultSaver::Existing m_existing = ResultSaver::Existing::Overwrite;
    QFutureWatcher<ResultSaver::Saved> m_watcher;
    std::atomic_bool m_cancelled{false};
    bool m_discarded = false;
};
