#pragma once

#include "convert/engine/fileconversion.h"
#include "convert/gainstep.h"
#include "convert/engine/progressestimate.h"
#include "convert/saving/resultset.h"
#include "convert/sessionsetup.h"

#include <QElapsedTimer>
#include <QFuture>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPromise>
#include <QStringList>

#include <functional>
#include <optional>

// How far a batch is, as both front ends show it.
struct BatchProgress
{
    int filesDone = 0;         // finished, whatever the outcome
    int filesBegun = 0;        // started or finished
    int total = 0;
    double shareDone = 0.0;    // 0..1, running files counted by their progress
    std::optional<qint64> remainingMs;

    // "3 of 10 file(s) done, about 0:12 left", with the share done rounded down ("30%")
    // after the count when asked; the time left only while there is an estimate and files
    // remain.
    QString text(bool percent = false) const;
};

// The files of a finished batch, sorted the way both front ends report them.
struct BatchOutcome
{
    QList<FileResult> files;   // one per source, in source order
    bool cancelled = false;    // cancelled, or stopped at once
    qint64 elapsedMs = 0;      // from the start to the end, as the front ends say it

    QList<FileResult> select(bool (*wanted)(const FileResult &)) const;
    // At the chosen bitrate or the decoder's.
    QList<FileResult> converted() const { return select([](const FileResult &f) { return f.isConverted(); }); }
    QList<FileResult> failed() const { return select([](const FileResult &f) { return f.status == FileStatus::Failed; }); }
    // Cancelled before they were converted.
    QList<FileResult> notConverted() const { return select([](const FileResult &f) { return f.status == FileStatus::Cancelled; }); }
    QList<FileResult> keptDecoderBitrate() const
    {
        return select([](const FileResult &f) { return f.status == FileStatus::KeptDecoderBitrate; });
    }
    // Converted, but the source may be damaged.
    QList<FileResult> incomplete() const { return select([](const FileResult &f) { return f.isConverted() && !f.warning.isEmpty(); }); }
    // Converted at a bitrate the source allowed.
    QList<FileResult> otherBitrate() const { return select([](const FileResult &f) { return f.isConverted() && !f.note.isEmpty(); }); }
    // Every file converted at the chosen bitrate: a file kept at the decoder's is in the
    // results, but the batch did not do what was asked.
    bool allConverted() const { return converted().size() == files.size() && keptDecoderBitrate().isEmpty(); }
};
Q_DECLARE_METATYPE(BatchOutcome)

// One batch from the user's press to its outcome, for the windows and quorvane-cli alike:
// finds the tools beside the program, checks the temporary folder and clears what killed
// programs left there, starts up to `jobs` conversions at once, keeps one record per file and
// the time left, saves each file when asked to, and ends with one outcome that each front
// end renders in its own way. Every signal comes from the event loop, never from inside a
// call of ours, so a receiver may cancel, abort or delete the session in any of them.
class BatchSession : public QObject
{
    Q_OBJECT

public:
    explicit BatchSession(const SessionSetup &setup, QObject *parent = nullptr);
    ~BatchSession() override;   // abort() when still running

    // Why no batch can use folder for its temporary files, in one line; "" when it can (and
    // the program's own folder is made in it). "" stands for the system's temporary folder
    // (TMPDIR on POSIX).
    static QString temporaryFolderProblem(const QString &folder);

    // Checks the temporary folder and sweeps it, then starts the batch from the event loop.
    // Returns "" once started; otherwise the problem, and nothing runs and nothing follows.
    QString start();
    // Stops the running tools and deletes their temporary files; files converted (and
    // saved) stay. finished() follows once every tool has ended.
    void cancel();
    // For shut-down: kills every tool now and deletes every temporary file the session
    // holds. Blocking; returns the outcome so far (the records as they were), and no signal
    // follows.
    BatchOutcome abort();

    bool isRunning() const { return m_state == State::Running || m_state == State::Cancelling; }
    bool isCancelling() const { return m_state == State::Cancelling; }
    // As of now: the time left moves on between the engine's reports too.
    BatchProgress progress() const;
    // After finished(), when not saving: the records, the converted ones named by their
    // display names in source order. The caller takes them over (and deletes them when
    // done); left here, they go with the session.
    ResultSet *takeResults();

signals:
    void fileStarted(int index, int total);   // as the file's conversion starts (0-based index)
    // A file's final record (after saving, when saving); progressChanged() follows.
    void fileFinished(const FileResult &result);
    // The share done only rises; a batch that is not cancelled ends with every file done
    // just before finished(), an empty one too.
    void progressChanged(const BatchProgress &progress);
    void finished(const BatchOutcome &outcome);

private:
    enum class State { Idle, Running, Cancelling, Finished, Aborted };
    // How a file is doing while it runs; what became of it is the result set's record.
    struct Running
    {
        FileConversion *conversion = nullptr;   // while it runs
        double fraction = 0.0;                  // of a running file
        bool ended = false;                     // its outcome is final
        bool waitsForAlbum = false;             // measured; its album's other files still run
        QString gainProblem;                    // why its ReplayGain frames failed, when they did
    };
    // What the batch reads of its sources before the first starts.
    struct StartPlan
    {
        QList<int> order;     // source indices in the order they start
        QStringList albums;   // by source, the album tag, when measuring albums
    };
    static void planStart(QPromise<StartPlan> &promise, const QStringList &sources, const QList<SourceSpan> &spans,
                          bool longestFirst, bool albums);


    void post(std::function<void()> say);   // emits from the event loop
    void startMore();
    void onFileProgress(int index, double fraction);
    void onConverted(const FileResult &result);
    void onSaved(const SaveReport &report);
    void endFile(int index);
    void onGainHeld(int index);
    void onGainReady(int index, const QString &note, const QString &problem);
    void reportProgress();
    void finishIfIdle();
    BatchOutcome outcome() const;

    SessionSetup m_setup;
    State m_state = State::Idle;
    QList<Running> m_files;                  // by source index
    QFuture<StartPlan> m_ordering;           // works out m_order and the albums, off the event thread
    QList<int> m_order;                      // source indices in the order they start
    int m_next = 0;                          // the next place in m_order to start
    int m_running = 0;                       // files converting or being saved
    int m_filesBegun = 0;
    int m_filesDone = 0;
    double m_reportedShare = -1.0;           // the last progressChanged(); none yet below 0
    int m_reportedFilesDone = -1;
    ResultSet *m_results = nullptr;          // the records, and the saves when saving
    GainStep *m_gain = nullptr;              // with setup.replayGain, when saving
    QElapsedTimer m_clock;
    mutable ProgressEstimate m_estimate;
};
