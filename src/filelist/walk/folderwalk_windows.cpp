#include "filelist/walk/folderwalk_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <qt_windows.h>

#include <algorithm>

// Windows keeps to QDir: it brings the hidden attribute, and the walk there is not the
// one measured against find.

namespace FolderWalk::Detail {

namespace {

// QDir already leaves out folders with the hidden attribute; system folders are left out too.
bool isSkippedOnWindows(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t *>(path.utf16()));
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_SYSTEM);
}

// Names of the folders directly in folder (an entry, ending in its separator) that the walk enters,
// links and junctions among them.
QStringList subfolderNames(const QString &folder)
{
    // No QDir::Hidden: hidden folders are not entered.
    QStringList names = QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    names.removeIf([&folder](const QString &name) { return isSkippedOnWindows(folder + name); });
    std::sort(names.begin(), names.end(), lessByName);
    return names;
}

// Unsorted names of the files in folder, hidden ones included.
QStringList fileNames(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Unsorted);
}

} // namespace

void walk(QStringList &folders, const NameMatcher &matcher, QStringList &rows, const std::atomic_bool *cancelled, UnreadableList *unreadable, qsizetype *tildes)
{
    // A folder is known by its canonical path, so one reached twice (through a link or junction, or
    // given twice) is listed once and a link loop ends. An empty one marks an entry not walked.
    QSet<QString> known;
    QStringList canonical;
    canonical.reserve(folders.size());
    for (const QString &folder : std::as_const(folders)) {
        QString path = QFileInfo(folder).canonicalFilePath();
        if (!path.isEmpty() && !known.contains(path))
            known.insert(path);
        else if (path.isEmpty())
            note(unreadable, shownFolder(folder), QStringLiteral("not found"));
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
        if (!QDir(folder).isReadable()) {
            note(unreadable, shownFolder(folder), QStringLiteral("permission denied"));
            continue;
        }
        for (const QString &name : subfolderNames(folder)) {
            const QString child = folder + name + QDir::separator();
            const QString childCanonical = QFileInfo(child).canonicalFilePath();
            if (childCanonical.isEmpty() || known.contains(childCanonical))
                continue;
            known.insert(childCanonical);
            folders.append(child);
            canonical.append(childCanonical);
        }
        QStringList names = fileNames(folder);
        keepMatchingSorted(names, 0, matcher, Tilde::Drop, tildes);
        for (const QString &name : std::as_const(names))
            rows.append(folder + name);
    }
}

QStringList unsortedFileNames(const QString &folder, const NameMatcher &, UnreadableList *unreadable)
{
    if (!QDir(folder).isReadable())
        note(unreadable, folder, QStringLiteral("permission denied"));
    return fileNames(folder);
}

QString namedFileProblem(const QString &path)
{
    QFile file(path);
    if (QFileInfo(path).isFile() && !file.open(QIODevice::ReadOnly))
        return file.errorString();
    return {};
}

} // namespace FolderWalk::Detail
