#include "filelist/walk/folderwalk_p.h"


#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

// On POSIX the walk reads folders itself: one readdir pass each, the type from d_type, a stat only
// for subfolders and what d_type leaves open. QDir stats every entry and resolves every folder's
// canonical path: several times slower than find.

namespace FolderWalk::Detail {

namespace {

// A folder is known by its device and inode, which every road to it (a link, a bind
// mount, a start folder given twice) shares.
using FolderKey = std::pair<dev_t, ino_t>;

FolderKey keyOf(const struct stat &info)
{
    return {info.st_dev, info.st_ino};
}

struct Subfolder
{
    QString name;
    QByteArray encodedName;
    FolderKey key;
};

// An entry of a folder that the walk cannot take. With an empty name, the folder itself.
// The reason comes first: built from errno, it is taken before anything can change it.
struct Trouble
{
    QString reason;
    QByteArray name;
    bool folder;      // one the walk would enter; otherwise it counts only if its name matches
};

const QString kNotUtf8 = QStringLiteral("its name is not valid UTF-8");
// A link below a named folder leads only where its owner may: this user's, or root's (the
// kernel's rule for links in sticky folders). Another user's could lead into this user's files.
const QString kStrangerLink = QStringLiteral("a link another user owns, not followed");
// For a FIFO, a device or a socket, in the words the conversion uses for one named directly.
const QString kNotRegular = QStringLiteral("not a regular file");

QString reasonFor(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("not found");
    case EACCES:
    case EPERM:
        return QStringLiteral("permission denied");
    default:
        return qt_error_string(error);
    }
}

void noteFolderError(UnreadableList *unreadable, const QString &folder)
{
    const QString reason = reasonFor(errno);
    note(unreadable, shownFolder(folder), reason);
}

// The name as text: what is valid UTF-8 as it reads, any other byte (and any control
// character) as \xNN, so that a name the walk cannot take can still be told apart.
QString escapedName(const QByteArray &raw)
{
    QString text;
    for (qsizetype i = 0; i < raw.size();) {
        const uchar lead = uchar(raw.at(i));
        const qsizetype length = lead < 0x80            ? 1
                                 : (lead & 0xE0) == 0xC0 ? 2
                                 : (lead & 0xF0) == 0xE0 ? 3
                                 : (lead & 0xF8) == 0xF0 ? 4
                                                         : 0;
        const QByteArrayView piece = QByteArrayView(raw).sliced(i, qMin(qMax(length, qsizetype(1)), raw.size() - i));
        if (length > 0 && piece.size() == length && piece.isValidUtf8() && (length > 1 || (lead >= 0x20 && lead != 0x7F))) {
            text += QString::fromUtf8(piece);
            i += length;
        } else {
            text += QStringLiteral("\\x%1").arg(lead, 2, 16, QLatin1Char('0'));
            ++i;
        }
    }
    return text;
}

// macOS and the BSDs also hide a folder by a flag, as QDir knows.
bool isHiddenByFlag(const struct stat &info)
{
#ifdef UF_HIDDEN
    return info.st_flags & UF_HIDDEN;
#else
    Q_UNUSED(info);
    return false;
#endif
}

// Sets text to prefix + the name as QFile decodes it (ASCII widened without the decoder). A name
// the local encoding cannot carry would name nothing once decoded: left out (false), as QDir does.
bool decodeName(const QString &prefix, const char *name, QString &text)
{
    const qsizetype length = qsizetype(std::strlen(name));
    if (std::all_of(name, name + length, [](char c) { return uchar(c) < 0x80; })) {
        text = prefix + QLatin1String(name, length);
        return true;
    }
    const QByteArray raw(name, length);
    const QString decoded = QFile::decodeName(raw);
#ifndef Q_OS_DARWIN
    // (On macOS names are UTF-8 by rule, and encodeName would decompose them.)
    if (QFile::encodeName(decoded) != raw)
        return false;
#endif
    text = prefix + decoded;
    return true;
}

// Reads the folder open at fd and closes it: folders the walk enters to subfolders, files to files
// as filePrefix + name (each when given). A "." folder is hidden, a link counts as what it leads
// to, and sockets, pipes and devices (or links to them) are files that cannot be taken. What cannot
// be taken goes to troubles; an entry that vanished (or a broken link) goes nowhere.
void readFolder(int fd, std::vector<Subfolder> *subfolders, QStringList *files, const QString &filePrefix,
                std::vector<Trouble> &troubles)
{
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        troubles.push_back({reasonFor(errno), {}, true});
        ::close(fd);
        return;
    }
    const int dirFd = ::dirfd(dir);
    struct stat info;
    // Stats name into info; a failure is noted, unless the entry is gone or unwanted.
    const auto look = [&](const char *name, int flags, bool folder) {
        if (::fstatat(dirFd, name, &info, flags) == 0)
            return true;
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP && (folder || files))
            troubles.push_back({reasonFor(errno), QByteArray(name), folder});
        return false;
    };
    QString text;
    const auto takeFolder = [&](const char *name) {
        if (!subfolders || name[0] == '.' || isHiddenByFlag(info))
            return;
        if (decodeName(QString(), name, text))
            subfolders->push_back({std::move(text), QByteArray(name), keyOf(info)});
        else
            troubles.push_back({kNotUtf8, QByteArray(name), true});
    };
    const auto takeFile = [&](const char *name) {
        if (files && decodeName(filePrefix, name, text))
            files->append(std::move(text));
        else if (files)
            troubles.push_back({kNotUtf8, QByteArray(name), false});
    };
    const auto refuseFile = [&](const char *name) {
        if (files)
            troubles.push_back({kNotRegular, QByteArray(name), false});
    };
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0)
                troubles.push_back({reasonFor(errno), {}, true});
            break;
        }
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        unsigned char type = entry->d_type;
        bool haveInfo = false;
        if (type == DT_UNKNOWN) {
            // Some file systems do not fill in d_type.
            if (!look(name, AT_SYMLINK_NOFOLLOW, false))
                continue;
            haveInfo = true;
            type = S_ISDIR(info.st_mode) ? DT_DIR
                 : S_ISREG(info.st_mode) ? DT_REG
                 : S_ISLNK(info.st_mode) ? DT_LNK
                                         : DT_FIFO;   // or a device or a socket: the same to the walk
        }
        if (type == DT_DIR) {
            if (!subfolders || name[0] == '.' || (!haveInfo && !look(name, AT_SYMLINK_NOFOLLOW, true)))
                continue;
            if (S_ISDIR(info.st_mode)) // or no folder any more (replaced since it was listed)
                takeFolder(name);
        } else if (type == DT_REG) {
            takeFile(name);
        } else if (type == DT_LNK) {
            struct stat link;
            const bool stranger = ::fstatat(dirFd, name, &link, AT_SYMLINK_NOFOLLOW) == 0 && link.st_uid != ::geteuid()
                                  && link.st_uid != 0;
            // One to a folder is known by the folder it leads to, so a loop of links ends.
            if (!look(name, 0, false))
                continue;
            if (stranger)
                troubles.push_back({kStrangerLink, QByteArray(name), subfolders && S_ISDIR(info.st_mode)});
            else
                S_ISDIR(info.st_mode) ? takeFolder(name) : S_ISREG(info.st_mode) ? takeFile(name) : refuseFile(name);
        } else if (type == DT_FIFO || type == DT_CHR || type == DT_BLK || type == DT_SOCK) {
            refuseFile(name);
        }
    }
    ::closedir(dir);
}

