#include "cli/clioptions.h"
#include "cli/console.h"

#include "convert/engine/loudness.h"
#include "convert/engine/toolcommands.h"
#include "convert/saving/resultsaver.h"
#include "filelist/walk/namepattern.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHash>
#include <QRegularExpression>
#include <QThread>

namespace CliArguments {

namespace {

// Shown below the generated option list: what the generated part cannot say.
QString helpEpilogue()
{
    return QStringLiteral(
        "\n"
        "A file is converted whatever its type; a folder is searched, with every folder\n"
        "below it, for .m4a and .m4b files; an audiobook's chapters (titles and times) are\n"
        "kept in the MP3's tag. Each converted file is saved in the output folder\n"
        "under the source's name with .mp3 (\"song.mp3\", then \"song (2).mp3\" for a name\n"
        "that repeats); an existing file of that name is replaced. With --keep-tree a\n"
        "file goes to the folder that mirrors its source's, and \" (2)\" names count within\n"
        "that folder only. A file reached through several named paths (a folder and a\n"
        "folder inside it) is taken once, as found under the outermost of them. A killed\n"
        "run leaves no partial MP3 file, so --skip-existing picks up where it stopped;\n"
        "an output that is empty, damaged or shorter than its source is converted again.\n"
        "With --split-chapters each chapter is a file of its own, which --skip-existing,\n"
        "--existing, --dry-run and the progress count one by one; a book's chapters share\n"
        "its shard, and a chapter that fails fails its book while the others are saved.\n"
        "\n"
        "With --pattern a missing tag becomes \"Unknown Artist\", \"Unknown Album\",\n"
        "\"Unknown Genre\", \"Unknown Year\", \"Unknown Track\" or \"Unknown Disc\"; a missing\n"
        "title becomes the source's name and a missing album artist the artist. A track of\n"
        "\"3/12\" is 3, a date's year its first four digits. In each folder and file name\n"
        "/ \\ : | become \"-\", * ? < > become \"_\" and \" becomes ', control characters spaces;\n"
        "leading dots and trailing dots and spaces are dropped, a Windows device name (CON,\n"
        "NUL, COM1...) gets \"_\" and a name is cut to 255 bytes. Sources whose tags give one\n"
        "name get \" (2)\" names (also with --existing overwrite: a run never writes one file\n"
        "twice); with --skip-existing the later source is skipped.\n"
        "\n"
        "Exit status:\n"
        "  0    every file was converted whole and saved, or skipped as already done\n"
        "  1    at least one file failed, was kept at the decoder's bitrate or came out\n"
        "       incomplete (each is named with its reason), something named or found\n"
        "       could not be read (each is named as \"unreadable\"), or nothing could be\n"
        "       converted because the temporary folder (TMPDIR) is not usable\n"
        "  2    usage error\n"
        "  129  cancelled because the terminal closed (SIGHUP)\n"
        "  130  cancelled by Ctrl+C (SIGINT)\n"
        "  141  cancelled because the output's reader went away (SIGPIPE, \"| head\")\n"
        "  143  cancelled by SIGTERM\n"
        "A first Ctrl+C or SIGTERM stops the running tools, deletes their temporary\n"
        "files and keeps what is already saved; a second one stops at once. A run\n"
        "ended by a signal exits with its status whatever it finished before.\n");
}

QString bitrateChoices()
{
    QStringList numbers;
    for (int rate : Tools::bitrates())
        numbers.append(QString::number(rate));
    return numbers.join(QStringLiteral(", "));
}

// A whole number of at least least, spaces around it allowed, into number; returns "" or the
// usage error, mustBe followed by the value.
QString readWholeNumber(const QString &value, int least, int &number, const char *mustBe)
{
    bool ok = false;
    const int parsed = value.trimmed().toInt(&ok);
    if (!ok || parsed < least)
        return QStringLiteral("%1, not '%2'").arg(QLatin1String(mustBe), value);
    number = parsed;
    return {};
}

// An option as the line gives it to its row: its last value ("" for a flag), and the whole line
// for an option that must agree with another.
struct Given { QString value; const QCommandLineParser &line; };

// One option of the command line: its spellings, what the help says of it and how its value
// reaches CliOptions. The parser, the help text and the batch's session all come from these
// rows, so a new option is one row plus its use.
struct OptionRow
{
    char shortName;           // '\0' for none
    const char *longName;     // also the name the row is looked up by
    const char *valueName;    // nullptr for a flag
    const char *help;         // a "%1" in it is helpValue()
    QString (*helpValue)();   // nullptr when the help needs none
    QString (*read)(const Given &given, CliOptions &options);   // "" or the usage error
};

// In the help's order, which is also the order they are read in: of two faulty options, the
// one listed first is named.
const OptionRow kOptionRows[] = {
    {'b', "bitrate", "KBPS",
     "Bitrate of the MP3 files: one of %1, with or without \"kbps\" (default 128).", bitrateChoices,
     [](const Given &given, CliOptions &o) -> QString {
         o.session.encoding.bitrate = bitrateFor(given.value);
         if (o.session.encoding.bitrate != 0)
             return {};
         return QStringLiteral("bitrate '%1' is not offered; choose one of %2 (kbps)")
             .arg(given.value, bitrateChoices());
     }},
    {'V', "vbr", "Q",
     "Encode with LAME's variable bitrate at quality Q, 0 (best, largest) to 9, instead of a constant bitrate; 2 is "
     "the usual choice for music.", nullptr,
     [](const Given &given, CliOptions &o) -> QString {
         static const QRegularExpression quality(QStringLiteral("^\\s*([0-9])\\s*$"));
         const QRegularExpressionMatch match = quality.match(given.value);
         if (!match.hasMatch())
             return QStringLiteral("VBR quality must be 0 to 9, not '%1'").arg(given.value);
         if (given.line.isSet(QStringLiteral("bitrate")))
             return QStringLiteral("choose a bitrate (-b) or a VBR quality (-V), not both");
         o.session.encoding.vbrQuality = match.captured(1).toInt();
         return {};
     }},
    {'\0', "stereo", "MODE",
     "How the encoder codes stereo: simple (left and right apart, the default) or joint (middle and side where that "
     "saves bits, what most converters use; faster to encode only for nearly mono sound).", nullptr,
     [](const Given &given, CliOptions &o) -> QString {
         const QString mode = given.value.trimmed().toLower();
         if (mode != QStringLiteral("simple") && mode != QStringLiteral("joint"))
             return QStringLiteral("stereo must be simple or joint, not '%1'").arg(given.value);
         o.session.encoding.jointStereo = mode == QStringLiteral("joint");
         return {};
     }},
    {'o', "output", "DIR", "Folder for the MP3 files; it must exist (default: the current folder).", nullptr,
     [](const Given &given, CliOptions &o) -> QString {
         o.outputFolder = given.value;
         return given.value.isEmpty() ? QStringLiteral("the output folder is empty") : QString();
     }},
    {'j', "jobs", "N",
     "Files converted at the same time (default: the number of processor cores, %1).",
     [] { return QString::number(QThread::idealThreadCount()); },
     [](const Given &given, CliOptions &o) {
         return readWholeNumber(given.value, 1, o.session.jobs, "jobs must be a positive whole number");
     }},
    {'\0', "dry-run", nullptr,
     "Print the files that would be converted, one per line (a control character in a name as \\xNN), and convert "
     "nothing.", nullptr,
     [](const Given &, CliOptions &o) -> QString { o.dryRun = true; return {}; }},
    {'\0', "single-pass", nullptr,
     "Decode each file straight into the encoder through a pipe instead of into an MP3 file that is then re-encoded: "
     "faster, with one encode less. A file whose encoder fails then fails, instead of being kept at the decoder's "
     "bitrate.", nullptr,
     [](const Given &, CliOptions &o) -> QString { o.session.tools.singlePass = true; return {}; }},
    {'\0', "keep-tree", nullptr,
     "Save each file found under a named folder at its path below that folder's parent (-o /out ~/Music gives "
     "/out/Music/Artist/Album/01 Song.mp3), creating folders as needed; a file named directly goes to the output "
     "folder itself.", nullptr,
     [](const Given &, CliOptions &o) -> QString { o.library.keepTree = true; return {}; }},
    {'p', "pattern", "TEMPLATE",
     "Name each file from its source's tags: {artist}, {albumartist}, {album}, {title}, {track}, {disc}, {year}, "
     "{genre}, {name} (the source's name) and, with --split-chapters, {chapter}, {chapters} and {chaptertitle}, "
     "\"/\" between folders, \".mp3\" added; {track:02} (also disc, year, chapter, chapters) has at least 2 digits. Below the output folder, or with --keep-tree the mirrored folder.", nullptr,
     [](const Given &given, CliOptions &o) -> QString {
         o.library.pattern = given.value;
         return NamePattern::problem(given.value);
     }},
    {'\0', "split-chapters", nullptr,
     "Save each chapter of an audiobook as an MP3 file of its own, cut at the chapter's bounds, tagged with its "
     "title, its number as the track (2/12) and the book's album or title as the album; named {name}/{chapter:02} "
     "{chaptertitle} unless --pattern says otherwise ({chapter}, {chapters} and {chaptertitle} name the chapter). A "
     "source without chapters is one file. Example: --split-chapters -o /media/usb book.m4b", nullptr,
     [](const Given &, CliOptions &o) -> QString { o.library.splitChapters = true; return {}; }},
    {'\0', "skip-existing", nullptr,
     "Skip a source whose MP3 file already exists, is not older than the source and is whole (MPEG audio as long as "
     "the source, within half a second); it is reported as skipped, not converted. With --replaygain the file must "
     "also hold the ReplayGain frames asked for; one without them (a run that was stopped, a silent file) is "
     "converted again.", nullptr,
     [](const Given &, CliOptions &o) -> QString { o.session.existing = ResultSaver::Existing::Skip; return {}; }},
    {'\0', "existing", "POLICY",
     "What to do when an MP3 file of the name exists: overwrite it (the default), skip the source as --skip-existing "
     "does, or rename (save under the next free \" (2)\" name and keep both). A source is never replaced.", nullptr,
     [](const Given &given, CliOptions &o) -> QString {
         static const QHash<QString, ResultSaver::Existing> policies{
             {QStringLiteral("overwrite"), ResultSaver::Existing::Overwrite},
             {QStringLiteral("skip"), ResultSaver::Existing::Skip},
             {QStringLiteral("rename"), ResultSaver::Existing::Rename}};
         const QString policy = given.value.trimmed().toLower();
         if (!policies.contains(policy))
             return QStringLiteral("existing must be skip, overwrite or rename, not '%1'").arg(given.value);
         if (given.line.isSet(QStringLiteral("skip-existing")) && policy != QStringLiteral("skip"))
             return QStringLiteral("--skip-existing and --existing %1 disagree").arg(policy);
         o.session.existing = policies.value(policy);
         return {};
     }},
    {'\0', "shard", "K/N",
     "Take only the sources whose path below the named folder's parent hashes to shard K of N (1 <= K <= N), the "
     "same on every machine and in any argument order, so N machines or jobs split one library with no coordination.",
     nullptr,
     [](const Given &given, CliOptions &o) -> QString {
         static const QRegularExpression spelling(QStringLiteral("^\\s*(\\d{1,9})\\s*/\\s*(\\d{1,9})\\s*$"));
         const QRegularExpressionMatch match = spelling.match(given.value);
         o.library.shardIndex = match.captured(1).toInt();   // 0 when it does not match
         o.library.shardCount = match.captured(2).toInt();
         if (o.library.shardIndex < 1 || o.library.shardIndex > o.library.shardCount)
             return QStringLiteral("shard must be K/N with 1 <= K <= N, such as 2/5, not '%1'").arg(given.value);
         return {};
     }},
    {'\0', "replaygain", "MODE",
     "Measure each converted file's loudness (EBU R128) and write ReplayGain 2.0 frames (-18 LUFS, a true peak of at "
     "most -1 dBTP) into it before it is saved: track (a gain and peak per file) or album (also one for the files "
     "that share an output folder and album tag, which wait for each other, converted, until the last is measured; "
     "--shard then splits by folder). A silent file, or one under 0.4 s, gets none, with a warning; a file that "
     "cannot be measured is saved without them and fails. Example: --keep-tree --replaygain album -o /srv/mp3 ~/Music",
     nullptr,
     [](const Given &given, CliOptions &o) -> QString {
         if (!R128::isAvailable())
             return QStringLiteral("--replaygain is not available in this build: it has no loudness meter (libebur128)");
         const QString mode = given.value.trimmed().toLower();
         if (mode != QStringLiteral("track") && mode != QStringLiteral("album"))
             return QStringLiteral("replaygain must be track or album, not '%1'").arg(given.value);
         const bool album = mode == QStringLiteral("album");
         o.session.replayGain = album ? ReplayGain::Mode::Album : ReplayGain::Mode::Track;
         o.library.replayGain = o.session.replayGain;
         o.library.shardByFolder = album;
         return {};
     }},
    {'\0', "cover-max", "PIXELS",
     "Write a front cover that is longer than PIXELS on its longer side, or not a baseline JPEG (a PNG, a progressive "
     "JPEG), as a baseline JPEG of at most PIXELS (scaled down, never up), which small players and car stereos show; a "
     "smaller baseline JPEG is kept as it is. 500 suits most.", nullptr,
     [](const Given &given, CliOptions &o) {
         return readWholeNumber(given.value, 1, o.session.tags.coverMaxPixels,
                                "cover-max must be a positive whole number of pixels");
     }},
    {'\0', "id3v1", nullptr,
     "Add an ID3v1.1 tag beside the ID3v2.3 one, for players that read no other: title, artist and album cut to 30 "
     "characters, the comment to 28, the year, track and genre (when ID3v1 lists it); text outside Latin-1 as its "
     "plain letters, or \"?\".", nullptr,
     [](const Given &, CliOptions &o) -> QString { o.session.tags.id3v1 = true; return {}; }},
    {'\0', "tool-timeout", "SECONDS",
     "Stop a tool run that makes no progress for this many seconds (no output and no progress line): the decoder "
     "or encoder, which fails its file, and the chapter listing, the cover scaling and the loudness measuring; 0 "
     "waits for ever (default %1).", [] { return QString::number(kDefaultToolTimeoutSeconds); },
     [](const Given &given, CliOptions &o) {
         return readWholeNumber(given.value, 0, o.session.tools.stallTimeoutSeconds,
                                "tool-timeout must be a whole number of seconds (0 for none)");
     }},
};

QCommandLineOption commandLineOption(const OptionRow &row)
{
    QStringList names{QLatin1String(row.longName)};
    if (row.shortName != '\0')
        names.prepend(QString(QLatin1Char(row.shortName)));
    const QString help = QString::fromUtf8(row.help);
    return QCommandLineOption(names, row.helpValue ? help.arg(row.helpValue()) : help, QLatin1String(row.valueName));
}

CliCommand usageError(const QString &message)
{
    return {CliCommand::Action::UsageError, {}, message};
}

// A line that asks to convert: each option given is read by its row (a repeated one with its
// last value), then the paths.
CliCommand convertCommand(const QCommandLineParser &parser)
{
    CliOptions options;
    options.session.encoding.bitrate = Tools::defaultBitrate();
    options.session.jobs = QThread::idealThreadCount();
    for (const OptionRow &row : kOptionRows) {
        const QString name = QLatin1String(row.longName);
        if (!parser.isSet(name))
            continue;
        if (const QString problem = row.read({parser.value(name), parser}, options); !problem.isEmpty())
            return usageError(problem);
    }
    options.library.skipExisting = options.session.existing == ResultSaver::Existing::Skip;   // for the walk
    options.paths = parser.positionalArguments();
    if (options.paths.isEmpty())
        return usageError(QStringLiteral("no PATH given: name the files or folders to convert"));
    if (options.paths.contains(QString()))
        return usageError(QStringLiteral("an empty PATH was given"));
    return {CliCommand::Action::Convert, options, {}};
}

} // namespace

int bitrateFor(const QString &value)
{
    // The whole value, or it is no bitrate: a script that says "-b 19x" has a typo.
    static const QRegularExpression spelling(QStringLiteral("^\\s*(\\d{1,4})\\s*(?:kbps)?\\s*$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = spelling.match(value);
    if (!match.hasMatch())
        return 0;
    const int rate = match.captured(1).toInt();
    return Tools::bitrates().contains(rate) ? rate : 0;
}

CliCommand parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Converts .m4a files (and any other file the decoder reads) to MP3."));
    // Not rows: each ends the line's reading. Not addHelpOption(): its --help-all offers Qt's
    // own options, which a console program lacks.
    const QCommandLineOption help(Console::extraHelpNames() + QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    for (const OptionRow &row : kOptionRows)
        parser.addOption(commandLineOption(row));
    parser.addPositionalArgument(QStringLiteral("PATH"),
                                 QStringLiteral("A file to convert, or a folder to search for .m4a and .m4b files."),
                                 QStringLiteral("PATH..."));

    if (!parser.parse(arguments))
        return usageError(parser.errorText());

    // Asked-for help wins over every other problem on the line, as users expect.
    if (parser.isSet(help))
        return {CliCommand::Action::ShowHelp, {}, parser.helpText() + helpEpilogue()};
    if (parser.isSet(version))
        return {CliCommand::Action::ShowVersion, {},
                QStringLiteral("quorvane-cli %1\n").arg(QStringLiteral(QUORVANE_VERSION))};
    return convertCommand(parser);
}

} // namespace CliArguments
