#include "preview/sonogram.h"

#include "convert/toolcommands.h"

#include <QMutex>
#include <QProcess>
#include <QtEndian>

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

double highestFrequencyKept(const std::vector<double> &meanPower, double binHz)
{
    const int n = int(meanPower.size());
    if (n == 0 || binHz <= 0.0)
        return 0.0;
    const int low = int(std::ceil(1000.0 / binHz));
    const int high = std::min(n - 1, int(std::floor(4000.0 / binHz)));
    if (high < low)
        return 0.0;
    double reference = 0.0;
    for (int b = low; b <= high; ++b)
        reference += meanPower[b];
    reference /= high - low + 1;
    if (reference <= 0.0)
        return 0.0;
    const double threshold = reference * 1e-3;
    // Neighbouring bands are averaged so that one stray band does not count as kept sound.
    constexpr int Half = 2;
    for (int b = n - 1; b >= 0; --b) {
        const int from = std::max(0, b - Half);
        const int to = std::min(n - 1, b + Half);
        double sum = 0.0;
        for (int i = from; i <= to; ++i)
            sum += meanPower[i];
        if (sum / (to - from + 1) >= threshold)
            return (b + 0.5) * binHz;
    }
    return 0.0;
}

namespace {

constexpr int Rows = SonogramBuilder::FrameSize / 2;

// FFTW's planner is not thread-safe; only executing a plan is.
QMutex &plannerMutex()
{
    static QMutex mutex;
    return mutex;
}

} // namespace

struct SonogramBuilder::Fft
{
    float *in = nullptr;
    fftwf_complex *out = nullptr;
    fftwf_plan plan = nullptr;

