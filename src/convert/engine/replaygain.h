#pragma once

#include <QString>
#include <QStringList>

// quorvane-cli's --replaygain: ReplayGain 2.0 tags (EBU R128, reference -18 LUFS) written into
// the saved MP3 files by loudgain, which the batch session runs once a file, or in album mode
// every file of its album, is saved. lame's own header figure is a track gain that most
// players ignore; players level by the REPLAYGAIN_* frames.
namespace ReplayGain {

enum class Mode { None, Track, Album };

// loudgain's arguments for files: ReplayGain 2.0 tags only (no extra reference or range
// tags), as ID3v2.3 TXXX frames like the rest of our tag, the gain lowered where it would
// clip (true peak at most -1 dBTP), and with Album the files measured as one album too.
// Nothing else of the tag is touched: no other tag type is stripped, so an ID3v1 tag stays.
QStringList arguments(Mode mode, const QStringList &files);

// The files of one album: the output folder of outputName ("Artist/Album" of
// "Artist/Album/01 Song.mp3") and the source's album tag; "" (no album) when the tag is
// empty, for a file of a folder of singles is no album's track.
QString albumKey(const QString &outputName, const QString &album);

// Where loudgain is: beside the program in appFolder when it is placed there, else the
// system's (the search path); the path beside the program when neither is there, so that the
// failure names it.
QString toolPath(const QString &appFolder);

} // namespace ReplayGain
