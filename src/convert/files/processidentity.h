#pragma once

#include <QDateTime>

// Who left a file or folder behind, well enough to judge whether that program has surely ended.
// A process id alone says nothing across hosts sharing the folder or PID namespaces, which reuse
// the numbers, so what we leave in a shared folder also carries a tag of boot and namespace; a
// sweep judges only names of its own boot and namespace, and leaves everything else to age.
namespace ProcessIdentity {

// Twelve hex digits for this machine's current boot and this process's PID namespace: the same
// for every program of both, different for any other.
QString tag();
// The tag of a boot id and PID namespace ("pid:[4026531836]"), for tests playing another host.
QString tagFor(const QString &bootId, const QString &pidNamespace);

// "<tag>-<pid>" of this process: what its files and folders in shared places are named with.
QString mark();

// Whether what the program marked (tag, pid) left behind may be removed. Of this boot and
// namespace: exactly when no process has that id (one we may not signal counts as running).
// Of any other, or unmarked: only after a week unchanged, longer than any run leaves its work alone.
bool isAbandoned(const QString &tag, qint64 pid, const QDateTime &lastModified);

// The state letter the system gives a process of this machine ('R', 'S', 'T' stopped, 'Z'
// ended...); '\0' where it cannot be read (another platform, no such process).
char stateOf(qint64 pid);

} // namespace ProcessIdentity
