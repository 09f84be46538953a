#include "filelist/walk/folderwalk_p.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace FolderWalk {

namespace Detail {

bool lessByName(QStringView a, QStringView b)
{
    const int folded = a.compare(b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a < b;
}

NameMatcher::NameMatcher(const QString &pattern)
{
    // On Windows "*.*" names every file, also one without a dot, as "*" does.
    const QStringList alternatives = (pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern).split(u';');
    const auto isEnding = [](const QString &one) { // "*" and then no wildcard
        return one.lastIndexOf(u'*') == 0 && !one.contains(u'?') && !one.contains(u'[');
    };
    if (!std::all_of(alternatives.begin(), alternatives.end(), isEnding)) {
        m_expression = QRegularExpression::fromWildcard(pattern, Qt::CaseInsensitive);
        return;
    }
    for (const QString &one : alternatives)
        m_endings.append(one.mid(1));
}

bool NameMatcher::matches(QStringView name) const
{
    if (m_endings.isEmpty())
        return m_expression.match(name).hasMatch();
    return std::any_of(m_endings.begin(), m_endings.end(),
                       [name](const QString &ending) { return name.endsWith(ending, Qt::CaseInsensitive); });
}

QString asFolderEntry(const QString &path)
{
    QString native = QDir::toNativeSeparators(path);
    while (native.endsWith(QString(2, QDir::separator())))
        native.chop(1);
    if (!native.isEmpty() && !native.endsWith(QDir::separator()))
        native += QDir::separator();
    return native;
}

QString shownFolder(const QString &entry)
{
    const bool root = entry.size() == 1 || (entry.size() == 3 && entry.at(1) == u':');
    return !root && entry.endsWith(QDir::separator()) ? entry.chopped(1) : entry;
}

void note(UnreadableList *unreadable, const QString &path, const QString &reason)
{
    if (unreadable)
        unreadable->append({QDir::toNativeSeparators(path), reason});
}

void keepMatchingSorted(QStringList &paths, qsizetype prefixLength, const NameMatcher &matcher, Tilde tilde,
                        qsizetype *tildes)
{
    paths.removeIf([&](const QString &path) {
        const QStringView name = QStringView(path).mid(prefixLength);
        if (isTaken(name, matcher, tilde))
            return false;
        if (tildes && name.startsWith(u'~') && matcher.matches(name))
            ++*tildes;
        return true;
    });
    std::sort(paths.begin(), paths.end(), [prefixLength](const QString &a, const QString &b) {
        return lessByName(QStringView(a).mid(prefixLength), QStringView(b).mid(prefixLength));
    });
}

} // namespace Detail

using namespace Detail;

QStringList listFolderFiles(const QString &folder, const QString &pattern, UnreadableList *unreadable)
{
    // An empty path would make QDir list the working folder.
    if (folder.isEmpty())
        return {};
    const NameMatcher matcher(pattern);
    QStringList names = unsortedFileNames(folder, matcher, unreadable);
    keepMatchingSorted(names, 0, matcher, Tilde::Keep);
    return names;
}

QStringList collectFiles(const QString &folder, const QString &pattern,
                         const std::atomic_bool *cancelled, UnreadableList *unreadable, qsizetype *tildes)
{
    const QString start = asFolderEntry(folder);
    if (start.isEmpty())
        return {};

    // One pass: each folder is read once, for its subfolders and its files together.
    const NameMatcher matcher(pattern);
    QStringList folders{start};
    QStringList rows;
    walk(folders, matcher, rows, cancelled, unreadable, tildes);
    return rows;
}

QStringList expandPaths(const QStringList &paths, const QString &folderPattern, const std::atomic_bool *cancelled,
                        UnreadableList *unreadable, qsizetype *tildes)
{
    QStringList rows;
    for (const QString &path : paths) {
        if (isCancelled(cancelled))
            break;
        if (path.isEmpty())
            continue;
        // A dropped folder is walked even when it is hidden itself: the user picked it.
        if (QFileInfo(path).isDir())
            rows += collectFiles(path, folderPattern, cancelled, unreadable, tildes);
        else if (const QString problem = namedFileProblem(path); !problem.isEmpty())
            note(unreadable, path, problem);
        else
            rows.append(QDir::toNativeSeparators(path));
    }
    return rows;
}

} // namespace FolderWalk
