#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace TagLib::ID3v2 {
class Tag;
}

// A chapter as the source marks it, in milliseconds from the start of its audio.
struct SourceChapter
{
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString title;   // "" when the source names none
};

// A source's chapters: read from the decoder's metadata listing (TagLib reads no MPEG-4
// chapters, and the decoder is what cuts a chapter out: its reading of the bounds is the one
// that counts), and written into an MP3's ID3v2 tag as chapter frames and their tables.
namespace Chapters {

// The chapters of ffmpeg's metadata file at path (its [CHAPTER] sections), by start; none when
// it cannot be read or holds none.
QList<SourceChapter> readFile(const QString &ffmetadataPath);

// The chapters in ffmpeg's metadata text, as readFile() reads them from a file.
QList<SourceChapter> parse(const QByteArray &ffmetadata);

// The source's chapters as the decoder reads them (Tools::chapterListArguments()), waiting up
// to timeoutMs for it; none when it fails or the source has none. Blocking: for a planning
// step off any window's thread.
QList<SourceChapter> list(const QString &decoder, const QString &source, int timeoutMs);

// CHAP frames "chp0", "chp1"... into tag, each with its title as a TIT2 ("Chapter N" for one
// without), and the ordered tables of contents (CTOC) that list them: one top-level CTOC for up
// to 255, nested ones of 255 each under it for more.
void addFrames(const QList<SourceChapter> &chapters, TagLib::ID3v2::Tag &tag);

} // namespace Chapters
