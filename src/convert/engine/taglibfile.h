#pragma once

#include <QByteArray>
#include <QString>

#include <taglib/fileref.h>
#include <taglib/tfilestream.h>
#include <taglib/tstring.h>

#include <memory>
#include <mutex>
#include <string>

// TagLib's side of the tag files (tags, chapter frames, MPEG audio facts): file names in the
// form TagLib takes on this platform, files opened read-only and only when they are regular
// files, and text both ways. How a file is named and opened is the platform's
// (taglibfile_posix.cpp, taglibfile_windows.cpp).
namespace TagLibFile {

// TagLib fills some tables of its own on first use without a lock (the one that writing tags
// looks up roles in): two threads at it together lose entries and leak, as two files' tags
// written at once did. So TagLib serves one thread at a time here: whoever uses it takes a
// Turn first and keeps it while any TagLib object of theirs lives. Held by the same thread
// again, it lets that thread on. Tags take milliseconds beside the tools' seconds.
class Turn
{
public:
    Turn();

private:
    std::unique_lock<std::recursive_mutex> m_lock;
};

// A file's name as TagLib takes it here; it must outlive TagLib's use of it.
class Name
{
public:
    explicit Name(const QString &path);
    TagLib::FileName get() const;

private:
    std::string m_bytes;   // POSIX: in the file system's encoding
    std::wstring m_wide;   // Windows: in the form that takes long paths
};

// The file at name opened for reading, only when it is a regular file; null otherwise.
std::unique_ptr<TagLib::FileStream> openRegular(const Name &name);

// A file as TagLib reads it: read-only, so that a source the user may not change is read all
// the same. A null ref when it cannot be opened, is not a regular file or TagLib knows no such
// format.
struct ReadOnly
{
    explicit ReadOnly(const QString &path, bool audio = true);
    const Turn turn;   // first in, last out
    const Name name;   // outlives the stream, which reads through it
    const std::unique_ptr<TagLib::FileStream> stream;
    TagLib::FileRef ref;
};

QString toQString(const TagLib::String &text);
TagLib::String toTagLib(const QString &text);
QByteArray toQByteArray(const TagLib::ByteVector &data);

} // namespace TagLibFile
