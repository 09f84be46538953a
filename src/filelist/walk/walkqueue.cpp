#include "filelist/walk/walkqueue.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

// A walk's rows and what it could not take.
using Walked = std::pair<QStringList, FolderWalk::UnreadableList>;

WalkQueue::~WalkQueue()
{
    // Nothing said while going: the owner, a window, is half destroyed by now.
    blockSignals(true);
    cancelAll();
}

void WalkQueue::enqueue(Job job)
{
    const bool wasBusy = isBusy();
    m_pending.push_back(std::move(job));
    if (!wasBusy)
        emit busyChanged(true);
    startNext();
}

void WalkQueue::cancelAll()
{
    m_pending.clear();
    m_unreadable.clear();
    if (!m_running)
        return;
    m_cancelled = true;
    m_running->disconnect(this);
    m_running->waitForFinished();
    delete std::exchange(m_running, nullptr);
    m_cancelled = false;
    emit busyChanged(false);
}

void WalkQueue::startNext()
{
    if (m_running || m_pending.empty())
        return;
    Job job = std::move(m_pending.front());
    m_pending.pop_front();

    auto *watcher = new QFutureWatcher<Walked>(this);
    m_running = watcher;
    // The watcher hands the result over on this object's thread, so rows arrive there.
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        m_running = nullptr;
        watcher->deleteLater();
        const auto [rows, unreadable] = watcher->result();
        m_unreadable += unreadable;
        emit rowsReady(rows);
        if (m_pending.empty())
            emit busyChanged(false);
        else
            startNext();
    });
    watcher->setFuture(QtConcurrent::run([job = std::move(job), this] {
        Walked walked;
        walked.first = job(&m_cancelled, &walked.second);
        return walked;
    }));
}
