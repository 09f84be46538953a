#pragma once

#include <QDateTime>

// Who left a file or folder behind, well enough to judge whether that program has surely
// ended. A process id alone says nothing across machines or containers (another host sharing
// the folder, or another PID namespace, reuses the numbers), so what we leave in a shared folder
// carries a tag of its boot and PID namespace beside the process id; a sweep judges only names
// of its own boot and namespace, and leaves everything else to age.
namespace ProcessIdentity {

// Twelve hex digits that stand for this machine's current boot and this process's PID
// namespace; the same for every program of both, different for any other.
QString tag();
// The tag of the given boot id and PID namespace ("pid:[4026531836]" on Linux), for tests
// that play another host or container.
QString tagFor(const QString &bootId, const QString &pidNamespace);

// "<tag>-<pid>" of this process: what its files and folders in shared places are named with.
QString mark();

// Whether what the program marked (tag, pid) left behind may be removed. Of this boot and
// namespace: exactly when no process has that id any more (one we may not signal still
// counts as running). Of any other (or unmarked): only when it was last changed more than a
// week ago, which no run of another host or container leaves its work alone for.
bool isAbandoned(const QString &tag, qint64 pid, const QDateTime &lastModified);

} // namespace ProcessIdentity
