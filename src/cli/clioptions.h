#pragma once

#include <QString>
#include <QStringList>

// What the user asked quorvane-cli for, read from the command line by a pure function so
// that every accepted and refused spelling can be checked without running the program.
struct CliOptions
{
    int bitrate = 128;      // kbps, one of Tools::bitrates()
    int vbrQuality = -1;    // -V: LAME's VBR at 0..9 instead of the bitrate; -1 for none
    bool jointStereo = false;   // --stereo joint
    QString outputFolder;   // as given; "" means the current folder
    int jobs = 1;           // files converted at the same time
    bool dryRun = false;
    bool singlePass = false;   // decode straight into the encoder, no MP3 in between
    // Library runs (LibraryLayout names the paths): save at each source's library path,
    // leave sources whose output is up to date, and take only shard shardIndex of
    // shardCount (1 of 1: everything).
    bool keepTree = false;
    bool skipExisting = false;     // --existing skip (or --skip-existing)
    bool renameExisting = false;   // --existing rename: a new " (n)" name beside the old file
    int shardIndex = 1;
    int shardCount = 1;
    int toolTimeoutSeconds = 120;   // a tool silent this long is stopped; 0: never
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
