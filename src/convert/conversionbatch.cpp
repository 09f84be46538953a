#include "convert/conversionbatch.h"

#include "convert/files/pathhelpers.h"
#include "convert/tagcopy.h"
#include "convert/files/workfolder.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <numeric>
#include <utility>

namespace {

// Longest first: by the length each source states, else by its size as if it held audio at
// 128 kbps (16 bytes a millisecond); ties keep source order.
QList<int> longestFirst(const QStringList &sources)
{
    QList<qint64> lengths;
    lengths.reserve(sources.size());
    for (const QString &source : sources)
        lengths.append(TagCopy::readStatedLengthMs(source).value_or(QFileInfo(source).size() / 16));
    QList<int> order(sources.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&lengths](int a, int b) { return lengths.at(a) > lengths.at(b); });
    return order;
}

} // namespace

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
        m_taken.append(false);
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
    if (m_settings.longestFirst) {
        m_order = longestFirst(m_sources);
    } else {
        m_order.resize(m_sources.size());
        std::iota(m_order.begin(), m_order.end(), 0);
    }
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
    // The converted files nobody has taken over yet go too.
    for (int i = 0; i < m_results.size(); ++i) {
        const FileResult &result = m_results.at(i);
        if (m_done.at(i) && !m_taken.at(i) && result.isConverted() && !result.tempPath.isEmpty())
            WorkFolder::discardTempMp3(result.tempPath);
    }
}

void ConversionBatch::takeConvertedFile(int index)
{
    if (index >= 0 && index < m_taken.size())
        m_taken[index] = true;
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
           && m_next < m_order.size()) {
        const int index = m_order.at(m_next++);
        emit fileStarted(index, int(m_sources.size()));
        // A receiver of fileStarted may have cancelled or aborted the batch.
        if (m_state != State::Running)
            break;
        auto *conversion = new FileConversion(index, m_sources.at(index), m_settings.bitrate,
                                              m_settings.tools, this);
        connect(conversion, &FileConversion::progress, this, &ConversionBatch::onFileProgress);
        connect(conversion, &FileConversion::finished, this, &ConversionBatch::onFileFinished);
        m_active.insert(index, conversion);
        conversion->start();
    }
    finishIfIdle();
}

void ConversionBatch::onFileProgress(int index, double fraction)
{
    // A file's 1.0 comes just before its fileFinished(), which counts it whole anyway; left
    // out, so that the batch is whole only once every file has finished.
    if (!isRunning() || !m_active.contains(index) || fraction >= 1.0)
        return;
    m_fractions.insert(index, fraction);
    reportProgress();
}

void ConversionBatch::onFileFinished(const FileResult &result)
{
    if (FileConversion *conversion = m_active.take(result.index))
        conversion->deleteLater();
    m_fractions.remove(result.index);
    m_results[result.index] = result;
    m_done[result.index] = true;
    ++m_filesDone;
    emit fileFinished(result);
    // A receiver of fileFinished may have aborted the batch.
    if (isRunning())
        reportProgress();
    if (m_state == State::Running)
        startMore();
    else
        finishIfIdle();
}

void ConversionBatch::finishIfIdle()
{
    if (!m_active.isEmpty())
        return;
    if (m_state == State::Running && m_next >= m_order.size())
        finish(false);
    else if (m_state == State::Cancelling)
        finish(true);
}

void ConversionBatch::reportProgress()
{
    const int total = int(m_sources.size());
    double share = 1.0;
    if (total > 0) {
        double done = m_filesDone;
        for (double fraction : std::as_const(m_fractions))
            done += fraction;
        share = qMin(1.0, done / total);
    }
    if (share == m_reportedShare && m_filesDone == m_reportedFilesDone)
        return;
    m_reportedShare = share;
    m_reportedFilesDone = m_filesDone;
    emit progressChanged(share, m_filesDone, total);
}

void ConversionBatch::finish(bool cancelled)
{
    // Normally said already with the last fileFinished(); an empty batch has had none.
    if (!cancelled) {
        reportProgress();
        if (m_state != State::Running)
            return;   // a receiver cancelled (finished() comes from that) or aborted
    }
    m_state = State::Finished;
    emit finished(m_results, cancelled);
}
