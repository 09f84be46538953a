#include "convert/saving/resultsaver.h"

#include "convert/files/pathhelpers.h"
#include "convert/files/processidentity.h"
#include "convert/files/sharedfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

namespace ResultSaver {

namespace {

// A short name for the copy in progress: QSaveFile's (the destination's plus a suffix) no
// longer fits near the 255-byte name limit. Hidden, and marked with its program
// (ProcessIdentity), so that what a killed program left can be told from a running copy's,
// also one on another machine or in a container that shares the folder.
QString partPrefix()
{
    return QStringLiteral(".quorvane-%1-").arg(ProcessIdentity::mark());
}

// Gives part the name wanted in its folder, or else the next free " (n)" form of it, each
// claimed as it is written so that nothing there is replaced; *given says which it got when
// that was not wanted.
QString claimFree(SharedFolder::NewFile &part, const QString &wanted, QString *given)
{
    static const QRegularExpression numbered(QStringLiteral("^(.*) \\((\\d+)\\)$"));
    bool taken = false;
    QString reason = part.claim(wanted, &taken);
    const qsizetype dot = wanted.lastIndexOf(u'.');
    QString stem = dot > 0 ? wanted.left(dot) : wanted;
    const QString extension = dot > 0 ? wanted.mid(dot) : QString();
    int number = 2;
    // "x (2).mp3" taken goes on with "x (3).mp3", not "x (2) (2).mp3".
    if (const QRegularExpressionMatch match = numbered.match(stem); match.hasMatch()) {
        stem = match.captured(1);
        number = match.captured(2).toInt() + 1;
    }
    constexpr int kTries = 10000;
    for (int tries = 0; taken && tries < kTries; ++tries, ++number) {
        const QString candidate = QStringLiteral("%1 (%2)%3").arg(stem).arg(number).arg(extension);
        reason = part.claim(candidate, &taken);
        if (reason.isEmpty())
            *given = candidate;
    }
    return reason;
}

bool isSameEntry(const SharedFolder::Entry &a, const SharedFolder::Entry &b)
{
    return a.kind == b.kind && a.device == b.device && a.inode == b.inode;
}

// Copies from into name in folder through a part file that takes the destination's place in
// one step, once whole and on the disk: readers see the old file or the new one, never a part
// of either. *given: the name it got instead of name, if any.
QString copyAtomically(const QString &from, const SharedFolder &folder, const QString &name, const Item &item,
                       QString *given)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the converted file: %1").arg(source.errorString());
    QString problem;
    // Where nothing may be replaced, a link at the name is something there like any other.
    const SharedFolder::Destination to = item.existing == Existing::Rename ? SharedFolder::Destination{folder, name}
                                                                           : folder.destination(name, &problem);
    if (!to.folder.isOpen())
        return problem;
    const SharedFolder::Entry replaced = to.folder.entry(to.name);
    const bool replacing = item.existing == Existing::Overwrite
                           || (item.existing == Existing::Skip && replaced.kind != SharedFolder::Entry::Kind::None
                               && isSameEntry(replaced, item.there));
    if (replacing && replaced.kind == SharedFolder::Entry::Kind::Folder)
        return QStringLiteral("a folder of that name is in the way");
    SharedFolder::NewFile part = to.folder.createNew(partPrefix(), QStringLiteral(".part"), &problem);
    if (!part.isOpen())
        return problem;

    constexpr qint64 kChunk = 1 << 20;
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(kChunk);
        if (chunk.isEmpty() && source.error() != QFileDevice::NoError)
            return QStringLiteral("cannot read the converted file: %1").arg(source.errorString());
        if (const QString reason = part.write(chunk); !reason.isEmpty())
            return reason;
    }
    if (const QString reason = part.sync(); !reason.isEmpty())
        return reason;
    if (!replacing)
        return claimFree(part, to.name, given);
    // A file that is replaced keeps the rights it had, as with QSaveFile.
    part.keepRightsOf(replaced);
    return part.replace(to.name);
}

// The folder that fileName lies in below out, each folder on the way opened from the one
// above (made where missing when create is set); *name gets fileName's last part.
SharedFolder folderOf(const SharedFolder &out, const QString &fileName, bool create, QString *name, QString *problem)
{
    QStringList steps = fileName.split(u'/');
    *name = steps.takeLast();
    SharedFolder into = out;
    for (const QString &step : std::as_const(steps)) {
        if (into.isOpen())
            into = into.subfolder(step, create, problem);
    }
    return into;
}

