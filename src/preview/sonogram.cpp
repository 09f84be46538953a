#include "preview/sonogram.h"

#include "convert/engine/processrunner.h"
#include "convert/engine/toolcommands.h"

#include <QMutex>
#include <QtEndian>

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <tuple>
#include <utility>

namespace {

constexpr int Rows = SonogramBuilder::FrameSize / 2;

// Power on the picture's scale: a full-scale sine through the Hann window peaks at
// FrameSize / 4 in its band.
double toDb(double power)
{
    return 10.0 * std::log10(power + 1e-20) - 20.0 * std::log10(SonogramBuilder::FrameSize / 4.0);
}

// Where a file's sound ends, from its mean power per band (bands of binHz, the first centred on
// 0 Hz), and whether an edge cuts it off there: the highest band above which the level falls by
// 25 dB within 0.6 kHz and stays down, judged against the level kilohertz below it (or the top of
// the range). Without such an edge (a tone, quiet sound) the highest band within 50 dB of the
// file's loudest. A 16-bit file's rounding noise lies near -120 dB a band here (about -98 dBFS
// over the whole range), its rounding distortion of quiet sound near -110 dB: nothing under the
// picture's floor counts as sound.
std::pair<double, bool> soundEnd(const std::vector<double> &meanPower, double binHz)
{
    const int n = int(meanPower.size());
    std::vector<double> raw(n);
    std::vector<double> levels(n); // neighbours averaged: one stray band is no edge
    for (int b = 0; b < n; ++b) {
        const int from = std::max(0, b - 2);
        const int to = std::min(n - 1, b + 2);
        raw[b] = toDb(meanPower[b]);
        levels[b] = toDb(std::accumulate(&meanPower[from], &meanPower[to] + 1, 0.0) / (to - from + 1));
    }
    const int below = std::max(4, int(1000.0 / binHz));
    const int fall = int(std::ceil(600.0 / binHz));
    double above = -HUGE_VAL; // the loudest band from the edge's far side up
    std::vector<double> window;
    for (int b = n - 1; b >= 0; --b) {
        if (b + fall < n)
            above = std::max(above, levels[b + fall]);
        window.assign(levels.begin() + std::max(0, b - below), levels.begin() + b + 1);
        std::sort(window.begin(), window.end());
        const size_t m = window.size();
        // A pass band is level; a tone's skirt, falling away from it, is not.
        const double pass = window[m / 2];
        const bool flat = window[m * 3 / 4] - window[m / 4] <= 12.0;
        if (flat && pass >= Sonogram::FloorDb && levels[b] >= pass - 10.0 && pass - above >= 25.0)
            return {b * binHz, true};
    }
    const double loudest = *std::max_element(raw.begin(), raw.end());
    for (int b = n - 1; b >= 0; --b) {
        if (raw[b] >= std::max(Sonogram::FloorDb, loudest - 50.0))
            return {b * binHz, false};
    }
    return {0.0, false};
}

// FFTW's planner is not thread-safe; only executing a plan is.
QMutex plannerMutex;

} // namespace

struct SonogramBuilder::Fft
{
    float *in = nullptr;
    fftwf_complex *out = nullptr;
    fftwf_plan plan = nullptr;

    Fft()
    {
        const QMutexLocker lock(&plannerMutex);
        in = fftwf_alloc_real(FrameSize);
        out = fftwf_alloc_complex(FrameSize / 2 + 1);
        plan = fftwf_plan_dft_r2c_1d(FrameSize, in, out, FFTW_ESTIMATE);
    }
    ~Fft()
    {
        const QMutexLocker lock(&plannerMutex);
        fftwf_destroy_plan(plan);
        fftwf_free(out);
        fftwf_free(in);
    }
};

SonogramBuilder::SonogramBuilder(int sampleRate, int columns)
    : m_fft(std::make_unique<Fft>()),
      m_sampleRate(sampleRate),
      m_maxColumns(2 * std::max(1, columns)),
      m_window(FrameSize),
      m_columns(size_t(m_maxColumns) * Rows),
      m_column(Rows),
      m_total(Rows)
{
    const double pi = std::acos(-1.0);
    for (int i = 0; i < FrameSize; ++i)
        m_window[i] = float(0.5 - 0.5 * std::cos(2.0 * pi * i / FrameSize));
}

SonogramBuilder::~SonogramBuilder() = default;

void SonogramBuilder::add(const float *samples, qsizetype count)
{
    m_samples += count;
    while (count > 0) {
        const int n = int(std::min<qsizetype>(count, FrameSize - m_filled));
        for (int i = 0; i < n; ++i)
            m_fft->in[m_filled + i] = samples[i] * m_window[m_filled + i];
        m_filled += n;
        samples += n;
        count -= n;
        if (m_filled == FrameSize) {
            transformFrame();
            m_filled = 0;
        }
    }
}

void SonogramBuilder::transformFrame()
{
    fftwf_execute(m_fft->plan);
    for (int b = 0; b < Rows; ++b) {
        const double re = m_fft->out[b][0];
        const double im = m_fft->out[b][1];
        const double power = re * re + im * im;
        m_column[b] += power;
        m_total[b] += power;
    }
    ++m_frames;
    if (++m_framesInColumn == m_framesPerColumn)
        closeColumn();
}

