#pragma once

#include "convert/fileconversion.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>

struct BatchSettings
{
    ToolSet tools;
    int bitrate = 128;     // kbps
    int jobs = 1;          // files converted at the same time; 1 converts strictly in turn
    // Start the longest sources first (by their stated length, else by size), so that a long
    // file does not run alone at the end; every report stays by source index.
    bool longestFirst = false;
};

// Converts a list of sources, starting files in source order (or longest first), up to
// `jobs` at once. Until
// finished() the batch owns every temporary file it made; with finished() the converted ones
// pass to the receiver, which deletes them when it lets them go.
class ConversionBatch : public QObject
{
    Q_OBJECT

public:
    ConversionBatch(const QStringList &sources, const BatchSettings &settings,
                    QObject *parent = nullptr);
    ~ConversionBatch() override;   // abort() when still running

    // Once; the work starts from the event loop. An empty list finishes at once. The
    // temporary folder is the caller's to check (BatchSession does).
    void start();
    // Stops the running tools and deletes the unfinished files' temporary files; files that
    // were already converted stay in the results. finished(results, true) follows.
    void cancel();
    // For shut-down: kills every tool now and deletes every temporary file of the batch, the
    // converted ones included. Blocking; no signal afterwards. No effect after finished().
    void abort();

    // The receiver of fileFinished() has taken the converted file at index over (saved it,
    // deleted it): abort() leaves that name alone, which may be another conversion's by then.
    void takeConvertedFile(int index);

    bool isRunning() const;
    QList<FileResult> results() const;   // one per source, in source order


signals:
    void fileStarted(int index, int total);   // before the file's decoder starts (0-based index)
    void fileFinished(const FileResult &result);
    // The share of the batch done, 0..1: finished files (any status) count whole, running ones
    // by their progress. Comes when a running file moves on and right after each
    // fileFinished(); it only rises. A batch that is not cancelled ends with (1.0, total, total)
    // just before finished(), an empty one too.
    void progressChanged(double shareDone, int filesDone, int total);
    void finished(const QList<FileResult> &results, bool cancelled);

private:
    enum class State { Idle, Running, Cancelling, Finished, Aborted };

    void startMore();
    void onFileProgress(int index, double fraction);
    void onFileFinished(const FileResult &result);
    void reportProgress();
    void finishIfIdle();
    void finish(bool cancelled);

    QStringList m_sources;
    BatchSettings m_settings;
    QList<FileResult> m_results;
    QList<bool> m_done;
    QList<bool> m_taken;                     // converted files the receiver took over early
    QMap<int, FileConversion *> m_active;   // by source index
    QMap<int, double> m_fractions;           // the running files' progress, by source index
    int m_filesDone = 0;
    double m_reportedShare = -1.0;           // the last progressChanged(); none yet below 0
    int m_reportedFilesDone = -1;
    QList<int> m_order;                      // source indices in the order they start
    int m_next = 0;                          // the next place in m_order to start
    State m_state = State::Idle;
};
