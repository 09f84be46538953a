#include "convert/files/processidentity.h"
#include "convert/files/processidentity_p.h"

#include <qt_windows.h>

namespace ProcessIdentity {

QString Detail::pidNamespace()
{
    return {};
}

// No process by that id, or one that has ended and that only a handle keeps listed.
bool Detail::hasEnded(qint64 pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

char stateOf(qint64)
{
    return '\0';
}

} // namespace ProcessIdentity
