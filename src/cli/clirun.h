#pragma once

#include "cli/clioptions.h"
#include "convert/batchsession.h"
#include "filelist/walk/librarylayout.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

#include <cstdio>

class QTimer;

namespace CliExit {
constexpr int Converted = 0;    // every file converted whole and saved, or skipped as done
constexpr int SomeFailed = 1;   // or kept at the decoder's bitrate, or incomplete
constexpr int UsageError = 2;
// A cancel by a signal ends with 128 + the signal's number, as shells report it.
constexpr int forSignal(int signalNumber) { return 128 + signalNumber; }
} // namespace CliExit

// Everything quorvane-cli does once its arguments are read: prints help or the version,
// checks the output folder, walks the folders, then lists the files (--dry-run) or converts
// them. Returns the exit status. Needs a QCoreApplication; runs its event loop to convert.
int runCli(const CliCommand &command);

// One batch as the command line shows it: renders the core's session (which converts and
// saves each file into the output folder as soon as it is done) as lines on standard error
// and an exit status.
class CliBatch : public QObject
{
    Q_OBJECT

public:
    struct Setup
    {
        SessionSetup session;        // with saveFolder: existing and writable, native separators
        bool liveProgress = false;   // a line rewritten in place, for a terminal
        QList<LibraryLayout::Skipped> skipped;   // up to date already: reported, counted
        QElapsedTimer clock;         // the run's, from before the walk; started here if not
    };

    explicit CliBatch(const Setup &setup, FILE *messages = stderr, QObject *parent = nullptr);

    // "" once started; otherwise why nothing can be converted.
    QString start();
    // The first one cancels (the tools are stopped, their temporary files deleted, saved files
    // stay); another one stops everything at once.
    void interrupt(int signalNumber);

signals:
    void done(int exitStatus);

private:
    void onFileFinished(const FileResult &result);
    void finish(const BatchOutcome &outcome);
    void note(const QString &line);   // a line about one file, kept above the live line
    void refreshProgress();
    void showLiveLine(const QString &line);
    void clearLiveLine();
    void write(const QString &text);

    Setup m_setup;
    FILE *m_messages;
    BatchSession *m_session = nullptr;
    int m_signal = 0;                  // the signal that cancelled the batch
    bool m_done = false;
    QTimer *m_liveTimer = nullptr;
    QString m_liveText;                // the live line on screen
    qsizetype m_liveLength = 0;        // its characters; 0 when none is shown
};