void SonogramBuilder::closeColumn()
{
    float *column = m_columns.data() + size_t(m_stored) * Rows;
    for (int b = 0; b < Rows; ++b)
        column[b] = float(m_column[b] / m_framesInColumn);
    std::fill(m_column.begin(), m_column.end(), 0.0);
    m_framesInColumn = 0;
    if (++m_stored < m_maxColumns)
        return;
    // Full: every two columns become one, and the columns to come take twice the frames.
    for (int c = 0; c < m_maxColumns / 2; ++c) {
        const float *a = m_columns.data() + size_t(2 * c) * Rows;
        const float *b = a + Rows;
        float *to = m_columns.data() + size_t(c) * Rows;
        for (int r = 0; r < Rows; ++r)
            to[r] = (a[r] + b[r]) / 2;
    }
    m_stored = m_maxColumns / 2;
    m_framesPerColumn *= 2;
}

Sonogram SonogramBuilder::finish()
{
    if (m_framesInColumn > 0)
        closeColumn();
    Sonogram picture;
    if (m_frames == 0 || m_sampleRate <= 0)
        return picture;
    picture.sampleRate = m_sampleRate;
    picture.columns = m_stored;
    picture.rows = Rows;
    picture.durationMs = m_samples * 1000 / m_sampleRate;

    std::vector<double> mean(Rows);
    for (int b = 0; b < Rows; ++b)
        mean[b] = m_total[b] / m_frames;
    std::tie(picture.highestKeptHz, picture.cutOff) = soundEnd(mean, double(m_sampleRate) / FrameSize);

    const double range = Sonogram::CeilingDb - Sonogram::FloorDb;
    picture.levels.resize(qsizetype(m_stored) * Rows);
    uchar *cell = reinterpret_cast<uchar *>(picture.levels.data());
    for (int r = Rows - 1; r >= 0; --r) {
        for (int c = 0; c < m_stored; ++c) {
            const double db = toDb(m_columns[size_t(c) * Rows + r]);
            *cell++ = uchar(std::clamp((db - Sonogram::FloorDb) / range * 255.0, 0.0, 255.0));
        }
    }
    return picture;
}

qsizetype SonogramBuilder::workingBytes() const
{
    return qsizetype(sizeof(*this) + sizeof(Fft) + (FrameSize + FrameSize + 2) * sizeof(float)
                     + m_window.capacity() * sizeof(float) + m_columns.capacity() * sizeof(float)
                     + (m_column.capacity() + m_total.capacity()) * sizeof(double)
                     + qsizetype(m_maxColumns) * Rows); // the levels of the finished picture
}

SonogramMaker::SonogramMaker(const QString &decoder, int stallTimeoutSeconds, QObject *parent)
    : QObject(parent)
    , m_decoder(decoder)
    , m_stallTimeoutSeconds(stallTimeoutSeconds)
{
    qRegisterMetaType<Sonogram>();
}

// Its decoders, children still running, are killed and reaped as they go; they report nothing more.
SonogramMaker::~SonogramMaker() = default;

// The decoder runs on one file after another, and a file it cannot decode gets pictureFailed().
void SonogramMaker::request(const QStringList &files, int columns)
{
    cancel();
    m_files = files;
    m_columns = columns;
    startNext();
}

void SonogramMaker::cancel()
{
    m_files.clear();
    m_builder.reset();
    if (!m_runner)
        return;
    disconnect(m_runner, nullptr, this, nullptr);
    connect(m_runner, &ProcessRunner::finished, m_runner, &QObject::deleteLater);
    std::exchange(m_runner, nullptr)->cancel();
}

void SonogramMaker::startNext()
{
    if (m_files.isEmpty())
        return;
    const QString file = m_files.takeFirst();
    m_builder = std::make_unique<SonogramBuilder>(SampleRate, m_columns);
    m_pending.clear();
    m_runner = new ProcessRunner(this);
    m_runner->setStallTimeout(m_stallTimeoutSeconds);
    connect(m_runner, &ProcessRunner::standardOutputRead, this, &SonogramMaker::consume);
    connect(m_runner, &ProcessRunner::finished, this, [this, file](const ProcessOutcome &outcome) {
        const Sonogram picture = outcome.succeeded() ? m_builder->finish() : Sonogram();
        m_runner->deleteLater();
        m_runner = nullptr;
        startNext();
        if (picture.isNull())
            emit pictureFailed(file);
        else
            emit pictureReady(file, picture);
    });
    m_runner->start(m_decoder, Tools::floatSampleArguments(file, 1, SampleRate), ProcessRunner::Output::Read);
}

void SonogramMaker::consume(const QByteArray &bytes)
{
    m_pending.append(bytes);
    const qsizetype count = m_pending.size() / qsizetype(sizeof(float));
    m_samples.resize(size_t(count));
    qFromLittleEndian<float>(m_pending.constData(), count, m_samples.data());
    m_builder->add(m_samples.data(), count);
    m_pending.remove(0, count * qsizetype(sizeof(float)));
}
