#include "app/shell/instancechannel.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QtEndian>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// A message: the payload's size as four bytes, big-endian, then the paths in UTF-8, each
// ended by a NUL (the one character no path holds).
namespace {

constexpr int kHeaderSize = 4;
constexpr int kHandOverMilliseconds = 2000;

} // namespace

InstanceChannel::InstanceChannel(const QString &name, QObject *parent)
    : QObject(parent)
    , m_name(name)
    , m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this, &InstanceChannel::readMessage);
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QString InstanceChannel::userServerName()
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
#ifdef Q_OS_UNIX
    const QByteArray user = QByteArray::number(::getuid());
#else
    const QByteArray user = qgetenv("USERNAME");
#endif
    const QByteArray key = QCryptographicHash::hash(user + '\n' + runtime.toUtf8(), QCryptographicHash::Sha256);
    const QString name = QStringLiteral("quorvane-") + QString::fromLatin1(key.toHex().left(16));
#ifdef Q_OS_LINUX
    // The runtime folder is the user's alone (0700), so no one else even sees the socket.
    return QDir(runtime).filePath(name);
#else
    return name;
#endif
}

// The later start has no window and no event loop yet and ends right after, so it waits
// here, for a bounded time, until the paths are written.
bool InstanceChannel::handOver(const QStringList &paths)
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(kHandOverMilliseconds))
        return false;
    QByteArray payload;
    for (const QString &path : paths)
        payload += path.toUtf8() + '\0';
    QByteArray header(kHeaderSize, '\0');
    qToBigEndian(quint32(payload.size()), header.data());
    socket.write(header + payload);
    if (!socket.waitForBytesWritten(kHandOverMilliseconds))
        return false;
    socket.disconnectFromServer();
    return true;
}

bool InstanceChannel::listen()
{
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
    if (socket->bytesAvailable() < kHeaderSize + size)
        return;
    const QByteArray message = socket->read(kHeaderSize + size);
    socket->disconnectFromServer();
    emit pathsArrived(QString::fromUtf8(message.mid(kHeaderSize)).split(QChar(0), Qt::SkipEmptyParts));
}
