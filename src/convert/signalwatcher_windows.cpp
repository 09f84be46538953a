#include "convert/signalwatcher.h"

#include "convert/signalwatcher_p.h"

#include <csignal>

#include <qt_windows.h>

using namespace SignalWatcherDetail;

namespace {

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

} // namespace

void SignalWatcher::startWatching(ClosedPipe closedPipe)
{
    // Writes to a closed pipe fail there without a signal.
    Q_UNUSED(closedPipe);
    s_watcher = this;
    if (!s_stopped) {
        s_stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    }
    ResetEvent(s_stopped);
}

void SignalWatcher::stopWatching()
{
    // A closing console's handler waits for this; the handler stays, so that the program is
    // not ended in the middle of its exit.
    s_watcher = nullptr;
    SetEvent(s_stopped);
}
