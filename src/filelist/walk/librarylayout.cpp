#include "filelist/walk/librarylayout.h"

#include "convert/engine/mpegaudio.h"
#include "convert/engine/progressestimate.h"
#include "convert/engine/tagcopy.h"
#include "convert/files/pathhelpers.h"
#include "convert/files/sharedfolder.h"
#include "filelist/walk/namepattern.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QtEndian>

#include <algorithm>
#include <limits>
#include <utility>

namespace LibraryLayout {

namespace {

// Absolute, with "/" and no "." or ".." steps; the file system is not asked.
QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(path)).absoluteFilePath());
}

// The library path of file under folder, both clean and absolute.
QString libraryPathUnder(const QString &folder, const QString &file)
{
    // A root ("/", "C:/") is its own parent, so its files keep their full path.
    const bool root = folder.endsWith(u'/');
    if (file.size() > folder.size() && file.startsWith(folder) && (root || file.at(folder.size()) == u'/'))
        return file.mid(root ? folder.size() : folder.lastIndexOf(u'/') + 1);
    return file.mid(file.lastIndexOf(u'/') + 1);
}

QString withDisplayName(const QString &path)
{
    const qsizetype nameStart = path.lastIndexOf(u'/') + 1;
    return path.left(nameStart) + Paths::displayNameFor(path.mid(nameStart));
}

} // namespace

quint64 pathHash(const QString &libraryPath)
{
    const QByteArray digest = QCryptographicHash::hash(
        QDir::fromNativeSeparators(libraryPath).normalized(QString::NormalizationForm_C).toUtf8(),
        QCryptographicHash::Sha1);
    return qFromBigEndian<quint64>(digest.constData());
}

int shardOf(const QString &libraryPath, int count)
{
    Q_ASSERT(count >= 1);
    if (count <= 1)
        return 1;
    return int(pathHash(libraryPath) % quint64(count)) + 1;
}

bool isUpToDate(const QString &output, const QString &source)
{
    const QFileInfo out(output);
    const QFileInfo in(source);
    return out.isFile() && in.isFile() && in.isReadable() && out.lastModified() >= in.lastModified();
}

// Whether --skip-existing leaves source alone: output is up to date, not empty, MPEG audio
// whose stated length is the source's (or its span's) within half a second (the decoder and the
// encoder each add or trim a few frames), and with the ReplayGain frames the run asks for. A
// source whose length cannot be read is converted again, and the conversion reports its problem
// if it has one.
static bool isDone(const QString &output, const QString &source, const SourceSpan &span, ReplayGain::Mode gain)
{
    if (!isUpToDate(output, source) || QFileInfo(output).size() == 0)
        return false;
    // The output first: anything that is not MPEG audio (a file another program left, a
    // damaged one) is redone without reading its source.
    const std::optional<MpegAudio::Facts> audio = MpegAudio::read(output);
    if (!audio)
        return false;
    const std::optional<qint64> sourceMs = MpegAudio::statedLengthMs(source);
    if (!sourceMs)
        return false;
    return qAbs(audio->lengthMs - span.lengthMs(*sourceMs)) <= 500 && ReplayGain::hasFrames(output, gain);
}

QList<SourceSpan> chapterSpans(QList<SourceChapter> chapters)
{
    std::stable_sort(chapters.begin(), chapters.end(),
                     [](const SourceChapter &a, const SourceChapter &b) { return a.startMs < b.startMs; });
    for (qsizetype i = chapters.size() - 1; i > 0; --i) {
        if (chapters.at(i - 1).startMs == chapters.at(i).startMs)
            chapters.removeAt(i);
    }
    QList<SourceSpan> spans;
    for (qsizetype i = 0; i < chapters.size(); ++i) {
        SourceSpan span;
        span.chapter = int(i + 1);
        span.chapters = int(chapters.size());
        span.startMs = i == 0 ? 0 : chapters.at(i).startMs;
        span.endMs = i + 1 < chapters.size() ? chapters.at(i + 1).startMs : -1;
        span.title = chapters.at(i).title.trimmed().isEmpty() ? QStringLiteral("Chapter %1").arg(i + 1)
                                                               : chapters.at(i).title;
        spans.append(span);
    }
    return spans;
}

