// The parser is compiled in here: tests under tests/cli link the engine library only, and
// the front end's own files belong to the quorvane-cli executable.
#include "cli/clioptions.h"
#include "convert/engine/loudness.h"
#include "testmain.h"

#include "convert/engine/toolcommands.h"
#include "convert/files/pathhelpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using Action = CliCommand::Action;
Q_DECLARE_METATYPE(CliCommand::Action)

class TestCliOptions : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void everyOfferedBitrateIsAccepted();
    void helpAndVersion_data();
    void helpAndVersion();
    void outputFolderProblem_data();
    void outputFolderProblem();
};

void TestCliOptions::parse_data()
{
    QTest::addColumn<QStringList>("arguments");   // without the program's name
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("bitrate");         // the encoding's text, ", joint" for joint stereo
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("jobs");                // 0: the number of cores
    QTest::addColumn<bool>("dryRun");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("error");           // a part of the usage error
    QTest::addColumn<QString>("library");         // "[single] [tree] [skip] [rename] K/N [pattern] [gain MODE[ by folder]] [cover N] [id3v1] [chapters]"

    const QString k128 = QStringLiteral("128 kbps");
    const QString k192 = QStringLiteral("192 kbps");
    const QStringList x{QStringLiteral("x.m4a")};
    auto ok = [&](const char *name, const QStringList &arguments, const QString &bitrate,
                  const QString &output, int jobs, bool dryRun, const QStringList &paths,
                  const char *library = "1/1") {
        QTest::newRow(name) << arguments << Action::Convert << bitrate << output << jobs << dryRun
                            << paths << QString() << QString::fromUtf8(library);
    };
    auto bad = [&](const char *name, const QStringList &arguments, const char *error) {
        QTest::newRow(name) << arguments << Action::UsageError << QString() << QString() << 0
                            << false << QStringList() << QString::fromUtf8(error) << QString();
    };
    auto shard = [&](const char *name, const char *value, const char *library) {
        const QStringList arguments{QStringLiteral("--shard"), QString::fromUtf8(value), x.at(0)};
        library ? ok(name, arguments, k128, {}, 0, false, x, library)
                : bad(name, arguments, "shard must be K/N with 1 <= K <= N");
    };

    ok("defaults", x, k128, QString(), 0, false, x);
    ok("bitrate as a number", {QStringLiteral("-b"), QStringLiteral("192"), x.at(0)}, k192, {}, 0, false, x);
    ok("bitrate as its text", {QStringLiteral("--bitrate"), QStringLiteral("192 kbps"), x.at(0)}, k192, {}, 0, false, x);
    ok("bitrate in capitals, no space", {QStringLiteral("-b"), QStringLiteral("192KBPS"), x.at(0)}, k192, {}, 0, false, x);
    ok("bitrate with spaces", {QStringLiteral("-b"), QStringLiteral(" 320  Kbps "), x.at(0)},
       QStringLiteral("320 kbps"), {}, 0, false, x);
    ok("bitrate after =", {QStringLiteral("--bitrate=8"), x.at(0)}, QStringLiteral("8 kbps"), {}, 0, false, x);
    ok("VBR quality", {QStringLiteral("-V"), QStringLiteral("2"), x.at(0)}, QStringLiteral("VBR quality 2"), {}, 0, false, x);
    ok("VBR, joint stereo", {QStringLiteral("--vbr=0"), QStringLiteral("--stereo"), QStringLiteral("Joint"), x.at(0)},
       QStringLiteral("VBR quality 0, joint"), {}, 0, false, x);
    ok("simple stereo", {QStringLiteral("--stereo=simple"), x.at(0)}, k128, {}, 0, false, x);
    ok("jobs", {QStringLiteral("-j"), QStringLiteral("3"), x.at(0)}, k128, {}, 3, false, x);
    ok("long jobs", {QStringLiteral("--jobs=1"), x.at(0)}, k128, {}, 1, false, x);
    ok("output", {QStringLiteral("-o"), QStringLiteral("out dir"), x.at(0)}, k128, QStringLiteral("out dir"), 0, false, x);
    ok("dry run", {QStringLiteral("--dry-run"), x.at(0)}, k128, {}, 0, true, x);
    ok("paths keep their order", {QStringLiteral("b"), QStringLiteral("-b"), QStringLiteral("64"), QStringLiteral("a"),
                                  QStringLiteral("--"), QStringLiteral("-c.m4a")},
       QStringLiteral("64 kbps"), {}, 0, false, {QStringLiteral("b"), QStringLiteral("a"), QStringLiteral("-c.m4a")});

    ok("library options", {QStringLiteral("--skip-existing"), x.at(0), QStringLiteral("--keep-tree")},
       k128, {}, 0, false, x, "tree skip 1/1");
    ok("single pass", {QStringLiteral("--single-pass"), x.at(0)}, k128, {}, 0, false, x, "single 1/1");
    ok("existing: skip", {QStringLiteral("--existing"), QStringLiteral("Skip"), x.at(0)}, k128, {}, 0, false, x, "skip 1/1");
    ok("existing: rename", {QStringLiteral("--existing=rename"), x.at(0)}, k128, {}, 0, false, x, "rename 1/1");
    bad("existing: unknown", {QStringLiteral("--existing"), QStringLiteral("merge"), x.at(0)}, "existing must be skip, overwrite or rename, not 'merge'");
    bad("existing: disagrees", {QStringLiteral("--skip-existing"), QStringLiteral("--existing=rename"), x.at(0)}, "disagree");
    bad("existing: disagrees, named first", {QStringLiteral("--existing=overwrite"), QStringLiteral("--skip-existing"), x.at(0)},
        "--skip-existing and --existing overwrite disagree");
    ok("pattern", {QStringLiteral("-p"), QStringLiteral("{albumartist}/{track:02} {title}"), QStringLiteral("--keep-tree"), x.at(0)},
       k128, {}, 0, false, x, "tree 1/1 {albumartist}/{track:02} {title}");
    ok("split chapters", {QStringLiteral("--split-chapters"), QStringLiteral("-p"), QStringLiteral("{album}/{chapter:02} {chaptertitle}"), x.at(0)},
       k128, {}, 0, false, x, "1/1 {album}/{chapter:02} {chaptertitle} chapters");
    bad("pattern: unknown field", {QStringLiteral("--pattern={artst}"), x.at(0)}, "unknown field '{artst}' in pattern");
    bad("pattern: padded text", {QStringLiteral("--pattern={title:02}"), x.at(0)}, "unknown field '{title:02}'");
    bad("pattern: unclosed", {QStringLiteral("--pattern"), QStringLiteral("{album}/{title"), x.at(0)}, "unbalanced braces in pattern '{album}/{title'");
    bad("pattern: unopened", {QStringLiteral("--pattern"), QStringLiteral("title}"), x.at(0)}, "unbalanced braces");
    bad("pattern: nested", {QStringLiteral("--pattern"), QStringLiteral("{a{title}}"), x.at(0)}, "unbalanced braces");
    bad("pattern: empty", {QStringLiteral("--pattern"), QStringLiteral("/"), x.at(0)}, "the pattern is empty");
    ok("cover limit and ID3v1", {QStringLiteral("--cover-max"), QStringLiteral(" 500 "), QStringLiteral("--id3v1"), x.at(0)},
       k128, {}, 0, false, x, "1/1 cover 500 id3v1");
    bad("cover limit zero", {QStringLiteral("--cover-max=0"), x.at(0)}, "cover-max must be a positive whole number of pixels, not '0'");
    shard("shard", "2/5", "2/5");
    shard("last shard, spaced", " 7 / 7 ", "7/7");
    shard("shard zero", "0/2", nullptr);
    // A build without a loudness meter (the Windows one) refuses the option at once.
    if (R128::isAvailable()) {
        ok("replaygain track", {QStringLiteral("--replaygain"), QStringLiteral("Track"), x.at(0)}, k128, {}, 0, false, x, "1/1 gain track");
        ok("replaygain album: shards by folder", {QStringLiteral("--shard=1/3"), QStringLiteral("--replaygain=album"), x.at(0)},
           k128, {}, 0, false, x, "1/3 gain album by folder");
        bad("replaygain: unknown", {QStringLiteral("--replaygain"), QStringLiteral("disc"), x.at(0)}, "replaygain must be track or album, not 'disc'");
    } else {
        bad("replaygain: not in this build", {QStringLiteral("--replaygain"), QStringLiteral("track"), x.at(0)},
            "--replaygain is not available in this build");
    }
    shard("shard beyond its count", "3/2", nullptr);
    shard("shard without count", "2", nullptr);
    shard("shard not a number", "x", nullptr);
    shard("shard of three numbers", "1/2/3", nullptr);

    bad("bitrate not offered", {QStringLiteral("-b"), QStringLiteral("193"), x.at(0)}, "bitrate '193' is not offered");
    bad("bitrate not a number", {QStringLiteral("-b"), QStringLiteral("abc"), x.at(0)}, "bitrate 'abc' is not offered");
    bad("bitrate with a typo", {QStringLiteral("-b"), QStringLiteral("192k"), x.at(0)}, "bitrate '192k'");
    bad("bitrate with a fraction", {QStringLiteral("-b"), QStringLiteral("192.5"), x.at(0)}, "bitrate '192.5'");
    bad("bitrate zero", {QStringLiteral("-b"), QStringLiteral("0"), x.at(0)}, "bitrate '0'");
    bad("bitrate empty", {QStringLiteral("--bitrate="), x.at(0)}, "bitrate ''");
    bad("VBR quality 10", {QStringLiteral("-V"), QStringLiteral("10"), x.at(0)}, "VBR quality must be 0 to 9, not '10'");
    bad("bitrate and VBR", {QStringLiteral("-b"), QStringLiteral("192"), QStringLiteral("-V"), QStringLiteral("2"), x.at(0)}, "not both");
    ok("bitrate given twice: the last", {QStringLiteral("-b"), QStringLiteral("999"), QStringLiteral("-b"), QStringLiteral("192"), x.at(0)},
       k192, {}, 0, false, x);
    bad("tool-timeout negative", {QStringLiteral("--tool-timeout"), QStringLiteral("-1"), x.at(0)},
        "tool-timeout must be a whole number of seconds (0 for none), not '-1'");
    bad("flag given a value", {QStringLiteral("--dry-run=yes"), x.at(0)}, "Unexpected value after '--dry-run'");
    bad("stereo unknown", {QStringLiteral("--stereo"), QStringLiteral("mid"), x.at(0)}, "stereo must be simple or joint, not 'mid'");
    bad("jobs zero", {QStringLiteral("-j"), QStringLiteral("0"), x.at(0)}, "jobs must be a positive whole number, not '0'");
    bad("jobs negative", {QStringLiteral("-j"), QStringLiteral("-1"), x.at(0)}, "not '-1'");
    bad("jobs not a number", {QStringLiteral("-j"), QStringLiteral("x"), x.at(0)}, "not 'x'");
    bad("jobs with a fraction", {QStringLiteral("--jobs"), QStringLiteral("2.5"), x.at(0)}, "not '2.5'");
    bad("no PATH", {}, "no PATH given");
    bad("options but no PATH", {QStringLiteral("-b"), QStringLiteral("192"), QStringLiteral("--dry-run")}, "no PATH given");
    bad("empty PATH", {QString()}, "empty PATH");
    bad("empty output folder", {QStringLiteral("-o"), QString(), x.at(0)}, "output folder is empty");
    bad("unknown long option", {QStringLiteral("--frobnicate"), x.at(0)}, "Unknown option 'frobnicate'");
    bad("unknown short option", {QStringLiteral("-q"), x.at(0)}, "Unknown option 'q'");
    bad("missing value", {x.at(0), QStringLiteral("-b")}, "Missing value after '-b'");
}

