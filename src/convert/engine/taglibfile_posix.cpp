#include "convert/engine/taglibfile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A stream on a descriptor that still answers to its file name, by whose extension TagLib
// tells the format.
class DescriptorStream : public TagLib::FileStream
{
public:
    DescriptorStream(int fd, const TagLibFile::Name &name)
        : TagLib::FileStream(fd, true)   // which closes fd
        , m_name(name)
    {
    }
    TagLib::FileName name() const override { return m_name.get(); }

private:
    const TagLibFile::Name &m_name;
};

} // namespace

TagLibFile::Name::Name(const QString &path)
    : m_bytes(QFile::encodeName(path).toStdString())
{
}

TagLib::FileName TagLibFile::Name::get() const
{
    return m_bytes.c_str();
}

// Opened by name, as TagLib would, a FIFO waits for a writer that may never come, and nothing
// could end that wait. Our own open() then, without waiting, and the descriptor looked at
// before anything is read.
std::unique_ptr<TagLib::FileStream> TagLibFile::openRegular(const Name &name)
{
    const int fd = ::open(name.get(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    // (A regular file ignores O_NONBLOCK; cleared all the same for TagLib, which reads as if waiting.)
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)
        || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<DescriptorStream>(fd, name);
}
