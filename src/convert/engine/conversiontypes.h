#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// The values a batch is made of, shared by the engine, the saving, the verdicts and both
// front ends: plain data, so that reading an option or a verdict needs no conversion class.

// A program that cannot be started yields (error number + kStartErrorBase): negative for
// every positive error number, so it never looks like a program's own exit code.
constexpr int kStartErrorBase = -2147221504;

// The error numbers added to kStartErrorBase, as the errno values of the same meaning.
namespace StartError {
constexpr int Other = 1;         // the platform refused for another reason
constexpr int NotFound = 2;      // nothing at the program's path, or not on the search path
constexpr int NotPermitted = 13; // it is there but may not be run (no execute right, a folder)
} // namespace StartError

// The result of a program that ended abnormally (killed by a signal, crashed, cancelled).
// On POSIX a normal exit code lies in 0..255, and this value is far from the start errors.
constexpr int kCrashedResult = -1;

struct ProcessOutcome
{
    bool started = false;   // false: the program could not be started
    bool crashed = false;   // ended abnormally (signal, crash, cancel)
    int exitCode = 0;       // kCrashedResult when crashed; error number + kStartErrorBase when !started
    QString errorText;      // the line of stderr that best says why it failed, or why it could not start
    bool stalled = false;   // stopped after the runner's stall timeout (crashed too)
    bool succeeded() const { return started && !crashed && exitCode == 0; }
};
Q_DECLARE_METATYPE(ProcessOutcome)

namespace Tools {

// What a decoder build turned out to lack, learnt from its own words: a build made small (the
// Windows package's) may have no metadata writer and no 32-bit PCM. Its files then convert
// without the source's chapters, and a single pass hands 16-bit samples to the encoder.
struct DecoderGaps
{
    bool noChaptersFile = false;
    bool noWidePcm = false;

    // Whether this lacks something that other does not.
    bool beyond(const DecoderGaps &other) const
    {
        return (noChaptersFile && !other.noChaptersFile) || (noWidePcm && !other.noWidePcm);
    }
    DecoderGaps operator|(const DecoderGaps &other) const
    {
        return {noChaptersFile || other.noChaptersFile, noWidePcm || other.noWidePcm};
    }
};

// What the encoder is asked for: the chosen constant bitrate (the windows' only choice), or
// LAME's VBR at a quality from 0 (best) to 9; plain or joint stereo (quorvane-cli's --stereo).
struct Encoding
{
    int bitrate = 128;       // kbps; for a constant bitrate
    int vbrQuality = -1;     // 0..9; -1 for a constant bitrate
    bool jointStereo = false;

    bool isVbr() const { return vbrQuality >= 0; }
    // "192 kbps", or "VBR quality 2": how reports and the encoder's output name call it.
    QString text() const;
};

} // namespace Tools

// How long a tool may go without a sign of progress (a line on stderr, or growth of the file
// it writes) before it counts as hung and is stopped.
constexpr int kDefaultToolTimeoutSeconds = 120;

// Where the two tools are, and the folder for the temporary MP3 files: the program's own
// (WorkFolder), which no other user can enter; "" for its own in the system's temporary folder.
// How they are run (in one pass, how long they may stay quiet) goes with them, as only the
// engine reads it; what they make is the Tools::Encoding.
struct ToolSet
{
    QString decoder;
    QString encoder;
    QString tempFolder;
    // The decoder's PCM goes through a pipe straight into the encoder: one encode less, but a
    // failed encoder fails the file, as there is no decoder's file to keep.
    bool singlePass = false;
    // A tool that shows no progress for this long is stopped and its file fails; 0: never.
    int stallTimeoutSeconds = kDefaultToolTimeoutSeconds;
};

// What the tag step writes beyond the source's own tags, for players that read little: the
// windows keep both off, quorvane-cli sets them (--cover-max, --id3v1).
struct TagChoices
{
    // A front cover longer than this on its longer side, or not a baseline JPEG, is scaled
    // down to it and written as a baseline JPEG; 0 keeps every cover as the source holds it.
    int coverMaxPixels = 0;
    bool id3v1 = false;   // an ID3v1.1 tag at the end as well, for players that read no other
};
Q_DECLARE_METATYPE(TagChoices)

// The part of a source that one planned output holds: the whole source, or one chapter of it
// (quorvane-cli's --split-chapters). Its bounds are the decoder's reading of the source's
// chapters, taken once when the run is planned: the tool that cuts is the one whose idea of
// the times counts. Chapter N ends where chapter N+1 starts, at the same number, so that the
// cuts leave no gap and no overlap; the first starts at the source's start, the last runs to
// its end.
struct SourceSpan
{
    int chapter = 0;     // 1-based; 0 for the whole source
    int chapters = 0;    // of the source
    qint64 startMs = 0;
    qint64 endMs = -1;   // -1: to the source's end
    QString title;       // the chapter's, or "Chapter N" when the source names none

    bool isWhole() const { return chapter == 0; }
    bool hasEnd() const { return endMs >= 0; }
    // How long it lasts in a source of sourceMs.
    qint64 lengthMs(qint64 sourceMs) const
    {
        return isWhole() ? sourceMs : qMax<qint64>(0, (hasEnd() ? qMin(endMs, sourceMs) : sourceMs) - startMs);
    }
};
Q_DECLARE_METATYPE(SourceSpan)

enum class FileStatus { Converted, KeptDecoderBitrate, Failed, Cancelled };

// The one record of a source in a batch, kept by the batch's ResultSet at the source's index
// and read from there by both front ends: what became of the source, what the converted file
// is called and, while the batch holds it, where its temporary file is.
struct FileResult
{
    int index = -1;            // position in the source list (0-based)
    QString sourcePath;
    QString displayName;       // the source's name as an MP3 ("song.mp3"), what a name is made from
    QString outputName;        // where it is saved below the output folder, with "/" between
                               // folders; unique in its batch; "" while it is not to be saved
    QString tempPath;          // the MP3 file; set only when converted: a failed file's name may
                               // already belong to another conversion
    FileStatus status = FileStatus::Failed;
    QString reason;            // empty for Converted; why it failed or kept the decoder's bitrate
    QString warning;           // said of a converted file that may not be whole, e.g. a damaged source
    QString note;              // said of a converted file that is whole but not quite as asked,
                               // e.g. encoded at another bitrate than the chosen one
    bool withoutGain = false;  // saved without the ReplayGain frames asked for (the note says why)
    bool isConverted() const
    {
        return status == FileStatus::Converted || status == FileStatus::KeptDecoderBitrate;
    }
    // What a converted file's row says on hover: kept at the decoder's bitrate, may be
    // incomplete, encoded at another bitrate; one line each, "" when it is as asked.
    QString remarks() const
    {
        QStringList lines;
        for (const QString *said : {&reason, &warning, &note}) {
            if (isConverted() && !said->isEmpty())
                lines.append(*said);
        }
        return lines.join(QLatin1Char('\n'));
    }
};
Q_DECLARE_METATYPE(FileResult)
