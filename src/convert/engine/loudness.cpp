#include "convert/engine/loudness.h"

#include "convert/engine/mpegaudio.h"
#include "convert/engine/processrunner.h"
#include "convert/engine/taglibfile.h"
#include "convert/engine/toolcommands.h"
#include "convert/engine/verdicts.h"

#include <QtConcurrent/QtConcurrentRun>
#include <QtEndian>

#include <taglib/mpegfile.h>

#include <cmath>
#include <vector>

namespace {

// A decoded sample this far beyond full scale (24 dB) is no sound an MP3 holds: the decoder
// answered garbage.
constexpr float kImplausibleSample = 16.0f;

// The decoded stream may differ from the file's stated length by the encoder's padding and a
// frame or two; by more, it is not this file's sound.
constexpr qint64 kLengthSlackMs = 500;

} // namespace

bool Loudness::isFinite() const
{
    return std::isfinite(lufs);
}

QString Loudness::whyNotFinite() const
{
    if (isFinite())
        return {};
    // EBU R128 gates away everything below -70 LUFS, and needs one 400 ms block at least.
    return durationMs < 400 ? QStringLiteral("it is shorter than 0.4 s, too short to measure")
                            : QStringLiteral("it is silent");
}

LoudnessMeter::LoudnessMeter(const QString &decoder, int stallTimeoutSeconds, QObject *parent)
    : QObject(parent)
    , m_decoder(decoder)
    , m_runner(new ProcessRunner(this))
{
    qRegisterMetaType<Loudness>();
    m_runner->setStallTimeout(stallTimeoutSeconds);
    connect(m_runner, &ProcessRunner::standardOutputRead, this, &LoudnessMeter::consume);
    connect(m_runner, &ProcessRunner::finished, this, &LoudnessMeter::onDecoderFinished);
    connect(&m_chunk, &QFutureWatcher<bool>::finished, this, [this] {
        if (!m_chunk.result() && m_problem.isEmpty())
            m_problem = QStringLiteral("the decoder gave samples no MP3 holds");
        measureNext();
        concludeWhenIdle();
    });
}

LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::measure(const QString &mp3Path)
{
    const TagLibFile::Turn turn;
    const TagLibFile::Name name(mp3Path);
    const TagLib::MPEG::File file(name.get(), true, TagLib::AudioProperties::Fast);
    const TagLib::AudioProperties *properties = file.isValid() ? file.audioProperties() : nullptr;
    const std::optional<MpegAudio::Facts> facts = MpegAudio::read(mp3Path);
    if (properties && facts)
        m_loudness.state = R128::newState(properties->channels(), properties->sampleRate());
    if (!m_loudness.state) {
        m_problem = !R128::isAvailable() ? QStringLiteral("this build has no loudness meter")
                                         : QStringLiteral("the file is not valid MPEG audio");
        m_decoderDone = true;
        QMetaObject::invokeMethod(this, &LoudnessMeter::concludeWhenIdle, Qt::QueuedConnection);
        return;
    }
    m_statedMs = facts->lengthMs;
    m_channels = properties->channels();
    m_rate = properties->sampleRate();
    m_runner->start(m_decoder, Tools::floatSampleArguments(mp3Path, m_channels, m_rate), ProcessRunner::Output::Read);
}

void LoudnessMeter::cancel()
{
    if (m_runner->isRunning()) {
        m_problem = QStringLiteral("cancelled");
        m_runner->cancel();
    }
}

void LoudnessMeter::consume(const QByteArray &bytes)
{
    m_partFrame.append(bytes);
    const qsizetype frameBytes = qsizetype(sizeof(float)) * m_channels;
    const qsizetype whole = m_partFrame.size() / frameBytes * frameBytes;
    m_pending.append(m_partFrame.left(whole));
    m_partFrame.remove(0, whole);
    m_frames += whole / frameBytes;
    measureNext();
}

// One chunk at a time: libebur128's state takes its frames in order.
void LoudnessMeter::measureNext()
{
    if (m_chunk.isRunning() || m_pending.isEmpty() || !m_problem.isEmpty())
        return;
    m_chunk.setFuture(QtConcurrent::run([state = m_loudness.state, bytes = std::exchange(m_pending, {}), channels = m_channels] {
        std::vector<float> samples(size_t(bytes.size()) / sizeof(float));
        qFromLittleEndian<float>(bytes.constData(), qsizetype(samples.size()), samples.data());
        for (const float sample : samples) {
            if (!std::isfinite(sample) || std::fabs(sample) > kImplausibleSample)
                return false;
        }
        return R128::add(state.get(), samples.data(), samples.size() / size_t(channels));
    }));
}

void LoudnessMeter::onDecoderFinished(const ProcessOutcome &outcome)
{
    if (m_problem.isEmpty())
        m_problem = Verdicts::runFailure(QStringLiteral("decoder"), outcome);
    m_loudness.durationMs = m_rate > 0 ? m_frames * 1000 / m_rate : 0;
    if (m_problem.isEmpty() && !m_partFrame.isEmpty())
        m_problem = QStringLiteral("the decoder's samples end in the middle of a frame");
    if (m_problem.isEmpty() && qAbs(m_loudness.durationMs - m_statedMs) > kLengthSlackMs + m_statedMs / 50)
        m_problem = QStringLiteral("the decoder gave %1 ms of samples for a file of %2 ms").arg(m_loudness.durationMs).arg(m_statedMs);
    m_decoderDone = true;
    concludeWhenIdle();
}

void LoudnessMeter::concludeWhenIdle()
{
    if (m_reported || !m_decoderDone || m_chunk.isRunning() || (!m_pending.isEmpty() && m_problem.isEmpty()))
        return;
    m_reported = true;
    if (m_problem.isEmpty()) {
        R128::conclude(m_loudness.state.get(), m_channels, &m_loudness.lufs, &m_loudness.peak);
    }
    emit finished(m_loudness, m_problem);
}
