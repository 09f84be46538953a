#include "librarylayout.h"

#include "convert/pathhelpers.h"
#include "filelist/folderwalk.h"
#include "results/resultsaver.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <limits>

namespace LibraryLayout {

namespace {

// Absolute, with "/" and no "." or ".." steps; the file system is not asked.
QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(path)).absoluteFilePath());
}

} // namespace

QString libraryPath(const QString &named, const QString &source)
{
    const QString folder = cleanAbsolute(named);
    const QString file = cleanAbsolute(source);
    const QString prefix = folder.endsWith(u'/') ? folder : folder + u'/';
    if (file.startsWith(prefix)) {
        // A root ("/", "C:/") is its own parent, so its files keep their full path.
        return QDir(QFileInfo(folder).absolutePath()).relativeFilePath(file);
    }
    return QFileInfo(file).fileName();
}

QString keepTreeOutputPath(const QString &named, const QString &source)
{
    const QString path = libraryPath(named, source);
    const qsizetype nameStart = path.lastIndexOf(u'/') + 1;
    return path.left(nameStart) + Paths::displayNameFor(path.mid(nameStart));
}

quint64 pathHash(const QString &libraryPath)
{
    constexpr quint64 offsetBasis = 14695981039346656037ULL;
    constexpr quint64 prime = 1099511628211ULL;
    const QByteArray bytes =
        QDir::fromNativeSeparators(libraryPath).normalized(QString::NormalizationForm_C).toUtf8();
    quint64 hash = offsetBasis;
    for (const char byte : bytes) {
        hash ^= quint8(byte);
        hash *= prime;
    }
    return hash;
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
    if (!out.isFile() || !in.isFile() || !in.isReadable())
        return false;
    return out.lastModified() >= in.lastModified();
}

QList<Source> collectSources(const QStringList &paths, const QString &folderPattern,
                             const std::atomic_bool *cancelled)
{
    QList<Source> sources;
    QHash<QString, qsizetype> places;   // a source's clean path -> its place in sources
    // How far out a named path lies: a folder by the length of its clean path, a file
    // named directly innermost of all.
    const auto depth = [](const QString &named, const QString &source) {
        const QString path = cleanAbsolute(named);
        return path == source ? std::numeric_limits<qsizetype>::max() : path.size();
    };
    for (const QString &named : paths) {
        for (const QString &path : FolderWalk::expandPaths({named}, folderPattern, cancelled)) {
            const QString key = cleanAbsolute(path);
            const auto place = places.constFind(key);
            if (place == places.cend()) {
                places.insert(key, sources.size());
                sources.append({path, named});
            } else if (Source &kept = sources[*place]; depth(named, key) < depth(kept.named, key)) {
                kept.named = named;
            }
        }
    }
    return sources;
}

RunPlan planRun(const QList<Source> &sources, const QString &outputFolder, const RunChoices &choices)
{
    QStringList names;
    names.reserve(sources.size());
    for (const Source &source : sources) {
        names.append(choices.keepTree ? keepTreeOutputPath(source.named, source.path)
                                      : Paths::displayNameFor(source.path));
    }
    names = ResultSaver::uniquePaths(names);

    RunPlan plan;
    for (qsizetype i = 0; i < sources.size(); ++i) {
        const Source &source = sources.at(i);
        if (choices.shardCount > 1
            && shardOf(libraryPath(source.named, source.path), choices.shardCount) != choices.shardIndex)
            continue;
        if (choices.skipExisting
            && isUpToDate(Paths::joinPath(outputFolder, QDir::toNativeSeparators(names.at(i))), source.path)) {
            plan.skipped.append({source.path, names.at(i)});
            continue;
        }
        plan.sources.append(source.path);
        plan.saveNames.append(names.at(i));
    }
    return plan;
}

} // namespace LibraryLayout
