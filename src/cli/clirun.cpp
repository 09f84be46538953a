#include "cli/clirun.h"

#include "cli/clireport.h"
#include "cli/console.h"
#include "convert/batchsession.h"
#include "convert/engine/chapters.h"
#include "convert/engine/processrunner.h"
#include "convert/engine/tagcopy.h"
#include "convert/files/pathhelpers.h"
#include "convert/files/workfolder.h"
#include "convert/signalwatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>


namespace {

void writeTo(FILE *stream, const QString &text)
{
    Console::write(stream, text);
}

// Standard output carries the program's data: its help, its version, a dry run's list. Nothing
// when it took text whole; otherwise the run's exit status: a failed write (a full disk under
// "> list.txt") fails the run with the reason on standard error, and a pipe whose reader has
// gone ("| head") ends it as that signal does.
std::optional<int> writeOutput(const QString &text)
{
    if (Console::write(stdout, text))
        return std::nullopt;
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    if (const int signalNumber = SignalWatcher::firstSignal())
        return CliExit::forSignal(signalNumber);
    writeTo(stderr, QStringLiteral("quorvane-cli: cannot write to standard output: %1\n").arg(reason));
    return CliExit::SomeFailed;
}


// A signal during the walk or the plan ends the run before any tool starts: its exit status.
std::optional<int> cancelledBeforeConverting()
{
    const int signalNumber = SignalWatcher::firstSignal();
    if (signalNumber == 0)
        return std::nullopt;
    writeTo(stderr, QStringLiteral("cancelled before anything was converted\n"));
    return CliExit::forSignal(signalNumber);
}

// One batch as the command line shows it: renders the core's session (which converts and
// saves each file into the output folder as soon as it is done) as lines on standard error,
// and ends the event loop with the run's exit status.
class CliBatch : public QObject
{
public:
    struct Setup
    {
        SessionSetup session;        // with saveFolder: existing and writable, native separators
        bool liveProgress = false;   // a line rewritten in place, for a terminal
        QList<LibraryLayout::Skipped> skipped;   // up to date already: reported, counted
        QList<LibraryLayout::RunPlan::Failed> failed;   // failed in the planning: reported, counted
    };

    explicit CliBatch(const Setup &setup)
        : m_setup(setup)
    {
        m_session = new BatchSession(m_setup.session, this);
        connect(m_session, &BatchSession::fileFinished, this, &CliBatch::onFileFinished);
        connect(m_session, &BatchSession::progressChanged, this, &CliBatch::refreshProgress);
        connect(m_session, &BatchSession::finished, this, &CliBatch::finish);

        m_liveTimer.setInterval(1000);   // the time left moves on between finished files
        connect(&m_liveTimer, &QTimer::timeout, this, &CliBatch::refreshProgress);
    }

    // "" once started; otherwise why nothing can be converted.
    QString start()
    {
        if (const QString problem = m_session->start(); !problem.isEmpty())
            return problem;
        // On a terminal the summary counts them, as it counts the converted files.
        if (!m_setup.liveProgress && !m_setup.skipped.isEmpty()) {
            QString lines;
            for (const LibraryLayout::Skipped &skipped : std::as_const(m_setup.skipped))
                lines += CliReport::skippedLine(skipped.source, QDir::toNativeSeparators(skipped.saveName), skipped.taken)
                         + u'\n';
            writeTo(stderr, lines);
        }
        for (const LibraryLayout::RunPlan::Failed &failed : std::as_const(m_setup.failed))
            note(CliReport::failedLine(failed.source, failed.reason));
        if (m_setup.liveProgress && !m_setup.session.sources.isEmpty()) {
            m_liveTimer.start();
            refreshProgress();
        }
        return {};
    }