void TestCliOptions::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(Action, action);
    QFETCH(QString, bitrate);
    QFETCH(QString, output);
    QFETCH(int, jobs);
    QFETCH(bool, dryRun);
    QFETCH(QStringList, paths);
    QFETCH(QString, error);
    QFETCH(QString, library);

    const CliCommand command = CliArguments::parse(QStringList{QStringLiteral("quorvane-cli")} + arguments);
    QCOMPARE(command.action, action);
    if (action == Action::UsageError) {
        QVERIFY2(command.text.contains(error), qPrintable(command.text));
        QVERIFY(!command.text.contains(u'\n'));   // one line
        return;
    }
    const Tools::Encoding &encoding = command.options.session.encoding;
    QCOMPARE(encoding.text() + QLatin1String(encoding.jointStereo ? ", joint" : ""), bitrate);
    QCOMPARE(command.options.outputFolder, output);
    QCOMPARE(command.options.session.jobs, jobs == 0 ? QThread::idealThreadCount() : jobs);
    QCOMPARE(command.options.dryRun, dryRun);
    QCOMPARE(command.options.paths, paths);
    const CliOptions &o = command.options;
    const ResultSaver::Existing existing = o.session.existing;
    QCOMPARE(o.library.skipExisting, existing == ResultSaver::Existing::Skip);   // the walk's and the save's
    QCOMPARE(QStringLiteral("%1%2%3%4%5/%6")
                 .arg(QLatin1String(o.session.tools.singlePass ? "single " : ""), QLatin1String(o.library.keepTree ? "tree " : ""),
                      QLatin1String(existing == ResultSaver::Existing::Skip ? "skip " : ""),
                      QLatin1String(existing == ResultSaver::Existing::Rename ? "rename " : ""))
                 .arg(o.library.shardIndex)
                 .arg(o.library.shardCount)
                 + (o.library.pattern.isEmpty() ? QString() : u' ' + o.library.pattern)
                 + QLatin1String(o.session.replayGain == ReplayGain::Mode::Track ? " gain track"
                                 : o.session.replayGain == ReplayGain::Mode::Album ? " gain album" : "")
                 + QLatin1String(o.library.shardByFolder ? " by folder" : "")
                 + (o.session.tags.coverMaxPixels > 0 ? QStringLiteral(" cover %1").arg(o.session.tags.coverMaxPixels) : QString())
                 + QLatin1String(o.session.tags.id3v1 ? " id3v1" : "")
                 + QLatin1String(o.library.splitChapters ? " chapters" : ""),
             library);
}

