#pragma once

#include <QStringList>

#include <atomic>

// The folder walk behind "Add All M4A File(s) In Folder", a dropped folder and the sample folder.
// QtCore only, no shared state: it runs on a worker thread, stopped through `cancelled` (polled
// between folders; the results are then incomplete). Names within a folder are sorted ignoring
// case, exact spelling breaking ties, so the rows do not depend on the file system's order.
namespace FolderWalk {

// Something the walk met but cannot take, so that no name is dropped in silence: a folder it
// could not read, or a name no path can carry (on Linux, not valid UTF-8: "Caf\xe9.m4a").
struct Unreadable
{
    QString path;     // native; a folder without its trailing separator
    QString reason;   // "not found", "permission denied", "its name is not valid UTF-8", "not a regular file", ...
};
using UnreadableList = QList<Unreadable>;

// None of these fails: each appends to unreadable (when given) what it could not take, in walk order.

// Bare names of the files in folder matching the wildcard pattern ("*.m4a", "*.m4a;*.m4b" for
// either), ignoring case, hidden ones included. "*.*" matches every file, dotless too, as on Windows.
QStringList listFolderFiles(const QString &folder, const QString &pattern,
                            UnreadableList *unreadable = nullptr);

// Full native paths of the files matching pattern in and below folder, level by level, never
// doubling a separator (also not for a root, "/" or "C:\"). Hidden folders (and, on Windows,
// system ones) are not entered; links and junctions are, but no folder twice, so a link loop
// ends. Names starting with "~" (Office-style lock and temporary files) are left out and counted
// in tildes. A FIFO, device or socket that matches (or a link to one) is unreadable, "not a
// regular file": reading one could wait forever.
QStringList collectFiles(const QString &folder, const QString &pattern,
                         const std::atomic_bool *cancelled = nullptr, UnreadableList *unreadable = nullptr,
                         qsizetype *tildes = nullptr);

// Rows for dropped or named paths, in the given order: a folder contributes collectFiles(item,
// folderPattern) ("*.*" for a drop, "*.m4a" for quorvane-cli), anything else one native row. A file
// that cannot be read, or a name with bytes that are not UTF-8, is unreadable instead; a path that
// names nothing, or a FIFO or a device, stays a row, for the conversion to report as "file not
// found" or "not a regular file".
QStringList expandPaths(const QStringList &paths, const QString &folderPattern,
                        const std::atomic_bool *cancelled = nullptr, UnreadableList *unreadable = nullptr,
                        qsizetype *tildes = nullptr);

} // namespace FolderWalk
