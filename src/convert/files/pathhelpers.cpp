#include "convert/files/pathhelpers.h"

#include "convert/files/sharedfolder.h"

#include <QDir>
#include <QFileInfo>

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
    QString problem;
    SharedFolder::NewFile probe = SharedFolder::open(folder, &problem).createNew(QStringLiteral(".quorvane-probe-"), {}, &problem);
    if (!probe.isOpen())
        return QStringLiteral("%1 is not writable: %2 (%3)").arg(role, shown, problem);
    if (const QString reason = probe.remove(); !reason.isEmpty())
        return QStringLiteral("files cannot be removed from %1: %2 (%3)").arg(role, shown, reason);
    return {};
}

QString printable(const QString &path)
{
    QString line;
    line.reserve(path.size());
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            line += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            line += c;
    }
    return line;
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
