#pragma once

#include "convert/engine/chapters.h"
#include "convert/engine/conversiontypes.h"

#include <QByteArray>
#include <QMap>
#include <QStringList>

#include <optional>

// A picture as the source holds it: its own bytes, not decoded or re-encoded.
struct SourcePicture
{
    QByteArray data;
    QString mimeType;
    int type = 0;          // the ID3v2 / FLAC picture type; 3 is "Front cover"
    QString description;
};

// What the tag step takes from a source, read once before the decoder runs; the chapters
// come from the decoder's run (TagLib reads no MPEG-4 chapters).
struct SourceTags
{
    bool readable = false;                    // the tag library could open and read the source
    QMap<QString, QStringList> fields;        // TagLib's property names: TITLE, TRACKNUMBER...
    QList<SourcePicture> pictures;            // in the source's order
    QList<SourceChapter> chapters;            // by start
    std::optional<qint64> firstAudioTrackMs;  // an MPEG-4 source's first audio track

    bool isEmpty() const { return fields.isEmpty() && pictures.isEmpty() && chapters.isEmpty(); }
};

// The tag step of a conversion: the decoder carries no tags, so the MP3 gets them here, from
// the source, through TagLib. MPEG-4 files are read in full (fields, covers, ReplayGain);
// every other format TagLib reads (FLAC, Ogg, WAV, AIFF, MP3...) through its property map
// and its pictures.
namespace TagCopy {

// Never fails: an unreadable source gives an empty result with readable false.
SourceTags readSource(const QString &path);

// The tags of the file that holds one chapter of a source: the source's, with the chapter's
// title, its number as the track ("2/3"), the source's album or else its title as the album,
// and no chapters of its own. The whole source's tags for a whole span.
SourceTags chapterTags(SourceTags tags, const SourceSpan &span);

// Only the fields of readSource(), without pictures or audio: fast enough to name every file
// of a library from its tags. Nothing when the tag library cannot read the file.
QMap<QString, QStringList> readFields(const QString &path);

// Writes one ID3v2.3 tag into the MP3 at mp3Path (what every player, car radio and Windows
// reads), replacing any tag there: the fields, the first picture as "Front cover" and the
// others with their own types, the chapters as CHAP frames (each with its title as a TIT2,
// "Chapter N" for one without) that one top-level CTOC lists in order, through ordered CTOCs
// of 255 each under it when there are more than 255. Nothing is written for empty tags.
// False when the file could not be opened as MP3 or not saved.
// With id3v1, an ID3v1.1 tag goes at the end as well (see TagChoices::id3v1): title, artist and
// album cut to 30 bytes, the year's four digits, the comment cut to 28 beside the track number
// (30 without one), the genre's ID3v1 number when its name is one of ID3v1's list, else none.
// ID3v1 has no text encoding: it is written in Latin-1, as players read it (see id3v1Text()).
bool writeId3v23(const SourceTags &tags, const QString &mp3Path, bool id3v1 = false);

// text as ID3v1's Latin-1 holds it: a character outside Latin-1 becomes its Latin-1 letters
// where it decomposes to them ("ő" "o", "ﬁ" "fi"), a typographic dash or quote the plain one,
// and anything else "?": TagLib alone would keep the low byte of its code, another character.
QString id3v1Text(const QString &text);

// The picture that becomes the MP3's "Front cover": the first front cover, or else the first.
qsizetype frontIndex(const QList<SourcePicture> &pictures);

} // namespace TagCopy
