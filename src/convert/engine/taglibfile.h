#pragma once

#include <QByteArray>
#include <QString>

#include <taglib/fileref.h>
#include <taglib/tfilestream.h>
#include <taglib/tstring.h>

#include <memory>
#include <string>

// TagLib's side of the tag files (tags, chapter frames, MPEG audio facts): file names in the
// form TagLib takes on this platform, files opened read-only and only when they are regular
// files, and text both ways. How a file is named and opened is the platform's
// (taglibfile_posix.cpp, taglibfile_windows.cpp).
namespace TagLibFile {

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
    const Name name;   // outlives the stream, which reads through it
    const std::unique_ptr<TagLib::FileStream> stream;
    TagLib::FileRef ref;
};

QString toQString(const TagLib::String &text);
TagLib::String toTagLib(const QString &text);
QByteArray toQByteArray(const TagLib::ByteVector &data);

} // namespace TagLibFile
