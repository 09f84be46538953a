#pragma once

#include <QList>
#include <QString>

#include <optional>

struct Loudness;

// quorvane-cli's --replaygain: ReplayGain 2.0 frames (EBU R128, reference -18 LUFS) written
// into each converted file before it is saved, from the loudness this program measures
// (Loudness). lame's own header figure is a track gain that most players ignore; players level
// by the REPLAYGAIN_* frames.
namespace ReplayGain {

enum class Mode { None, Track, Album };

constexpr double kReferenceLufs = -18.0;
// A gain never lifts a true peak above this, so that a player that applies it does not clip.
constexpr double kPeakCeilingDbtp = -1.0;

struct Gain
{
    double db = 0.0;
    double peak = 0.0;   // linear, 1.0 being full scale
};

// The gain that brings loudness to the reference, lowered where the peak would rise above the
// ceiling. Nothing when the loudness is not finite (silence, under 0.4 s).
std::optional<Gain> trackGain(const Loudness &loudness);
// The same for an album: its files' loudness measured as one programme, its highest peak.
// Nothing when none of them has a finite loudness.
std::optional<Gain> albumGain(const QList<Loudness> &files);

// Writes REPLAYGAIN_TRACK_GAIN and _PEAK (and _ALBUM_ when given) as ID3v2.3 TXXX frames into
// the MP3 at path, beside its other frames, replacing any earlier ones; an ID3v1 tag stays.
// False when the file could not be written. Blocking: for a worker thread.
bool writeFrames(const QString &path, const Gain &track, const std::optional<Gain> &album);

// Whether the MP3 at path holds the frames a run in mode writes: the track's, and with Album
// the album's too when the file names an album.
bool hasFrames(const QString &path, Mode mode);

// The files of one album: the output folder of outputName ("Artist/Album" of
// "Artist/Album/01 Song.mp3") and the source's album tag; "" (no album) when the tag is
// empty, for a file of a folder of singles is no album's track.
QString albumKey(const QString &outputName, const QString &album);

} // namespace ReplayGain
