#include "shell/instancechannel.h"

#include "convert/files/sharedfolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QtEndian>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <memory>
#endif

// A message: the payload's size as four bytes, big-endian, then the paths in UTF-8, each
// ended by a NUL (the one character no path holds).
namespace {

constexpr int kHeaderSize = 4;
constexpr int kHandOverMilliseconds = 2000;
// Far more than a command line can carry (2 MiB on Linux), so a real start always fits; a
// sender that is not a start of ours cannot make the window hold or list more.
constexpr qint64 kMaxMessageBytes = 4 << 20;
constexpr qsizetype kMaxPaths = 65536;

#ifdef Q_OS_WIN
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
#endif

enum class Side { Server, Client };

// Whether the process at the other end of a connected socket runs as this user. On Windows a
// pipe's name is open to everyone: another user may have made it first, or may connect.
bool peerIsThisUser(qintptr socket, Side ourSide)
{
#if defined(Q_OS_LINUX)
    Q_UNUSED(ourSide)
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(int(socket), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
#elif defined(Q_OS_UNIX)
    Q_UNUSED(ourSide)
    uid_t user = 0;
    gid_t group = 0;
    return ::getpeereid(int(socket), &user, &group) == 0 && user == ::geteuid();
#elif defined(Q_OS_WIN)
    ULONG peerId = 0;
    const HANDLE pipe = HANDLE(socket);
    if (!(ourSide == Side::Server ? GetNamedPipeClientProcessId(pipe, &peerId) : GetNamedPipeServerProcessId(pipe, &peerId)))
        return false;
    const std::unique_ptr<char[]> peer = userOf(peerId);
    const std::unique_ptr<char[]> us = userOf(GetCurrentProcessId());
    return peer && us
           && EqualSid(reinterpret_cast<TOKEN_USER *>(peer.get())->User.Sid, reinterpret_cast<TOKEN_USER *>(us.get())->User.Sid);
#else
    Q_UNUSED(socket)
    return false;
#endif
}

} // namespace

InstanceChannel::InstanceChannel(const QString &name, QObject *parent)
    : QObject(parent)
    , m_name(name)
    , m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            if (!peerIsThisUser(socket->socketDescriptor(), Side::Server)) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            socket->setReadBufferSize(kHeaderSize + kMaxMessageBytes);
            connect(socket, &QLocalSocket::readyRead, this, &InstanceChannel::readMessage);
        }
    });
}

QString InstanceChannel::userServerName()
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
#ifdef Q_OS_UNIX
    const QByteArray user = QByteArray::number(::getuid());
#else
    // Pipe names are the whole machine's: the session keeps each sign-in's window its own.
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    const QByteArray user = qgetenv("USERNAME") + '\n' + QByteArray::number(quint32(session));
#endif
    const QByteArray key = QCryptographicHash::hash(user + '\n' + runtime.toUtf8(), QCryptographicHash::Sha256);
    const QString name = QStringLiteral("quorvane-") + QString::fromLatin1(key.toHex().left(16));
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
    return name;
#endif
}

// The later start has no window and no event loop yet and ends right after, so it waits
// here, for a bounded time, until the paths are written.
InstanceChannel::HandOver InstanceChannel::handOver(const QStringList &paths)
{
    QByteArray payload;
    for (const QString &path : paths)
        payload += path.toUtf8() + '\0';
    if (m_name.isEmpty() || paths.size() > kMaxPaths || payload.size() > kMaxMessageBytes)
        return HandOver::Refused;
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(kHandOverMilliseconds))
        return HandOver::NoWindow;
    if (!peerIsThisUser(socket.socketDescriptor(), Side::Client))
        return HandOver::Refused;
    QByteArray header(kHeaderSize, '\0');
    qToBigEndian(quint32(payload.size()), header.data());
    socket.write(header + payload);
    if (!socket.waitForBytesWritten(kHandOverMilliseconds))
        return HandOver::Refused;
    socket.disconnectFromServer();
    return HandOver::Taken;
}

bool InstanceChannel::listen()
{
    if (m_name.isEmpty())
        return false;
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (m_server->listen(m_name))
        return true;
    // handOver() found no one behind the name: what is left is a crashed window's socket.
    QLocalServer::removeServer(m_name);
    return m_server->listen(m_name);
}

// Called as bytes come in, until the whole message is there.
void InstanceChannel::readMessage()
{
    auto *socket = qobject_cast<QLocalSocket *>(sender());
    const QByteArray header = socket->peek(kHeaderSize);
    if (header.size() < kHeaderSize)
        return;
    const qint64 size = qFromBigEndian<quint32>(header.constData());
    if (size > kMaxMessageBytes) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < kHeaderSize + size)
        return;
    const QByteArray message = socket->read(kHeaderSize + size);
    socket->disconnectFromServer();
    const QStringList paths = QString::fromUtf8(message.mid(kHeaderSize)).split(QChar(0), Qt::SkipEmptyParts);
    if (paths.size() <= kMaxPaths)
        emit pathsArrived(paths);
}
