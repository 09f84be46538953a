#pragma once

#include <QFutureWatcher>
#include <QStringList>
#include <QThreadPool>

#include <memory>
#include <utility>
#include <vector>

// What a file sounds like, as a picture small enough to keep whatever the file's length:
// power per frequency band over time, a few hundred columns wide.
struct Sonogram
{
    int sampleRate = 0;
    int columns = 0;
    int rows = 0;               // frequency bands from 0 Hz up to half the sample rate
    qint64 durationMs = 0;
    // Where the sound ends: at a low-pass edge or the top of the range (cutOff), or else, for a
    // tone or quiet sound, the highest band that holds any; 0 when the file is silent.
    double highestKeptHz = 0.0;
    bool cutOff = false;
    // One byte per cell, 0 at FloorDb up to 255 at CeilingDb (dB against a full-scale sine);
    // row after row, the highest band first, as the picture reads.
    QByteArray levels;

    static constexpr double FloorDb = -100.0;
    static constexpr double CeilingDb = -20.0;

    bool isNull() const { return columns == 0 || rows == 0; }
    double nyquistHz() const { return sampleRate / 2.0; }
};
Q_DECLARE_METATYPE(Sonogram)

// Turns a stream of mono samples into a Sonogram. Columns are averaged into one another as
// the stream grows, so its memory depends on the column count, never on the stream's length.
class SonogramBuilder
{
public:
    static constexpr int FrameSize = 1024;

    // Ends with between columns and twice as many columns (fewer for a short stream).
    SonogramBuilder(int sampleRate, int columns);
    ~SonogramBuilder();

    void add(const float *samples, qsizetype count);
    // Null when the stream held not even one frame.
    Sonogram finish();
    // What the builder holds at its largest, for the benchmarks.
    qsizetype workingBytes() const;

private:
    void transformFrame();
    void closeColumn();

    struct Fft;
    std::unique_ptr<Fft> m_fft;
    int m_sampleRate = 0;
    int m_maxColumns = 0;
    int m_filled = 0;
    std::vector<float> m_window;
    std::vector<float> m_columns; // closed columns, mean power per band
    int m_stored = 0;
    std::vector<double> m_column; // the open column's power sums
    int m_framesInColumn = 0;
    int m_framesPerColumn = 1;
    std::vector<double> m_total; // power sums over the whole stream
    qint64 m_frames = 0;
    qint64 m_samples = 0;
};

// Draws the pictures of files one after another on a thread of its own, from the decoder's
// mono samples as they arrive. A new request or cancel() stops the decoder at once and drops
// what the earlier request would still have reported.
class SonogramMaker : public QObject
{
    Q_OBJECT

public:
    explicit SonogramMaker(const QString &decoder, QObject *parent = nullptr);
    ~SonogramMaker() override;

    void request(const QStringList &files, int columns);
    void cancel();

signals:
    void pictureReady(const QString &file, const Sonogram &picture);
    // The file could not be decoded; nothing is shown for it.
    void pictureFailed(const QString &file);

private:
    class DecoderStop;

    const QString m_decoder;
    std::unique_ptr<DecoderStop> m_stop;
    // One thread: a superseded request ends before the next starts. Its destructor waits for
    // the cancelled work before m_stop goes.
    QThreadPool m_pool;
    QFutureWatcher<std::pair<QString, Sonogram>> m_watcher;
};
