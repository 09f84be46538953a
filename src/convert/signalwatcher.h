#pragma once

#include <QObject>

#include <atomic>

class QSocketNotifier;

// Turns Ctrl+C, SIGTERM and SIGHUP (on Windows: the console's Ctrl+C, Ctrl+Break and close events)
// into a Qt signal from the event loop, so that the programs cancel a batch cleanly instead of
// dying with their tools running and temporary files left behind. One watcher at a time; the
// previous handling returns when it is destroyed.
// A write to a pipe whose reader has gone (SIGPIPE, POSIX only) kills a program by default; the
// watcher turns it into a stop (a command-line program cut off by "| head") or lets it pass (a
// window), and the write only fails with EPIPE. A closed pipe raises one stop at most, never the
// "second Ctrl+C" that stops at once.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    enum class ClosedPipe { Pass, Stop };

    explicit SignalWatcher(ClosedPipe closedPipe = ClosedPipe::Pass, QObject *parent = nullptr);
    ~SignalWatcher() override;

    // Set as soon as the first signal arrives, for blocking work before the event loop (a long
    // folder walk) to poll.
    static const std::atomic_bool *raisedFlag();
    // The number of the first signal that arrived (SIGINT, SIGTERM, SIGHUP, SIGPIPE), 0 while none did.
    static int firstSignal();

signals:
    void raised(int signalNumber);   // once per signal that arrived, from the event loop

private:
    // Each system's own, in signalwatcher_posix.cpp or signalwatcher_windows.cpp.
    void startWatching(ClosedPipe closedPipe);
    void stopWatching();

    QSocketNotifier *m_notifier = nullptr;   // POSIX
};
