#include "convert/batchsession.h"

#include "convert/engine/mpegaudio.h"
#include "convert/engine/tagcopy.h"
#include "convert/files/pathhelpers.h"
#include "convert/files/workfolder.h"

#include <QCoreApplication>
#include <QtMath>
#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QPromise>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <numeric>
#include <utility>


// The order in which the sources start: as given, or the longest first, by the length each
// source states, else by its size as if it held audio at 128 kbps (16 bytes a millisecond);
// ties keep source order. With albums, each source's album tag too. Reads every source: run
// off the event thread, and stopped between two sources by a cancel, which would otherwise
// wait for a whole library's reading.
// A chapter counts by its own length; a source's length is read once for all its chapters.
void BatchSession::planStart(QPromise<StartPlan> &promise, const QStringList &sources, const QList<SourceSpan> &spans,
                             bool longestFirst, bool albums)
{
    StartPlan plan;
    plan.order.resize(sources.size());
    std::iota(plan.order.begin(), plan.order.end(), 0);
    if (longestFirst) {
        QList<qint64> lengths;
        lengths.reserve(sources.size());
        qint64 whole = 0;
        for (qsizetype i = 0; i < sources.size(); ++i) {
            if (promise.isCanceled())
                return;
            const QString &source = sources.at(i);
            if (i == 0 || sources.at(i - 1) != source)
                whole = MpegAudio::statedLengthMs(source).value_or(QFileInfo(source).size() / 16);
            lengths.append(spans.value(i).lengthMs(whole));
        }
        std::stable_sort(plan.order.begin(), plan.order.end(),
                         [&lengths](int a, int b) { return lengths.at(a) > lengths.at(b); });
    }
    for (qsizetype i = 0; albums && i < sources.size(); ++i) {
        if (promise.isCanceled())
            return;
        // As the file's tag will have it: a chapter's album may be its book's title.
        const SourceTags tags = TagCopy::chapterTags({true, TagCopy::readFields(sources.at(i)), {}, {}, {}}, spans.value(i));
        plan.albums.append(tags.fields.value(QStringLiteral("ALBUM")).value(0));
    }
    promise.addResult(plan);
}

QString BatchProgress::text(bool percent) const
{
    QString line = QStringLiteral("%1 of %2 file(s) done").arg(filesDone).arg(total);
    if (percent)   // 100% only once everything is done
        line += QStringLiteral(", %1%").arg(qBound(0, int(qFloor(shareDone * 100.0)), 100));
    if (remainingMs && filesDone < total)
        line += QStringLiteral(", about %1 left").arg(ProgressEstimate::formatDuration(*remainingMs));
    return line;
}

QList<FileResult> BatchOutcome::select(bool (*wanted)(const FileResult &)) const
{
    QList<FileResult> chosen;
    std::copy_if(files.cbegin(), files.cend(), std::back_inserter(chosen), wanted);
    return chosen;
}

BatchSession::BatchSession(const SessionSetup &setup, QObject *parent)
    : QObject(parent)
    , m_setup(setup)
{
    m_setup.jobs = qMax(1, m_setup.jobs);
    if (m_setup.tools.decoder.isEmpty())
        m_setup.tools.decoder = Paths::toolPath(m_setup.appFolder, QStringLiteral("ffmpeg"));
    if (m_setup.tools.encoder.isEmpty())
        m_setup.tools.encoder = Paths::toolPath(m_setup.appFolder, QStringLiteral("lame"));
    m_files.resize(m_setup.sources.size());
    m_results = new ResultSet(m_setup.sources, this);
    if (m_setup.saveFolder.isEmpty()) {
        m_setup.replayGain = ReplayGain::Mode::None;   // the tags go into saved files only
        return;
    }
    // Every name is settled before the first file is saved, so that which file gets which
    // does not depend on timing, and no file saved by this batch counts as there already.
    QStringList names = m_setup.saveNames;
    if (names.size() != m_setup.sources.size()) {
        names.clear();
        for (int i = 0; i < m_results->count(); ++i)
            names.append(m_results->at(i).displayName);
    }
    m_results->name(names);
    m_results->placeIn(m_setup.saveFolder, m_setup.existing);
    connect(m_results, &ResultSet::saved, this, &BatchSession::onSaved);
    if (m_setup.replayGain != ReplayGain::Mode::None) {
        m_gain = new GainStep(m_setup.replayGain, m_setup.tools, this);
        connect(m_gain, &GainStep::held, this, &BatchSession::onGainHeld);
        connect(m_gain, &GainStep::ready, this, &BatchSession::onGainReady);
    }
}

