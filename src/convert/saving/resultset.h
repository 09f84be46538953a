#pragma once

#include "convert/engine/conversiontypes.h"
#include "convert/files/pathhelpers.h"
#include "convert/saving/resultsaver.h"

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

// What one save did: the records it was asked for (by source index), those that could not be
// saved and the names that moved so as not to replace a source.
struct SaveReport
{
    QList<int> entries;
    QList<ResultSaver::Failure> failures;
    QList<ResultSaver::Move> moves;
    bool cancelled = false;   // stopped before every entry was reached
};
Q_DECLARE_METATYPE(SaveReport)

// The records of one batch, one per source at the source's index, for both front ends: what
// became of each source, the name its converted file gets in the output folder (a path below
// it with "/" for a tree) and its temporary file. The set makes the names unique, never lets
// a save replace one of the batch's sources, saves on a worker thread, and owns the temporary
// files of the converted sources: they go when the set is discarded or destroyed, never while
// a save reads them.
class ResultSet : public QObject
{
    Q_OBJECT

public:
    // One record per source, none converted yet; no save replaces one of the sources.
    explicit ResultSet(const QStringList &sources = {}, QObject *parent = nullptr);
    ~ResultSet() override;   // stops a running save, waits for it, deletes the files

    int count() const { return int(m_files.size()); }
    const FileResult &at(int index) const { return m_files.at(index).record; }
    // What became of the source (result.index names it): its outcome, and a converted file's
    // temporary file, the set's from now on. The record keeps its name, and the notes said of
    // it before (a name moved off a source) come first.
    void record(const FileResult &result);
    // Names the records by source, each under the given name or the next free " (n)" name in
    // its folder when a record before it has that name already (letter case ignored, as
    // Windows and macOS do); "" leaves a record unnamed, and unsaved.
    void name(const QStringList &names);

    // Settles the names for folder once and for good, and what saves do with a file already
    // at a name: a name that would land on a source, or (Rename) on anything there already,
    // moves to the next free " (n)" name and the record's note says so; with Skip, what is at
    // each name now is noted.
    void placeIn(const QString &folder, ResultSaver::Existing existing);

    // Copies the converted files of the records named (all those still held when none are)
    // into folder on a worker thread: progress() after each, saved() at the end. A save asked
    // for while one runs follows it. A name that would replace a source goes to the next free
    // name for this save only.
    void save(const QString &folder, const QList<int> &indices = {});
    bool isSaving() const { return m_running != nullptr; }
    // Deletes the temporary files of the records named (all when none are) that no save reads.
    void releaseFiles(const QList<int> &indices);
    // Stops saving after the file being copied (no part file stays); the saves asked for
    // end with saved(cancelled); the files then go, and the set deletes itself. Never waits.
    void discard();

signals:
    void progress(int saved, int total);
    void saved(const SaveReport &report);

private:
    struct File
    {
        FileResult record;
        SharedFolder::Entry there = {};   // what was at its name when placeIn() checked it
    };
    struct Job
    {
        QString folder;
        SaveReport report;
        QList<ResultSaver::Item> items;
    };
    const QSet<QString> &sourceIds();
    void startNext();
    void onJobEnded();

    std::optional<QSet<QString>> m_sourceIds;
    QList<File> m_files;   // by source index
    Paths::UniqueNames m_names;   // the records'
    QList<Job> m_waiting;
    std::unique_ptr<Job> m_running;
    ResultSaver::Existing m_existing = ResultSaver::Existing::Overwrite;
    QFutureWatcher<ResultSaver::Saved> m_watcher;
    std::atomic_bool m_cancelled{false};
    bool m_discarded = false;
};
