#pragma once

#include <QList>
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

// Something the walk met but cannot take, so that no name is dropped in silence: a
// folder it could not read, or a name no path of this program can carry (on Linux, a
// name that is not valid UTF-8; its odd bytes are shown escaped, "Caf\xe9.m4a").
struct Unreadable
{
    QString path;     // native; a folder without its trailing separator
    QString reason;   // "not found", "permission denied", "its name is not valid UTF-8", ...
};
using UnreadableList = QList<Unreadable>;

// Extends folders (each entry a native folder path ending in one separator) in place by
// every folder below them, level by level: the entries it had, then all their direct
// subfolders (folder by folder), then the next level, to the bottom. Hidden folders
// (and on Windows system folders) are not entered. Folder links and junctions are entered
// like the folders they lead to, but no folder is entered or listed twice, however many
// roads lead to it, so a link loop ends. A folder that cannot be listed contributes
// nothing; this never fails. Every function here that takes unreadable appends to it (when
// given) what it could not take, in walk order.
void collectSubfolders(QStringList &folders, const std::atomic_bool *cancelled = nullptr,
                       UnreadableList *unreadable = nullptr);

// Bare names of the files in folder (with or without trailing separator) that match the
// wildcard pattern ("*.m4a", "*.*"; "*.m4a;*.m4b" for either), case-insensitive, hidden
// files included, folders excluded. "*.*" matches every file, also a name without a dot,
// as on Windows. Empty when nothing matched or the folder cannot be listed.
QStringList listFolderFiles(const QString &folder, const QString &pattern,
                            UnreadableList *unreadable = nullptr);

// Full native paths of the files matching pattern in folder and every folder below it,
// folder by folder in walk order (folder's own files first), names starting with "~"
// (Office-style lock and temporary files) left out and, when tildes is given, counted
// there. Never doubles a separator, also not for a root such as "/" or "C:\".
QStringList collectFiles(const QString &folder, const QString &pattern,
                         const std::atomic_bool *cancelled = nullptr, UnreadableList *unreadable = nullptr,
                         qsizetype *tildes = nullptr);

// Rows for a drop, item by item in the given order: a folder contributes
// collectFiles(item, "*.*"); anything else (a file, or a path that names nothing) is one
// row, as given but with native separators. Empty items are ignored. A file that is there
// but cannot be read (or lies in a folder that cannot be entered) is no row but unreadable,
// and so is a path that names nothing because its name had bytes that are not UTF-8 (it
// comes with replacement characters); a path that simply names nothing stays a row, for the
// conversion to report as "file not found".
QStringList expandDroppedPaths(const QStringList &paths, const std::atomic_bool *cancelled = nullptr,
                               UnreadableList *unreadable = nullptr);

// The same with folders searched for folderPattern: quorvane-cli takes "*.m4a" from a folder
// and any file named directly.
QStringList expandPaths(const QStringList &paths, const QString &folderPattern,
                        const std::atomic_bool *cancelled = nullptr, UnreadableList *unreadable = nullptr,
                        qsizetype *tildes = nullptr);

} // namespace FolderWalk
