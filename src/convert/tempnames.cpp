#include "tempnames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>

#include <memory>
#include <unordered_map>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#endif

namespace {

// 9^8 names; a folder where this many draws all collide is not one we can write into.
constexpr int kMaxDraws = 100000;

// The names this process has handed out and not yet released, by file name, each with the
// lock that keeps other programs off it (none where the folder takes no lock file). Only the
// engine's thread, the one with the event loop, reserves and releases names.
struct Reservations
{
    std::unordered_map<QString, std::unique_ptr<QLockFile>> names;
};

Reservations &reservations()
{
    static Reservations instance;
    return instance;
}

QString drawRandomName()
{
    QString name = QStringLiteral("zurvek");
    QRandomGenerator *random = QRandomGenerator::global();
    for (int i = 0; i < 8; ++i)
        name += QChar(char16_t(u'0' + random->bounded(1, 10)));
    return name + QStringLiteral(".mp3");
}

enum class LockOutcome { Held, Taken, NoLockPossible };

LockOutcome lockName(const QString &path, std::unique_ptr<QLockFile> *lock)
{
    auto candidate = std::make_unique<QLockFile>(tempMp3LockPath(path));
    // A conversion may hold its name for many minutes; only a lock whose process has gone
    // counts as stale, never one that is merely old.
    candidate->setStaleLockTime(0);
    if (candidate->tryLock(0)) {
        *lock = std::move(candidate);
        return LockOutcome::Held;
    }
    return candidate->error() == QLockFile::LockFailedError ? LockOutcome::Taken
                                                            : LockOutcome::NoLockPossible;
}

#ifdef Q_OS_UNIX
// True when the lock or held mark at path names a process on this machine that no longer
// runs. A mark that cannot be read, or of another machine sharing the folder, is not ours to
// judge. Any process with that id, even another program or one not yet reaped, counts as
// the holder: a file is only deleted when nobody can still be using it.
bool holderIsGone(const QString &path)
{
    qint64 pid = 0;
    QString host;
    if (!QLockFile(path).getLockInfo(&pid, &host, nullptr))
        return false;
    if (!host.isEmpty() && host != QSysInfo::machineHostName())
        return false;
    return !(::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// Deletes what a gone program left under path's name: the MP3 file, the encoder's output
// beside it, the held mark, then the lock. The lock is taken over first, so that no other
// program draws the name or sweeps it at the same time. False when another program has it.
bool clearName(const QDir &dir, const QString &path)
{
    std::unique_ptr<QLockFile> lock;
    if (lockName(path, &lock) != LockOutcome::Held)
        return false;
    const QString base = Paths::fileNameFromPath(path).chopped(4);
    for (const QString &output : dir.entryList({base + QStringLiteral("_*.mp3")}, QDir::Files | QDir::Hidden))
        QFile::remove(dir.filePath(output));
    QFile::remove(path);
    QFile::remove(tempMp3HeldPath(path));
    lock->unlock();
    return true;
}
#endif

} // namespace

QString reserveTempMp3Path(const QString &folder, const std::function<bool(const QString &)> &exists)
{
    return reserveTempMp3Path(folder, exists, drawRandomName);
}

QString reserveTempMp3Path(const QString &folder, const std::function<bool(const QString &)> &exists,
                           const std::function<QString()> &drawName)
{
    const QString nativeFolder = QDir::toNativeSeparators(folder);
    Reservations &reserved = reservations();
    for (int draw = 0; draw < kMaxDraws; ++draw) {
        const QString name = drawName();
        if (reserved.names.count(name) != 0)
            continue;
        const QString path = Paths::joinPath(nativeFolder, name);
        // Asked first so that a crowded folder costs no lock files.
        if (exists(path))
            continue;
        std::unique_ptr<QLockFile> lock;
        switch (lockName(path, &lock)) {
        case LockOutcome::Taken:
            continue;
        case LockOutcome::Held:
            // Another program may have made the file and released the name between the first
            // look and the lock (a converted file outlives its lock); with the lock held, no
            // cooperating program makes it any more.
            if (exists(path)) {
                lock->unlock();
                continue;
            }
            break;
        case LockOutcome::NoLockPossible:
            break;
        }
        reserved.names.emplace(name, std::move(lock));
        return path;
    }
    return {};
}

void releaseTempMp3Path(const QString &path)
{
    Reservations &reserved = reservations();
    const auto found = reserved.names.find(Paths::fileNameFromPath(path));
    if (found == reserved.names.end())
        return;
    if (found->second)
        found->second->unlock();   // removes the lock file
    reserved.names.erase(found);
}

void holdTempMp3(const QString &path)
{
    // Made new, never opened through something already there: in a shared temporary folder a
    // name planted in its place must not be written through.
    QFile marker(tempMp3HeldPath(path));
    if (!marker.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        QFile::remove(marker.fileName());   // an earlier holder's, or a planted link (not its target)
        marker.open(QIODevice::WriteOnly | QIODevice::NewOnly);
    }
    if (marker.isOpen()) {
        // As QLockFile writes its lock, so that one reader serves both.
        marker.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n'
                     + QCoreApplication::applicationName().toUtf8() + '\n'
                     + QSysInfo::machineHostName().toUtf8() + '\n');
        marker.close();
    }
    releaseTempMp3Path(path);
}

void discardTempMp3(const QString &path)
{
    if (QFileInfo(path).isFile())
        QFile::remove(path);
    QFile::remove(tempMp3HeldPath(path));
    releaseTempMp3Path(path);
}

int removeAbandonedTempFiles(const QString &folder)
{
#ifdef Q_OS_UNIX
    const QDir dir(folder);
    const QStringList locks = dir.entryList({QStringLiteral("zurvek*.mp3.lock")}, QDir::Files | QDir::Hidden);
    int cleared = 0;
    for (const QString &lockFile : locks) {
        const QString name = lockFile.chopped(5);
        if (!isTempMp3Name(name))
            continue;
        const QString path = Paths::joinPath(QDir::toNativeSeparators(folder), name);
        Reservations &reserved = reservations();
        if (reserved.names.count(name) != 0)
            continue;   // ours
        if (!holderIsGone(tempMp3LockPath(path)))
            continue;
        // A holder that died cannot have released its name (and passed its file on) since it
        // was read; a holder that released it normally was alive above.
        if (clearName(dir, path))
            ++cleared;
    }
    // A file under neither a lock nor a held mark of a living program: the lock is made
    // before the file, and the mark before the lock goes, so its program has gone (or was an
    // older version, which let its files go unmarked). Taking the lock first keeps a program
    // that draws the name at this moment off it (clearName()).
    for (const QString &name : dir.entryList({QStringLiteral("zurvek*.mp3")}, QDir::Files | QDir::Hidden)) {
        const QString path = Paths::joinPath(QDir::toNativeSeparators(folder), name);
        if (!isTempMp3Name(name) || reservations().names.count(name) != 0 || QFileInfo::exists(tempMp3LockPath(path)))
            continue;
        if (QFileInfo::exists(tempMp3HeldPath(path)) && !holderIsGone(tempMp3HeldPath(path)))
            continue;
        if (clearName(dir, path))
            ++cleared;
    }
    static const QRegularExpression batchFolder(QStringLiteral("^quorvane-(\\d+)-[A-Za-z0-9]{6}$"));
    for (const QString &name : dir.entryList({QStringLiteral("quorvane-*")}, QDir::Dirs | QDir::Hidden | QDir::NoSymLinks)) {
        const QRegularExpressionMatch match = batchFolder.match(name);
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        if (match.hasMatch() && pid > 0 && ::kill(pid, 0) != 0 && errno != EPERM && QDir(dir.filePath(name)).removeRecursively())
            ++cleared;
    }
    return cleared;
#else
    Q_UNUSED(folder)
    return 0;
#endif
}

QString batchFolderTemplate()
{
    return QStringLiteral("quorvane-%1-XXXXXX").arg(QCoreApplication::applicationPid());
}

QString tempMp3LockPath(const QString &path)
{
    return path + QStringLiteral(".lock");
}

QString tempMp3HeldPath(const QString &path)
{
    return path + QStringLiteral(".held");
}

bool isTempMp3Name(const QString &fileName)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("zurvek[1-9]{8}\\.mp3")));
    return pattern.match(fileName).hasMatch();
}
