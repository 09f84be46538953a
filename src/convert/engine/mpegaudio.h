#pragma once

#include <QString>

#include <optional>

// The facts of the audio a tool made, and of a source, that tell a whole conversion from one
// cut short.
namespace MpegAudio {

// What a tool's MP3 output holds, as TagLib reads it.
struct Facts
{
    qint64 lengthMs = 0;   // the shorter of what its header says and what its bytes hold
    int kbps = 0;
};
// Nothing when the file is not MPEG audio.
std::optional<Facts> read(const QString &mp3Path);

// How long the audio at path is, as its headers state it (an MPEG-4 file's track header),
// in any format TagLib reads; the fastest reading that gives it. Nothing when TagLib cannot
// read the file or it states no length.
std::optional<qint64> statedLengthMs(const QString &path);

} // namespace MpegAudio
