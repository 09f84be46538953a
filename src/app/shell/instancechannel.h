#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

// One window per user: the first start listens here, a later start hands its files and
// folders to it and ends. Only the user who started the first window can reach it.
class InstanceChannel : public QObject
{
    Q_OBJECT

public:
    // name: the server's name; tests give their own so they never reach a real window.
    explicit InstanceChannel(const QString &name = userServerName(), QObject *parent = nullptr);

    // A socket in the user's runtime folder (Linux), or a pipe name, unique to the user.
    static QString userServerName();

    // The later start: true when a running window took the paths (absolute, as the
    // caller's working folder means nothing to it); false when there is none.
    bool handOver(const QStringList &paths);
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
