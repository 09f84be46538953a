#pragma once

#include "filelist/walk/folderwalk.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>

// Where a whole library lands and which part of it one run takes, for quorvane-cli's
// --keep-tree, --skip-existing and --shard. Functions of paths (and, for the test of an
// existing output, of file times and what the files' headers say), QtCore and the tag
// library only, so the batch that uses them and the tests that pin them down need no tools.
//
// A source's library path is the path by which a library names it on any machine: for a
// source found under a folder named on the command line, its path relative to that
// folder's parent ("Music/Artist/Album/01 Song.m4a" for ~/Music); for a file named
// directly, its bare name. It is written with "/" whatever the platform.
namespace LibraryLayout {

// The library path of source, which the walk found under named (a folder as given on
// the command line, in any spelling: relative, native, with trailing separators), or
// which is named itself. Both are taken as spelled, links unresolved, so it is the same
// text on every machine that mounts the library under another root.
QString libraryPath(const QString &named, const QString &source);

// Where --keep-tree saves source, relative to the output folder and with "/":
// its library path with the display name of the source in place of its file name
// ("Music/Artist/Album/01 Song.mp3"; "song.mp3" for a file named directly).
QString keepTreeOutputPath(const QString &named, const QString &source);

// The first 64 bits (big-endian) of SHA-1 over the UTF-8 of libraryPath in Unicode normal
// form C, with "/" separators. Fixed by its definition, so every machine, byte order and
// build computes the same value; every bit depends on the whole path, so paths that
// differ only in a digit or two still spread evenly over the shards; the normal form
// makes a name typed on one system match the decomposed spelling another file system
// hands back.
quint64 pathHash(const QString &libraryPath);

// The shard (1..count) that owns the source with this library path. count >= 1.
int shardOf(const QString &libraryPath, int count);

// True when output exists as a file and its last change is not older than source's,
// so --skip-existing may leave the source alone. A missing or unreadable source is
// never up to date: converting it is how its problem gets reported.
bool isUpToDate(const QString &output, const QString &source);

// How far the length of an output may stray from its source's and still count as whole:
// the decoder and the encoder each add or trim a few frames.
constexpr qint64 kWholeToleranceMs = 500;

// True when --skip-existing leaves source alone: output is up to date (above), not empty,
// and whole, that is MPEG audio whose length is the source's within kWholeToleranceMs, both
// as their headers state them. The cheap tests come first: a missing, older or empty output
// is redone without opening a file. A source whose length cannot be read has no whole
// output: it is converted again, and the conversion reports its problem if it has one.
bool isDone(const QString &output, const QString &source);

// A source and the path named on the command line that it was found by.
struct Source
{
    QString path;    // native, as the walk spells it
    QString named;   // the named folder it lies under, or the file itself when named directly
};

// FolderWalk::expandPaths(paths, folderPattern) with each source's named path. A source
// reached through several named paths (a folder and a folder inside it, a file and a
// folder that holds it, a folder and a link to it) is taken once, at its first place in
// the walk, and belongs to the outermost of them, so its library path does not depend on
// the order of the arguments (of two roads to one folder, the one first in sorted order).
// With tildes, the names left out for their "~" are counted there, as by the walk.
QList<Source> collectSources(const QStringList &paths, const QString &folderPattern,
                             const std::atomic_bool *cancelled = nullptr,
                             FolderWalk::UnreadableList *unreadable = nullptr, qsizetype *tildes = nullptr);

struct RunChoices
{
    bool keepTree = false;
    bool skipExisting = false;
    int shardIndex = 1;   // 1..shardCount
    int shardCount = 1;
};

struct Skipped
{
    QString source;
    QString saveName;   // the output already done (isDone), below the output folder, with "/"
};

// What one run converts and where each file goes.
struct RunPlan
{
    QStringList sources;     // in walk order
    // By source: below the output folder, with "/" (SessionSetup::saveNames); empty when
    // every source is taken into the output folder itself, where the session names them.
    QStringList saveNames;
    QList<Skipped> skipped;  // in walk order
};

// The run over sources that choices ask for, saving into outputFolder. Names are made
// unique within each output folder over all the sources before the shard and the
// outputs already done are taken out, so every shard and every later run gives a file the
// name that the batch saving all of them would.
RunPlan planRun(const QList<Source> &sources, const QString &outputFolder, const RunChoices &choices);

} // namespace LibraryLayout
