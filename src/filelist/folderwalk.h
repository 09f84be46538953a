#pragma once

#include <QString>
#include <QStringList>

#include <atomic>

// The folder walk behind "Add All M4A File(s) In Folder", a dropped folder and the
// sample folder. QtCore only and free of shared state: the windows run it on a worker
// thread and stop it through the `cancelled` flag, which is polled between folders.
// After a cancel the results are incomplete; the caller that raised the flag decides
// what to do with them.
//
// Within one folder, names come sorted by name, case-insensitively (exact spelling
// breaks ties), so the rows do not depend on the order a file system happens to list.
namespace FolderWalk {

// Extends folders (each entry a native folder path ending in one separator) in place by
// every folder below them, level by level: the entries it had, then all their direct
// subfolders (folder by folder), then the next level, to the bottom. Hidden folders
// (and on Windows system folders) are not entered. Folder links and junctions are entered
// like the folders they lead to, but no folder is entered or listed twice, however many
// roads lead to it, so a link loop ends. A folder that cannot be listed contributes
// nothing; this never fails.
void collectSubfolders(QStringList &folders, const std::atomic_bool *cancelled = nullptr);

// Bare names of the files in folder (with or without trailing separator) that match the
// wildcard pattern ("*.m4a", "*.*"), case-insensitive, hidden files included, folders
// excluded. "*.*" matches every file, also a name without a dot, as on Windows. Empty
// when nothing matched or the folder cannot be listed.
QStringList listFolderFiles(const QString &folder, const QString &pattern);

// Full native paths of the files matching pattern in folder and every folder below it,
// folder by folder in walk order (folder's own files first), names starting with "~"
// left out. Never doubles a separator, also not for a root such as "/" or "C:\".
QStringList collectFiles(const QString &folder, const QString &pattern,
                         const std::atomic_bool *cancelled = nullptr);

// Rows for a drop, item by item in the given order: a folder contributes
// collectFiles(item, "*.*"); anything else (a file, or a path that names nothing) is one
// row, as given but with native separators. Empty items are ignored.
QStringList expandDroppedPaths(const QStringList &paths,
                               const std::atomic_bool *cancelled = nullptr);

// The same with folders searched for folderPattern: quorvane-cli takes "*.m4a" from a folder
// and any file named directly.
QStringList expandPaths(const QStringList &paths, const QString &folderPattern,
                        const std::atomic_bool *cancelled = nullptr);

} // namespace FolderWalk
