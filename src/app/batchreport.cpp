#include "batchreport.h"

#include <QDir>

namespace BatchReport {

namespace {
// More lines than this go only into the unfoldable details, so the box stays on screen.
constexpr int kLinesShown = 8;
}

Report describe(const QList<FileResult> &results)
{
    QStringList failed;
    QStringList cancelled;
    QStringList kept;
    QStringList damaged;
    QStringList otherBitrate;
    for (const FileResult &r : results) {
        const QString path = QDir::toNativeSeparators(r.sourcePath);
        const auto line = [&path](const QString &why) { return QStringLiteral("%1: %2").arg(path, why); };
        switch (r.status) {
        case FileStatus::Failed:
            failed.append(line(r.reason));
            break;
        case FileStatus::Cancelled:
            cancelled.append(path);
            break;
        case FileStatus::KeptDecoderBitrate:
            kept.append(line(r.reason));
            break;
        case FileStatus::Converted:
            break;
        }
        if (r.isConverted() && !r.warning.isEmpty())
            damaged.append(line(r.warning));
        if (r.isConverted() && !r.note.isEmpty())
            otherBitrate.append(line(r.note));
    }

    QStringList paragraphs;
    QStringList all;
    const auto addSection = [&](const QString &heading, const QStringList &lines) {
        if (lines.isEmpty())
            return;
        QStringList shown = lines.mid(0, kLinesShown);
        if (lines.size() > kLinesShown)
            shown.append(QStringLiteral("... and %1 more (see details)").arg(lines.size() - kLinesShown));
        paragraphs.append(heading + QLatin1Char('\n') + shown.join(QLatin1Char('\n')));
        all.append(heading);
        all.append(lines);
        all.append(QString());
    };
    const auto total = results.size();
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
