#include "convert/gainstep.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

namespace {

const QString kCancelledNote = QStringLiteral("saved without ReplayGain: the batch was cancelled first");

} // namespace

GainStep::GainStep(ReplayGain::Mode mode, const ToolSet &tools, QObject *parent)
    : QObject(parent)
    , m_mode(mode)
    , m_tools(tools)
{
}

GainStep::~GainStep()
{
    // The writers work in temporary files that go with the session.
    for (QFutureWatcher<bool> *writer : std::as_const(m_writers))
        writer->waitForFinished();
}

void GainStep::setAlbums(const QList<int> &albumOf)
{
    m_albumOf = albumOf;
    for (qsizetype index = 0; index < albumOf.size(); ++index) {
        if (albumOf.at(index) < 0 || m_mode != ReplayGain::Mode::Album)
            continue;
        m_albums.resize(qMax(m_albums.size(), qsizetype(albumOf.at(index)) + 1));
        m_albums[albumOf.at(index)].append(int(index));
    }
}

void GainStep::measure(int index, const QString &tempPath)
{
    File &file = m_files[index];
    file.path = tempPath;
    file.album = m_mode == ReplayGain::Mode::Album ? m_albumOf.value(index, -1) : -1;
    if (m_cancelled) {
        leave(index);
        emit ready(index, kCancelledNote, QString());
        return;
    }
    auto *meter = new LoudnessMeter(m_tools.decoder, m_tools.stallTimeoutSeconds, this);
    m_meters.insert(index, meter);
    connect(meter, &LoudnessMeter::finished, this, [this, index, meter](const Loudness &loudness, const QString &problem) {
        m_meters.remove(index);
        meter->deleteLater();
        onMeasured(index, loudness, problem);
    });
    meter->measure(tempPath);
}

void GainStep::leave(int index)
{
    File &file = m_files[index];
    file.measured = true;
    file.album = m_mode == ReplayGain::Mode::Album ? m_albumOf.value(index, -1) : -1;
    completeAlbumIfDone(file.album);
}

void GainStep::cancel()
{
    m_cancelled = true;
    for (LoudnessMeter *meter : std::as_const(m_meters))
        meter->cancel();
    for (auto file = m_files.begin(); file != m_files.end(); ++file) {
        if (file->held) {
            file->held = false;
            emit ready(file.key(), kCancelledNote, QString());
        }
    }
}

void GainStep::onMeasured(int index, const Loudness &loudness, const QString &problem)
{
    File &file = m_files[index];
    file.measured = true;
    if (m_cancelled) {
        emit ready(index, kCancelledNote, QString());
        return;
    }
    // A file that cannot be measured, or has no loudness to measure, is left out of its album.
    if (!problem.isEmpty() || !loudness.isFinite()) {
        const int album = file.album;
        file.album = -1;
        if (problem.isEmpty())
            emit ready(index, QStringLiteral("saved without ReplayGain: %1").arg(loudness.whyNotFinite()), QString());
        else
            emit ready(index, QString(), QStringLiteral("its loudness could not be measured: %1").arg(problem));
        completeAlbumIfDone(album);
        return;
    }
    file.loudness = loudness;
    if (file.album < 0) {
        write(index, *ReplayGain::trackGain(loudness), std::nullopt);
        return;
    }
    file.held = true;
    emit held(index);
    completeAlbumIfDone(file.album);
}

void GainStep::completeAlbumIfDone(int album)
{
    if (album < 0 || m_cancelled)
        return;
    QList<int> members;
    QList<Loudness> loudness;
    for (int index : m_albums.at(album)) {
        const auto file = m_files.constFind(index);
        if (file == m_files.cend() || !file->measured)
            return;   // still to convert, or being measured
        if (file->held) {
            members.append(index);
            loudness.append(file->loudness);
        }
    }
    const std::optional<ReplayGain::Gain> albumGain = ReplayGain::albumGain(loudness);
    for (int index : std::as_const(members)) {
        m_files[index].held = false;
        write(index, *ReplayGain::trackGain(m_files.value(index).loudness), albumGain);
    }
}

// TagLib rewrites the whole file to put the frames in its tag: on a worker thread.
void GainStep::write(int index, const ReplayGain::Gain &track, const std::optional<ReplayGain::Gain> &album)
{
    auto *writer = new QFutureWatcher<bool>(this);
    m_writers.append(writer);
    connect(writer, &QFutureWatcher<bool>::finished, this, [this, index, writer] {
        m_writers.removeOne(writer);
        writer->deleteLater();
        emit ready(index, QString(), writer->result() ? QString() : QStringLiteral("its ReplayGain frames could not be written"));
    });
    writer->setFuture(QtConcurrent::run(&ReplayGain::writeFrames, m_files.value(index).path, track, album));
    // The state is needed no more once the album's gain is known.
    m_files[index].loudness.state.reset();
}
