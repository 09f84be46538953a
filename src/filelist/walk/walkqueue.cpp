#include "filelist/walk/walkqueue.h"

#include <QThread>

#include <memory>

WalkQueue::WalkQueue(QObject *parent)
    : QObject(parent)
{
}

WalkQueue::~WalkQueue()
{
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
    if (!m_thread)
        return;
    m_cancelled = true;
    m_thread->disconnect(this);
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
    m_cancelled = false;
    emit busyChanged(false);
}

void WalkQueue::startNext()
{
    if (m_thread || m_pending.empty())
        return;
    Job job = std::move(m_pending.front());
    m_pending.pop_front();

    auto rows = std::make_shared<QStringList>();
    auto unreadable = std::make_shared<FolderWalk::UnreadableList>();
    m_thread = QThread::create([job = std::move(job), rows, unreadable, this] {
        *rows = job(&m_cancelled, unreadable.get());
    });
    connect(m_thread, &QThread::finished, this, [this, rows, unreadable] {
        m_thread->deleteLater();
        m_thread = nullptr;
        m_unreadable += *unreadable;
        emit rowsReady(*rows);
        if (m_pending.empty())
            emit busyChanged(false);
        else
            startNext();
    });
    m_thread->start();
}
