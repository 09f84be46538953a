#include "convert/engine/taglibfile.h"

#include "convert/files/pathhelpers.h"

TagLibFile::Name::Name(const QString &path)
    : m_wide(Paths::systemPath(path).toStdWString())
{
}

TagLib::FileName TagLibFile::Name::get() const
{
    return m_wide.c_str();
}

// By name: TagLib reads no descriptor on Windows, where no name in a folder leads to a FIFO.
std::unique_ptr<TagLib::FileStream> TagLibFile::openRegular(const Name &name)
{
    return std::make_unique<TagLib::FileStream>(name.get(), true);
}
