#include "convert/signalwatcher.h"

#include "convert/signalwatcher_p.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace SignalWatcherDetail;

namespace {

// Set from the signal handlers too, which may only use lock-free atomics.
std::atomic_bool s_pipeClosed{false};

// The self-pipe: the handler writes the signal's number, the event loop reads it.
int s_pipe[2] = {-1, -1};
struct sigaction s_previousHup;
struct sigaction s_previousPipe;

void onSignal(int signalNumber)
{
    // Every write to a closed pipe raises SIGPIPE again, the note of the stop among them.
    if (signalNumber == SIGPIPE && (s_pipeClosed.exchange(true) || s_raised.load()))
        return;
    const int savedErrno = errno;
    noteSignal(signalNumber);
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Non-blocking: when the pipe is full, enough bytes are waiting already.
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
    errno = savedErrno;
}

bool prepareEnd(int fd)
{
    // Close-on-exec: the tools must not inherit the pipe.
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0
           && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

// Lets SIGPIPE pass. A handler rather than SIG_IGN, which the tools would inherit.
void onPassedSignal(int)
{
    s_pipeClosed.store(true);
}

void handle(int signalNumber, void (*handler)(int), struct sigaction *previous = nullptr)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signalNumber, &action, previous);
}

} // namespace

void SignalWatcher::startWatching(ClosedPipe closedPipe)
{
    s_pipeClosed.store(false);
    if (::pipe(s_pipe) != 0 || !prepareEnd(s_pipe[0]) || !prepareEnd(s_pipe[1])) {
        qWarning("SignalWatcher: no pipe for signals; Ctrl+C will end the program at once");
        return;
    }
    m_notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char bytes[16];
        ssize_t count = 0;
        while ((count = ::read(s_pipe[0], bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < count; ++i)
                emit raised(int(bytes[i]));
        }
    });

    handle(SIGINT, onSignal);
    handle(SIGTERM, onSignal);
    // The terminal closing (SIGHUP) stops us as cleanly as Ctrl+C, unless we were started
    // to outlive it (nohup), in which case it stays ignored.
    handle(SIGHUP, onSignal, &s_previousHup);
    if (s_previousHup.sa_handler == SIG_IGN)
        ::sigaction(SIGHUP, &s_previousHup, nullptr);
    handle(SIGPIPE, closedPipe == ClosedPipe::Pass ? onPassedSignal : onSignal, &s_previousPipe);
}

void SignalWatcher::stopWatching()
{
    if (!m_notifier)
        return;
    // The watcher lives until the program ends: a stop signal that comes while it exits,
    // after everything is stopped and said, must not turn a finished run into a killed one.
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        handle(signalNumber, onPassedSignal);
    // Once the reader has gone, the buffered rest of the output is flushed into the closed
    // pipe at the program's exit, which must not kill it there.
    if (s_pipeClosed.load())
        handle(SIGPIPE, onPassedSignal);
    else
        ::sigaction(SIGPIPE, &s_previousPipe, nullptr);
    delete std::exchange(m_notifier, nullptr);
    ::close(s_pipe[0]);
    ::close(s_pipe[1]);
    s_pipe[0] = s_pipe[1] = -1;
}
