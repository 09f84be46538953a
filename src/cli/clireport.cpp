#include "clireport.h"

#include "convert/batchsession.h"

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

QString unreadableLine(const QString &path, const QString &reason)
{
    return labelled(QStringLiteral("unreadable"), path + QStringLiteral(": ") + reason);
}

QString skippedLine(const QString &source, const QString &savedName)
{
    return labelled(QStringLiteral("skipped"), source + QStringLiteral(": ") + savedName
                                                  + QStringLiteral(" is up to date"));
}

QString tildeLine(qsizetype count)
{
    return QStringLiteral("left out %1 file(s) whose name begins with \"~\" (lock and temporary files)").arg(count);
}

QString pathLine(const QString &path)
{
    QString line;
    line.reserve(path.size());
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            line += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            line += c;
    }
    return line;
}

QString liveLine(const BatchProgress &progress)
{
    // Rounded down: 100% only once everything is done.
    const int percent = qBound(0, int(qFloor(progress.shareDone * 100.0)), 100);
    QString line = QStringLiteral("%1 of %2 file(s) done, %3%").arg(progress.filesDone).arg(progress.total).arg(percent);
    if (progress.remainingMs && progress.filesDone < progress.total) {
        line += QStringLiteral(", about %1 left").arg(ProgressEstimate::formatDuration(*progress.remainingMs));
    }
    return line;
}

QString summaryLine(int converted, int total, int skipped, int failed, int cancelled, qint64 elapsedMs)
{
    QString line = QStringLiteral("%1 of %2 file(s) converted, %3 skipped, %4 failed in %5")
                       .arg(converted)
                       .arg(total)
                       .arg(skipped)
                       .arg(failed)
                       .arg(ProgressEstimate::formatDuration(elapsedMs));
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
