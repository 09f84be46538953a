#include "app/batchreport.h"

#include <QDir>

namespace BatchReport {

namespace {
// More lines than this go only into the unfoldable details, so the box stays on screen.
constexpr int kLinesShown = 8;
}

Report describe(const BatchOutcome &outcome)
{
    const auto linesOf = [](const QList<FileResult> &files, QString FileResult::*why) {
        QStringList shown;
        for (const FileResult &r : files) {
            const QString path = QDir::toNativeSeparators(r.sourcePath);
            shown.append(why ? QStringLiteral("%1: %2").arg(path, r.*why) : path);
        }
        return shown;
    };

    QStringList paragraphs;
    QStringList all;
    const auto addSection = [&](const QString &heading, const QStringList &lines) {
        if (lines.isEmpty())
            return;
        QStringList shown = lines.mid(0, kLinesShown);
        if (lines.size() > kLinesShown)
            shown.append(QStringLiteral("... and %1 more (see details)").arg(lines.size() - kLinesShown));
        paragraphs.append(heading + QLatin1Char('\n') + shown.join(QLatin1Char('\n')));
        all << heading << lines << QString();
    };
    const auto total = outcome.files.size();
    const QStringList failed = linesOf(outcome.failed(), &FileResult::reason);
    const QStringList cancelled = linesOf(outcome.notConverted(), nullptr);
    const QStringList kept = linesOf(outcome.keptDecoderBitrate(), &FileResult::reason);
    const QStringList damaged = linesOf(outcome.incomplete(), &FileResult::warning);
    const QStringList otherBitrate = linesOf(outcome.otherBitrate(), &FileResult::note);
    addSection(QStringLiteral("%1 of %2 file(s) could not be converted:").arg(failed.size()).arg(total), failed);
    addSection(QStringLiteral("%1 of %2 file(s) were cancelled before they were converted:").arg(cancelled.size()).arg(total),
               cancelled);
    addSection(QStringLiteral("%1 file(s) kept the decoder's default bitrate, because re-encoding failed:")
                   .arg(kept.size()),
               kept);
    addSection(QStringLiteral("%1 file(s) may be incomplete:").arg(damaged.size()), damaged);
    addSection(QStringLiteral("%1 file(s) could not take the chosen bitrate:").arg(otherBitrate.size()), otherBitrate);
    if (paragraphs.isEmpty())
        return {};
    return {paragraphs.join(QStringLiteral("\n\n")), all.join(QLatin1Char('\n')).trimmed()};
}

} // namespace BatchReport
