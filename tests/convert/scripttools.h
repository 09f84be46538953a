#pragma once

// Stand-in tools for the convert tests: small POSIX shell scripts written into a test's own
// temporary folder, and a check that a process they started is really gone.

#include <QDir>
#include <QFile>
#include <QString>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#endif

namespace ScriptTools {

// text as one word for sh, whatever it holds.
inline QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + quoted + u'\'';
}

// Writes an executable sh script named name into folder and returns its path ("" on failure).
inline QString writeScript(const QString &folder, const QString &name, const QString &body)
{
    const QString path = QDir(folder).filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    file.write(QByteArrayLiteral("#!/bin/sh\n") + body.toUtf8() + '\n');
    file.close();
    if (!file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return {};
    return path;
}

// Shell lines for a tool script that make one run a moment a test can wait for: the runs
// of every script given the same gate folder are numbered in the order they start, and the
// held-th one notes "held" in gate and then hangs, its file unfinished, until the program
// stops it (60 s at most, so that a program that never does fails the test rather than
// hangs it). Numbers are drawn with mkdir, which only one run can win.
inline QString holdRun(const QString &gate, int held)
{
    return QStringLiteral("n=1; while ! mkdir %1/run.$n 2>/dev/null; do n=$((n+1)); done\n"
                          "[ $n -eq %2 ] && : > %1/held && exec sleep 60")
        .arg(shellQuoted(gate))
        .arg(held);
}

// The process id a script wrote with `echo $$ > file`; 0 while the file is not complete.
inline qint64 readPid(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = file.readAll();
    if (!text.endsWith('\n'))
        return 0;
    return text.trimmed().toLongLong();
}

// True while a process with this id exists (a zombie counts: it has not been reaped).
inline bool processExists(qint64 pid)
{
#ifdef Q_OS_UNIX
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
#else
    Q_UNUSED(pid)
    return false;
#endif
}

} // namespace ScriptTools
