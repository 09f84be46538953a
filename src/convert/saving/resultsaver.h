#pragma once

#include "convert/files/sharedfolder.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

// Saving converted files into the output folder. QtCore only, shared by the results
// window and the command-line front end.
namespace ResultSaver {

// What a save does with a file already at its name.
enum class Existing {
    Overwrite,   // replaces it (a link of this user's: its target)
    Rename,      // keeps it: the copy takes the next free " (n)" name, claimed as it is written
    Skip,        // replaces only what was there when the run checked the name (entryAt), to
                 // redo a stale or damaged output; a file that appeared since is kept as by Rename
};

struct Item
{
    QString fileName;   // name in the output folder, or a path below it with "/"
    QString sourceFile; // the converted temporary file
    Existing existing = Existing::Overwrite;
    SharedFolder::Entry there = {};   // Skip: what entryAt() found when the run checked the name
};

struct Failure
{
    QString target; // full path that could not be written
    QString reason;
    int entry = -1; // which item (save()), or which entry of a result set
    // "could not save /out/a.mp3: No space left on device", as both front ends say it.
    QString text() const { return QStringLiteral("could not save %1: %2").arg(target, reason); }
};

struct Move
{
    enum class Why {
        Source,     // the name is one of the batch's sources
        Appeared,   // a file appeared at the name after the run checked it
        Taken,      // the name was taken when the file was written (Rename: no more to say)
    };
    int index;        // into the names
    QString wanted;   // the name that would have replaced a file
    QString given;
    Why why = Why::Source;
    QString text() const
    {
        switch (why) {
        case Why::Source:
            return QStringLiteral("%1 is one of the sources, so it was saved as %2").arg(wanted, given);
        case Why::Appeared:
            return QStringLiteral("%1 appeared during the run, so this file was saved as %2").arg(wanted, given);
        case Why::Taken:
            break;
        }
        return {};
    }
};

struct Saved
{
    QList<Failure> failures;
    QList<Move> moves;   // the names given instead of the items' own (Rename, Skip)
};

// The identities (SharedFolder::identityOf) of the paths that name something.
QSet<QString> fileIdentities(const QStringList &paths);
// A converted file never replaces one of its batch's sources (by their identities): each name
// that would land on one in folder moves to the next free " (n)" name. Returns what moved.
QList<Move> keepSourcesSafe(QStringList &names, const QString &folder, const QSet<QString> &sourceIds);
// The same for every name at which something exists in folder already ("keep both").
QList<Move> keepExistingFiles(QStringList &names, const QString &folder);

// What a save of fileName into folder would replace: the entry at its destination (a link of
// this user's followed, as a save follows it); Kind::None when nothing is there.
SharedFolder::Entry entryAt(const QString &folder, const QString &fileName);

// Deletes the part files of this user that programs which have surely ended left in folder
// (ProcessIdentity::isAbandoned); save() does this for each folder it writes into.
int removeAbandonedParts(const QString &folder);

// Copies each item into folder, creating the folders a fileName names ("Album/song.mp3"),
// through a hidden part file renamed over the destination only when complete and on the
// disk: a failed copy destroys no existing file and leaves no part file. A link at a name, or
// for a folder, is followed only when its owner is this user or the folder's (SharedFolder);
// another user's fails that item. Returns the items not saved, with reasons, and the names
// given instead of the items' own. Safe on any thread: saved(n) is called there after each
// item; a raised cancelled flag stops it between two items.
Saved save(const QString &folder, const QList<Item> &items,
                    const std::function<void(int saved)> &saved = {},
                    const std::atomic_bool *cancelled = nullptr);

} // namespace ResultSaver
