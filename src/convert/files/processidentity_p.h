#pragma once

#include <QString>

// Inside ProcessIdentity. Asking about processes is each system's own:
// processidentity_posix.cpp or processidentity_windows.cpp provides these and stateOf();
// processidentity.cpp the rest.
namespace ProcessIdentity::Detail {

// This process's PID namespace ("pid:[4026531836]"); "" where the system has none to tell.
QString pidNamespace();

// Whether the process of this machine with id pid has surely ended.
bool hasEnded(qint64 pid);

} // namespace ProcessIdentity::Detail
