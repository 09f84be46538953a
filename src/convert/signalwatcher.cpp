#include "convert/signalwatcher.h"

#include <QSocketNotifier>

#include <csignal>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Written from the signal handler, which may only use lock-free atomics.
std::atomic_bool s_raised{false};
std::atomic<int> s_firstSignal{0};
std::atomic_bool s_pipeClosed{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic_bool::is_always_lock_free,
              "signal handlers may only touch lock-free atomics");

void noteSignal(int signalNumber)
{
    int none = 0;
    s_firstSignal.compare_exchange_strong(none, signalNumber);
    s_raised.store(true);
}

#ifdef Q_OS_WIN

SignalWatcher *s_watcher = nullptr;
// Set once the watcher is gone, that is once the program has stopped its tools and deleted
// their files: a closing console ends the program as soon as the handler returns.
HANDLE s_stopped = nullptr;
// Windows ends a program 5 s after its console closes, handler or not.
constexpr DWORD kCloseGraceMs = 4500;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    const int signalNumber = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    noteSignal(signalNumber);
    if (SignalWatcher *watcher = s_watcher) {
        QMetaObject::invokeMethod(
            watcher, [watcher, signalNumber] { emit watcher->raised(signalNumber); },
            Qt::QueuedConnection);
    }
    // The console closes, or the user signs out, or the machine shuts down.
    if (signalNumber == SIGTERM && s_stopped)
        WaitForSingleObject(s_stopped, kCloseGraceMs);
    return TRUE;
}

#else

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

#endif

} // namespace

SignalWatcher::SignalWatcher(ClosedPipe closedPipe, QObject *parent)
    : QObject(parent)
{
    s_raised.store(false);
    s_firstSignal.store(0);
    s_pipeClosed.store(false);
#ifdef Q_OS_WIN
    // Writes to a closed pipe fail there without a signal.
    Q_UNUSED(closedPipe);
    s_watcher = this;
    if (!s_stopped) {
        s_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    }
    ResetEvent(s_stopped);
#else
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
#endif
}

SignalWatcher::~SignalWatcher()
{
#ifdef Q_OS_WIN
    // A closing console's handler waits for this; the handler stays, so that the program is
    // not ended in the middle of its exit.
    s_watcher = nullptr;
    SetEvent(s_stopped);
#else
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
#endif
}

const std::atomic_bool *SignalWatcher::raisedFlag()
{
    return &s_raised;
}

int SignalWatcher::firstSignal()
{
    return s_firstSignal.load();
}
