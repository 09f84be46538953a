#pragma once

#include "results/saving/resultsaver.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>

class QThread;

// Saves a batch's converted files into the output folder on a worker thread, so that the
// window that asked keeps answering while hundreds of files are copied. The caller keeps
// the files being read until finished() or cancelAndWait() has returned.
class SaveJob : public QObject
{
    Q_OBJECT

public:
    SaveJob(const QString &folder, const QList<ResultSaver::Item> &items, QObject *parent = nullptr);
    ~SaveJob() override;   // as cancelAndWait()

    void start();   // once
    bool isRunning() const { return m_thread != nullptr; }
    int total() const { return int(m_items.size()); }
    // Stops after the file being copied (no part file stays) and returns once the worker has
    // ended; finished() does not follow.
    void cancelAndWait();

signals:
    void progress(int saved, int total);
    void finished(const QList<ResultSaver::Failure> &failures);

private:
    QString m_folder;
    QList<ResultSaver::Item> m_items;
    QList<ResultSaver::Failure> m_failures;   // written by the worker, read after it ended
    QThread *m_thread = nullptr;
    std::atomic_bool m_cancelled{false};
};
