#include "clireport.h"

#include "convert/progressestimate.h"

#include <QtMath>

namespace CliReport {

namespace {

QString labelled(const QString &label, const QString &text)
{
    constexpr int kLabelWidth = 11;
    return label.leftJustified(kLabelWidth) + text;
}

} // namespace

QString convertedLine(const QString &source, const QString &savedName)
{
    return labelled(QStringLiteral("converted"), source + QStringLiteral(" -> ") + savedName);
}

QString failedLine(const QString &source, const QString &reason)
{
    return labelled(QStringLiteral("FAILED"), source + QStringLiteral(": ") + reason);
}

QString warningLine(const QString &source, const QString &warning)
{
    return labelled(QStringLiteral("warning"), source + QStringLiteral(": ") + warning);
}

QString cancelledLine(const QString &source)
{
    return labelled(QStringLiteral("cancelled"), source);
}

QString liveLine(int done, int total, double shareDone, std::optional<qint64> remainingMs)
{
    // Rounded down: 100% only once everything is done.
    const int percent = qBound(0, int(qFloor(shareDone * 100.0)), 100);
    QString line = QStringLiteral("%1 of %2 file(s) done, %3%").arg(done).arg(total).arg(percent);
    if (remainingMs && done < total) {
        line += QStringLiteral(", about %1 left").arg(ProgressEstimate::formatDuration(*remainingMs));
    }
    return line;
}

QString summaryLine(int converted, int total, int cancelled)
{
    QString line = QStringLiteral("%1 of %2 file(s) converted").arg(converted).arg(total);
    if (cancelled > 0)
        line += QStringLiteral("; cancelled, %1 file(s) not converted").arg(cancelled);
    return line;
}

QString usageErrorText(const QString &message)
{
    return QStringLiteral("quorvane-cli: %1\nTry 'quorvane-cli --help' for more information.\n")
        .arg(message);
}

} // namespace CliReport
