#include "results/saving/savejob.h"

#include <QThread>

SaveJob::SaveJob(const QString &folder, const QList<ResultSaver::Item> &items, QObject *parent)
    : QObject(parent)
    , m_folder(folder)
    , m_items(items)
{
}

SaveJob::~SaveJob()
{
    cancelAndWait();
}

void SaveJob::start()
{
    if (m_thread)
        return;
    m_thread = QThread::create([this] {
        const auto saved = [this](int count) {
            QMetaObject::invokeMethod(this, [this, count] { emit progress(count, total()); },
                                      Qt::QueuedConnection);
        };
        m_failures = ResultSaver::save(m_folder, m_items, saved, &m_cancelled);
    });
    connect(m_thread, &QThread::finished, this, [this] {
        if (!m_thread)
            return;   // cancelAndWait() has taken it
        m_thread->deleteLater();
        m_thread = nullptr;
        emit finished(m_failures);
    });
    m_thread->start();
}

void SaveJob::cancelAndWait()
{
    if (!m_thread)
        return;
    m_cancelled = true;
    QThread *thread = m_thread;
    m_thread = nullptr;
    thread->wait();
    delete thread;
}