int removeAbandonedParts(const SharedFolder &folder)
{
    // Ours, and those of earlier versions, which named only a process and are judged by age.
    static const QRegularExpression pattern(
        QStringLiteral("^\\.quorvane-(?:([0-9a-f]{12})-)?(\\d+)-[A-Za-z0-9]{6}\\.part$"));
    int removed = 0;
    for (const QString &name : folder.names(QStringLiteral(".quorvane-"))) {
        const QRegularExpressionMatch match = pattern.match(name);
        const SharedFolder::Entry part = folder.entry(name);
        if (match.hasMatch() && part.kind == SharedFolder::Entry::Kind::File && part.ours
            && ProcessIdentity::isAbandoned(match.captured(1), match.captured(2).toLongLong(), part.lastModified)
            && folder.removeFile(name, part))
            ++removed;
    }
    return removed;
}

} // namespace

namespace {

// Each name that lands on something taken in folder moves to the next free " (n)" name that
// is neither another of the names nor taken.
QList<Move> moveNames(QStringList &names, const std::function<bool(const QString &)> &isTaken)
{
    QList<Move> moves;
    Paths::UniqueNames book;
    for (const QString &name : std::as_const(names))
        book.claim(name);
    for (int i = 0; i < names.size(); ++i) {
        if (!isTaken(names.at(i)))
            continue;
        const QString wanted = names.at(i);
        QString given;
        do {
            given = book.claim(wanted);
        } while (isTaken(given));
        names[i] = given;
        moves.append({i, wanted, given});
    }
    return moves;
}

} // namespace

QSet<QString> fileIdentities(const QStringList &paths)
{
    QSet<QString> ids;
    for (const QString &path : paths) {
        if (const QString id = SharedFolder::identityOf(path); !id.isEmpty())
            ids.insert(id);
    }
    return ids;
}

QList<Move> keepSourcesSafe(QStringList &names, const QString &folder, const QSet<QString> &sourceIds)
{
    if (sourceIds.isEmpty())
        return {};
    return moveNames(names, [&](const QString &name) {
        return sourceIds.contains(SharedFolder::identityOf(QDir(folder).filePath(name)));
    });
}

QList<Move> keepExistingFiles(QStringList &names, const QString &folder)
{
    return moveNames(names, [&folder](const QString &name) {
        const QFileInfo there(QDir(folder).filePath(name));
        return there.exists() || there.isSymLink();
    });
}

int removeAbandonedParts(const QString &folder)
{
    return removeAbandonedParts(SharedFolder::open(folder));
}

SharedFolder::Entry entryAt(const QString &folder, const QString &fileName)
{
    QString name;
    QString problem;
    const SharedFolder into = folderOf(SharedFolder::open(folder), fileName, false, &name, &problem);
    const SharedFolder::Destination to = into.isOpen() ? into.destination(name, &problem) : SharedFolder::Destination{};
    return to.folder.isOpen() ? to.folder.entry(to.name) : SharedFolder::Entry{};
}

Saved save(const QString &folder, const QList<Item> &items, const std::function<void(int saved)> &saved,
           const std::atomic_bool *cancelled)
{
    Saved done;
    QSet<QString> swept;
    QString problem;
    const SharedFolder out = SharedFolder::open(folder, &problem);
    for (int i = 0; i < items.size(); ++i) {
        if (cancelled && cancelled->load())
            break;
        const Item &item = items.at(i);
        QString name;
        const SharedFolder into = out.isOpen() ? folderOf(out, item.fileName, true, &name, &problem) : out;
        QString reason = problem;
        if (into.isOpen()) {
            if (!swept.contains(into.path())) {
                swept.insert(into.path());
                removeAbandonedParts(into);
            }
            QString given;
            reason = copyAtomically(item.sourceFile, into, name, item, &given);
            if (reason.isEmpty() && !given.isEmpty()) {
                const QString folderPart = item.fileName.left(item.fileName.size() - name.size());
                done.moves.append({i, item.fileName, folderPart + given,
                                   item.existing == Existing::Rename ? Move::Why::Taken : Move::Why::Appeared});
            }
        }
        if (!reason.isEmpty())
            done.failures.append({QDir::toNativeSeparators(QDir(folder).filePath(item.fileName)), reason, i});
        if (saved)
            saved(i + 1);
    }
    return done;
}

} // namespace ResultSaver