    // The first one cancels (the tools are stopped, their temporary files deleted, saved files
    // stay); another one stops everything at once.
    void interrupt(int signalNumber)
    {
        if (m_done)
            return;
        if (m_signal == 0) {
            m_signal = signalNumber;
            note(QStringLiteral("cancelling: stopping the tools and deleting their temporary files (%1)")
                     .arg(secondSignalHint(signalNumber)));
            m_session->cancel();   // finished() follows once every tool has ended
            refreshProgress();
            return;
        }
        note(QStringLiteral("stopping at once"));
        finish(m_session->abort());
    }

private:
    // Named after what sent the first one: a scheduler that cancels a job sends SIGTERM, and
    // its user has no Ctrl+C to press. A closed pipe or terminal never sends a second one.
    static QString secondSignalHint(int signalNumber)
    {
        if (signalNumber == SIGINT)
            return QStringLiteral("a second Ctrl+C stops at once");
        if (signalNumber == SIGTERM)
            return QStringLiteral("a second SIGTERM stops at once");
        return QStringLiteral("a second Ctrl+C or SIGTERM stops at once");
    }

    void onFileFinished(const FileResult &result)
    {
        const QString &source = result.sourcePath;
        switch (result.status) {
        case FileStatus::Converted:
        case FileStatus::KeptDecoderBitrate:
            if (!m_setup.liveProgress)
                note(CliReport::convertedLine(source, QDir::toNativeSeparators(result.outputName)));
            if (result.status == FileStatus::KeptDecoderBitrate)
                note(CliReport::warningLine(source, result.reason));
            if (!result.warning.isEmpty())
                note(CliReport::warningLine(source, result.warning));
            if (!result.note.isEmpty())
                note(CliReport::warningLine(source, result.note));
            break;
        case FileStatus::Failed:
            note(CliReport::failedLine(source, result.reason));
            break;
        case FileStatus::Cancelled:
            if (!m_setup.liveProgress)
                note(CliReport::cancelledLine(source));
            break;
        }
        refreshProgress();
    }

    void finish(const BatchOutcome &outcome)
    {
        if (m_done)
            return;
        m_done = true;
        m_liveTimer.stop();
        clearLiveLine();

        const QList<FileResult> failures = outcome.failed();
        CliReport::SummaryCounts counts;
        // A file that is both incomplete and kept at the decoder's bitrate counts as incomplete:
        // some of its audio is missing, which a later --skip-existing run mends by converting it again.
        counts.incomplete = int(outcome.incomplete().size());
        for (const FileResult &kept : outcome.keptDecoderBitrate())
            counts.kept += kept.warning.isEmpty() ? 1 : 0;
        counts.converted = int(outcome.converted().size()) - counts.kept - counts.incomplete;
        counts.skipped = int(m_setup.skipped.size());
        counts.total = int(outcome.files.size() + m_setup.failed.size()) + counts.skipped;
        counts.failed = int(failures.size() + m_setup.failed.size());
        counts.cancelled = int(outcome.notConverted().size());
        counts.withoutGain = int(outcome.select([](const FileResult &f) { return f.isConverted() && f.withoutGain; }).size());
        QString summary = CliReport::summaryLine(counts, outcome.elapsedMs) + u'\n';
        for (const LibraryLayout::RunPlan::Failed &failed : std::as_const(m_setup.failed))
            summary += CliReport::failedLine(failed.source, failed.reason) + u'\n';
        for (const FileResult &failed : failures)
            summary += CliReport::failedLine(failed.sourcePath, failed.reason) + u'\n';
        writeTo(stderr, summary);

        // An incomplete file is saved, but the run did not do what was asked, as with a file kept
        // at the decoder's bitrate. A run that a signal stopped says so in its status, whatever
        // it had finished before.
        int status = outcome.allConverted() && counts.incomplete == 0 && m_setup.failed.isEmpty() ? CliExit::Converted
                                                                                                 : CliExit::SomeFailed;
        if (m_signal != 0)
            status = CliExit::forSignal(m_signal);
        QCoreApplication::exit(status);
    }

    // A line about one file, kept above the live line: the caller's next refreshProgress()
    // draws that again.
    void note(const QString &line)
    {
        clearLiveLine();
        writeTo(stderr, line + u'\n');
    }

