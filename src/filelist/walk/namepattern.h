#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// quorvane-cli's --pattern: where a source is saved, made from its tags
// ("{albumartist}/{album}/{track:02} {title}" -> "Artist/Album/03 Song.mp3"), as a name that
// is safe on Linux and Windows alike. Pure QtCore: LibraryLayout reads the tags
// (TagCopy::readFields) and plans the run with it.
namespace NamePattern {

// As TagLib's property map names them (SourceTags::fields): TITLE, ARTIST, TRACKNUMBER...;
// CHAPTER, CHAPTERS and CHAPTERTITLE are the planned file's chapter (LibraryLayout's).
using Fields = QMap<QString, QStringList>;

// "" when pattern can name files; otherwise why not, in one line.
QString problem(const QString &pattern);

// Where pattern saves the source with file name sourceName, relative to the output folder,
// with "/" and ".mp3": each field's value or its placeholder ("Unknown Artist"), every
// folder and file name made safe and at most 255 bytes of UTF-8, with room left for ".mp3"
// and a " (n)" that makes it unique. pattern has no problem().
QString saveName(const QString &pattern, const Fields &fields, const QString &sourceName);

// One run's names made unique, letter case ignored as the saving does: a name that repeats
// an earlier one gets the next free " (n)" name, or with skipRepeats becomes "" (its source
// is skipped).
QStringList settle(const QStringList &names, bool skipRepeats);

} // namespace NamePattern
