#include "results/saving/resultsaver.h"

#include "convert/files/pathhelpers.h"
#include "convert/files/processidentity.h"
#include "convert/files/sharedfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#include <qt_windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

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

QString systemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Writes all of data at the file's end; the reason when it could not. On POSIX the system's
// own words: QFile reports a disk that fills up half-way through a write as "Unknown error".
QString writeAll(QFile &file, const QByteArray &data)
{
#ifdef Q_OS_WIN
    return file.write(data) == data.size() ? QString() : file.errorString();
#else
    const char *next = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(file.handle(), next, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return systemErrorText(errno);
        }
        next += written;
        left -= written;
    }
    return {};
#endif
}

// Forces the written data onto the disk before the rename makes it the destination, so that
// a power cut cannot leave a destination that names an empty file.
QString syncToDisk(QFile &file)
{
    if (!file.flush())
        return file.errorString();
#ifdef Q_OS_WIN
    if (!FlushFileBuffers(HANDLE(_get_osfhandle(file.handle()))))
        return QStringLiteral("cannot write the file to the disk");
#else
    if (::fsync(file.handle()) != 0)
        return systemErrorText(errno);
#endif
    return {};
}

// Copies from into name in folder through a part file that is renamed over the destination in
// one step, once whole and on the disk: readers see the old file or the new one, never a part
// of either.
QString copyAtomically(const QString &from, const SharedFolder &folder, const QString &name)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read the converted file: %1").arg(source.errorString());
    QString problem;
    const SharedFolder::Destination to = folder.destination(name, &problem);
    if (!to.folder.isOpen())
        return problem;
    const SharedFolder::Entry replaced = to.folder.entry(to.name);
    if (replaced.kind == SharedFolder::Entry::Kind::Folder)
        return QStringLiteral("a folder of that name is in the way");
    SharedFolder::NewFile part = to.folder.createNew(partPrefix(), QStringLiteral(".part"), &problem);
    if (!part.isOpen())
        return problem;

    constexpr qint64 kChunk = 1 << 20;
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(kChunk);
        if (chunk.isEmpty() && source.error() != QFileDevice::NoError)
            return QStringLiteral("cannot read the converted file: %1").arg(source.errorString());
        if (const QString reason = writeAll(part.file(), chunk); !reason.isEmpty())
            return reason;
    }
    if (const QString reason = syncToDisk(part.file()); !reason.isEmpty())
        return reason;
    // A file that is replaced keeps the rights it had, as with QSaveFile.
    part.keepRightsOf(replaced);
    return part.replace(to.name);
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

QString fileIdentity(const QString &path)
{
    if (path.isEmpty())
        return {};
#ifdef Q_OS_WIN
    return QFileInfo(path).canonicalFilePath().toLower();
#else
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return QStringLiteral("%1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino));
#endif
}

namespace {

// Each name that lands on something taken in folder moves to the next free " (n)" name that
// is neither another of the names nor taken.
QList<Move> moveNames(QStringList &names, const std::function<bool(const QString &)> &isTaken)
{
    QList<Move> moves;
    UniqueNames book;
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
        if (const QString id = fileIdentity(path); !id.isEmpty())
            ids.insert(id);
    }
    return ids;
}

QList<Move> keepSourcesSafe(QStringList &names, const QString &folder, const QSet<QString> &sourceIds)
{
    if (sourceIds.isEmpty())
        return {};
    return moveNames(names, [&](const QString &name) {
        return sourceIds.contains(fileIdentity(Paths::joinPath(folder, name)));
    });
}

QList<Move> keepExistingFiles(QStringList &names, const QString &folder)
{
    return moveNames(names, [&folder](const QString &name) {
        const QFileInfo there(Paths::joinPath(folder, QDir::toNativeSeparators(name)));
        return there.exists() || there.isSymLink();
    });
}

int removeAbandonedParts(const QString &folder)
{
    return removeAbandonedParts(SharedFolder::open(folder));
}

QList<Failure> save(const QString &folder, const QList<Item> &items,
                    const std::function<void(int saved)> &saved, const std::atomic_bool *cancelled)
{
    QList<Failure> failures;
    QSet<QString> swept;
    QString problem;
    const SharedFolder out = SharedFolder::open(folder, &problem);
    for (int i = 0; i < items.size(); ++i) {
        if (cancelled && cancelled->load())
            break;
        const QString target = Paths::joinPath(folder, QDir::toNativeSeparators(items.at(i).fileName));
        // Each folder a name leads through is opened (made where missing) from the one above.
        QStringList steps = items.at(i).fileName.split(u'/');
        const QString name = steps.takeLast();
        SharedFolder into = out;
        for (const QString &step : std::as_const(steps)) {
            if (into.isOpen())
                into = into.subfolder(step, true, &problem);
        }
        QString reason = problem;
        if (into.isOpen()) {
            if (!swept.contains(into.path())) {
                swept.insert(into.path());
                removeAbandonedParts(into);
            }
            reason = copyAtomically(items.at(i).sourceFile, into, name);
        }
        if (!reason.isEmpty())
            failures.append({target, reason, i});
        if (saved)
            saved(i + 1);
    }
    return failures;
}

} // namespace ResultSaver
