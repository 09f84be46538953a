#pragma once

#include "filelist/walk/folderwalk.h"

#include <QObject>

#include <deque>
#include <functional>
#include <utility>

class QFutureWatcherBase;

// Runs folder walks off the GUI thread, one after another, so rows arrive in request order and the
// window stays responsive; what they could not take is kept until the queue runs empty, to tell once.
class WalkQueue : public QObject
{
    Q_OBJECT

public:
    using Job = std::function<QStringList(const std::atomic_bool *cancelled, FolderWalk::UnreadableList *unreadable)>;

    explicit WalkQueue(QObject *parent = nullptr) : QObject(parent) {}
    ~WalkQueue() override;

    void enqueue(Job job);
    bool isBusy() const { return m_running != nullptr || !m_pending.empty(); }
    // Drops waiting walks and stops the running one, blocking; for shut-down only.
    void cancelAll();
    // What the walks that ended so far could not take; emptied by the call.
    FolderWalk::UnreadableList takeUnreadable() { return std::exchange(m_unreadable, {}); }

signals:
    void rowsReady(const QStringList &rows);
    void busyChanged(bool busy);

private:
    void startNext();

    std::deque<Job> m_pending;
    QFutureWatcherBase *m_running = nullptr; // the walk under way, until its rows are delivered
    std::atomic_bool m_cancelled{false};
    FolderWalk::UnreadableList m_unreadable;
};
