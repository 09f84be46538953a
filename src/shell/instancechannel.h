#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

// One window per user: the first start listens here, a later start hands its files and
// folders to it and ends. Only the user who started the first window can reach it: the socket
// lies in the user's own runtime folder, and each side checks the other's user before a byte
// of paths moves. Without such a folder there is no channel, and each start has its window.
class InstanceChannel : public QObject
{
    Q_OBJECT

public:
    // name: the server's name; tests give their own so they never reach a real window.
    explicit InstanceChannel(const QString &name = userServerName(), QObject *parent = nullptr);

    // A socket in the user's runtime folder (Linux), or a pipe name, unique to the user; ""
    // when the runtime folder is missing, not a folder, another user's or open to others.
    static QString userServerName();

    enum class HandOver {
        Taken,      // a running window of this user took the paths
        NoWindow,   // nobody listens: this start is the first
        Refused,    // someone else listens, or the paths exceed a message: this start keeps them
    };
    // The later start: offers the paths (absolute, as the caller's working folder means nothing
    // to the window) to the window listening under the name.
    HandOver handOver(const QStringList &paths);
    // The first start: listens, replacing a socket that a crashed window left behind.
    bool listen();

signals:
    // A later start's paths; empty when it named none and only wants the window.
    void pathsArrived(const QStringList &paths);

private:
    void readMessage();

    QString m_name;
    QLocalServer *m_server;
};
