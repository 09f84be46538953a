#include "shell/instancechannel_p.h"

#include "convert/files/sharedfolder.h"

#include <QDir>
#include <QFileInfo>

#include <sys/socket.h>
#include <unistd.h>

namespace InstanceChannelDetail {

bool peerIsThisUser(qintptr socket, Side ourSide)
{
    Q_UNUSED(ourSide)
#if defined(Q_OS_LINUX)
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(int(socket), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
#else
    uid_t user = 0;
    gid_t group = 0;
    return ::getpeereid(int(socket), &user, &group) == 0 && user == ::geteuid();
#endif
}

QByteArray thisUser()
{
    return QByteArray::number(::getuid());
}

QString serverName(const QString &runtime, const QString &name)
{
#ifdef Q_OS_LINUX
    // Only in a runtime folder that is the user's alone (0700) does no one else even see the
    // socket. Qt names none when another user made the folder it falls back to, and a bare
    // name would lie in the shared temporary folder.
    const QFileInfo folder(QDir::cleanPath(runtime));
    const SharedFolder::Entry entry = SharedFolder::open(folder.path()).entry(folder.fileName());
    if (runtime.isEmpty() || entry.kind != SharedFolder::Entry::Kind::Folder || !entry.ours || !entry.privateToOwner)
        return {};
    return QDir(runtime).filePath(name);
#else
    Q_UNUSED(runtime)
    return name;
#endif
}

} // namespace InstanceChannelDetail
