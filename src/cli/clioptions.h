#pragma once

#include "convert/engine/toolcommands.h"
#include "convert/sessionsetup.h"
#include "filelist/walk/librarylayout.h"

#include <QString>
#include <QStringList>

// What the user asked quorvane-cli for, read from the command line by a pure function so
// that every accepted and refused spelling can be checked without running the program.
struct CliOptions
{
    // What the batch takes as the user gave it: encoding (the bitrate, one of
    // Tools::bitrates(), or -V for LAME's VBR at 0..9, and --stereo), jobs, tools
    // (--single-pass, --tool-timeout), tags (--cover-max, --id3v1) and existing (--existing,
    // --skip-existing). The run fills in the rest: the sources, where they are saved and
    // where the tools lie.
    SessionSetup session;
    QString outputFolder;   // as given; "" means the current folder
    bool dryRun = false;
    // Library runs (LibraryLayout names the paths): --keep-tree, --pattern, --skip-existing
    // (or --existing skip) and --shard.
    LibraryLayout::RunChoices library;
    QStringList paths;      // files and folders, in the order given
};

struct CliCommand
{
    enum class Action { Convert, ShowHelp, ShowVersion, UsageError };

    Action action = Action::UsageError;
    CliOptions options;   // meaningful for Convert
    QString text;         // the help or version text, or the usage error in one line
};

namespace CliArguments {

// Reads arguments as main() receives them (the program's name first). Needs a
// QCoreApplication for the help text's program name.
CliCommand parse(const QStringList &arguments);

// "192", "192 kbps", "192KBPS", " 192  Kbps " -> 192; 0 for anything that is not exactly
// one of the offered bitrates.
int bitrateFor(const QString &value);

} // namespace CliArguments
