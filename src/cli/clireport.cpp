#include "cli/clireport.h"

#include "convert/engine/progressestimate.h"

namespace CliReport {

namespace {

QString labelled(const QString &label, const QString &text)
{
    return label.leftJustified(11) + text;   // as wide as the longest label and a space
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

QString unreadableLine(const QString &path, const QString &reason)
{
    return labelled(QStringLiteral("unreadable"), path + QStringLiteral(": ") + reason);
}

QString skippedLine(const QString &source, const QString &savedName, bool taken)
{
    return labelled(QStringLiteral("skipped"), source + QStringLiteral(": ") + savedName
                                                  + (taken ? QStringLiteral(" is an earlier source's name too")
                                                           : QStringLiteral(" is up to date")));
}

QString tildeLine(qsizetype count)
{
    return QStringLiteral("left out %1 file(s) whose name begins with \"~\" (lock and temporary files)").arg(count);
}

QString summaryLine(const SummaryCounts &counts, qint64 elapsedMs)
{
    // A clean run's line stays as scripts have always read it.
    QString line = QStringLiteral("%1 of %2 file(s) converted").arg(counts.converted).arg(counts.total);
    if (counts.kept > 0)
        line += QStringLiteral(", %1 kept at the decoder's bitrate").arg(counts.kept);
    if (counts.incomplete > 0)
        line += QStringLiteral(", %1 incomplete").arg(counts.incomplete);
    if (counts.withoutGain > 0)
        line += QStringLiteral(", %1 saved without ReplayGain").arg(counts.withoutGain);
    line += QStringLiteral(", %1 skipped, %2 failed in %3")
                .arg(counts.skipped)
                .arg(counts.failed)
                .arg(ProgressEstimate::formatDuration(elapsedMs));
    if (counts.cancelled > 0)
        line += QStringLiteral("; cancelled, %1 file(s) not converted").arg(counts.cancelled);
    return line;
}

QString usageErrorText(const QString &message)
{
    return QStringLiteral("quorvane-cli: %1\nTry 'quorvane-cli --help' for more information.\n")
        .arg(message);
}

} // namespace CliReport
