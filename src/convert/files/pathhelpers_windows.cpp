#include "convert/files/pathhelpers.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace Paths {

QString systemPath(const QString &path)
{
    const QString native = QDir::toNativeSeparators(path);
    // The long form takes no "." or ".." and no "/": the system passes it on as it is.
    constexpr qsizetype kOldLimit = 259;   // MAX_PATH less the terminating zero
    if (native.size() > kOldLimit && !native.startsWith(QStringLiteral("\\\\?\\"))) {
        if (native.startsWith(QStringLiteral("\\\\")))
            return QStringLiteral("\\\\?\\UNC\\") + QDir::toNativeSeparators(QDir::cleanPath(path)).mid(2);
        if (native.size() > 2 && native.at(1) == u':' && native.at(2) == u'\\')
            return QStringLiteral("\\\\?\\") + QDir::toNativeSeparators(QDir::cleanPath(path));
    }
    return native;
}

std::filesystem::path filesystemPath(const QString &path)
{
    return std::filesystem::path(path.toStdWString());
}

bool startsWithDrive(const QString &path)
{
    return path.size() >= 2 && path.at(1) == u':' && path.at(0).isLetter();
}

QString toolPath(const QString &folder, const QString &toolName)
{
    return QDir::toNativeSeparators(QDir(folder).filePath(toolName + QStringLiteral(".exe")));
}

// The user's Music folder: a standard user may not create files at the top of the system drive.
QString defaultOutputFolder()
{
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    return QDir::toNativeSeparators(QFileInfo(music).isDir() ? music : QDir::homePath());
}

} // namespace Paths
