#include "resultsaver.h"

#include "convert/pathhelpers.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

namespace ResultSaver {

namespace {

bool isFolder(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.exists() && info.isDir();
}

QString copyAtomically(const QString &from, const QString &to)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the converted file: %1").arg(source.errorString());
    QSaveFile target(to);
    if (!target.open(QIODevice::WriteOnly))
        return target.errorString();
    constexpr qint64 kChunk = 1 << 20;
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(kChunk);
        if (chunk.isEmpty() && source.error() != QFileDevice::NoError) {
            target.cancelWriting();
            return QStringLiteral("cannot read the converted file: %1").arg(source.errorString());
        }
        if (target.write(chunk) != chunk.size()) {
            const QString reason = target.errorString();
            target.cancelWriting();
            return reason;
        }
    }
    if (!target.commit())
        return target.errorString();
    return {};
}

} // namespace

QString usableFolder(const QString &text)
{
    if (isFolder(text))
        return text;
    const QString trimmed = text.trimmed();
    return isFolder(trimmed) ? trimmed : QString();
}

QStringList uniqueNames(const QStringList &names)
{
    QStringList result;
    QSet<QString> taken;
    result.reserve(names.size());
    for (const QString &name : names) {
        QString candidate = name;
        const QString base = Paths::removeExtension(name);
        const QString extension = name.mid(base.size());
        for (int n = 2; taken.contains(candidate.toLower()); ++n)
            candidate = QStringLiteral("%1 (%2)%3").arg(base).arg(n).arg(extension);
        taken.insert(candidate.toLower());
        result.append(candidate);
    }
    return result;
}

QList<Failure> save(const QString &folder, const QList<Item> &items)
{
    QList<Failure> failures;
    for (const Item &item : items) {
        const QString target = Paths::joinPath(folder, item.fileName);
        const QString reason = copyAtomically(item.sourceFile, target);
        if (!reason.isEmpty())
            failures.append({target, reason});
    }
    return failures;
}

} // namespace ResultSaver
