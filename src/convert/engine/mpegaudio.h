#pragma once

#include <QString>

#include <optional>

// The facts of the audio a tool made, and of a source, that tell a whole conversion from one
// cut short.
namespace MpegAudio {

// What a tool's MP3 output holds.
struct Facts
{
    // How long the frames there are play: a file with a VBR header (Xing, Info or VBRI) by its
    // frame count, or by the frames found when it holds fewer bytes than that header states;
    // one without, by its bytes at its own constant rate.
    qint64 lengthMs = 0;
    int kbps = 0;   // a constant-rate file's rate, from its audio frames' headers; a VBR file's average
};
// Nothing when the file is not MPEG Layer III audio.
std::optional<Facts> read(const QString &mp3Path);

// MPEG Layer III's bitrate in kbps for the 4-bit bitrate index of a frame header: in MPEG-1's
// table, or else in that of MPEG-2, which MPEG-2.5 shares. 0 for index 0 (free format), 15
// (not allowed) and any index out of that range.
int layer3Kbps(bool mpeg1, int index);

// How long the audio at path is, as its headers state it (an MPEG-4 file's track header),
// in any format TagLib reads; the fastest reading that gives it. Nothing when TagLib cannot
// read the file or it states no length.
std::optional<qint64> statedLengthMs(const QString &path);

} // namespace MpegAudio
