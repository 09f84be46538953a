#pragma once

#include "cli/clioptions.h"

namespace CliExit {
constexpr int Converted = 0;    // every file converted whole and saved, or skipped as done
constexpr int SomeFailed = 1;   // or kept at the decoder's bitrate, or incomplete
constexpr int UsageError = 2;
// A cancel by a signal ends with 128 + the signal's number, as shells report it.
constexpr int forSignal(int signalNumber) { return 128 + signalNumber; }
} // namespace CliExit

// Everything quorvane-cli does once its arguments are read: prints help or the version,
// checks the output folder, walks the folders, then lists the files (--dry-run) or converts
// them. Returns the exit status. Needs a QCoreApplication; runs its event loop to convert.
int runCli(const CliCommand &command);
