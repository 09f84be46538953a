#pragma once

#include <QString>

// Path helpers of the windows and the engine, on native paths. On Windows both separators
// count, elsewhere only "/" (a backslash is an ordinary character in a POSIX file name).
namespace Paths {

// Everything behind the last separator: "/a/b/song.m4a" -> "song.m4a".
QString fileNameFromPath(const QString &path);

// Everything in front of the last dot: "my.song.m4a" -> "my.song"; a name without one whole,
// so that it still yields a usable display name.
QString removeExtension(const QString &name);

// The name a converted source gets in the results and the output folder.
QString displayNameFor(const QString &sourcePath);

// folder + separator + name, never doubling a separator that folder already ends with.
QString joinPath(const QString &folder, const QString &name);

bool endsWithSeparator(const QString &path);
bool isSeparator(QChar c);

enum class FolderUse { Exists, Write };

// The one check behind every folder the program writes into: why folder cannot serve as role
// ("output folder", "the temporary folder"), in one line, or "". It must be a folder; for Write a
// file is also made and removed there, as permission bits do not tell the whole story (an
// administrator writes anywhere, an immutable or read-only folder takes nothing).
QString folderProblem(const QString &folder, const QString &role, FolderUse use = FolderUse::Write);

// A path for a line of text: a control character in it (a newline, a tab) is shown as \xNN,
// so that the line holds one name and stays one line.
QString printable(const QString &path);

// The path of a tool in folder: "ffmpeg" -> folder/ffmpeg (ffmpeg.exe on Windows).
QString toolPath(const QString &folder, const QString &toolName);

} // namespace Paths