    // The live line, on a terminal.
    void refreshProgress()
    {
        if (!m_setup.liveProgress || m_done)
            return;
        const QString line = m_session->progress().text(true);
        if (line == m_liveText)
            return;
        // Spaces wipe what a longer previous line left; no terminal control codes needed.
        const qsizetype padding = qMax<qsizetype>(0, m_liveText.size() - line.size());
        writeTo(stderr, u'\r' + line + QString(padding, u' '));
        m_liveText = line;
    }

    void clearLiveLine()
    {
        if (m_liveText.isEmpty())
            return;
        writeTo(stderr, u'\r' + QString(m_liveText.size(), u' ') + u'\r');
        m_liveText.clear();
    }

    Setup m_setup;
    BatchSession *m_session = nullptr;
    int m_signal = 0;                  // the signal that cancelled the batch
    bool m_done = false;
    QTimer m_liveTimer;                // live lines only
    QString m_liveText;                // the live line on screen; "" when none is shown
};

} // namespace

int runCli(const CliCommand &command)
{
    // Watching from the start: a walk through a large tree can take a while, and a write to a
    // closed pipe must end the program as cleanly as Ctrl+C, not kill it.
    SignalWatcher watcher(SignalWatcher::ClosedPipe::Stop);
    switch (command.action) {
    case CliCommand::Action::ShowHelp:
    case CliCommand::Action::ShowVersion:
        return writeOutput(command.text).value_or(CliExit::Converted);
    case CliCommand::Action::UsageError:
        writeTo(stderr, CliReport::usageErrorText(command.text));
        return CliExit::UsageError;
    case CliCommand::Action::Convert:
        break;
    }

    const CliOptions &options = command.options;
    const QString outputText = options.outputFolder.isEmpty() ? QStringLiteral(".") : options.outputFolder;
    // Checked for --dry-run too, so that a dry run foretells a real run's usage errors.
    if (const QString problem = Paths::folderProblem(outputText, QStringLiteral("output folder")); !problem.isEmpty()) {
        writeTo(stderr, CliReport::usageErrorText(problem));
        return CliExit::UsageError;
    }

    CliBatch::Setup setup;
    setup.session = options.session;   // as the user chose it; the files and folders come below
    // Files are taken as they are, like dropped ones; folders as by "Add All M4A File(s) In
    // Folder". Stops early once a signal has arrived.
    FolderWalk::UnreadableList unreadable;
    qsizetype tildes = 0;
    const QList<LibraryLayout::Source> found = LibraryLayout::collectSources(
        options.paths, QStringLiteral("*.m4a;*.m4b"), SignalWatcher::raisedFlag(), &unreadable, &tildes);
    if (const std::optional<int> status = cancelledBeforeConverting())
        return *status;
    // Named as the walk ends and again under the summary; they fail the run.
    QString unreadableLines;
    for (const FolderWalk::Unreadable &item : std::as_const(unreadable))
        unreadableLines += CliReport::unreadableLine(item.path, item.reason) + u'\n';
    writeTo(stderr, unreadableLines);
    // Said, not failed: such names are another program's lock and temporary files.
    if (tildes > 0)
        writeTo(stderr, CliReport::tildeLine(tildes) + u'\n');
    // A signal since the walk (a closed pipe under the list) ends the run as it says.
    const auto walkStatus = [&unreadable] {
        if (const int signalNumber = SignalWatcher::firstSignal())
            return CliExit::forSignal(signalNumber);
        return unreadable.isEmpty() ? CliExit::Converted : CliExit::SomeFailed;
    };
    if (found.isEmpty()) {
        writeTo(stderr, unreadable.isEmpty() ? QStringLiteral("no .m4a or .m4b file found; nothing to convert\n")
                                             : QStringLiteral("no readable .m4a or .m4b file found; nothing to convert\n"));
        return walkStatus();
    }

    setup.session.saveFolder = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(outputText).absoluteFilePath()));
    // The tools lie beside the program, as in an installed copy; a missing one is named before
    // anything runs, the chapter listing included.
    setup.session.appFolder = QCoreApplication::applicationDirPath();
    const QString decoder = Paths::toolPath(setup.session.appFolder, QStringLiteral("ffmpeg"));
    for (const auto &[tool, role] : {std::pair{decoder, QStringLiteral("decoder")},
                                     std::pair{Paths::toolPath(setup.session.appFolder, QStringLiteral("lame")),
                                               QStringLiteral("encoder")}}) {
        if (const QString problem = Paths::toolProblem(tool, role); !problem.isEmpty() && !options.dryRun) {
            writeTo(stderr, QStringLiteral("quorvane-cli: %1; nothing was converted\n").arg(problem));
            return CliExit::SomeFailed;
        }
    }
    // --split-chapters: the chapters as the decoder that cuts them reads them, listed before the
    // plan, in the event loop, where a signal stops the listing as it stops a batch.
    ChapterLister chapters(decoder, options.session.tools.stallTimeoutSeconds, options.session.jobs);
    if (options.library.splitChapters) {
        QStringList books;
        for (const LibraryLayout::Source &source : found)
            books.append(source.path);
        QObject::connect(&chapters, &ChapterLister::finished, qApp, &QCoreApplication::quit);
        QObject::connect(&watcher, &SignalWatcher::raised, &chapters, &ChapterLister::cancel);
        chapters.list(books);
        QCoreApplication::exec();
        if (const std::optional<int> status = cancelledBeforeConverting())
            return *status;
    }
    // Reads every source's tags (--pattern) or every output (--skip-existing); stops early, as
    // the walk does, once a signal has arrived.
    const LibraryLayout::RunPlan plan = LibraryLayout::planRun(
        found, setup.session.saveFolder, options.library, SignalWatcher::raisedFlag(),
        [&chapters](const QString &source) { return chapters.lists().value(source); });
    if (const std::optional<int> status = cancelledBeforeConverting())
        return *status;
    if (options.dryRun) {
        QString list;
        for (qsizetype i = 0; i < plan.sources.size(); ++i) {
            // With --pattern or --split-chapters, where each file goes.
            list += Paths::printable(options.library.pattern.isEmpty() && !options.library.splitChapters
                                         ? plan.sources.at(i)
                                         : plan.sources.at(i) + QStringLiteral(" -> ")
                                               + QDir::toNativeSeparators(plan.saveNames.at(i)))
                    + u'\n';
        }
        if (const std::optional<int> status = writeOutput(list))
            return *status;
        // What a real run would fail before converting anything.
        QString failedLines;
        for (const LibraryLayout::RunPlan::Failed &failed : plan.failed)
            failedLines += CliReport::failedLine(failed.source, failed.reason) + u'\n';
        writeTo(stderr, failedLines);
        return plan.failed.isEmpty() ? walkStatus() : qMax(walkStatus(), CliExit::SomeFailed);
    }

    // Said, not failed: each tool still dies with the program, only what a tool starts may not.
    if (ProcessRunner::isToolKeeperMissing())
        writeTo(stderr, QStringLiteral("quorvane-cli: quorvane-toolkeeper is missing beside the program; a tool's own "
                                       "child processes may outlive a killed run\n"));

    // What runs of ours that were killed outright left in the temporary folder, at every start
    // that may change the disk (a dry run changes nothing).
    WorkFolder::removeAbandoned(QString());
    setup.session.sources = plan.sources;
    setup.session.saveNames = plan.saveNames;
    setup.session.spans = plan.spans;
    setup.skipped = plan.skipped;
    setup.failed = plan.failed;
    // A library's long files start first, so that none runs alone at the end.
    setup.session.longestFirst = true;
    setup.liveProgress = Console::isTerminal(stderr);

    CliBatch batch(setup);
    QObject::connect(&watcher, &SignalWatcher::raised, &batch, &CliBatch::interrupt);
    if (const QString problem = batch.start(); !problem.isEmpty()) {
        writeTo(stderr, QStringLiteral("quorvane-cli: %1; nothing was converted\n").arg(problem));
        return CliExit::SomeFailed;
    }
    const int status = QCoreApplication::exec();
    writeTo(stderr, unreadableLines);
    // The batch's status says whether a signal stopped it; one that came once every file had
    // ended stopped nothing, and the run ends as the summary above says.
    return unreadable.isEmpty() ? status : qMax(status, CliExit::SomeFailed);
}
