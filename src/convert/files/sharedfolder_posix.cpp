#include "convert/files/sharedfolder.h"

#include <QDir>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder is held by a descriptor that only names it (Linux): looking at and acting on its
// entries needs no right to list it, as with a path.
#ifdef O_PATH
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

std::shared_ptr<const int> adopt(int fd)
{
    if (fd < 0)
        return {};
    return std::shared_ptr<const int>(new int(fd), [](const int *owned) {
        ::close(*owned);
        delete owned;
    });
}

SharedFolder::Entry entryOf(const struct stat &info)
{
    using Kind = SharedFolder::Entry::Kind;
    SharedFolder::Entry entry;
    entry.kind = S_ISREG(info.st_mode) ? Kind::File
                 : S_ISDIR(info.st_mode) ? Kind::Folder
                 : S_ISLNK(info.st_mode) ? Kind::Link
                                         : Kind::Other;
    entry.owner = uint(info.st_uid);
    entry.ours = info.st_uid == ::geteuid();
    entry.privateToOwner = (info.st_mode & 077) == 0;
    entry.mode = uint(info.st_mode & 0777);
    entry.lastModified = QDateTime::fromSecsSinceEpoch(qint64(info.st_mtime), Qt::UTC);
    entry.device = quint64(info.st_dev);
    entry.inode = quint64(info.st_ino);
    return entry;
}

bool isSame(const struct stat &info, const SharedFolder::Entry &expected)
{
    return quint64(info.st_dev) == expected.device && quint64(info.st_ino) == expected.inode;
}

// A listing of the folder fd, read through a descriptor of its own; nullptr when it cannot be read.
DIR *openListing(int fd)
{
    const int listing = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!dir && listing >= 0)
        ::close(listing);
    return dir;
}

