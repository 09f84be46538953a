#pragma once

#include "convert/engine/processrunner.h"

#include <QDir>

// Inside ProcessRunner: how a tool is started, joined to another and ended is each system's own,
// provided by toolprocess_posix.cpp (the process group, and on Linux the keeper) or
// toolprocess_windows.cpp (the job object, no console window). processrunner.cpp keeps the rest.
namespace ToolProcess {

inline bool hasFolderPart(const QString &program)
{
    return QDir::fromNativeSeparators(program).contains(u'/');
}

// True when the keeper is not beside the program (Linux); false where there is none.
bool isKeeperMissing();

// Gives process the program and its arguments, run as this system runs a tool: on POSIX in a
// process group of its own (on Linux under the keeper, where there is one), on Windows without a console window.
void setUp(QProcess *process, const QString &program, const QStringList &arguments);

// Called once the tool has started, pid its id: on Windows it joins the tools' job here.
void started(qint64 pid);

// Starts reader, then writer, joined by a pipe of the system's own where Qt's would not do;
// false, with nothing started, where Qt's pipe serves.
bool startPipedOwnWay(QProcess *writer, QProcess *reader);

// Asks the running tool to end (cancel()).
void askToEnd(QProcess *process);

// Kills the running tool, and on POSIX its process group.
void kill(QProcess *process);

// A cancelled tool with this id has ended: what it started and left behind goes too (POSIX).
void killLeftovers(qint64 pid);

// What the tool of the running process pid waits for, as far as the system says.
ProcessRunner::Waiting waiting(const QProcess *process, qint64 pid);

} // namespace ToolProcess
