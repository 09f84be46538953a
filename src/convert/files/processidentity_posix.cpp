#include "convert/files/processidentity.h"
#include "convert/files/processidentity_p.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace ProcessIdentity {

QString Detail::pidNamespace()
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

bool Detail::hasEnded(qint64 pid)
{
    return (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) || stateOf(pid) == 'Z';
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

} // namespace ProcessIdentity
