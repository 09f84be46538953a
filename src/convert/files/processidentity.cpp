#include "convert/files/processidentity.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace ProcessIdentity {

namespace {

// Long enough for any run of ours to have touched its files since; short enough that what a
// machine we cannot ask left behind does not pile up for ever.
constexpr qint64 kAbandonedAfterSeconds = 7 * 24 * 3600;

QString pidNamespace()
{
#ifdef Q_OS_LINUX
    // "pid:[4026531836]": the link's own text, which Qt would make into a path.
    char target[64] = {};
    const ssize_t length = ::readlink("/proc/self/ns/pid", target, sizeof target - 1);
    return length > 0 ? QString::fromLatin1(target, int(length)) : QString();
#else
    return {};
#endif
}

} // namespace

QString tagFor(const QString &bootId, const QString &pidNamespace)
{
    const QByteArray identity = bootId.toUtf8() + '\n' + pidNamespace.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(identity, QCryptographicHash::Sha1).toHex().left(12));
}

QString tag()
{
    static const QString ours = tagFor(QString::fromLatin1(QSysInfo::bootUniqueId()), pidNamespace());
    return ours;
}

QString mark()
{
    return tag() + u'-' + QString::number(QCoreApplication::applicationPid());
}

// A process that has ended but that nobody has reaped yet ('Z': in a container whose first
// process does not reap the orphans it inherits, it stays so) still answers kill(pid, 0).
char stateOf(qint64 pid)
{
#ifdef Q_OS_LINUX
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return '\0';
    // "pid (name) S ...": the name may hold anything, the state follows its last ')'.
    const QByteArray text = stat.read(512);
    const qsizetype end = text.lastIndexOf(')');
    return end > 0 && end + 2 < text.size() ? text.at(end + 2) : '\0';
#else
    Q_UNUSED(pid)
    return '\0';
#endif
}

bool isAbandoned(const QString &tag, qint64 pid, const QDateTime &lastModified)
{
#ifdef Q_OS_UNIX
    if (tag == ProcessIdentity::tag() && pid > 0)
        return (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) || stateOf(pid) == 'Z';
#elif defined(Q_OS_WIN)
    // No process by that id, or one that has ended and that only a handle keeps listed.
    if (tag == ProcessIdentity::tag() && pid > 0) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
        if (!process)
            return GetLastError() == ERROR_INVALID_PARAMETER;
        const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        CloseHandle(process);
        return ended;
    }
#endif
    return lastModified.isValid() && lastModified.secsTo(QDateTime::currentDateTimeUtc()) > kAbandonedAfterSeconds;
}

} // namespace ProcessIdentity
