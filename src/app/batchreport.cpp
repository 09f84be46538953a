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
    QStringList kept;
    for (const FileResult &r : results) {
        const QString line = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(r.sourcePath), r.reason);
        if (r.status == FileStatus::Failed || r.status == FileStatus::Cancelled)
            failed.append(line);
        else if (r.status == FileStatus::KeptDecoderBitrate)
            kept.append(line);
    }
    if (failed.isEmpty() && kept.isEmpty())
        return {};

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
    addSection(QStringLiteral("%1 of %2 file(s) could not be converted:").arg(failed.size()).arg(results.size()),
               failed);
    addSection(QStringLiteral("%1 file(s) kept the decoder's default bitrate, because re-encoding failed:")
                   .arg(kept.size()),
               kept);
    return {paragraphs.join(QStringLiteral("\n\n")), all.join(QLatin1Char('\n')).trimmed()};
}

} // namespace BatchReport
