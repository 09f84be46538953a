#include "convert/programexit.h"

#include <cstdio>

#include <qt_windows.h>

// ExitProcess ends the other threads wherever they are, then detaches every DLL. A thread that
// had just finished its work (Qt's pool threads, the system's wait threads behind QProcess)
// may be ended inside the MinGW thread library's exit code, holding its key lock, and
// libstdc++'s detach then waits for that lock for ever. Everything that must be written is
// written by now, so the process ends here without the detach.
int ProgramExit::leave(int status)
{
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), UINT(status));
    return status;
}
