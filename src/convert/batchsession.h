#pragma once

#include "convert/conversionbatch.h"
#include "convert/progressestimate.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>

// What a front end asks of one batch: the sources, the bitrate, how many files at once and
// where the program lies (the tools are there).
struct SessionSetup
{
    QStringList sources;
    int bitrate = 128;         // kbps
    int jobs = 1;
    bool singlePass = false;   // the decoder's PCM straight into the encoder (ToolSet::singlePass)
    int toolTimeoutSeconds = kDefaultToolTimeoutSeconds;   // ToolSet::stallTimeoutSeconds
    int vbrQuality = -1;       // LAME's VBR at 0..9 instead of the bitrate (ToolSet::vbrQuality)
    bool jointStereo = false;
    bool longestFirst = false; // BatchSettings::longestFirst
    QString appFolder;
    QString tempFolder;        // "" for the system's temporary folder
    // When set, each converted file is saved there as soon as it is done (under the name
    // saveNames() gives it) and its temporary file deleted; a file that cannot be saved
    // fails. When empty the converted temporary files pass to the receiver of finished().
    QString saveFolder;
    // By source, where each goes below saveFolder, with "/" between folders
    // ("Music/Album/01 Song.mp3"); the folders are created as needed. Empty: every file
    // goes into saveFolder itself under its source's display name.
    QStringList saveNames;
    // A name at which a file exists in saveFolder already moves to the next free " (n)" name
    // instead of replacing it ("keep both").
    bool keepExisting = false;
};

// How far a batch is, as both front ends show it.
struct BatchProgress
{
    int filesDone = 0;         // finished, whatever the outcome
    int filesBegun = 0;        // started or finished
    int total = 0;
    double shareDone = 0.0;    // 0..1, running files counted by their progress
    std::optional<qint64> remainingMs;

    // "3 of 10 file(s) done, about 0:12 left"; the time left only while there is an
    // estimate and files remain.
    QString text() const;
};

// The files of a finished batch, sorted the way both front ends report them.
struct BatchOutcome
{
    QList<FileResult> files;   // one per source, in source order
    bool cancelled = false;    // cancelled, or stopped at once

    QList<FileResult> converted() const;    // at the chosen bitrate or the decoder's
    QList<FileResult> failed() const;
    QList<FileResult> notConverted() const; // cancelled before they were converted
    QList<FileResult> keptDecoderBitrate() const;
    QList<FileResult> incomplete() const;   // converted, but the source may be damaged
    QList<FileResult> otherBitrate() const; // converted at a bitrate the source allowed
    // Every file converted at the chosen bitrate: a file kept at the decoder's is in the
    // results, but the batch did not do what was asked.
    bool allConverted() const { return converted().size() == files.size() && keptDecoderBitrate().isEmpty(); }
};
Q_DECLARE_METATYPE(BatchOutcome)

// One batch from the user's press to its outcome, for the windows and quorvane-cli alike:
// finds the tools beside the program, checks the temporary folder and clears what killed
// programs left there, runs the conversion, keeps the time left, saves each file when asked
// to, and ends with one outcome list that each front end renders in its own way.
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
    // For shut-down: kills every tool now and deletes every temporary file not passed on
    // yet. Blocking; returns the outcome so far, and finished() does not follow.
    BatchOutcome abort();

    bool isRunning() const;
    bool isCancelling() const { return m_cancelling; }
    const SessionSetup &setup() const { return m_setup; }
    // The names the files get in the save folder, by source, with "/" between folders:
    // names repeated within one folder get " (2)", " (3)" in source order, so which file
    // gets which does not depend on timing.
    const QStringList &saveNames() const { return m_saveNames; }
    // As of now: the time left moves on between the engine's reports too.
    BatchProgress progress() const;

signals:
    void fileStarted(int index, int total);
    // A file's final outcome (after saving, when saving).
    void fileFinished(const FileResult &result);
    void progressChanged(const BatchProgress &progress);
    void finished(const BatchOutcome &outcome);

private:
    void onFileFinished(FileResult result);
    void onBatchFinished(const QList<FileResult> &results, bool cancelled);
    BatchOutcome outcomeSoFar() const;

    SessionSetup m_setup;
    QStringList m_saveNames;
    QMap<int, QString> m_moved;              // the names that would have replaced a source
    ConversionBatch *m_batch = nullptr;
    QList<FileResult> m_results;             // by source index, as each file ends
    QList<bool> m_ended;
    QElapsedTimer m_clock;
    mutable ProgressEstimate m_estimate;
    int m_filesDone = 0;
    int m_filesBegun = 0;
    double m_share = 0.0;
    bool m_cancelling = false;
    bool m_done = false;
};
