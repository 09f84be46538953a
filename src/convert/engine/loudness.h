#pragma once

#include <QByteArray>
#include <QFutureWatcher>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <cstddef>
#include <memory>

class ProcessRunner;
struct ProcessOutcome;

// A file's loudness as ReplayGain 2.0 measures it (EBU R128, libebur128): the integrated
// loudness and the true peak. The meter's state stays with it, so that an album's files can be
// measured together once every one of them is in.
struct Loudness
{
    double lufs = 0.0;      // integrated; not finite for digital silence or under 0.4 s of sound
    double peak = 0.0;      // true peak, 1.0 being full scale
    qint64 durationMs = 0;  // of the samples measured
    std::shared_ptr<void> state;

    bool isFinite() const;
    // Why a file that is not finite gets no gain: "" when it is.
    QString whyNotFinite() const;
};
Q_DECLARE_METATYPE(Loudness)

// The measuring itself, libebur128's where the build has it (loudness_ebur128.cpp), and none
// where it has not (loudness_absent.cpp: the Windows build), where every measurement fails.
namespace R128 {
bool isAvailable();
std::shared_ptr<void> newState(int channels, int rate);
// False when the state refused the frames.
bool add(void *state, const float *samples, size_t frames);
// The integrated loudness and the highest true peak of all channels.
void conclude(void *state, int channels, double *lufs, double *peak);
// The integrated loudness of several states as one programme; not finite when none has any.
double loudnessOf(const QList<void *> &states);
} // namespace R128

// Measures one MP3: the decoder turns it into raw float samples through the process runner
// (the stall timeout and the keeper as for every tool), and libebur128 measures them as they
// come, on worker threads one chunk after another, so the event thread only hands them on.
class LoudnessMeter : public QObject
{
    Q_OBJECT

public:
    LoudnessMeter(const QString &decoder, int stallTimeoutSeconds, QObject *parent = nullptr);
    ~LoudnessMeter() override;   // kills a decoder that still runs; a chunk being measured finishes alone

    // Once. finished() follows from the event loop, also when nothing can be measured.
    void measure(const QString &mp3Path);
    // Stops the decoder; finished() follows with a problem.
    void cancel();

signals:
    // problem is "" when loudness is the file's; else why it could not be measured.
    void finished(const Loudness &loudness, const QString &problem);

private:
    void consume(const QByteArray &bytes);
    void measureNext();
    void onDecoderFinished(const ProcessOutcome &outcome);
    void concludeWhenIdle();

    const QString m_decoder;
    ProcessRunner *m_runner = nullptr;
    Loudness m_loudness;
    int m_channels = 0;
    int m_rate = 0;
    qint64 m_frames = 0;      // decoded so far
    qint64 m_statedMs = 0;    // the file's own length
    QByteArray m_pending;     // samples not yet handed to a worker
    QByteArray m_partFrame;   // the end of the output that is not yet a whole frame
    QFutureWatcher<bool> m_chunk;   // false: the samples were no sound, or libebur128 refused them
    QString m_problem;        // set once the decoder has ended badly
    bool m_decoderDone = false;
    bool m_reported = false;
};
