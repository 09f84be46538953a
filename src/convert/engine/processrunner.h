#pragma once

#include "convert/engine/conversiontypes.h"

#include <QProcess>

class QTimer;

// One external program at a time: its arguments a list (no shell ever sees them), its input the
// null device, its stdout discarded (or read, or piped into another runner's program, see
// startPiped()); its stderr passed on line by line, and its tail kept as the reason for a failure.
class ProcessRunner : public QObject
{
    Q_OBJECT

public:
    explicit ProcessRunner(QObject *parent = nullptr);
    ~ProcessRunner() override;   // kills and reaps a program that still runs

    enum class Output { Discarded, Read };

    // Call only while not running. finished() follows exactly once, always from the event
    // loop (never from inside start()), also when the program cannot be started.
    // On Windows the program gets no console window. With Output::Read the program's stdout
    // comes through standardOutputRead().
    void start(const QString &program, const QStringList &arguments, Output output = Output::Discarded);

    // As start(), and the program's standard output goes through a pipe into reader's program's
    // standard input. Each runner reports its own program; neither may be running. A program
    // that ends early closes its end, so the other one ends too (end of input, broken pipe).
    void startPiped(const QString &program, const QStringList &arguments, ProcessRunner *reader,
                    const QString &readerProgram, const QStringList &readerArguments);

    // Asks the program to end, and kills it after a short grace period. finished() still comes,
    // with crashed set unless it exited by itself. On POSIX both go to the program's whole
    // process group, so that what it started ends with it.
    void cancel();

    // Kills the program (on POSIX its process group) and waits for it to be gone. Blocking,
    // for shut-down and destructors only; finished() does not come for this run any more.
    void abort();

    bool isRunning() const { return m_busy; }   // from start() until finished() is emitted

    // For the next runs: a program that writes nothing on stdout or stderr for this long counts
    // as hung and is stopped as by cancel(); its outcome then says so (stalled). 0, the
    // default, never: the conversion watches its tools itself, by the files they write too.
    void setStallTimeout(int seconds) { m_stallTimeoutSeconds = seconds; }

    // What the running tool waits for, as far as the system says (Linux): of two tools joined by
    // a pipe, it tells which one holds up the other. Unknown elsewhere.
    enum class Waiting { Unknown, Stopped, ToWrite, ToRead };
    Waiting waiting() const;

    // On Linux each tool runs under quorvane-toolkeeper from the program's folder, so that what
    // the tool starts dies with the program too; without the keeper only the tool itself does.
    // True when the keeper is not there; false on other platforms, which have none.
    static bool isToolKeeperMissing();

signals:
    // Each non-empty line of stderr, without its end ('\n', or '\r' for progress lines), all before
    // the run's finished(), the last also without an end. A receiver may cancel() here; one that may
    // abort() or delete the runner (or make another receiver do so) connects queued.
    void standardErrorLineRead(const QString &line);
    // A run's stdout as it arrives (Output::Read only), all before the run's finished(); its
    // receivers as standardErrorLineRead()'s.
    void standardOutputRead(const QByteArray &bytes);
    void finished(const ProcessOutcome &outcome);

private:
    bool prepare(const QString &program, const QStringList &arguments, Output output = Output::Discarded);
    void killTool();
    void heardFrom();
    void onProcessFinished(int exitCode, QProcess::ExitStatus status);
    void onProcessError(QProcess::ProcessError error);
    void readStandardError();
    void readStandardOutput();
    void passOnLine(const QByteArray &line);
    void report(const ProcessOutcome &outcome);

    QProcess *m_process = nullptr;
    QTimer *m_killTimer = nullptr;
    QTimer *m_stallTimer = nullptr;
    int m_stallTimeoutSeconds = 0;
    QString m_program;
    QByteArray m_stderrTail;
    QByteArray m_partialLine;   // stderr after the last line end
    quint64 m_runId = 0;   // tells a queued report of an earlier, aborted run from the current one
    bool m_busy = false;
    bool m_reported = false;
    bool m_cancelled = false;   // cancel() was called for this run
    bool m_stalled = false;     // stopped by the stall timeout
    qint64 m_pid = 0;           // the tool's process id, which is also its process group's
};
