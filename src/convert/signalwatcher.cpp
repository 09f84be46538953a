#include "convert/signalwatcher.h"

#include "convert/signalwatcher_p.h"

namespace SignalWatcherDetail {

std::atomic_bool s_raised{false};
std::atomic<int> s_firstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic_bool::is_always_lock_free,
              "signal handlers may only touch lock-free atomics");

void noteSignal(int signalNumber)
{
    int none = 0;
    s_firstSignal.compare_exchange_strong(none, signalNumber);
    s_raised.store(true);
}

} // namespace SignalWatcherDetail

using namespace SignalWatcherDetail;

SignalWatcher::SignalWatcher(ClosedPipe closedPipe, QObject *parent)
    : QObject(parent)
{
    s_raised.store(false);
    s_firstSignal.store(0);
    startWatching(closedPipe);
}

SignalWatcher::~SignalWatcher()
{
    stopWatching();
}

const std::atomic_bool *SignalWatcher::raisedFlag()
{
    return &s_raised;
}

int SignalWatcher::firstSignal()
{
    return s_firstSignal.load();
}
