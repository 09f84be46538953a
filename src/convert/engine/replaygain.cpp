#include "convert/engine/replaygain.h"

#include "convert/files/pathhelpers.h"

#include <QFileInfo>
#include <QStandardPaths>

namespace ReplayGain {

QStringList arguments(Mode mode, const QStringList &files)
{
    QStringList list{QStringLiteral("-q"), QStringLiteral("-s"), QStringLiteral("i"), QStringLiteral("-I"),
                     QStringLiteral("3"), QStringLiteral("-k")};
    if (mode == Mode::Album)
        list.append(QStringLiteral("-a"));
    // A name that begins with "-" is still a file.
    list.append(QStringLiteral("--"));
    return list + files;
}

QString albumKey(const QString &outputName, const QString &album)
{
    if (album.trimmed().isEmpty())
        return {};
    const qsizetype slash = outputName.lastIndexOf(u'/');
    return outputName.left(qMax<qsizetype>(0, slash)) + u'\n' + album;
}

QString toolPath(const QString &appFolder)
{
    const QString beside = Paths::toolPath(appFolder, QStringLiteral("loudgain"));
    if (QFileInfo(beside).isExecutable())
        return beside;
    const QString found = QStandardPaths::findExecutable(QStringLiteral("loudgain"));
    return found.isEmpty() ? beside : found;
}

} // namespace ReplayGain
