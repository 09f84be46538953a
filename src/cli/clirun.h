#pragma once

#include "clioptions.h"
#include "convert/conversionbatch.h"
#include "convert/progressestimate.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QStringList>

#include <cstdio>

class QTimer;

namespace CliExit {
constexpr int Converted = 0;    // every file converted and saved
constexpr int SomeFailed = 1;
constexpr int UsageError = 2;
// A cancel by a signal ends with 128 + the signal's number, as shells report it.
constexpr int forSignal(int signalNumber) { return 128 + signalNumber; }
} // namespace CliExit

// Everything quorvane-cli does once its arguments are read: prints help or the version,
// checks the output folder, walks the folders, then lists the files (--dry-run) or converts
// them. Returns the exit status. Needs a QCoreApplication; runs its event loop to convert.
int runCli(const CliCommand &command);

// One batch as the command line shows it: starts the engine's batch, saves each converted
// file into the output folder as soon as it is done, reports on standard error and works
// out the exit status. The engine owns the tools and the temporary files; this object takes
// each converted temporary file from it, saves it and deletes it.
class CliBatch : public QObject
{
    Q_OBJECT

public:
    struct Setup
    {
        QStringList sources;
        QString outputFolder;    // existing and writable, native separators
        BatchSettings settings;
        bool liveProgress = false;   // a line rewritten in place, for a terminal
    };

    explicit CliBatch(const Setup &setup, FILE *messages = stderr, QObject *parent = nullptr);

    void start();
    // The first one cancels (the tools are stopped, their temporary files deleted, saved files
    // stay); another one stops everything at once.
    void interrupt(int signalNumber);

signals:
    void done(int exitStatus);

private:
    enum class Outcome { Pending, Converted, Failed, Cancelled };

    void onFileFinished(const FileResult &result);
    void onBatchFinished();
    void finish();
    void note(const QString &line);   // a line about one file, kept above the live line
    void refreshProgress();
    void showLiveLine(const QString &line);
    void clearLiveLine();
    void write(const QString &text);

    Setup m_setup;
    FILE *m_messages;
    ConversionBatch *m_batch = nullptr;
    QStringList m_names;               // file names in the output folder, by source index
    QList<Outcome> m_outcomes;
    QStringList m_reasons;             // why a file failed, by source index
    int m_finishedFiles = 0;
    int m_convertedFiles = 0;
    double m_share = 0.0;              // of the batch done, as the engine last reported it
    int m_signal = 0;                  // the signal that cancelled the batch
    bool m_done = false;
    ProgressEstimate m_estimate;
    QElapsedTimer m_clock;
    QTimer *m_liveTimer = nullptr;
    QString m_liveText;                // the live line on screen
    qsizetype m_liveLength = 0;        // its characters; 0 when none is shown
};
