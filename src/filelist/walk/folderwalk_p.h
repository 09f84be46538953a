#pragma once

#include "filelist/walk/folderwalk.h"

#include <QRegularExpression>

// Inside the folder walk. Reading folders is each system's own: folderwalk_posix.cpp or
// folderwalk_windows.cpp provides the last three functions here; folderwalk.cpp the rest.
namespace FolderWalk::Detail {

inline bool isCancelled(const std::atomic_bool *cancelled)
{
    return cancelled && cancelled->load(std::memory_order_relaxed);
}

// Case-insensitive, exact spelling breaking ties.
bool lessByName(QStringView a, QStringView b);

// Whether a name matches a wildcard pattern, ignoring case. The patterns in use need only a
// look at the end of the name, so a regular expression is compiled only for anything else.
class NameMatcher
{
public:
    explicit NameMatcher(const QString &pattern);
    bool matches(QStringView name) const;

private:
    QStringList m_endings;           // one for each alternative, when each is "*" and an ending
    QRegularExpression m_expression; // otherwise
};

// A folder path in native form ending in exactly one separator ("/", "C:\" for a root).
QString asFolderEntry(const QString &path);

// A folder entry as the user knows it: without its trailing separator, unless it is a root.
QString shownFolder(const QString &entry);

enum class Tilde { Keep, Drop };

// Whether the walk takes a file of this name: it matches and, with Tilde::Drop, has no "~" in front.
inline bool isTaken(QStringView name, const NameMatcher &matcher, Tilde tilde)
{
    return !(tilde == Tilde::Drop && name.startsWith(u'~')) && matcher.matches(name);
}

void note(UnreadableList *unreadable, const QString &path, const QString &reason);

// Keeps the paths whose name (behind prefixLength) is taken, sorted; counts in tildes those left for "~".
void keepMatchingSorted(QStringList &paths, qsizetype prefixLength, const NameMatcher &matcher, Tilde tilde,
                        qsizetype *tildes = nullptr);

// Extends folders (entries, see asFolderEntry) level by level, appending each folder's rows as it is reached.
void walk(QStringList &folders, const NameMatcher &matcher, QStringList &rows, const std::atomic_bool *cancelled,
          UnreadableList *unreadable, qsizetype *tildes = nullptr);

// The names of the files in folder, unsorted, hidden ones included; notes what it cannot
// take (a file only when matcher takes its name).
QStringList unsortedFileNames(const QString &folder, const NameMatcher &matcher, UnreadableList *unreadable);

// Why a path named directly (no folder) cannot be taken, or "" when it can or names nothing
// (the conversion says "file not found" for that).
QString namedFileProblem(const QString &path);

} // namespace FolderWalk::Detail