// Opens the folder name in folder only if it is a real folder (no link) and still the one
// looked at (info), so that a swap after the look opens nothing else.
int openSameFolder(int folder, const char *name, const struct stat &info)
{
    const int fd = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened;
    if (fd >= 0 && (::fstat(fd, &opened) != 0 || opened.st_dev != info.st_dev || opened.st_ino != info.st_ino)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Empties the folder fd, as rm -r does: every entry looked at without following it, every
// folder opened by descriptor and checked to be the one looked at, none on another device.
bool removeContents(int fd, dev_t device)
{
    DIR *dir = openListing(fd);
    if (!dir)
        return false;
    bool whole = true;
    while (const dirent *item = ::readdir(dir)) {
        const char *name = item->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat info;
        if (::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            whole = whole && errno == ENOENT;
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            whole = (::unlinkat(fd, name, 0) == 0 || errno == ENOENT) && whole;
            continue;
        }
        const int child = info.st_dev == device ? openSameFolder(fd, name, info) : -1;
        const bool emptied = child >= 0 && removeContents(child, device);
        if (child >= 0)
            ::close(child);
        whole = emptied && ::unlinkat(fd, name, AT_REMOVEDIR) == 0 && whole;
    }
    ::closedir(dir);
    return whole;
}

} // namespace

QString SharedFolder::identityOf(const QString &path)
{
    struct stat info;
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return QStringLiteral("%1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino));
}

QString SharedFolder::strangerLinkOn(const QString &path)
{
    // Component by component, each link read and followed as the system would follow it.
    QStringList left = QDir::cleanPath(QDir::current().absoluteFilePath(path)).split(u'/', Qt::SkipEmptyParts);
    QString at = QStringLiteral("/");
    for (int hops = 0; !left.isEmpty() && hops <= kMaxLinkHops;) {
        const QString next = QDir(at).filePath(left.takeFirst());
        struct stat link, folder;
        if (::lstat(QFile::encodeName(next).constData(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            at = next;
            continue;
        }
        if (::stat(QFile::encodeName(at).constData(), &folder) == 0 && (folder.st_mode & S_ISVTX)
            && link.st_uid != ::geteuid() && link.st_uid != folder.st_uid)
            return QDir::toNativeSeparators(next);
        ++hops;
        QByteArray target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(QFile::encodeName(next).constData(), target.data(), size_t(target.size()));
        if (length <= 0)
            return {};
        target.truncate(length);
        // The target's own parts are walked in turn, from the root or from where the link lies.
        const QString resolved = QDir::cleanPath(QDir(at).absoluteFilePath(QFile::decodeName(target)));
        left = resolved.split(u'/', Qt::SkipEmptyParts) + left;
        at = QStringLiteral("/");
    }
    return {};
}

SharedFolder SharedFolder::open(const QString &path, QString *problem)
{
    const int fd = ::open(QFile::encodeName(path).constData(), kFolderFlags);
    if (fd < 0 && problem)
        *problem = QStringLiteral("cannot open the folder %1: %2").arg(QDir::toNativeSeparators(path), systemError(errno));
    return {adopt(fd), QDir::toNativeSeparators(path)};
}

QStringList SharedFolder::names(const QString &prefix) const
{
    QStringList found;
    DIR *dir = m_handle ? openListing(*m_handle) : nullptr;
    if (!dir)
        return found;
    const QByteArray start = QFile::encodeName(prefix);
    while (const dirent *item = ::readdir(dir)) {
        if (std::strncmp(item->d_name, start.constData(), size_t(start.size())) == 0)
            found.append(QFile::decodeName(item->d_name));
    }
    ::closedir(dir);
    return found;
}

SharedFolder::Entry SharedFolder::entry(const QString &name) const
{
    struct stat info;
    if (!m_handle || ::fstatat(*m_handle, QFile::encodeName(name).constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    return entryOf(info);
}

bool SharedFolder::mayFollow(const Entry &link) const
{
    struct stat folder;
    return link.ours || (::fstat(*m_handle, &folder) == 0 && folder.st_uid == link.owner);
}

SharedFolder SharedFolder::subfolder(const QString &name, bool create, QString *problem) const
{
    int hops = 0;
    return step(name, create, hops, problem);
}

QByteArray SharedFolder::readLink(const QString &name, int &hops, QString *problem) const
{
    const QString path = pathOf(name);
    if (!mayFollow(entry(name))) {
        *problem = QStringLiteral("%1 is a link owned by another user; not followed").arg(path);
        return {};
    }
    if (++hops > kMaxLinkHops) {
        *problem = QStringLiteral("%1: %2").arg(path, systemError(ELOOP));
        return {};
    }
    QByteArray target(4096, '\0');
    const ssize_t length = ::readlinkat(*m_handle, QFile::encodeName(name).constData(), target.data(), size_t(target.size()));
    if (length <= 0 || length >= target.size()) {
        *problem = QStringLiteral("cannot read the link %1").arg(path);
        return {};
    }
    target.truncate(length);
    return target;
}

SharedFolder SharedFolder::step(const QString &name, bool create, int &hops, QString *problem) const
{
    const QByteArray encoded = QFile::encodeName(name);
    const QString path = pathOf(name);
    int error = EBADF;
    for (int attempt = 0; m_handle && attempt < 2; ++attempt) {
        const int fd = ::openat(*m_handle, encoded.constData(), kFolderFlags | O_NOFOLLOW);
        error = errno;
        if (fd >= 0)
            return {adopt(fd), path};
        if (error == ENOENT && create) {
            if (::mkdirat(*m_handle, encoded.constData(), 0777) == 0 || errno == EEXIST)
                continue;   // made, by us or by someone at the same moment: open what is there
            *problem = QStringLiteral("cannot create the folder %1: %2").arg(path, systemError(errno));
            return {};
        }
        if ((error == ELOOP || error == ENOTDIR) && entry(name).kind == Entry::Kind::Link) {
            const QByteArray target = readLink(name, hops, problem);
            return target.isEmpty() ? SharedFolder() : chase(target, hops, problem);
        }
        break;
    }
    *problem = QStringLiteral("cannot open the folder %1: %2").arg(path, systemError(error));
    return {};
}

SharedFolder SharedFolder::chase(const QByteArray &path, int &hops, QString *problem) const
{
    SharedFolder at = *this;
    if (path.startsWith('/')) {
        at = open(QStringLiteral("/"), problem);
    }
    for (const QByteArray &name : path.split('/')) {
        if (at.isOpen() && !name.isEmpty() && name != ".")
            at = at.step(QFile::decodeName(name), false, hops, problem);
    }
    if (at.isOpen())
        at.m_path = QDir::toNativeSeparators(QDir::cleanPath(at.m_path));
    return at;
}

SharedFolder::Destination SharedFolder::destination(const QString &name, QString *problem) const
{
    Destination at{*this, name};
    int hops = 0;
    while (at.folder.entry(at.name).kind == Entry::Kind::Link) {
        // A link of our own keeps pointing where it did: its target gets the file.
        const QByteArray target = at.folder.readLink(at.name, hops, problem);
        const qsizetype slash = target.lastIndexOf('/');
        const QByteArray base = target.mid(slash + 1);
        if (target.isEmpty())
            return {};
        if (base.isEmpty() || base == "." || base == "..") {
            *problem = QStringLiteral("the link %1 names a folder").arg(at.folder.pathOf(at.name));
            return {};
        }
        if (slash >= 0)
            at.folder = at.folder.chase(slash == 0 ? QByteArray("/") : target.left(slash), hops, problem);
        if (!at.folder.isOpen())
            return {};
        at.name = QFile::decodeName(base);
    }
    return at;
}

SharedFolder::NewFile SharedFolder::createNew(const QString &prefix, const QString &suffix, QString *problem) const
{
    NewFile made;
    for (int draw = 0; m_handle && draw < kNameDraws; ++draw) {
        const QString name = drawName(prefix, suffix);
        // The usual rights for a new file (what the umask allows), where QTemporaryFile would
        // make it private to us.
        const int fd = ::openat(*m_handle, QFile::encodeName(name).constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;   // only a name that is taken is worth another draw
        made.m_file = std::make_unique<QFile>();
        if (fd < 0 || !made.m_file->open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
            *problem = fd < 0 ? systemError(errno) : made.m_file->errorString();
            if (fd >= 0) {
                ::close(fd);
                ::unlinkat(*m_handle, QFile::encodeName(name).constData(), 0);
            }
            return {};
        }
        made.m_folder = m_handle;
        made.m_name = name;
        return made;
    }
    *problem = m_handle ? systemError(EEXIST) : QStringLiteral("the folder is not open");
    return {};
}

bool SharedFolder::removeFile(const QString &name, const Entry &expected) const
{
    const QByteArray encoded = QFile::encodeName(name);
    struct stat info;
    return m_handle && ::fstatat(*m_handle, encoded.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0
           && isSame(info, expected) && info.st_uid == ::geteuid() && !S_ISDIR(info.st_mode)
           && ::unlinkat(*m_handle, encoded.constData(), 0) == 0;
}

bool SharedFolder::removeTree(const QString &name, const Entry &expected) const
{
    const QByteArray encoded = QFile::encodeName(name);
    struct stat info;
    if (!m_handle || ::fstatat(*m_handle, encoded.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0
        || !isSame(info, expected) || info.st_uid != ::geteuid() || !S_ISDIR(info.st_mode))
        return false;
    const int fd = openSameFolder(*m_handle, encoded.constData(), info);
    if (fd < 0)
        return false;
    const bool emptied = removeContents(fd, info.st_dev);
    ::close(fd);
    return emptied && ::unlinkat(*m_handle, encoded.constData(), AT_REMOVEDIR) == 0;
}

QString SharedFolder::NewFile::remove()
{
    if (!m_folder)
        return {};
    m_file->close();
    const bool removed = ::unlinkat(*m_folder, QFile::encodeName(m_name).constData(), 0) == 0;
    m_folder.reset();
    return removed ? QString() : systemError(errno);
}

void SharedFolder::NewFile::keepRightsOf(const Entry &replaced)
{
    if (replaced.kind == Entry::Kind::File && isOpen())
        ::fchmod(m_file->handle(), mode_t(replaced.mode));
}

QString SharedFolder::NewFile::write(const QByteArray &data)
{
    const char *next = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(m_file->handle(), next, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return systemError(errno);
        }
        next += written;
        left -= written;
    }
    return {};
}

QString SharedFolder::NewFile::sync()
{
    if (!m_file->flush())
        return m_file->errorString();
    if (::fsync(m_file->handle()) != 0)
        return systemError(errno);
    return {};
}

QString SharedFolder::NewFile::replace(const QString &name)
{
    if (const QString reason = close(); !reason.isEmpty())
        return reason;
    if (::renameat(*m_folder, QFile::encodeName(m_name).constData(), *m_folder, QFile::encodeName(name).constData()) != 0) {
        const QString reason = systemError(errno);
        remove();
        return reason;
    }
    m_folder.reset();
    return {};
}

QString SharedFolder::NewFile::claim(const QString &name, bool *taken)
{
    *taken = false;
    if (const QString reason = close(); !reason.isEmpty())
        return reason;
    const QByteArray from = QFile::encodeName(m_name);
    const QByteArray to = QFile::encodeName(name);
#ifdef RENAME_NOREPLACE
    int done = ::renameat2(*m_folder, from.constData(), *m_folder, to.constData(), RENAME_NOREPLACE);
#else
    int done = -1;
    errno = ENOSYS;
#endif
    // A system or file system without RENAME_NOREPLACE: a second name that cannot replace
    // anything, then the first one let go.
    if (done != 0 && (errno == EINVAL || errno == ENOSYS)) {
        done = ::linkat(*m_folder, from.constData(), *m_folder, to.constData(), 0);
        if (done == 0)
            ::unlinkat(*m_folder, from.constData(), 0);
    }
    if (done != 0) {
        *taken = errno == EEXIST;
        const QString reason = systemError(errno);
        if (!*taken)
            remove();
        return reason;
    }
    m_folder.reset();
    return {};
}