BatchSession::~BatchSession()
{
    if (isRunning())
        abort();
}

QString BatchSession::temporaryFolderProblem(const QString &folder)
{
    const QString path = folder.isEmpty() ? QDir::tempPath() : folder;
    if (path.isEmpty()) {
        // Qt gives no system temporary folder when the one named (TMPDIR) does not exist.
        const QString named = qEnvironmentVariable("TMPDIR");
        return named.isEmpty() ? QStringLiteral("the system's temporary folder cannot be found")
                               : QStringLiteral("the temporary folder does not exist: %1 (TMPDIR)").arg(named);
    }
    if (const QString problem = Paths::folderProblem(path, QStringLiteral("the temporary folder"), Paths::FolderUse::Exists);
        !problem.isEmpty())
        return problem;
    // Whether files can be made there shows as the program's own folder is made in it:
    // nothing of ours is made directly in a folder that other users share.
    QString problem;
    WorkFolder::in(folder, &problem);
    return problem;
}

QString BatchSession::start()
{
    if (m_state != State::Idle)
        return {};
    // Before anything runs: a batch would only fail file after file, each for the same reason.
    if (!m_setup.sources.isEmpty()) {
        for (const auto &[tool, role] : {std::pair{m_setup.tools.decoder, QStringLiteral("decoder")},
                                         std::pair{m_setup.tools.encoder, QStringLiteral("encoder")}}) {
            if (const QString problem = Paths::toolProblem(tool, role); !problem.isEmpty())
                return problem;
        }
        const QString temp = m_setup.tools.tempFolder;
        if (const QString problem = temporaryFolderProblem(temp); !problem.isEmpty())
            return problem;
        // What programs that were killed outright left behind.
        WorkFolder::removeAbandoned(temp);
        QString problem;
        m_setup.tools.tempFolder = WorkFolder::in(temp, &problem);
        if (m_setup.tools.tempFolder.isEmpty())
            return problem;
    }
    m_state = State::Running;
    m_clock.start();
    m_estimate.start(0);
    // The order may read every source's length: not on the event thread.
    auto *order = new QFutureWatcher<StartPlan>(this);
    connect(order, &QFutureWatcherBase::finished, this, [this, order] {
        order->deleteLater();
        if (order->isCanceled())
            return;   // the batch has ended without it
        const StartPlan plan = order->result();
        m_order = plan.order;
        // Every record's output name is settled by now: an album is known before its first
        // file starts.
        if (m_gain) {
            QHash<QString, int> albums;
            QList<int> albumOf(plan.albums.size(), -1);
            for (qsizetype i = 0; i < plan.albums.size(); ++i) {
                const QString key = ReplayGain::albumKey(m_results->at(int(i)).outputName, plan.albums.at(i));
                if (!key.isEmpty())
                    albumOf[i] = *albums.insert(key, albums.value(key, int(albums.size())));
            }
            m_gain->setAlbums(albumOf);
        }
        startMore();
    });
    m_ordering = QtConcurrent::run(planStart, m_setup.sources, m_setup.spans, m_setup.longestFirst,
                                   m_setup.replayGain == ReplayGain::Mode::Album);
    order->setFuture(m_ordering);
    return {};
}

