#pragma once

#include <QObject>
#include <QStringList>

#include <atomic>
#include <deque>
#include <functional>

class QThread;

// Runs folder walks off the GUI thread, one after another in the order they were
// asked for, so that rows arrive in request order and the window stays responsive
// while a big tree is read.
class WalkQueue : public QObject
{
    Q_OBJECT

public:
    using Job = std::function<QStringList(const std::atomic_bool *cancelled)>;

    explicit WalkQueue(QObject *parent = nullptr);
    ~WalkQueue() override;

    void enqueue(Job job);
    bool isBusy() const { return m_thread != nullptr || !m_pending.empty(); }
    // Drops waiting walks and stops the running one; blocks until it has stopped.
    // For shut-down only.
    void cancelAll();

signals:
    void rowsReady(const QStringList &rows);
    void busyChanged(bool busy);

private:
    void startNext();

    std::deque<Job> m_pending;
    QThread *m_thread = nullptr;
    std::atomic_bool m_cancelled{false};
};
