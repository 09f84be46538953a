#include "convert/engine/toolprocess_p.h"

#include <qt_windows.h>

namespace ToolProcess {

namespace {

// What the keeper does on Linux: every tool joins one job, which the system ends with all its
// processes once its last handle closes, that is when this program ends, however it ends. The
// handle is not inherited, so no tool keeps the job alive.
HANDLE toolJob()
{
    static const HANDLE job = [] {
        HANDLE made = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (made && !SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            CloseHandle(made);
            made = nullptr;
        }
        return made;
    }();
    return job;
}

// A tool shows no console window of its own.
void hideWindow(QProcess::CreateProcessArguments *args)
{
    args->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
    args->startupInfo->wShowWindow = SW_HIDE;
    args->flags |= CREATE_NO_WINDOW;
}

} // namespace

bool isKeeperMissing()
{
    return false;
}

void setUp(QProcess *process, const QString &program, const QStringList &arguments)
{
    process->setProgram(program);
    process->setArguments(arguments);
    process->setCreateProcessArgumentsModifier(hideWindow);
}

// A tool starts nothing of its own before it is in the job: the tools run no helpers.
void started(qint64 pid)
{
    HANDLE process = toolJob() ? OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(pid)) : nullptr;
    if (!process)
        return;
    AssignProcessToJobObject(toolJob(), process);
    CloseHandle(process);
}

// Qt would join them through a named pipe opened for overlapped use, whose reader may never
// see the end of its input. An anonymous pipe: each end becomes inheritable only for the
// start of its own program, so no other tool keeps an end open. Tools start on this thread.
bool startPipedOwnWay(QProcess *writer, QProcess *reader)
{
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0))
        return false;
    const auto handOver = [](HANDLE end, bool asInput) {
        return [end, asInput](QProcess::CreateProcessArguments *args) {
            hideWindow(args);
            SetHandleInformation(end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            (asInput ? args->startupInfo->hStdInput : args->startupInfo->hStdOutput) = end;
        };
    };
    reader->setCreateProcessArgumentsModifier(handOver(readEnd, true));
    writer->setCreateProcessArgumentsModifier(handOver(writeEnd, false));
    reader->start();
    CloseHandle(readEnd);
    writer->start();
    CloseHandle(writeEnd);
    return true;
}

void askToEnd(QProcess *process)
{
    process->terminate();
}

void kill(QProcess *process)
{
    process->kill();
}

void killLeftovers(qint64)
{
}

ProcessRunner::Waiting waiting(const QProcess *, qint64)
{
    return ProcessRunner::Waiting::Unknown;
}

} // namespace ToolProcess
