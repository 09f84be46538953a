#include "conversionbatch.h"

#include "pathhelpers.h"

#include <QFile>

ConversionBatch::ConversionBatch(const QStringList &sources, const BatchSettings &settings,
                                 QObject *parent)
    : QObject(parent)
    , m_sources(sources)
    , m_settings(settings)
{
    m_settings.jobs = qMax(1, m_settings.jobs);
    m_results.reserve(m_sources.size());
    for (int i = 0; i < m_sources.size(); ++i) {
        FileResult result;
        result.index = i;
        result.sourcePath = m_sources.at(i);
        result.displayName = Paths::displayNameFor(result.sourcePath);
        result.status = FileStatus::Cancelled;
        result.reason = QStringLiteral("cancelled");
        m_results.append(result);
        m_done.append(false);
    }
}

ConversionBatch::~ConversionBatch()
{
    if (isRunning())
        abort();
}

void ConversionBatch::start()
{
    if (m_state != State::Idle)
        return;
    m_state = State::Running;
    QMetaObject::invokeMethod(this, &ConversionBatch::startMore, Qt::QueuedConnection);
}

void ConversionBatch::cancel()
{
    if (m_state != State::Running)
        return;
    m_state = State::Cancelling;
    // Each conversion reports Cancelled once its tool has ended and its files are gone.
    const QList<FileConversion *> active = m_active.values();
    for (FileConversion *conversion : active)
        conversion->cancel();
    if (m_active.isEmpty()) {
        QMetaObject::invokeMethod(this, &ConversionBatch::finishIfIdle, Qt::QueuedConnection);
    }
}

void ConversionBatch::abort()
{
    if (m_state != State::Running && m_state != State::Cancelling)
        return;
    m_state = State::Aborted;
    const QList<FileConversion *> active = m_active.values();
    m_active.clear();
    for (FileConversion *conversion : active) {
        disconnect(conversion, nullptr, this, nullptr);
        conversion->abort();
        conversion->deleteLater();
    }
    // Nobody has taken the converted files yet: they go too.
    for (int i = 0; i < m_results.size(); ++i) {
        if (m_done.at(i) && m_results.at(i).isConverted() && !m_results.at(i).tempPath.isEmpty())
            QFile::remove(m_results.at(i).tempPath);
    }
}

bool ConversionBatch::isRunning() const
{
    return m_state == State::Running || m_state == State::Cancelling;
}

QList<FileResult> ConversionBatch::results() const
{
    return m_results;
}

void ConversionBatch::startMore()
{
    while (m_state == State::Running && m_active.size() < m_settings.jobs
           && m_next < m_sources.size()) {
        const int index = m_next++;
        emit fileStarted(index, int(m_sources.size()));
        // A receiver of fileStarted may have cancelled or aborted the batch.
        if (m_state != State::Running)
            break;
        auto *conversion = new FileConversion(index, m_sources.at(index), m_settings.bitrateText,
                                              m_settings.tools, this);
        connect(conversion, &FileConversion::finished, this, &ConversionBatch::onFileFinished);
        m_active.insert(index, conversion);
        conversion->start();
    }
    finishIfIdle();
}

void ConversionBatch::onFileFinished(const FileResult &result)
{
    if (FileConversion *conversion = m_active.take(result.index))
        conversion->deleteLater();
    m_results[result.index] = result;
    m_done[result.index] = true;
    emit fileFinished(result);
    if (m_state == State::Running)
        startMore();
    else
        finishIfIdle();
}

void ConversionBatch::finishIfIdle()
{
    if (!m_active.isEmpty())
        return;
    if (m_state == State::Running && m_next >= m_sources.size())
        finish(false);
    else if (m_state == State::Cancelling)
        finish(true);
}

void ConversionBatch::finish(bool cancelled)
{
    m_state = State::Finished;
    emit finished(m_results, cancelled);
}