    Fft()
    {
        const QMutexLocker lock(&plannerMutex());
        in = fftwf_alloc_real(FrameSize);
        out = fftwf_alloc_complex(FrameSize / 2 + 1);
        plan = fftwf_plan_dft_r2c_1d(FrameSize, in, out, FFTW_ESTIMATE);
    }
    ~Fft()
    {
        const QMutexLocker lock(&plannerMutex());
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
    picture.highestKeptHz = highestFrequencyKept(mean, double(m_sampleRate) / FrameSize);

    // A full-scale sine through the Hann window peaks at FrameSize / 4 in its band.
    const double fullScale = 10.0 * std::log10(double(FrameSize / 4) * (FrameSize / 4));
    const double range = Sonogram::CeilingDb - Sonogram::FloorDb;
    picture.levels.resize(qsizetype(m_stored) * Rows);
    uchar *cell = reinterpret_cast<uchar *>(picture.levels.data());
    for (int r = Rows - 1; r >= 0; --r) {
        for (int c = 0; c < m_stored; ++c) {
            const double db = 10.0 * std::log10(m_columns[size_t(c) * Rows + r] + 1e-20) - fullScale;
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

// Lives on the maker's thread: runs the decoder for one file after another and feeds its
// output to a builder as it arrives.
class SonogramWorker : public QObject
{
public:
    SonogramWorker(SonogramMaker *maker, const QString &decoder)
        : m_maker(maker), m_decoder(decoder)
    {
    }

    void start(const QStringList &files, int columns, int generation)
    {
        stop();
        m_queue = files;
        m_columns = columns;
        m_generation = generation;
        startNext();
    }

    void stop()
    {
        m_queue.clear();
        m_builder.reset();
        dropProcess();
    }

private:
    void dropProcess()
    {
        if (!m_process)
            return;
        QProcess *process = std::exchange(m_process, nullptr);
        process->disconnect(this);
        if (process->state() == QProcess::NotRunning) {
            process->deleteLater();
        } else {
            connect(process, &QProcess::finished, process, &QObject::deleteLater);
            process->kill();
        }
    }

    bool stale() const { return m_generation != m_maker->m_generation.load(); }

    void startNext()
    {
        if (m_queue.isEmpty() || stale())
            return;
        m_file = m_queue.takeFirst();
        m_pending.clear();
        m_inData = false;
        m_sampleRate = m_channels = m_bits = 0;
        m_builder.reset();

        m_process = new QProcess(this);
        m_process->setStandardInputFile(QProcess::nullDevice());
        m_process->setStandardErrorFile(QProcess::nullDevice());
        connect(m_process, &QProcess::readyReadStandardOutput, this, [this] {
            if (!consume(m_process->readAllStandardOutput()))
                done(false);
        });
        connect(m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
            const bool read = consume(m_process->readAllStandardOutput());
            done(read && status == QProcess::NormalExit && exitCode == 0);
        });
        connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                done(false);
        });
        m_process->start(m_decoder, SonogramMaker::decoderArguments(m_file));
    }

    // False when the stream is not what the decoder was asked for, or is no longer wanted.
    bool consume(const QByteArray &bytes)
    {
        if (stale())
            return false;
        m_pending.append(bytes);
        if (!m_inData) {
            const std::optional<bool> header = readHeader();
            if (!header)
                return true;
            if (!*header || m_channels != 1 || m_bits != 32 || m_sampleRate <= 0)
                return false;
            m_builder = std::make_unique<SonogramBuilder>(m_sampleRate, m_columns);
            m_inData = true;
        }
        const qsizetype count = m_pending.size() / qsizetype(sizeof(float));
        if (count == 0)
            return true;
        m_samples.resize(size_t(count));
        qFromLittleEndian<float>(m_pending.constData(), count, m_samples.data());
        m_builder->add(m_samples.data(), count);
        m_pending.remove(0, count * qsizetype(sizeof(float)));
        return true;
    }

    // Reads the WAV header from the front of m_pending: nothing yet while more is needed,
    // false for a stream that is no WAV. On success m_pending holds only samples.
    std::optional<bool> readHeader()
    {
        const auto le32 = [this](qsizetype at) { return qFromLittleEndian<quint32>(m_pending.constData() + at); };
        const auto le16 = [this](qsizetype at) { return qFromLittleEndian<quint16>(m_pending.constData() + at); };
        if (m_pending.size() < 12)
            return std::nullopt;
        if (!m_pending.startsWith("RIFF") || m_pending.mid(8, 4) != "WAVE")
            return false;
        qsizetype at = 12;
        while (at + 8 <= m_pending.size()) {
            const QByteArray id = m_pending.mid(at, 4);
            const quint32 length = le32(at + 4);
            if (id == "data") {
                m_pending.remove(0, at + 8);
                return true;
            }
            if (length > 1u << 16)
                return false;
            if (at + 8 + qsizetype(length) > m_pending.size())
                return std::nullopt;
            if (id == "fmt " && length >= 16) {
                m_channels = le16(at + 10);
                m_sampleRate = int(le32(at + 12));
                m_bits = le16(at + 22);
            }
            at += 8 + length + (length & 1);
        }
        return std::nullopt;
    }

    void done(bool decoded)
    {
        std::optional<Sonogram> picture;
        if (decoded && m_builder)
            picture = m_builder->finish();
        m_builder.reset();
        dropProcess();
        report(m_file, picture.value_or(Sonogram()));
        startNext();
    }

    void report(const QString &file, const Sonogram &picture)
    {
        SonogramMaker *maker = m_maker;
        const int generation = m_generation;
        QMetaObject::invokeMethod(maker, [maker, generation, file, picture] {
            if (generation != maker->m_generation.load())
                return;
            if (picture.isNull())
                emit maker->pictureFailed(file);
            else
                emit maker->pictureReady(file, picture);
        }, Qt::QueuedConnection);
    }

    SonogramMaker *m_maker;
    const QString m_decoder;
    QStringList m_queue;
    int m_columns = 1;
    int m_generation = 0;
    QProcess *m_process = nullptr;
    QString m_file;
    QByteArray m_pending;
    bool m_inData = false;
    int m_sampleRate = 0;
    int m_channels = 0;
    int m_bits = 0;
    std::unique_ptr<SonogramBuilder> m_builder;
    std::vector<float> m_samples;
};

SonogramMaker::SonogramMaker(const QString &decoder, QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<Sonogram>();
    m_worker = new SonogramWorker(this, decoder);
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.setObjectName(QStringLiteral("spectrogram"));
    m_thread.start();
}

SonogramMaker::~SonogramMaker()
{
    ++m_generation;
    m_thread.quit();
    m_thread.wait();
}

void SonogramMaker::request(const QStringList &files, int columns)
{
    const int generation = ++m_generation;
    SonogramWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker, files, columns, generation] {
        worker->start(files, columns, generation);
    }, Qt::QueuedConnection);
}

void SonogramMaker::cancel()
{
    ++m_generation;
    SonogramWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->stop(); }, Qt::QueuedConnection);
}

QStringList SonogramMaker::decoderArguments(const QString &file)
{
    return {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), Tools::ffmpegFileArgument(file),
            QStringLiteral("-vn"), QStringLiteral("-ac"), QStringLiteral("1"), QStringLiteral("-c:a"),
            QStringLiteral("pcm_f32le"), QStringLiteral("-f"), QStringLiteral("wav"), QStringLiteral("-")};
}