// A book's chapter table may run past its audio. A chapter that starts after the audio's end
// fails with that said (the decoder would write nothing for it); one that ends past it runs to
// the end. What each span's file fails with, "" for the others.
static QStringList spansPastTheEnd(QList<SourceSpan> &spans, std::optional<qint64> audioMs)
{
    QStringList problems;
    for (SourceSpan &span : spans) {
        problems.append(QString());
        if (!audioMs || span.isWhole())
            continue;
        if (span.startMs >= *audioMs) {
            problems.last() = QStringLiteral("chapter %1 of %2 starts at %3, after the end of the audio at %4")
                                  .arg(span.chapter)
                                  .arg(span.chapters)
                                  .arg(ProgressEstimate::formatDuration(span.startMs), ProgressEstimate::formatDuration(*audioMs));
        } else if (span.hasEnd() && span.endMs > *audioMs) {
            span.endMs = -1;
        }
    }
    return problems;
}

QList<Source> collectSources(const QStringList &paths, const QString &folderPattern,
                             const std::atomic_bool *cancelled, FolderWalk::UnreadableList *unreadable,
                             qsizetype *tildes)
{
    QStringList named;
    QStringList real;   // links resolved, "" for a path that names nothing
    for (const QString &path : paths) {
        named.append(cleanAbsolute(path));
        real.append(QFileInfo(path).canonicalFilePath());
    }
    const auto holds = [](const QString &folder, const QString &path) {
        return !folder.isEmpty() && !path.isEmpty()
               && (path == folder || path.startsWith(folder.endsWith(u'/') ? folder : folder + u'/'));
    };
    // How far out a named path lies: a folder by the length of its real path, a file named
    // directly innermost; of two roads to one folder, the one first in sorted order.
    const auto depth = [&](qsizetype index, const QString &source) {
        return named.at(index) == source ? std::numeric_limits<qsizetype>::max()
                                         : (real.at(index).isEmpty() ? named : real).at(index).size();
    };
    const auto outer = [&](qsizetype index, qsizetype other, const QString &source) {
        const qsizetype mine = depth(index, source);
        const qsizetype theirs = depth(other, source);
        return mine < theirs || (mine == theirs && named.at(index) < named.at(other));
    };

    // A source is known as a folder's entry: the folder by its identity, which every road to it
    // shares, and the entry's name. So two names of one file (hard links, a link to a file) stay
    // two sources, as they are when only the outermost folder is named. "" when the folder is not
    // there.
    QHash<QString, QString> folderIds;   // by the folder as spelled, so that each is looked up once
    const auto entryIdentity = [&folderIds](const QString &path) {
        const QString name = QFileInfo(path).fileName();
        const QString folder = path.chopped(name.size());
        auto id = folderIds.constFind(folder);
        if (id == folderIds.cend())
            id = folderIds.insert(folder, SharedFolder::identityOf(folder.isEmpty() ? QStringLiteral(".") : folder));
        return id->isEmpty() ? QString() : *id + u'/' + name;
    };

    QList<Source> sources;
    QHash<QString, std::pair<qsizetype, qsizetype>> found;   // a source's identity -> its place, its named path
    for (qsizetype i = 0; i < paths.size(); ++i) {
        // Only a named path that holds another or lies in one (as spelled or resolved) can
        // share sources: the others' sources are taken without a look-up.
        bool shares = false;
        for (qsizetype j = 0; j < paths.size() && !shares; ++j) {
            shares = j != i
                     && (holds(named.at(i), named.at(j)) || holds(named.at(j), named.at(i))
                         || holds(real.at(i), real.at(j)) || holds(real.at(j), real.at(i)));
        }
        const QStringList walked = FolderWalk::expandPaths({paths.at(i)}, folderPattern, cancelled, unreadable, tildes);
        for (const QString &path : walked) {
            if (!shares) {
                sources.append({path, paths.at(i)});
                continue;
            }
            const QString clean = cleanAbsolute(path);
            // A path whose folder is not there is known by its spelling.
            const QString identity = entryIdentity(path);
            const QString key = identity.isEmpty() ? clean : identity;
            const auto earlier = found.find(key);
            if (earlier == found.end()) {
                found.insert(key, {sources.size(), i});
                sources.append({path, paths.at(i)});
            } else if (outer(i, earlier->second, clean)) {
                // Spelled by the road it now belongs to, which its library path follows.
                earlier->second = i;
                sources[earlier->first] = {path, paths.at(i)};
            }
        }
    }
    return sources;
}

