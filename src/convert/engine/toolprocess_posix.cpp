#include "convert/engine/toolprocess_p.h"

#include "convert/files/processidentity.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

#include <csignal>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/prctl.h>
#endif

namespace ToolProcess {

namespace {

// The tool leads a process group of its own (see setUp()), so a signal to the group also reaches
// what the tool started: a wrapper script's real tool (run without exec), or helpers. Until the
// child has made its group (between fork and exec) the signal goes to the child alone.
void signalToolGroup(qint64 pid, int signalNumber)
{
    if (pid <= 0)
        return;
    if (::kill(-pid_t(pid), signalNumber) != 0)
        ::kill(pid_t(pid), signalNumber);
}

#ifdef Q_OS_LINUX
// The read end of a pipe whose write end only this program holds, for good (both close on exec):
// it reads end-of-file once the program is gone, however it ends. Each tool's keeper gets it.
int lifeLine()
{
    static const int readEnd = [] {
        int ends[2];
        return ::pipe2(ends, O_CLOEXEC) == 0 ? ends[0] : -1;
    }();
    return readEnd;
}

// The keeper beside the program; "" where there is none (a test's copy, another platform).
QString toolKeeper()
{
    static const QString keeper = [] {
        const QFileInfo beside(QCoreApplication::applicationDirPath() + QStringLiteral("/quorvane-toolkeeper"));
        return beside.isFile() && beside.isExecutable() ? beside.filePath() : QString();
    }();
    return keeper;
}

// The program as the keeper must be told it: a file that can be run, found as QProcess would
// find it; "" when it cannot be, so that QProcess itself says why it cannot start.
QString runnableProgram(const QString &program)
{
    if (!hasFolderPart(program))
        return QStandardPaths::findExecutable(program);
    const QFileInfo info(program);
    return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
}
#endif

} // namespace

bool isKeeperMissing()
{
#ifdef Q_OS_LINUX
    return toolKeeper().isEmpty();
#else
    return false;
#endif
}

void setUp(QProcess *process, const QString &program, const QStringList &arguments)
{
    process->setProgram(program);
    process->setArguments(arguments);
    [[maybe_unused]] int keptLifeLine = -1;   // the keeper's, on Linux
#ifdef Q_OS_LINUX
    // Through the keeper, so that what the tool starts dies with us too.
    if (const QString runnable = runnableProgram(program); !toolKeeper().isEmpty() && !runnable.isEmpty() && lifeLine() >= 0) {
        keptLifeLine = lifeLine();
        process->setProgram(toolKeeper());
        process->setArguments(QStringList{QString::number(keptLifeLine), runnable} + arguments);
    }
#endif

    // Runs in the child between fork and exec: async-signal-safe calls only. The tool gets a
    // process group of its own, so a Ctrl+C typed at our terminal reaches us (and we stop the tool
    // and clean up) instead of killing it behind our back; on Linux it also dies with us if we are
    // killed outright, so it cannot go on writing files nobody owns. Its keeper, where there is
    // one, takes the group with it too: it alone inherits the life line, and watches it instead.
    process->setChildProcessModifier([keptLifeLine] {
        ::setpgid(0, 0);
#ifdef Q_OS_LINUX
        if (keptLifeLine >= 0)
            ::fcntl(keptLifeLine, F_SETFD, 0);
        else
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    });
}

void started(qint64)
{
}

bool startPipedOwnWay(QProcess *, QProcess *)
{
    return false;
}

void askToEnd(QProcess *process)
{
    signalToolGroup(process->processId(), SIGTERM);
}

void kill(QProcess *process)
{
    signalToolGroup(process->processId(), SIGKILL);
    process->kill();
}

// A cancelled tool may have ended and left behind a program it started, deaf to the request
// to end. Its group outlives it while such a member lives, so the id is still the group's.
void killLeftovers(qint64 pid)
{
    signalToolGroup(pid, SIGKILL);
}

ProcessRunner::Waiting waiting(const QProcess *process, qint64 pid)
{
    using Waiting = ProcessRunner::Waiting;
#ifdef Q_OS_LINUX
    // Under the keeper, the tool is the keeper's one child.
    qint64 tool = pid;
    if (process && process->program() == toolKeeper()) {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
        tool = children.open(QIODevice::ReadOnly) ? children.readAll().trimmed().split(' ').value(0).toLongLong() : 0;
    }
    if (tool <= 0)
        return Waiting::Unknown;
    if (const char state = ProcessIdentity::stateOf(tool); state == 'T' || state == 't')
        return Waiting::Stopped;
    QFile wchan(QStringLiteral("/proc/%1/wchan").arg(tool));
    const QByteArray where = wchan.open(QIODevice::ReadOnly) ? wchan.read(64) : QByteArray();
    return where.contains("pipe_write") ? Waiting::ToWrite : where.contains("pipe_read") ? Waiting::ToRead : Waiting::Unknown;
#else
    Q_UNUSED(process)
    Q_UNUSED(pid)
    return Waiting::Unknown;
#endif
}

} // namespace ToolProcess
