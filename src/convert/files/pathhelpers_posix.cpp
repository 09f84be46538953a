#include "convert/files/pathhelpers.h"

#include <QDir>
#include <QFile>

namespace Paths {

QString systemPath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

std::filesystem::path filesystemPath(const QString &path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

bool startsWithDrive(const QString &)
{
    return false;
}

QString toolPath(const QString &folder, const QString &toolName)
{
    return QDir::toNativeSeparators(QDir(folder).filePath(toolName));
}

QString defaultOutputFolder()
{
    return QDir::toNativeSeparators(QDir::homePath());
}

} // namespace Paths