void BatchSession::cancel()
{
    if (m_state != State::Running)
        return;
    m_state = State::Cancelling;
    m_ordering.cancel();
    // Each conversion reports Cancelled once its tool has ended and its files are gone; the
    // saves under way end as they would.
    for (const Running &file : std::as_const(m_files)) {
        if (file.conversion)
            file.conversion->cancel();
    }
    // The files measured or waiting for their album are saved, without their frames.
    if (m_gain)
        m_gain->cancel();
    finishIfIdle();
}

BatchOutcome BatchSession::abort()
{
    BatchOutcome stopped = outcome();
    stopped.cancelled = true;
    if (isRunning()) {
        m_ordering.cancel();
        // Nothing said after this, not even what was already on its way.
        QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
        for (Running &file : m_files) {
            if (FileConversion *conversion = std::exchange(file.conversion, nullptr)) {
                conversion->disconnect(this);
                conversion->abort();
                conversion->deleteLater();
            }
        }
        if (m_gain) {
            m_gain->disconnect(this);
            delete std::exchange(m_gain, nullptr);   // its meters die, a frame writer finishes first
        }
        // The saves under way finish their file, then every temporary file goes.
        delete std::exchange(m_results, nullptr);
    }
    m_state = State::Aborted;
    return stopped;
}

BatchProgress BatchSession::progress() const
{
    BatchProgress now;
    now.total = int(m_files.size());
    now.filesDone = m_filesDone;
    now.filesBegun = m_filesBegun;
    double done = m_filesDone;
    for (const Running &file : m_files)
        done += file.ended ? 0.0 : file.fraction;
    now.shareDone = now.total > 0 ? qMin(1.0, done / now.total) : 1.0;
    if (m_clock.isValid()) {
        m_estimate.update(now.shareDone, m_clock.elapsed());
        now.remainingMs = m_estimate.remainingMs();
    }
    return now;
}

ResultSet *BatchSession::takeResults()
{
    if (m_state != State::Finished || !m_setup.saveFolder.isEmpty() || !m_results)
        return nullptr;
    m_results->setParent(nullptr);
    return std::exchange(m_results, nullptr);
}

void BatchSession::post(std::function<void()> say)
{
    QMetaObject::invokeMethod(this, std::move(say), Qt::QueuedConnection);
}

void BatchSession::startMore()
{
    const int total = int(m_files.size());
    while (m_state == State::Running && m_running < m_setup.jobs && m_next < m_order.size()) {
        const int index = m_order.at(m_next++);
        auto *conversion = new FileConversion(index, m_setup.sources.at(index), m_setup.encoding, m_setup.tools, m_setup.tags, this);
        conversion->setSpan(m_setup.spans.value(index));
        connect(conversion, &FileConversion::progress, this, &BatchSession::onFileProgress);
        connect(conversion, &FileConversion::finished, this, &BatchSession::onConverted);
        m_files[index].conversion = conversion;
        ++m_running;
        ++m_filesBegun;
        post([this, index, total] { emit fileStarted(index, total); });
        conversion->start();
    }
    finishIfIdle();
}

void BatchSession::onFileProgress(int index, double fraction)
{
    // A file's 1.0 comes just before it finishes, which counts it whole anyway; left out, so
    // that the batch is whole only once every file has finished.
    if (m_state != State::Running || fraction >= 1.0 || !m_files.at(index).conversion)
        return;
    m_files[index].fraction = fraction;
    reportProgress();
}

void BatchSession::onConverted(const FileResult &result)
{
    std::exchange(m_files[result.index].conversion, nullptr)->deleteLater();
    // A converted file's temporary file is the result set's from now on.
    m_results->record(result);
    if (!m_setup.saveFolder.isEmpty() && result.isConverted()) {
        // The file keeps its place until it is saved, so that one file at a time is strictly
        // one after another; with ReplayGain it is measured first.
        if (m_gain)
            m_gain->measure(result.index, result.tempPath);
        else
            m_results->save(m_setup.saveFolder, {result.index});
        return;
    }
    if (m_gain)
        m_gain->leave(result.index);
    --m_running;
    endFile(result.index);
}

