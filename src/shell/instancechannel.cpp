#include "shell/instancechannel.h"

#include "shell/instancechannel_p.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QtEndian>

// A message: the payload's size as four bytes, big-endian, then the paths in UTF-8, each
// ended by a NUL (the one character no path holds).
namespace {

constexpr int kHeaderSize = 4;
constexpr int kHandOverMilliseconds = 2000;
// Far more than a command line can carry (2 MiB on Linux), so a real start always fits; a
// sender that is not a start of ours cannot make the window hold or list more.
constexpr qint64 kMaxMessageBytes = 4 << 20;
constexpr qsizetype kMaxPaths = 65536;

} // namespace

using namespace InstanceChannelDetail;

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
    const QByteArray user = thisUser();
    const QByteArray key = QCryptographicHash::hash(user + '\n' + runtime.toUtf8(), QCryptographicHash::Sha256);
    const QString name = QStringLiteral("quorvane-") + QString::fromLatin1(key.toHex().left(16));
    return serverName(runtime, name);
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
