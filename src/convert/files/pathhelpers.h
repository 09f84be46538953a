#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <filesystem>

// Path helpers of the windows and the engine, on native paths; for splitting and joining
// paths, QFileInfo and QDir. What differs between the systems is in pathhelpers_posix.cpp and
// pathhelpers_windows.cpp.
namespace Paths {

// The name a converted source gets in the results and the output folder: its name up to the
// last dot, ".mp3" behind ("my.song.m4a" -> "my.song.mp3"; a name without a dot stays whole).
QString displayNameFor(const QString &sourcePath);

enum class FolderUse { Exists, Write };

// The one check behind every folder the program writes into: why folder cannot serve as role
// ("output folder", "the temporary folder"), in one line, or "". It must be a folder; for Write a
// file is also made and removed there, as permission bits do not tell the whole story (an
// administrator writes anywhere, an immutable or read-only folder takes nothing), and for Write it
// must not be reached through another user's link in a sticky folder (SharedFolder::strangerLinkOn).
QString folderProblem(const QString &folder, const QString &role, FolderUse use = FolderUse::Write);

// A path for a line of text: a control character in it (a newline, a tab) is shown as \xNN,
// so that the line holds one name and stays one line.
QString printable(const QString &path);

// A path as the system's own file calls take it: native, and on Windows an absolute path
// past the old 260-character limit gets the "\\?\" form that has none (Qt's own file
// calls do the same). Only for absolute paths and calls of the system or of libraries.
QString systemPath(const QString &path);

// A path as the C++ library's file calls (std::filesystem) take it: the name's bytes as the
// system stores them on POSIX, its UTF-16 on Windows.
std::filesystem::path filesystemPath(const QString &path);

// Whether path begins with a drive ("C:\music", "C:music"): on Windows only, where elsewhere
// "C:" is part of a name like any other.
bool startsWithDrive(const QString &path);

// Why tool cannot be run as role ("decoder", "encoder"), in one line, or "": a path must name an
// executable file, a bare name one on the search path. Checked before a batch starts, so that a
// missing tool is named once rather than by every file.
QString toolProblem(const QString &tool, const QString &role);

// The path of a tool in folder: "ffmpeg" -> folder/ffmpeg (ffmpeg.exe on Windows).
QString toolPath(const QString &folder, const QString &toolName);

// The output folder offered until the user chooses one, native: the user's Music folder on
// Windows, the home folder elsewhere; the home folder also stands in for a Music folder that
// is not there.
QString defaultOutputFolder();

// Names made unique as they come: a repeated "song.mp3" becomes "song (2).mp3", then
// "song (3).mp3", ignoring letter case as Windows and macOS do. A name counts as repeated only
// within its own folder ("a/song.mp3" and "b/song.mp3" both stay).
class UniqueNames
{
public:
    // name, or its next free " (n)" form; taken from then on.
    QString claim(const QString &name);

private:
    struct Next { int number = 2; };
    QSet<QString> m_taken;        // lower case
    // For each name asked for, the number to try next, so a thousand sources called
    // "01 Track.m4a" cost a thousand steps, not half a million.
    QHash<QString, Next> m_next;
};
QStringList uniqueNames(const QStringList &names);

} // namespace Paths
