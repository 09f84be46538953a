#pragma once

#include "convert/engine/chapters.h"
#include "convert/engine/replaygain.h"
#include "convert/engine/tagcopy.h"
#include "filelist/walk/folderwalk.h"

#include <functional>

// Where a whole library lands and which part of it one run takes, for quorvane-cli's
// --keep-tree, --pattern, --skip-existing and --shard. QtCore and the tag library only, so the batch
// and its tests need no tools.
//
// A source's library path names it on any machine, with "/": its path relative to the
// parent of the folder named on the command line ("Music/Artist/Album/01 Song.m4a" for
// ~/Music), or its bare name for a file named directly.
namespace LibraryLayout {

// The first 64 bits (big-endian) of SHA-1 over the UTF-8 of libraryPath in normal form C,
// with "/": every machine computes the same value, paths that differ in a digit still spread
// evenly, and a name typed on one system matches the decomposed spelling of another.
quint64 pathHash(const QString &libraryPath);

// The shard (1..count) that owns the source with this library path. count >= 1.
int shardOf(const QString &libraryPath, int count);

// True when output is a file not older than source. A missing or unreadable source is never
// up to date: converting it is how its problem gets reported.
bool isUpToDate(const QString &output, const QString &source);

// A source and the path named on the command line that it was found by.
struct Source
{
    QString path;    // native, as the walk spells it
    QString named;   // the named folder it lies under, or the file itself when named directly
};

// FolderWalk::expandPaths(paths, folderPattern) with each source's named path. A source is an
// entry of a folder: one reached through several named paths (nested folders, a link to a
// folder, a folder named twice) is taken once, at its first place in the walk, and belongs to
// the outermost of them (of two roads to one folder, the first in sorted order), so its library
// path does not depend on the order of arguments. Two names of one file (hard links) are two
// sources, as the walk of one folder holding both finds them.
QList<Source> collectSources(const QStringList &paths, const QString &folderPattern,
                             const std::atomic_bool *cancelled = nullptr,
                             FolderWalk::UnreadableList *unreadable = nullptr, qsizetype *tildes = nullptr);

struct RunChoices
{
    bool keepTree = false;
    bool skipExisting = false;
    int shardIndex = 1;   // 1..shardCount
    int shardCount = 1;
    // --pattern: each file named from its source's tags (NamePattern), below its mirrored
    // folder with keepTree; "" names it after its source.
    QString pattern;
    // The shard follows the folder of the library path instead of the whole path, so that a
    // folder's files (an album measured as one, --replaygain album) stay in one shard; the
    // files named directly are one folder.
    bool shardByFolder = false;
    // --split-chapters: each chapter of a source is a file of its own, named by the pattern
    // or else by kChapterPattern; a source without chapters is one file, named as without.
    bool splitChapters = false;
    // --replaygain: with skipExisting, an output done lacks none of the frames asked for.
    ReplayGain::Mode replayGain = ReplayGain::Mode::None;
};

// Where a chapter goes when no pattern is given: a folder named after its book.
inline constexpr char kChapterPattern[] = "{name}/{chapter:02} {chaptertitle}";

// A source's chapters (start and title; ChapterLister), read while planning, or why they cannot be.
using ChapterReader = std::function<ChapterList(const QString &source)>;

// The spans that cut a source into its chapters, in order with no gap: the first from the
// source's start, each to the next one's start, the last to the source's end; chapters that
// start together count once. None for a source without chapters.
QList<SourceSpan> chapterSpans(QList<SourceChapter> chapters);

struct Skipped
{
    QString source;
    SourceSpan span;    // the chapter whose file is done
    QString saveName;   // the output already done (isDone), below the output folder, with "/"
    bool taken = false; // saveName is an earlier source's, whose tags name it too (--pattern)
};

// What one run converts and where each file goes.
struct RunPlan
{
    QStringList sources;     // in walk order; a split source once per chapter
    QList<SourceSpan> spans; // by entry of sources (SessionSetup::spans); empty when nothing is split
    // By source: below the output folder, with "/" (SessionSetup::saveNames); empty when
    // every source is taken into the output folder itself, where the session names them.
    QStringList saveNames;
    QList<Skipped> skipped;  // in walk order
    // What fails before anything runs, with why, in walk order: a book whose chapters cannot be
    // listed, a chapter that starts past the end of its book's audio.
    struct Failed
    {
        QString source;
        QString reason;
    };
    QList<Failed> failed;
};

// The run over sources that choices ask for, saving into outputFolder. Names are made unique
// over all the sources before the shard and the outputs done are taken out, so every shard
// and later run names a file as the batch saving all of them would; a name made from tags
// that repeats an earlier one (letter case ignored) gets a " (n)" too, or with skipExisting
// skips its source. Reads the sources' tags or the outputs' lengths for those choices, which
// takes a while over a large library; a raised cancelled flag stops it with the plan unfinished.
// With splitChapters, chapters reads each source's chapters; every chapter's file is then an
// entry of its own (named, made unique and skipped when done one by one), and a source's
// chapters all go to the shard its path hashes to.
RunPlan planRun(const QList<Source> &sources, const QString &outputFolder, const RunChoices &choices,
                const std::atomic_bool *cancelled = nullptr, const ChapterReader &chapters = {});

} // namespace LibraryLayout
