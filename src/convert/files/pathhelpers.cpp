#include "convert/files/pathhelpers.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>

namespace Paths {

bool isSeparator(QChar c)
{
#ifdef Q_OS_WIN
    return c == u'\\' || c == u'/';
#else
    return c == u'/';
#endif
}

bool endsWithSeparator(const QString &path)
{
    return !path.isEmpty() && isSeparator(path.back());
}

QString fileNameFromPath(const QString &path)
{
    return path.right(std::find_if(path.crbegin(), path.crend(), isSeparator) - path.crbegin());
}

QString removeExtension(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot < 0 ? name : name.left(dot);
}

QString displayNameFor(const QString &sourcePath)
{
    return removeExtension(fileNameFromPath(sourcePath)) + QStringLiteral(".mp3");
}

QString joinPath(const QString &folder, const QString &name)
{
    if (folder.isEmpty() || endsWithSeparator(folder))
        return folder + name;
    return folder + QDir::separator() + name;
}

QString folderProblem(const QString &folder, const QString &role, FolderUse use)
{
    const QString shown = QDir::toNativeSeparators(folder);
    const QFileInfo info(folder);
    if (folder.isEmpty() || !info.exists())
        return QStringLiteral("%1 does not exist: %2").arg(role, shown);
    if (!info.isDir())
        return QStringLiteral("%1 is not a folder: %2").arg(role, shown);
    if (use == FolderUse::Exists)
        return {};
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".quorvane-probe-XXXXXX")));
    probe.setAutoRemove(false);
    if (!probe.open())
        return QStringLiteral("%1 is not writable: %2 (%3)").arg(role, shown, probe.errorString());
    probe.close();
    if (!probe.remove())
        return QStringLiteral("files cannot be removed from %1: %2 (%3)").arg(role, shown, probe.errorString());
    return {};
}

QString toolPath(const QString &folder, const QString &toolName)
{
#ifdef Q_OS_WIN
    return joinPath(QDir::toNativeSeparators(folder), toolName + QStringLiteral(".exe"));
#else
    return joinPath(QDir::toNativeSeparators(folder), toolName);
#endif
}

} // namespace Paths
