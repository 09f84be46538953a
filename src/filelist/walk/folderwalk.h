#pragma once

#include <QStringList>

#include <atomic>

// The folder walk behind "Add All M4A File(s) In Folder", a dropped folder and the sample
// folder. QtCore only and free of shared state: the windows run it on a worker thread and
// stop it through the `cancelled` flag, polled between folders (the results are then
// incomplete). Within one folder, names come sorted case-insensitively (exact spelling
// breaks ties), so the rows do not depend on the order a file system lists.
namespace FolderWalk {

// Something the walk met but cannot take, so that no name is dropped in silence: a folder it
// could not read, or a name no path can carry (on Linux, not valid UTF-8: "Caf\xe9.m4a").
struct Unreadable
{
    QString path;     // native; a folder without its trailing separator
    QString reason;   // "not found", "permission denied", "its name is not valid UTF-8", ...
};
using UnreadableList = QList<Unreadable>;

// Extends folders (native paths ending in one separator) in place by every folder below
// them, level by level. Hidden folders (and on Windows system folders) are not entered.
// Folder links and junctions are entered like their folders, but no folder twice, so a link
// loop ends. A folder that cannot be listed contributes nothing; this never fails. Every
// function here appends to unreadable (when given) what it could not take, in walk order.
void collectSubfolders(QStringList &folders, const std::atomic_bool *cancelled = nullptr,
                       UnreadableList *unreadable = nullptr);

// Bare names of the files in folder that match the wildcard pattern ("*.m4a", "*.*";
// "*.m4a;*.m4b" for either), ignoring case, hidden files included. "*.*" matches every
// file, also one without a dot, as on Windows.
QStringList listFolderFiles(const QString &folder, const QString &pattern,
                            UnreadableList *unreadable = nullptr);

// Full native paths of the files matching pattern in folder and every folder below it, in
// walk order, names starting with "~" (Office-style lock and temporary files) left out and
// counted in tildes. Never doubles a separator, also not for a root such as "/" or "C:\".
QStringList collectFiles(const QString &folder, const QString &pattern,
                         const std::atomic_bool *cancelled = nullptr, UnreadableList *unreadable = nullptr,
                         qsizetype *tildes = nullptr);

// Rows for dropped or named paths, in the given order: a folder contributes
// collectFiles(item, folderPattern) ("*.*" for a drop, "*.m4a" for quorvane-cli); anything
// else is one row, with native separators. A file that cannot be read, or a path whose name
// had bytes that are not UTF-8, is unreadable instead; a path that simply names nothing stays
// a row, for the conversion to report as "file not found".
QStringList expandPaths(const QStringList &paths, const QString &folderPattern,
                        const std::atomic_bool *cancelled = nullptr, UnreadableList *unreadable = nullptr,
                        qsizetype *tildes = nullptr);

} // namespace FolderWalk
