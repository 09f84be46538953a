#include "convert/files/pathhelpers.h"

#include "convert/files/sharedfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace Paths {

QString displayNameFor(const QString &sourcePath)
{
    // On Windows both separators end a folder; QFileInfo takes only "/" as one elsewhere, where
    // a backslash is an ordinary character in a file name.
    return QFileInfo(QDir::fromNativeSeparators(sourcePath)).completeBaseName() + QStringLiteral(".mp3");
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
    if (const QString link = SharedFolder::strangerLinkOn(folder); !link.isEmpty())
        return QStringLiteral("%1 is reached through a link that another user owns in a shared folder: %2").arg(role, link);
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

QString toolProblem(const QString &tool, const QString &role)
{
    if (!QDir::fromNativeSeparators(tool).contains(u'/')) {
        return tool.isEmpty() || QStandardPaths::findExecutable(tool).isEmpty()
                   ? QStringLiteral("the %1 \"%2\" is not on the search path").arg(role, tool)
                   : QString();
    }
    const QFileInfo file(tool);
    if (!file.exists())
        return QStringLiteral("the %1 was not found: %2").arg(role, QDir::toNativeSeparators(tool));
    if (!file.isFile() || !file.isExecutable())
        return QStringLiteral("the %1 cannot be run: %2").arg(role, QDir::toNativeSeparators(tool));
    return {};
}

QString UniqueNames::claim(const QString &name)
{
    const QString lower = name.toLower();
    if (!m_taken.contains(lower)) {
        m_taken.insert(lower);
        return name;
    }
    const qsizetype dot = name.lastIndexOf(u'.');
    const qsizetype end = dot > name.lastIndexOf(u'/') ? dot : name.size();
    int &number = m_next[lower].number;
    QString candidate;
    do
        candidate = QStringLiteral("%1 (%2)%3").arg(name.left(end)).arg(number++).arg(name.mid(end));
    while (m_taken.contains(candidate.toLower()));
    m_taken.insert(candidate.toLower());
    return candidate;
}

QStringList uniqueNames(const QStringList &names)
{
    UniqueNames book;
    QStringList result;
    for (const QString &name : names)
        result.append(book.claim(name));
    return result;
}

} // namespace Paths