// Notes the troubles of folder (ending in a separator) by name; a file's only if it would be taken.
void noteTroubles(std::vector<Trouble> &troubles, const QString &folder, const NameMatcher *matcher, Tilde tilde,
                  UnreadableList *unreadable)
{
    std::sort(troubles.begin(), troubles.end(), [](const Trouble &a, const Trouble &b) { return a.name < b.name; });
    for (const Trouble &trouble : troubles) {
        if (trouble.name.isEmpty())
            note(unreadable, shownFolder(folder), trouble.reason);
        else if (trouble.folder || (matcher && isTaken(QFile::decodeName(trouble.name), *matcher, tilde)))
            note(unreadable, folder + escapedName(trouble.name), trouble.reason);
    }
    troubles.clear();
}

// Opens a folder and sets info to what it is, or returns -1 with errno set. A folder that
// can be listed but not entered (no search permission) counts as closed.
int openFolder(const QByteArray &path, struct stat &info)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && ::fstatat(fd, ".", &info, 0) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

void walk(QStringList &folders, const NameMatcher &matcher, QStringList &rows, const std::atomic_bool *cancelled, UnreadableList *unreadable, qsizetype *tildes)
{
    // Parallel to folders: the path as the system takes it ("" for an entry not walked) and
    // the folder it led to when listed.
    std::set<FolderKey> known;
    std::vector<std::pair<QByteArray, FolderKey>> walked;
    for (const QString &folder : std::as_const(folders)) {
        QByteArray path = QFile::encodeName(folder);
        struct stat info = {};
        const bool found = !path.isEmpty() && ::stat(path.constData(), &info) == 0;
        if (!found && !path.isEmpty())
            noteFolderError(unreadable, folder);
        if (!found || !known.insert(keyOf(info)).second)
            path.clear();
        walked.emplace_back(path, keyOf(info));
    }

    std::vector<Subfolder> subfolders;
    std::vector<Trouble> troubles;
    QStringList files;
    // The list is its own queue: children go to the end, so the order is level by level.
    for (qsizetype i = 0; i < folders.size(); ++i) {
        if (isCancelled(cancelled))
            return;
        const auto [encoded, key] = walked[size_t(i)];   // a copy: walked grows below
        if (encoded.isEmpty())
            continue;
        const QString folder = folders.at(i);
        const QString prefix = folder.endsWith(u'/') ? folder : folder + u'/';
        struct stat opened;
        const int fd = openFolder(encoded, opened);
        if (fd < 0) {
            noteFolderError(unreadable, folder);
            continue;
        }
        // A folder swapped since it was listed could lead back up the tree: only the one
        // listed is read.
        if (keyOf(opened) != key) {
            ::close(fd);
            continue;
        }
        subfolders.clear();
        files.clear();
        readFolder(fd, &subfolders, &files, prefix, troubles);
        noteTroubles(troubles, prefix, &matcher, Tilde::Drop, unreadable);

        std::sort(subfolders.begin(), subfolders.end(),
                  [](const Subfolder &a, const Subfolder &b) { return lessByName(a.name, b.name); });
        for (const Subfolder &sub : subfolders) {
            if (!known.insert(sub.key).second)
                continue;
            folders.append(prefix + sub.name + u'/');
            walked.emplace_back(encoded + (encoded.endsWith('/') ? "" : "/") + sub.encodedName + '/', sub.key);
        }
        keepMatchingSorted(files, prefix.size(), matcher, Tilde::Drop, tildes);
        rows.append(std::move(files)); // leaves moved-from strings, cleared for the next folder
    }
}

QStringList unsortedFileNames(const QString &folder, const NameMatcher &matcher, UnreadableList *unreadable)
{
    struct stat info;
    const int fd = openFolder(QFile::encodeName(folder), info);
    if (fd < 0) {
        noteFolderError(unreadable, folder);
        return {};
    }
    QStringList names;
    std::vector<Trouble> troubles;
    readFolder(fd, nullptr, &names, QString(), troubles);
    noteTroubles(troubles, asFolderEntry(folder), &matcher, Tilde::Keep, unreadable);
    return names;
}

QString namedFileProblem(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info;
    if (::stat(encoded.constData(), &info) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            return reasonFor(errno);
        // A name decoded with replacement characters for bytes that are not UTF-8 (an
        // argument, a dropped URL): the file may be there, but no path we can make names it.
        return path.contains(QChar::ReplacementCharacter) ? kNotUtf8 : QString();
    }
    if (!S_ISREG(info.st_mode))
        return {};
    const int fd = ::open(encoded.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return reasonFor(errno);
    ::close(fd);
    return {};
}

} // namespace FolderWalk::Detail
