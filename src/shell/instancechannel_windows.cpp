#include "shell/instancechannel_p.h"

#include <qt_windows.h>

#include <memory>

namespace InstanceChannelDetail {

namespace {

// The user a process runs as, as its token says; null when it cannot be asked.
std::unique_ptr<char[]> userOf(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    HANDLE token = nullptr;
    const bool opened = process && OpenProcessToken(process, TOKEN_QUERY, &token);
    if (process)
        CloseHandle(process);
    if (!opened)
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    auto user = std::make_unique<char[]>(size ? size : 1);
    const bool read = size && GetTokenInformation(token, TokenUser, user.get(), size, &size);
    CloseHandle(token);
    return read ? std::move(user) : nullptr;
}

} // namespace

bool peerIsThisUser(qintptr socket, Side ourSide)
{
    ULONG peerId = 0;
    const HANDLE pipe = HANDLE(socket);
    if (!(ourSide == Side::Server ? GetNamedPipeClientProcessId(pipe, &peerId) : GetNamedPipeServerProcessId(pipe, &peerId)))
        return false;
    const std::unique_ptr<char[]> peer = userOf(peerId);
    const std::unique_ptr<char[]> us = userOf(GetCurrentProcessId());
    return peer && us
           && EqualSid(reinterpret_cast<TOKEN_USER *>(peer.get())->User.Sid, reinterpret_cast<TOKEN_USER *>(us.get())->User.Sid);
}

QByteArray thisUser()
{
    // Pipe names are the whole machine's: the session keeps each sign-in's window its own.
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return qgetenv("USERNAME") + '\n' + QByteArray::number(quint32(session));
}

// A pipe's name: pipes lie in no folder.
QString serverName(const QString &, const QString &name)
{
    return name;
}

} // namespace InstanceChannelDetail
