#pragma once

#include <QByteArray>
#include <QString>

// Inside the one-window channel. Telling users apart is each system's own:
// instancechannel_posix.cpp or instancechannel_windows.cpp provides these; instancechannel.cpp
// the channel itself.
namespace InstanceChannelDetail {

enum class Side { Server, Client };

// Whether the process at the other end of a connected socket runs as this user. On Windows a
// pipe's name is open to everyone: another user may have made it first, or may connect.
bool peerIsThisUser(qintptr socket, Side ourSide);

// Who runs this program, as the server's name tells one user's window from another's.
QByteArray thisUser();

// Where the server of this name listens, in the runtime folder runtime; "" when nowhere safe.
QString serverName(const QString &runtime, const QString &name);

} // namespace InstanceChannelDetail
