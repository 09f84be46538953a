#pragma once

#include "convert/engine/conversiontypes.h"

#include <QString>

#include <optional>

// What FileConversion reads from the two tools' standard error, one line at a time, as pure
// functions so that each kind of line can be checked without running a tool.
namespace ToolOutput {

// What the decoder has said so far of the source and of its work.
struct DecoderReport
{
    std::optional<qint64> firstTrackMs;  // given: the source's first audio track's, as its tags state it
    std::optional<qint64> sourceMs;      // what is to be decoded: the input summary's length, or the first
                                         // track's once a second is listed (the container's is the longest's)
    std::optional<qint64> decodedMs;     // the last progress line's time: the output's length at the end
    QString writeError;                  // its first word that its output is not whole
    int inputStreams = 0;                // the source's streams, as it lists them
    int audioTracks = 0;
    bool outputListed = false;           // it has moved on to listing its output's streams
    Tools::DecoderGaps gaps;             // what it said it cannot write, before it began
};

// Takes one line of the decoder's standard error into report. ffmpeg says it could not write
// the whole of its output (a full disk) and still exits with 0, hence writeError.
void readDecoderLine(DecoderReport &report, const QString &line);

// The bitrate lame encodes at, from its settings line
// "Encoding as 8 kHz single-ch MPEG-2.5 Layer III (0.4x)  64 kbps qval=2". None for any other line.
std::optional<int> encodedKbps(const QString &line);

// The share (0..1) lame has encoded, from the frame counter of its progress line,
// "   100/232    (43%)|    0:00/    0:00|...". None for any other line.
std::optional<double> encodedShare(const QString &line);

// The warning a converted file gets when the decoder stopped clearly short of the source's
// length: "converted 1:22 of 3:00; the source may be damaged". Else empty.
QString shortSourceWarning(std::optional<qint64> decodedMs, std::optional<qint64> sourceMs);

} // namespace ToolOutput