// Measured and waiting for the rest of its album: its place goes to the next file.
void BatchSession::onGainHeld(int index)
{
    m_files[index].waitsForAlbum = true;
    --m_running;
    if (m_state == State::Running)
        startMore();
}

void BatchSession::onGainReady(int index, const QString &note, const QString &problem)
{
    if (std::exchange(m_files[index].waitsForAlbum, false))
        ++m_running;   // its place again, until it is saved
    FileResult measured = m_results->at(index);
    measured.note = note;   // said after what the set has of it
    measured.withoutGain = !note.isEmpty() || !problem.isEmpty();
    m_results->record(measured);
    m_files[index].gainProblem = problem;
    m_results->save(m_setup.saveFolder, {index});
}

void BatchSession::onSaved(const SaveReport &report)
{
    m_results->releaseFiles(report.entries);
    for (int index : report.entries) {
        FileResult saved = m_results->at(index);
        saved.note.clear();
        const auto failure = std::find_if(report.failures.cbegin(), report.failures.cend(),
                                          [&](const ResultSaver::Failure &f) { return f.entry == index; });
        if (failure != report.failures.cend()) {
            saved.status = FileStatus::Failed;
            saved.reason = failure->text();
        } else {
            QStringList moved;
            for (const ResultSaver::Move &move : report.moves) {
                if (move.index == index)
                    moved.append(move.text());
            }
            saved.note = moved.join(QStringLiteral("; "));
        }
        if (saved.isConverted() && !m_files.at(index).gainProblem.isEmpty()) {
            saved.status = FileStatus::Failed;
            saved.reason = QStringLiteral("saved as %1 without ReplayGain: %2")
                               .arg(QDir::toNativeSeparators(saved.outputName), m_files.at(index).gainProblem);
        }
        m_results->record(saved);
        --m_running;
        endFile(index);
    }
}

void BatchSession::endFile(int index)
{
    m_files[index].ended = true;
    ++m_filesDone;
    post([this, result = m_results->at(index)] { emit fileFinished(result); });
    reportProgress();
    if (m_state == State::Running)
        startMore();
    else
        finishIfIdle();
}

void BatchSession::reportProgress()
{
    const BatchProgress now = progress();
    if (now.shareDone == m_reportedShare && now.filesDone == m_reportedFilesDone)
        return;
    m_reportedShare = now.shareDone;
    m_reportedFilesDone = now.filesDone;
    post([this, now] { emit progressChanged(now); });
}

void BatchSession::finishIfIdle()
{
    if (m_running > 0 || (m_state == State::Running && m_next < m_order.size()))
        return;
    // Converted files waiting for their album hold no place, but the batch waits for them.
    if (std::any_of(m_files.cbegin(), m_files.cend(), [](const Running &file) { return file.waitsForAlbum; }))
        return;
    if (m_state != State::Running && m_state != State::Cancelling)
        return;
    const bool cancelled = m_state == State::Cancelling;
    if (!cancelled)
        reportProgress();   // normally said with the last file already; an empty batch has had none
    m_state = State::Finished;
    BatchOutcome ended = outcome();
    ended.cancelled = cancelled;
    if (m_setup.saveFolder.isEmpty()) {
        // The converted files are named in source order, for the receiver to take.
        QStringList names;
        for (const FileResult &file : std::as_const(ended.files))
            names.append(file.isConverted() ? file.displayName : QString());
        m_results->name(names);
    }
    post([this, ended] { emit finished(ended); });
}

BatchOutcome BatchSession::outcome() const
{
    BatchOutcome now;
    now.elapsedMs = m_clock.isValid() ? m_clock.elapsed() : 0;
    for (int index = 0; m_results && index < m_results->count(); ++index)
        now.files.append(m_results->at(index));
    return now;
}