RunPlan planRun(const QList<Source> &sources, const QString &outputFolder, const RunChoices &choices,
                const std::atomic_bool *cancelled, const ChapterReader &chapters)
{
    RunPlan plan;
    const bool named = choices.keepTree || choices.shardCount > 1;
    const bool tagged = !choices.pattern.isEmpty();
    const bool split = choices.splitChapters && chapters;
    // The whole batch into one folder: the session names the files by itself.
    if (!named && !choices.skipExisting && !tagged && !split) {
        for (const Source &source : sources)
            plan.sources.append(source.path);
        return plan;
    }
    const auto stopped = [cancelled] { return cancelled && cancelled->load(); };

    // One entry per file to make: a source, or each chapter of a split one.
    struct Entry
    {
        qsizetype source;
        SourceSpan span;
        QString name;
        QString problem;   // why it fails before anything runs
    };
    QList<Entry> entries;
    // Library paths for tens of thousands of files: each named path cleaned once.
    QHash<QString, QString> cleanNamed;
    QStringList paths;   // by source
    paths.reserve(sources.size());
    entries.reserve(sources.size());
    for (qsizetype i = 0; i < sources.size(); ++i) {
        const Source &source = sources.at(i);
        if (stopped())
            return plan;
        if (named) {
            auto folder = cleanNamed.constFind(source.named);
            if (folder == cleanNamed.cend())
                folder = cleanNamed.insert(source.named, cleanAbsolute(source.named));
            paths.append(libraryPathUnder(*folder, cleanAbsolute(source.path)));
        }
        const ChapterList listed = split ? chapters(source.path) : ChapterList();
        QList<SourceSpan> spans = chapterSpans(listed.chapters);
        const bool chaptered = !spans.isEmpty();
        if (!chaptered)
            spans.append(SourceSpan());
        QStringList problems = spansPastTheEnd(spans, chaptered ? MpegAudio::statedLengthMs(source.path) : std::nullopt);
        if (!listed.problem.isEmpty())
            problems = {QStringLiteral("its chapters could not be listed: %1").arg(listed.problem)};
        const QString fileName = QFileInfo(source.path).fileName();
        const NamePattern::Fields fields = tagged ? TagCopy::readFields(source.path) : NamePattern::Fields();
        // With keepTree, inside the folder that mirrors the source's.
        const QString folder = choices.keepTree ? paths.constLast().left(paths.constLast().lastIndexOf(u'/') + 1)
                                                : QString();
        for (qsizetype c = 0; c < spans.size(); ++c) {
            const SourceSpan &span = spans.at(c);
            QString name;
            if (tagged || chaptered) {
                // A chapter's file is named from its own tags: its title, track and album.
                NamePattern::Fields own = TagCopy::chapterTags({true, fields, {}, {}, {}}, span).fields;
                own.insert(QStringLiteral("CHAPTER"), {QString::number(qMax(1, span.chapter))});
                own.insert(QStringLiteral("CHAPTERS"), {QString::number(qMax(1, span.chapters))});
                own.insert(QStringLiteral("CHAPTERTITLE"), chaptered ? QStringList{span.title} : own.value(QStringLiteral("TITLE")));
                name = folder + NamePattern::saveName(tagged ? choices.pattern : QLatin1String(kChapterPattern),
                                                      own, fileName);
            } else {
                name = choices.keepTree ? withDisplayName(paths.constLast()) : Paths::displayNameFor(source.path);
            }
            entries.append({i, span, name, problems.value(c)});
        }
    }
    // Two entries whose tags name one file: with skipExisting the later is skipped as if its
    // output were done.
    QStringList names;
    names.reserve(entries.size());
    for (const Entry &entry : std::as_const(entries))
        names.append(entry.name);
    const QStringList settled = NamePattern::settle(names, (tagged || split) && choices.skipExisting);

    for (qsizetype e = 0; e < entries.size() && !stopped(); ++e) {
        const Entry &entry = entries.at(e);
        const QString &source = sources.at(entry.source).path;
        if (choices.shardCount > 1) {
            // By the source's path, so that a book's chapters stay together.
            const QString &path = paths.at(entry.source);
            const QString key = choices.shardByFolder ? path.left(qMax<qsizetype>(0, path.lastIndexOf(u'/'))) : path;
            if (shardOf(key, choices.shardCount) != choices.shardIndex)
                continue;
        }
        if (!entry.problem.isEmpty()) {
            plan.failed.append({source, entry.problem});
            continue;
        }
        const bool taken = settled.at(e).isEmpty();
        const QString &name = taken ? names.at(e) : settled.at(e);
        if (taken || (choices.skipExisting && isDone(QDir(outputFolder).filePath(name), source, entry.span, choices.replayGain))) {
            plan.skipped.append({source, entry.span, name, taken});
            continue;
        }
        plan.sources.append(source);
        plan.spans.append(entry.span);
        plan.saveNames.append(name);
    }
    if (!split)
        plan.spans.clear();
    return plan;
}

} // namespace LibraryLayout
