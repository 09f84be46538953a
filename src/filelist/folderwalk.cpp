#include "folderwalk.h"

#include "convert/pathhelpers.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace FolderWalk {

namespace {

bool isCancelled(const std::atomic_bool *cancelled)
{
    return cancelled && cancelled->load(std::memory_order_relaxed);
}

void sortByName(QStringList &names)
{
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
}

// Leaves the names that match the wildcard pattern, ignoring case. QDir's own name
// filter compiles a regular expression for every folder; the patterns the windows use
// ("*.m4a", "*.*") need no more than a look at the end of the name.
void keepMatching(QStringList &names, const QString &pattern)
{
    // On Windows "*.*" names every file, also one without a dot.
    if (pattern == QLatin1String("*") || pattern == QLatin1String("*.*"))
        return;
    const QStringView tail = QStringView(pattern).mid(1);
    const auto isWildcard = [](QChar c) { return c == u'*' || c == u'?' || c == u'['; };
    if (pattern.startsWith(u'*') && std::none_of(tail.begin(), tail.end(), isWildcard)) {
        names.removeIf([tail](const QString &name) { return !name.endsWith(tail, Qt::CaseInsensitive); });
        return;
    }
    const QRegularExpression expression = QRegularExpression::fromWildcard(pattern, Qt::CaseInsensitive);
    names.removeIf([&expression](const QString &name) { return !expression.match(name).hasMatch(); });
}

// A folder path in native form ending in exactly one separator. A root keeps its own
// separator ("/", "C:\"); a run of trailing separators shrinks to one.
QString asFolderEntry(const QString &path)
{
    QString native = QDir::toNativeSeparators(path);
    qsizetype end = native.size();
    while (end > 1 && Paths::isSeparator(native.at(end - 1)) && Paths::isSeparator(native.at(end - 2)))
        --end;
    native.truncate(end);
    if (!native.isEmpty() && !Paths::endsWithSeparator(native))
        native += QDir::separator();
    return native;
}

#ifdef Q_OS_WIN
// QDir already leaves out folders with the hidden attribute. System folders are left out
// too, and a junction is a folder link that QDir may not count as a symlink.
bool isSkippedOnWindows(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t *>(path.utf16()));
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_SYSTEM))
        return true;
    return QFileInfo(path).isJunction();
}
#endif

// Names of the folders directly in folder that the walk enters.
QStringList subfolderNames(const QString &folder)
{
    // No QDir::Hidden: hidden folders are not entered. No symlinks: a link is not followed.
    QStringList names = QDir(folder).entryList(
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Unsorted);
#ifdef Q_OS_WIN
    names.removeIf([&folder](const QString &name) { return isSkippedOnWindows(Paths::joinPath(folder, name)); });
#endif
    sortByName(names);
    return names;
}

} // namespace

void collectSubfolders(QStringList &folders, const std::atomic_bool *cancelled)
{
    // Every folder is known by its canonical path, so a folder that can be reached twice
    // (a junction, a link the filters let through, a start folder given twice) is listed
    // once. An empty canonical path marks an entry that is not walked.
    QSet<QString> known;
    QStringList canonical;
    canonical.reserve(folders.size());
    for (const QString &folder : std::as_const(folders)) {
        QString path = QFileInfo(folder).canonicalFilePath();
        if (!path.isEmpty() && !known.contains(path))
            known.insert(path);
        else
            path.clear();
        canonical.append(path);
    }

    // The list is its own queue: children go to the end, so the order is level by level.
    for (qsizetype i = 0; i < folders.size(); ++i) {
        if (isCancelled(cancelled))
            return;
        if (canonical.at(i).isEmpty())
            continue;
        const QString folder = folders.at(i);
        for (const QString &name : subfolderNames(folder)) {
            const QString child = Paths::joinPath(folder, name) + QDir::separator();
            const QString childCanonical = QFileInfo(child).canonicalFilePath();
            if (childCanonical.isEmpty() || known.contains(childCanonical))
                continue;
            known.insert(childCanonical);
            folders.append(child);
            canonical.append(childCanonical);
        }
    }
}

QStringList listFolderFiles(const QString &folder, const QString &pattern)
{
    // An empty path would make QDir list the working folder.
    if (folder.isEmpty())
        return {};
    // No QDir::System: on Unix it would bring in sockets and pipes, which are no songs.
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Unsorted);
    keepMatching(names, pattern);
    sortByName(names);
    return names;
}

QStringList collectFiles(const QString &folder, const QString &pattern,
                         const std::atomic_bool *cancelled)
{
    const QString start = asFolderEntry(folder);
    if (start.isEmpty())
        return {};

    // The tree is walked to the bottom before any file is listed: rows come level by level.
    QStringList folders{start};
    collectSubfolders(folders, cancelled);

    QStringList rows;
    for (const QString &entry : std::as_const(folders)) {
        if (isCancelled(cancelled))
            break;
        for (const QString &name : listFolderFiles(entry, pattern)) {
            // Office-style lock and temporary files begin with "~".
            if (!name.startsWith(u'~'))
                rows.append(Paths::joinPath(entry, name));
        }
    }
    return rows;
}

QStringList expandDroppedPaths(const QStringList &paths, const std::atomic_bool *cancelled)
{
    QStringList rows;
    for (const QString &path : paths) {
        if (isCancelled(cancelled))
            break;
        if (path.isEmpty())
            continue;
        // A dropped folder is walked even when it is hidden itself: the user picked it.
        if (QFileInfo(path).isDir())
            rows += collectFiles(path, QStringLiteral("*.*"), cancelled);
        else
            rows.append(QDir::toNativeSeparators(path));
    }
    return rows;
}

} // namespace FolderWalk