void TestCliOptions::everyOfferedBitrateIsAccepted()
{
    QCOMPARE(Tools::bitrates().size(), 18);
    for (int rate : Tools::bitrates()) {
        const QString text = Tools::bitrateText(rate);
        QCOMPARE(CliArguments::bitrateFor(QString::number(rate)), rate);
        QCOMPARE(CliArguments::bitrateFor(text), rate);
        QCOMPARE(CliArguments::bitrateFor(text.toUpper()), rate);
    }
}

void TestCliOptions::helpAndVersion_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Action>("action");
    QTest::addColumn<QStringList>("expected");   // parts of the text

    const QStringList help{QStringLiteral("--bitrate <KBPS>"), QStringLiteral("--output <DIR>"),
                           QStringLiteral("--jobs <N>"), QStringLiteral("--dry-run"), QStringLiteral("PATH..."),
                           QStringLiteral("--keep-tree"), QStringLiteral("--skip-existing"),
                           QStringLiteral("--shard <K/N>"), QStringLiteral("-p, --pattern <TEMPLATE>"),
                           QStringLiteral("--split-chapters"),
                           QStringLiteral("\"Unknown Artist\""),
                           QStringLiteral("130"), QStringLiteral("SIGINT"), QStringLiteral("143"),
                           QStringLiteral("SIGTERM")};
    const QStringList version{QStringLiteral("quorvane-cli %1\n").arg(QStringLiteral(QUORVANE_VERSION))};
    QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << Action::ShowHelp << help;
    QTest::newRow("-h") << QStringList{QStringLiteral("-h")} << Action::ShowHelp << help;
    QTest::newRow("help despite other mistakes")
        << QStringList{QStringLiteral("-b"), QStringLiteral("193"), QStringLiteral("--help")} << Action::ShowHelp << help;
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")} << Action::ShowVersion << version;
    QTest::newRow("-v") << QStringList{QStringLiteral("-v"), QStringLiteral("x.m4a")} << Action::ShowVersion << version;
}

