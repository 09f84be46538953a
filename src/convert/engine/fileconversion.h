#pragma once

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QObject>

#include "convert/engine/conversiontypes.h"
#include "convert/engine/mpegaudio.h"
#include "convert/engine/processrunner.h"
#include "convert/engine/tagcopy.h"
#include "convert/engine/toolcommands.h"
#include "convert/engine/tooloutput.h"

#include <optional>

class QTimer;


// The conversion of one source file: the source's tags are read, ffmpeg decodes it into a
// temporary MP3 file, lame re-encodes that at the chosen bitrate (or, in a single pass, lame
// encodes what ffmpeg decodes through a pipe), the re-encoded file takes the temporary file's
// place, and the tag step writes the source's tags, pictures and chapters into it as the
// TagChoices ask (the decoder writes the chapters into a file of its own, read and deleted as
// it ends; a cover too large for the choices is first scaled by another run of the decoder).
// TagLib works on a worker thread (it rewrites the whole file to put the tag in front), which a
// cancel waits for; what the tools' ends mean is Verdicts' to say. It owns its tool runs, workers and temporary files
// until it reports: a failed or cancelled conversion leaves nothing behind, a converted file
// then belongs to the receiver of finished(). The tools' progress lines feed progress(),
// FileResult::warning (a source that decodes clearly short) and FileResult::note (see
// Verdicts::note).
class FileConversion : public QObject
{
    Q_OBJECT

public:
    FileConversion(int index, const QString &sourcePath, const Tools::Encoding &encoding,
                   const ToolSet &tools, const TagChoices &tagChoices = {}, QObject *parent = nullptr);
    ~FileConversion() override;   // as abort() when it has not reported yet

    // Before start(): convert only this part of the source (one chapter), tagged as its own
    // file (TagCopy::chapterTags()); the whole source by default.
    void setSpan(const SourceSpan &span) { m_span = span; }
    void start();    // once; the work starts from the event loop
    void cancel();   // stops the running tool, deletes this file's temporary files, reports Cancelled
    void abort();    // for shut-down: kills the tools, waits for a tag writer and deletes the files
                     // now (blocking), no signal

signals:
    // How far this file is, 0..1: decoding is the first half (by the decoder's time against the
    // source's length), encoding the second; in a single pass the decoder's time is the whole of
    // it. Only rises, in steps of at least 1 %; 1.0 just before a converted file's finished(),
    // never for a failed or cancelled one. A receiver may cancel() or abort() here.
    void progress(int index, double fraction);
    void finished(const FileResult &result);   // exactly once, always from the event loop

private:
    // Starting lasts until the decoder starts, while the source's tags are read.
    enum class State { Idle, Starting, Decoding, Encoding, Piping, Scaling, Tagging, Cancelling, Reporting, Done };

    void begin();
    void onTagsRead();
    std::optional<qint64> expectedMs() const;
    void runTools();
    bool rerunWithoutGaps();
    void discardToolFiles();
    void watchTools();
    void onWatchdog();
    void onToolLine(const QString &line, bool fromPipeReader);
    void reportProgress(double fraction);
    void onToolFinished(const ProcessOutcome &outcome, bool fromPipeReader);
    void onDecoderFinished(const ProcessOutcome &outcome);
    void onEncoderFinished(const ProcessOutcome &outcome);
    void onPipedToolFinished();
    void onCancelledToolFinished();
    void takeChapters();
    void takeEncoderOutput();
    void startTagging(FileStatus status, const QString &reason);
    void onCoverScaled(const ProcessOutcome &outcome);
    void writeTags();
    void onTagged();
    void conclude();
    void removeTemporaryFiles();
    void finish(FileStatus status, const QString &reason);
    void fail(const QString &reason);   // deletes this file's temporary files, then reports
    void finishLater(FileStatus status, const QString &reason);

    ToolSet m_tools;
    Tools::Encoding m_encoding;
    TagChoices m_tagChoices;
    SourceSpan m_span;
    FileResult m_result;       // its status and reason are the pending ones from the tag step on;
                               // its tempPath is this conversion's while it runs
    QString m_encoderOutput;
    ProcessRunner *m_runner = nullptr;          // the decoder, then the encoder
    ProcessRunner *m_pipeReader = nullptr;      // the encoder of a single pass
    ProcessRunner *m_coverRunner = nullptr;     // the decoder that scales a cover
    QByteArray m_scaledCover;                   // what it has answered so far
    std::optional<ProcessOutcome> m_decoderOutcome;   // a single pass's, as each tool ends
    std::optional<ProcessOutcome> m_encoderOutcome;
    bool m_decoderStopped = false;              // by us, when the encoder had failed
    State m_state = State::Idle;
    ToolOutput::DecoderReport m_said;    // what the decoder has said
    Tools::DecoderGaps m_gaps;           // what the decoder is run without
    std::optional<int> m_encodedKbps;    // the bitrate the encoder says it encodes at
    MpegAudio::Facts m_decoded;        // the decoder's file (a single pass: the encoder's), as checked
    SourceTags m_sourceTags;
    bool m_tagsWritten = true;
    QString m_coverNote;                 // "" when the cover is as asked
    QFutureWatcher<SourceTags> m_tagReader;
    QFutureWatcher<bool> m_tagWriter;
    double m_reportedFraction = 0.0;
    QTimer *m_watchdog = nullptr;        // wakes while a tool runs, to look for a hung one
    QElapsedTimer m_clock;               // the watchdog's, since construction
    qint64 m_decoderHeardMs = 0;         // the decoder's last sign of progress, on m_clock
    qint64 m_encoderHeardMs = 0;
    qint64 m_watchedSize = 0;            // of the file being written, as last looked at
    QString m_stallReason;               // set once a hung tool is being stopped
};
