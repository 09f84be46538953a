#include "clirun.h"

#include "clireport.h"
#include "convert/signalwatcher.h"
#include "convert/tempnames.h"

#include "convert/pathhelpers.h"
#include "filelist/folderwalk.h"
#include "results/resultsaver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// How often the live line's time left is brought up to date between finished files.
constexpr int kLiveRefreshMs = 1000;

void writeTo(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

bool isTerminal(FILE *stream)
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

// Files are taken as they are, like dropped ones; folders as by "Add All M4A File(s) In
// Folder". Stops early once a signal has arrived.
QStringList collectSources(const QStringList &paths)
{
    QStringList sources;
    for (const QString &path : paths) {
        if (SignalWatcher::raisedFlag()->load())
            break;
        if (QFileInfo(path).isDir())
            sources += FolderWalk::collectFiles(path, QStringLiteral("*.m4a"), SignalWatcher::raisedFlag());
        else
            sources.append(QDir::toNativeSeparators(path));
    }
    return sources;
}

} // namespace

int runCli(const CliCommand &command)
{
    switch (command.action) {
    case CliCommand::Action::ShowHelp:
    case CliCommand::Action::ShowVersion:
        writeTo(stdout, command.text);
        return CliExit::Converted;
    case CliCommand::Action::UsageError:
        writeTo(stderr, CliReport::usageErrorText(command.text));
        return CliExit::UsageError;
    case CliCommand::Action::Convert:
        break;
    }

    const CliOptions &options = command.options;
    const QString outputText = options.outputFolder.isEmpty() ? QStringLiteral(".") : options.outputFolder;
    // Checked for --dry-run too, so that a dry run foretells a real run's usage errors.
    const QString problem = CliArguments::outputFolderProblem(outputText);
    if (!problem.isEmpty()) {
        writeTo(stderr, CliReport::usageErrorText(problem));
        return CliExit::UsageError;
    }

    // Watching before the walk: a walk through a large tree can take a while.
    SignalWatcher watcher;
    const QStringList sources = collectSources(options.paths);
    if (const int signalNumber = SignalWatcher::firstSignal()) {
        writeTo(stderr, QStringLiteral("cancelled before anything was converted\n"));
        return CliExit::forSignal(signalNumber);
    }

    if (options.dryRun) {
        QString list;
        for (const QString &source : sources)
            list += source + u'\n';
        writeTo(stdout, list);
    }
    if (sources.isEmpty()) {
        writeTo(stderr, QStringLiteral("no .m4a file found; nothing to convert\n"));
        return CliExit::Converted;
    }
    if (options.dryRun)
        return CliExit::Converted;

    // Before anything runs: a batch would only fail file after file, each for the same reason.
    const QString tempFolder = QDir::tempPath();
    if (const QString tempProblem = ConversionBatch::temporaryFolderProblem(tempFolder); !tempProblem.isEmpty()) {
        writeTo(stderr, QStringLiteral("quorvane-cli: %1; nothing was converted\n").arg(tempProblem));
        return CliExit::SomeFailed;
    }
    // What an earlier run that was killed outright left behind.
    removeAbandonedTempFiles(tempFolder);

    // The tools lie beside the program, as in an installed copy.
    const QString appDir = QCoreApplication::applicationDirPath();
    CliBatch::Setup setup;
    setup.sources = sources;
    setup.outputFolder = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(outputText).absoluteFilePath()));
    setup.settings.tools.decoder = Paths::toolPath(appDir, QStringLiteral("ffmpeg"));
    setup.settings.tools.encoder = Paths::toolPath(appDir, QStringLiteral("lame"));
    setup.settings.tools.tempFolder = tempFolder;
    setup.settings.bitrateText = options.bitrateText;
    setup.settings.jobs = options.jobs;
    setup.liveProgress = isTerminal(stderr);

    CliBatch batch(setup);
    QObject::connect(&watcher, &SignalWatcher::raised, &batch, &CliBatch::interrupt);
    QObject::connect(&batch, &CliBatch::done, QCoreApplication::instance(),
                     [](int exitStatus) { QCoreApplication::exit(exitStatus); });
    batch.start();
    return QCoreApplication::exec();
}

CliBatch::CliBatch(const Setup &setup, FILE *messages, QObject *parent)
    : QObject(parent)
    , m_setup(setup)
    , m_messages(messages)
{
    // Named over the whole list in source order before anything runs, so that which file
    // gets "song (2).mp3" does not depend on which finishes first.
    QStringList displayNames;
    for (const QString &source : std::as_const(m_setup.sources))
        displayNames.append(Paths::displayNameFor(source));
    m_names = ResultSaver::uniqueNames(displayNames);
    m_outcomes.fill(Outcome::Pending, m_setup.sources.size());
    m_reasons.resize(m_setup.sources.size());

    m_batch = new ConversionBatch(m_setup.sources, m_setup.settings, this);
    connect(m_batch, &ConversionBatch::fileFinished, this, &CliBatch::onFileFinished);
    connect(m_batch, &ConversionBatch::progressChanged, this, [this](double shareDone) {
        m_share = shareDone;
        refreshProgress();
    });
    connect(m_batch, &ConversionBatch::finished, this, &CliBatch::onBatchFinished);

    if (m_setup.liveProgress) {
        m_liveTimer = new QTimer(this);
        m_liveTimer->setInterval(kLiveRefreshMs);
        connect(m_liveTimer, &QTimer::timeout, this, &CliBatch::refreshProgress);
    }
}

