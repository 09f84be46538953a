#pragma once

#include <QString>

#include <optional>

// How long a batch still needs, from the share of its work done so far; withheld until some work
// is done and a little time passed, so that the first seconds do not promise nonsense.
class ProgressEstimate
{
public:
    void start(qint64 nowMs);
    void update(double shareDone, qint64 nowMs);

    std::optional<qint64> remainingMs() const;

    // "0:07", "1:22", "1:02:03".
    static QString formatDuration(qint64 milliseconds);

private:
    qint64 m_startMs = 0;
    qint64 m_nowMs = 0;
    double m_share = 0.0;
};
