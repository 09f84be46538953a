#include "cli/clioptions.h"

#include "convert/toolcommands.h"
#include "filelist/walk/namepattern.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QRegularExpression>
#include <QThread>

#include <optional>

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
        "files and keeps what is already saved; a second one stops at once.\n");
}

QString bitrateChoices()
{
    QStringList numbers;
    for (int rate : Tools::bitrates())
        numbers.append(QString::number(rate));
    return numbers.join(QStringLiteral(", "));
}

// A whole number of at least least, spaces around it allowed; nothing for anything else.
std::optional<int> wholeNumber(const QString &value, int least)
{
    bool ok = false;
    const int number = value.trimmed().toInt(&ok);
    return ok && number >= least ? std::optional<int>(number) : std::nullopt;
}

CliCommand usageError(const QString &message)
{
    return {CliCommand::Action::UsageError, {}, message};
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
    // Not addHelpOption(): its --help-all offers Qt's own options, which a console program lacks.
    const QCommandLineOption help({
#ifdef Q_OS_WIN
                                      QStringLiteral("?"),
#endif
                                      QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption bitrate(
        {QStringLiteral("b"), QStringLiteral("bitrate")},
        QStringLiteral("Bitrate of the MP3 files: one of %1, with or without \"kbps\" (default 128).")
            .arg(bitrateChoices()),
        QStringLiteral("KBPS"));
    const QCommandLineOption vbr(
        {QStringLiteral("V"), QStringLiteral("vbr")},
        QStringLiteral("Encode with LAME's variable bitrate at quality Q, 0 (best, largest) to 9, instead "
                       "of a constant bitrate; 2 is the usual choice for music."),
        QStringLiteral("Q"));
    const QCommandLineOption stereo(
        QStringLiteral("stereo"),
        QStringLiteral("How the encoder codes stereo: simple (left and right apart, the default) or "
                       "joint (faster to encode, what most converters use)."),
        QStringLiteral("MODE"));
    const QCommandLineOption output(
        {QStringLiteral("o"), QStringLiteral("output")},
        QStringLiteral("Folder for the MP3 files; it must exist (default: the current folder)."),
        QStringLiteral("DIR"));
    const QCommandLineOption jobs(
        {QStringLiteral("j"), QStringLiteral("jobs")},
        QStringLiteral("Files converted at the same time (default: the number of processor cores, %1).")
            .arg(QThread::idealThreadCount()),
        QStringLiteral("N"));
    const QCommandLineOption dryRun(
        QStringLiteral("dry-run"),
        QStringLiteral("Print the files that would be converted, one per line (a control character in a "
                       "name as \\xNN), and convert nothing."));
    const QCommandLineOption singlePass(
        QStringLiteral("single-pass"),
        QStringLiteral("Decode each file straight into the encoder through a pipe instead of into an "
                       "MP3 file that is then re-encoded: faster, with one encode less. A file whose "
                       "encoder fails then fails, instead of being kept at the decoder's bitrate."));
    const QCommandLineOption keepTree(
        QStringLiteral("keep-tree"),
        QStringLiteral("Save each file found under a named folder at its path below that folder's "
                       "parent (-o /out ~/Music gives /out/Music/Artist/Album/01 Song.mp3), creating "
                       "folders as needed; a file named directly goes to the output folder itself."));
    const QCommandLineOption skipExisting(
        QStringLiteral("skip-existing"),
        QStringLiteral("Skip a source whose MP3 file already exists, is not older than the source "
                       "and is whole (MPEG audio as long as the source, within half a second); it is "
                       "reported as skipped, not converted."));
    const QCommandLineOption existing(
        QStringLiteral("existing"),
        QStringLiteral("What to do when an MP3 file of the name exists: overwrite it (the default), "
                       "skip the source as --skip-existing does, or rename (save under the next free "
                       "\" (2)\" name and keep both). A source is never replaced."),
        QStringLiteral("POLICY"));
    const QCommandLineOption pattern(
        {QStringLiteral("p"), QStringLiteral("pattern")},
        QStringLiteral("Name each file from its source's tags: {artist}, {albumartist}, {album}, {title}, "
                       "{track}, {disc}, {year}, {genre} and {name} (the source's name), \"/\" between "
                       "folders, \".mp3\" added; {track:02} (also disc, year) has at least 2 digits. "
                       "Below the output folder, or with --keep-tree the mirrored folder."),
        QStringLiteral("TEMPLATE"));
    const QCommandLineOption shard(
        QStringLiteral("shard"),
        QStringLiteral("Take only the sources whose path below the named folder's parent hashes to "
                       "shard K of N (1 <= K <= N), the same on every machine and in any argument "
                       "order, so N machines or jobs split one library with no coordination."),
        QStringLiteral("K/N"));
    const QCommandLineOption toolTimeout(
        QStringLiteral("tool-timeout"),
        QStringLiteral("Stop a decoder or encoder that makes no progress for this many seconds "
                       "(no output and no progress line), and fail its file; 0 waits for ever "
                       "(default %1).")
            .arg(kDefaultToolTimeoutSeconds),
        QStringLiteral("SECONDS"));
    parser.addOptions({bitrate, vbr, stereo, output, jobs, dryRun, singlePass, keepTree, pattern, skipExisting,
                       existing, shard, toolTimeout});
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

    CliOptions options;
    if (parser.isSet(bitrate)) {
        const QString value = parser.value(bitrate);
        options.encoding.bitrate = bitrateFor(value);
        if (options.encoding.bitrate == 0) {
            return usageError(QStringLiteral("bitrate '%1' is not offered; choose one of %2 (kbps)")
                                  .arg(value, bitrateChoices()));
        }
    }

    if (parser.isSet(vbr)) {
        static const QRegularExpression quality(QStringLiteral("^\\s*([0-9])\\s*$"));
        const QRegularExpressionMatch match = quality.match(parser.value(vbr));
        if (!match.hasMatch())
            return usageError(QStringLiteral("VBR quality must be 0 to 9, not '%1'").arg(parser.value(vbr)));
        if (parser.isSet(bitrate))
            return usageError(QStringLiteral("choose a bitrate (-b) or a VBR quality (-V), not both"));
        options.encoding.vbrQuality = match.captured(1).toInt();
    }
    if (parser.isSet(stereo)) {
        const QString mode = parser.value(stereo).trimmed().toLower();
        if (mode != QStringLiteral("simple") && mode != QStringLiteral("joint"))
            return usageError(QStringLiteral("stereo must be simple or joint, not '%1'").arg(parser.value(stereo)));
        options.encoding.jointStereo = mode == QStringLiteral("joint");
    }

    options.outputFolder = parser.value(output);   // "" when not given
    if (parser.isSet(output) && options.outputFolder.isEmpty())
        return usageError(QStringLiteral("the output folder is empty"));

    options.jobs = QThread::idealThreadCount();
    if (parser.isSet(jobs)) {
        const std::optional<int> count = wholeNumber(parser.value(jobs), 1);
        if (!count)
            return usageError(QStringLiteral("jobs must be a positive whole number, not '%1'").arg(parser.value(jobs)));
        options.jobs = *count;
    }

    if (parser.isSet(shard)) {
        static const QRegularExpression spelling(
            QStringLiteral("^\\s*(\\d{1,9})\\s*/\\s*(\\d{1,9})\\s*$"));
        const QString value = parser.value(shard);
        const QRegularExpressionMatch match = spelling.match(value);
        const int index = match.hasMatch() ? match.captured(1).toInt() : 0;
        const int count = match.hasMatch() ? match.captured(2).toInt() : 0;
        if (index < 1 || index > count) {
            return usageError(
                QStringLiteral("shard must be K/N with 1 <= K <= N, such as 2/5, not '%1'").arg(value));
        }
        options.library.shardIndex = index;
        options.library.shardCount = count;
    }

    if (parser.isSet(pattern)) {
        options.library.pattern = parser.value(pattern);
        if (const QString problem = NamePattern::problem(options.library.pattern); !problem.isEmpty())
            return usageError(problem);
    }

    if (parser.isSet(toolTimeout)) {
        const std::optional<int> seconds = wholeNumber(parser.value(toolTimeout), 0);
        if (!seconds) {
            return usageError(QStringLiteral("tool-timeout must be a whole number of seconds (0 for none), not '%1'")
                                  .arg(parser.value(toolTimeout)));
        }
        options.tools.stallTimeoutSeconds = *seconds;
    }

    options.dryRun = parser.isSet(dryRun);
    options.tools.singlePass = parser.isSet(singlePass);
    options.library.keepTree = parser.isSet(keepTree);
    options.library.skipExisting = parser.isSet(skipExisting);
    if (parser.isSet(existing)) {
        const QString policy = parser.value(existing).trimmed().toLower();
        if (policy != QStringLiteral("skip") && policy != QStringLiteral("overwrite") && policy != QStringLiteral("rename"))
            return usageError(QStringLiteral("existing must be skip, overwrite or rename, not '%1'").arg(parser.value(existing)));
        if (options.library.skipExisting && policy != QStringLiteral("skip"))
            return usageError(QStringLiteral("--skip-existing and --existing %1 disagree").arg(policy));
        options.library.skipExisting = policy == QStringLiteral("skip");
        options.renameExisting = policy == QStringLiteral("rename");
    }
    options.paths = parser.positionalArguments();
    if (options.paths.isEmpty())
        return usageError(QStringLiteral("no PATH given: name the files or folders to convert"));
    if (options.paths.contains(QString()))
        return usageError(QStringLiteral("an empty PATH was given"));

    return {CliCommand::Action::Convert, options, {}};
}

} // namespace CliArguments
