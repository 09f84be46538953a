#pragma once

#include <QString>
#include <QtGlobal>

// The lines quorvane-cli writes, as pure functions. Lines about one file start with a label
// padded to one width, so that a log reads as columns and a script can pick lines by label.
namespace CliReport {

QString convertedLine(const QString &source, const QString &savedName);
QString failedLine(const QString &source, const QString &reason);
QString warningLine(const QString &source, const QString &warning);
QString cancelledLine(const QString &source);
// Something the walk could not take ("permission denied", "its name is not valid UTF-8").
QString unreadableLine(const QString &path, const QString &reason);
// savedName is up to date, or (taken) an earlier source's tags name it too (--pattern).
QString skippedLine(const QString &source, const QString &savedName, bool taken = false);
// The files a folder search left out because their names begin with "~".
QString tildeLine(qsizetype count);

// What the summary counts; each file of the run is counted once.
struct SummaryCounts
{
    int converted = 0;    // at the chosen bitrate (or the nearest the source allows) and whole
    int kept = 0;         // whole, but kept at the decoder's bitrate
    int incomplete = 0;   // converted short of the source's length, at any bitrate
    int total = 0;        // every file of the run, the skipped ones too
    int skipped = 0;
    int failed = 0;
    int cancelled = 0;
    int withoutGain = 0;  // converted and saved, but without the ReplayGain frames asked for
};

// "3 of 5 file(s) converted, 1 skipped, 1 failed in 0:42"; the files kept at the decoder's
// bitrate, the incomplete ones and those saved without ReplayGain follow "converted" when there
// are any ("..., 1 kept at the decoder's bitrate, 1 incomplete, 0 skipped..."), and how many
// were cancelled ends the line when a cancel cut the batch short.
QString summaryLine(const SummaryCounts &counts, qint64 elapsedMs);

// A usage error as the shell user sees it: the message, then where to find help.
QString usageErrorText(const QString &message);

} // namespace CliReport
