#pragma once

#include "convert/engine/conversiontypes.h"

#include <QObject>
#include <QStringList>

#include <memory>
#include <vector>

class ProcessRunner;

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

// Draws the pictures of files one after another from the decoder's mono samples as they
// arrive, on the event thread: a read of the decoder's output (a pipe's 64 KiB at most, 16
// frames) takes about a millisecond, finishing a picture under ten.
// A new request or cancel() stops the decoder at once and drops what the earlier request would
// still have reported.
class SonogramMaker : public QObject
{
    Q_OBJECT

public:
    // Every file is decoded at this rate, so that no stream needs a header to be read: it keeps
    // what an MP3 can hold (up to 20 kHz at its highest bitrates) in the picture.
    static constexpr int SampleRate = 44100;

    // A decoder that writes nothing for stallTimeoutSeconds (0: never) is stopped, as every
    // tool is, and its file gets pictureFailed().
    explicit SonogramMaker(const QString &decoder, int stallTimeoutSeconds = kDefaultToolTimeoutSeconds,
                           QObject *parent = nullptr);
    ~SonogramMaker() override;

    void request(const QStringList &files, int columns);
    void cancel();

signals:
    void pictureReady(const QString &file, const Sonogram &picture);
    // The file could not be decoded; nothing is shown for it.
    void pictureFailed(const QString &file);

private:
    void startNext();
    void consume(const QByteArray &bytes);

    const QString m_decoder;
    const int m_stallTimeoutSeconds;
    QStringList m_files; // the request's files not yet begun
    int m_columns = 0;
    // The running decoder and the picture it feeds; a cancelled decoder deletes itself once it ends.
    ProcessRunner *m_runner = nullptr;
    std::unique_ptr<SonogramBuilder> m_builder;
    QByteArray m_pending; // the end of the output that is not yet a whole sample
    std::vector<float> m_samples;
};
