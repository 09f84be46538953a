#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

namespace TagLib::ID3v2 {
class Tag;
}
class ProcessRunner;
struct ProcessOutcome;

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

// The chapters of the decoder's listing (Tools::chapterListArguments()); "" in *problem, or why
// the listing is none: not in the metadata format, as a decoder that answers garbage writes.
QList<SourceChapter> parseListing(const QByteArray &listing, QString *problem);

// CHAP frames "chp0", "chp1"... into tag, each with its title as a TIT2 ("Chapter N" for one
// without), and the ordered tables of contents (CTOC) that list them: one top-level CTOC for up
// to 255, nested ones of 255 each under it for more.
void addFrames(const QList<SourceChapter> &chapters, TagLib::ID3v2::Tag &tag);

} // namespace Chapters

// A source's chapters as the planning of a run reads them, or why they cannot be read.
struct ChapterList
{
    QList<SourceChapter> chapters;
    QString problem;   // "" when the decoder listed them (none, for a source without chapters)
};

// Lists the chapters of sources with the decoder, through the process runner (the stall
// timeout and the keeper as for every tool), up to jobs at a time; finished() once every source
// is listed, or after cancel(), which stops the runs under way and lists no more.
class ChapterLister : public QObject
{
    Q_OBJECT

public:
    ChapterLister(const QString &decoder, int stallTimeoutSeconds, int jobs, QObject *parent = nullptr);

    void list(const QStringList &sources);   // once
    void cancel();
    // By source, once finished; a source not listed (cancelled) is missing.
    const QHash<QString, ChapterList> &lists() const { return m_lists; }

signals:
    void finished();

private:
    void startMore();
    void onListed(ProcessRunner *runner, const QString &source, const ProcessOutcome &outcome);

    const QString m_decoder;
    const int m_stallTimeoutSeconds;
    const int m_jobs;
    QStringList m_waiting;
    QHash<ProcessRunner *, QByteArray> m_running;   // each run and what it has said so far
    QHash<QString, ChapterList> m_lists;
};
