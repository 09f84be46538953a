#include "convert/engine/progressestimate.h"

namespace {
constexpr double kMinimumShare = 0.02;
constexpr qint64 kMinimumElapsedMs = 1000;
}

void ProgressEstimate::start(qint64 nowMs)
{
    m_startMs = nowMs;
    m_nowMs = nowMs;
    m_share = 0.0;
}

void ProgressEstimate::update(double shareDone, qint64 nowMs)
{
    m_share = qBound(0.0, shareDone, 1.0);
    m_nowMs = nowMs;
}

std::optional<qint64> ProgressEstimate::remainingMs() const
{
    const qint64 elapsed = m_nowMs - m_startMs;
    if (m_share >= 1.0)
        return 0;
    if (m_share < kMinimumShare || elapsed < kMinimumElapsedMs)
        return std::nullopt;
    // To the nearest millisecond, in 64 bits: rounding up turned the last bit of a double's
    // error into a whole millisecond, and an int overflowed on a long batch.
    return qRound64(double(elapsed) * (1.0 - m_share) / m_share);
}

QString ProgressEstimate::formatDuration(qint64 milliseconds)
{
    const qint64 seconds = qMax<qint64>(0, (milliseconds + 500) / 1000);
    const qint64 hours = seconds / 3600;
    const qint64 minutes = (seconds / 60) % 60;
    const QChar zero(u'0');
    if (hours > 0)
        return QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, zero).arg(seconds % 60, 2, 10, zero);
    return QStringLiteral("%1:%2").arg(minutes).arg(seconds % 60, 2, 10, zero);
}
