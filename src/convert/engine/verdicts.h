#pragma once

#include "convert/engine/conversiontypes.h"
#include "convert/engine/mpegaudio.h"
#include "convert/engine/tagcopy.h"
#include "convert/engine/tooloutput.h"

// How a conversion is judged once its tools have ended, from how they ended, what they said and
// what they left: pure, so that every outcome is checked without a tool. A reason is one line.
namespace Verdicts {

// A tool's output file as found once the tool has ended.
struct Output
{
    bool exists = false;
    qint64 size = 0;
    std::optional<MpegAudio::Facts> audio;   // the file as MPEG audio; nothing when it is not
};

struct Verdict
{
    FileStatus status = FileStatus::Failed;
    QString reason;
};

// Why a run of tool that ends with nothing to judge but its outcome failed ("" when it did not):
// not found, could not start, hung (the runner's stall timeout), ended abnormally, or its exit
// code with its last words. Never "" for a failure, as a report must say something.
QString runFailure(const QString &tool, const ProcessOutcome &outcome);

// The decoder of two steps: "" when its file is to be encoded, else why the file fails: a hung
// decoder's stallReason; a failed exit, file or not (one failing half-way leaves a partial file);
// garbage, or a file over half a second short of its last progress line.
QString decoderFailure(const QString &stallReason, const ProcessOutcome &outcome,
                       const ToolOutput::DecoderReport &said, const Output &output);

// The encoder of two steps: Converted when its file, checked against the decoder's (decoded), is to
// be taken. Else the decoder's file, while still whole (decoderFileLeft), is kept at its bitrate and
// the user told so rather than silently handed another bitrate; without it the file fails.
Verdict encoderVerdict(const QString &stallReason, const ProcessOutcome &outcome, const Output &output,
                       const MpegAudio::Facts &decoded, bool decoderFileLeft);

// Both tools of a single pass have ended: "" when the encoder's file is to be taken, else why the
// file fails. A tool that fails takes the other with it, so the decoder names the reason unless
// its failure is only the closed pipe or our stop of it (decoderStopped, once the encoder failed).
QString singlePassFailure(const QString &stallReason, const ProcessOutcome &decoder,
                          const ToolOutput::DecoderReport &said, bool decoderStopped,
                          const ProcessOutcome &encoder, const Output &output);

// The note of a converted file, in this order: a second audio track left out; the encoder's file
// (encodedKbps, when taken) at another bitrate than the constant one asked for, as lame does when
// the sample rate does not allow it (8 kHz goes no higher than 64 kbps); tags unread; tags unwritten.
QString note(int audioTracks, std::optional<int> encodedKbps, const Tools::Encoding &encoding,
             bool tagsRead, bool tagsWritten);

// What a conversion of durationMs writes into the temporary folder at most, with a margin: in
// two steps the decoder's whole file at its 320 kbps beside the encoder's output, in a single
// pass the encoder's output alone (at its bitrate, or 320 kbps for a variable one).
qint64 tempBytesNeeded(qint64 durationMs, const Tools::Encoding &encoding, bool singlePass);

// What the files converting at the same time will still write into the same folder.
struct OthersWriting
{
    int files = 0;
    qint64 bytes = 0;
};

// "" when freeBytes holds needed beside what the others will still write; else why the file
// fails before anything is written, and what would help.
QString tempSpaceProblem(qint64 needed, qint64 freeBytes, const OthersWriting &others, const QString &folder);

// A reason as one row of a report shows it: without the source's path in front ("SRC: Invalid
// data found..."), as the report names the file already, and cut short with an ellipsis.
QString shownReason(const QString &reason, const QString &sourcePath);

} // namespace Verdicts