void TestCliOptions::helpAndVersion()
{
    QFETCH(QStringList, arguments);
    QFETCH(Action, action);
    QFETCH(QStringList, expected);

    const CliCommand command = CliArguments::parse(QStringList{QStringLiteral("quorvane-cli")} + arguments);
    QCOMPARE(command.action, action);
    for (const QString &part : expected)
        QVERIFY2(command.text.contains(part), qPrintable(part));
    if (action == Action::ShowVersion)
        QCOMPARE(command.text, expected.constFirst());
}

void TestCliOptions::outputFolderProblem_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("problem");   // a part of it; empty: no problem

    QTest::newRow("writable folder") << QStringLiteral("folder") << QString();
    QTest::newRow("missing") << QStringLiteral("missing") << QStringLiteral("does not exist");
    QTest::newRow("a file") << QStringLiteral("file") << QStringLiteral("is not a folder");
    // Permission bits do not stop an administrator; a file system that takes no files does.
    QTest::newRow("takes no files") << QStringLiteral("proc") << QStringLiteral("is not writable");
}

void TestCliOptions::outputFolderProblem()
{
    QFETCH(QString, kind);
    QFETCH(QString, problem);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    QString folder = work.filePath(QStringLiteral("out"));
    if (kind == QStringLiteral("folder")) {
        QVERIFY(QDir(work.path()).mkdir(QStringLiteral("out")));
    } else if (kind == QStringLiteral("file")) {
        QFile file(folder);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (kind == QStringLiteral("proc")) {
        folder = QStringLiteral("/proc");
        if (!QFileInfo(folder).isDir())
            QSKIP("no /proc here");
    }

    const QString found = Paths::folderProblem(folder, QStringLiteral("output folder"));
    if (problem.isEmpty()) {
        QVERIFY2(found.isEmpty(), qPrintable(found));
        // The trial file is gone again.
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    } else {
        QVERIFY2(found.contains(problem), qPrintable(found));
        QVERIFY(found.contains(QDir::toNativeSeparators(folder)));
    }
}

QUORVANE_TEST_GUILESS_MAIN(TestCliOptions)
#include "tst_clioptions.moc"
