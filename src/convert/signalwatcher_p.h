#pragma once

#include <atomic>

// Inside the signal watcher. Catching the signals is each system's own: signalwatcher_posix.cpp
// or signalwatcher_windows.cpp provides SignalWatcher's startWatching() and stopWatching();
// signalwatcher.cpp keeps what their handlers note.
namespace SignalWatcherDetail {

// Written from the signal handler, which may only use lock-free atomics.
extern std::atomic_bool s_raised;
extern std::atomic<int> s_firstSignal;

void noteSignal(int signalNumber);

} // namespace SignalWatcherDetail
