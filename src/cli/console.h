#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

// quorvane-cli's text on standard output and error, whatever script the names are in: on POSIX
// in the locale's encoding, as the terminal and the files it reads expect; on Windows as wide
// text on a console, and UTF-8 when redirected. The platform's half is console_posix.cpp or
// console_windows.cpp.
namespace Console {

// Writes text whole and flushes it; false when it could not, with errno saying why.
bool write(FILE *stream, const QString &text);

bool isTerminal(FILE *stream);

// The names help answers to besides -h and --help: Windows users type /? too.
QStringList extraHelpNames();

} // namespace Console