void CliBatch::start()
{
    m_clock.start();
    m_estimate.start(0);
    if (m_liveTimer) {
        m_liveTimer->start();
        refreshProgress();
    }
    m_batch->start();
}

void CliBatch::interrupt(int signalNumber)
{
    if (m_done)
        return;
    if (m_signal == 0) {
        m_signal = signalNumber;
        note(QStringLiteral("cancelling: stopping the tools and deleting their temporary files "
                            "(a second Ctrl+C stops at once)"));
        m_batch->cancel();   // finished() follows once every tool has ended
        refreshProgress();
        return;
    }
    note(QStringLiteral("stopping at once"));
    m_batch->abort();
    finish();
}

void CliBatch::onFileFinished(const FileResult &result)
{
    const int index = result.index;
    const QString &source = result.sourcePath;
    switch (result.status) {
    case FileStatus::Converted:
    case FileStatus::KeptDecoderBitrate: {
        const QList<ResultSaver::Failure> failures =
            ResultSaver::save(m_setup.outputFolder, {{m_names.at(index), result.tempPath}});
        // Saved or not, the temporary file is ours now and goes; a stop at once (abort) must
        // not delete by its name again.
        m_batch->takeConvertedFile(index);
        QFile::remove(result.tempPath);
        if (!failures.isEmpty()) {
            m_outcomes[index] = Outcome::Failed;
            m_reasons[index] = QStringLiteral("could not save %1: %2")
                                   .arg(failures.constFirst().target, failures.constFirst().reason);
            note(CliReport::failedLine(source, m_reasons.at(index)));
            break;
        }
        m_outcomes[index] = Outcome::Converted;
        ++m_convertedFiles;
        if (!m_setup.liveProgress)
            note(CliReport::convertedLine(source, m_names.at(index)));
        if (result.status == FileStatus::KeptDecoderBitrate)
            note(CliReport::warningLine(source, result.reason));
        if (!result.warning.isEmpty())
            note(CliReport::warningLine(source, result.warning));
        if (!result.note.isEmpty())
            note(CliReport::warningLine(source, result.note));
        break;
    }
    case FileStatus::Failed:
        m_outcomes[index] = Outcome::Failed;
        m_reasons[index] = result.reason;
        note(CliReport::failedLine(source, result.reason));
        break;
    case FileStatus::Cancelled:
        m_outcomes[index] = Outcome::Cancelled;
        if (!m_setup.liveProgress)
            note(CliReport::cancelledLine(source));
        break;
    }
    ++m_finishedFiles;
    refreshProgress();
}

void CliBatch::onBatchFinished()
{
    finish();
}

void CliBatch::finish()
{
    if (m_done)
        return;
    m_done = true;
    if (m_liveTimer)
        m_liveTimer->stop();
    clearLiveLine();

    const int total = int(m_setup.sources.size());
    int notConverted = 0;
    for (Outcome outcome : std::as_const(m_outcomes)) {
        if (outcome == Outcome::Pending || outcome == Outcome::Cancelled)
            ++notConverted;
    }
    QString summary = CliReport::summaryLine(m_convertedFiles, total, notConverted) + u'\n';
    for (int i = 0; i < total; ++i) {
        if (m_outcomes.at(i) == Outcome::Failed)
            summary += CliReport::failedLine(m_setup.sources.at(i), m_reasons.at(i)) + u'\n';
    }
    write(summary);

    int status = m_convertedFiles == total ? CliExit::Converted : CliExit::SomeFailed;
    if (m_signal != 0)
        status = CliExit::forSignal(m_signal);
    emit done(status);
}

// The live line is drawn again by the caller's next refreshProgress().
void CliBatch::note(const QString &line)
{
    clearLiveLine();
    write(line + u'\n');
}

void CliBatch::refreshProgress()
{
    const int total = int(m_setup.sources.size());
    // The engine's share counts the running files' progress too; finished files alone are
    // the floor until its first report.
    const double share = qMax(m_share, total > 0 ? double(m_finishedFiles) / total : 1.0);
    m_estimate.update(share, m_clock.elapsed());
    if (m_setup.liveProgress && !m_done)
        showLiveLine(CliReport::liveLine(m_finishedFiles, total, share, m_estimate.remainingMs()));
}

void CliBatch::showLiveLine(const QString &line)
{
    if (m_liveLength > 0 && line == m_liveText)
        return;
    // Spaces wipe what a longer previous line left; no terminal control codes needed.
    const qsizetype padding = qMax<qsizetype>(0, m_liveLength - line.size());
    write(u'\r' + line + QString(padding, u' '));
    m_liveText = line;
    m_liveLength = line.size();
}

void CliBatch::clearLiveLine()
{
    if (m_liveLength == 0)
        return;
    write(u'\r' + QString(m_liveLength, u' ') + u'\r');
    m_liveLength = 0;
}

void CliBatch::write(const QString &text)
{
    writeTo(m_messages, text);
}
