#include "filelist/walk/folderwalk.h"

#include "convert/files/pathhelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cstring>

#ifdef Q_OS_WIN
#include <QSet>
#include <qt_windows.h>
#else
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_set>
#include <vector>
#endif

namespace FolderWalk {

namespace {

bool isCancelled(const std::atomic_bool *cancelled)
{
    return cancelled && cancelled->load(std::memory_order_relaxed);
}

bool lessByName(QStringView a, QStringView b)
{
    const int folded = a.compare(b, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a < b;
}

// Tells whether a name matches a wildcard pattern, ignoring case; "*.m4a;*.m4b" names
// either. The patterns in use ("*.m4a", "*.*", quorvane-cli's two) need no more than a look
// at the end of the name, so a regular expression is only compiled for anything else.
class NameMatcher
{
public:
    explicit NameMatcher(const QString &pattern)
    {
        // On Windows "*.*" names every file, also one without a dot.
        if (pattern == QLatin1String("*") || pattern == QLatin1String("*.*")) {
            m_kind = Kind::Everything;
            return;
        }
        const auto isWildcard = [](QChar c) { return c == u'*' || c == u'?' || c == u'['; };
        const QStringList alternatives = pattern.split(u';');
        if (std::all_of(alternatives.begin(), alternatives.end(), [&](const QString &one) {
                const QStringView tail = QStringView(one).mid(1);
                return one.startsWith(u'*') && std::none_of(tail.begin(), tail.end(), isWildcard);
            })) {
            m_kind = Kind::Ending;
            for (const QString &one : alternatives)
                m_endings.append(one.mid(1));
            return;
        }
        m_kind = Kind::Expression;
        m_expression = QRegularExpression::fromWildcard(pattern, Qt::CaseInsensitive);
    }

    bool matches(QStringView name) const
    {
        switch (m_kind) {
        case Kind::Everything:
            return true;
        case Kind::Ending:
            return std::any_of(m_endings.begin(), m_endings.end(),
                               [name](const QString &ending) { return name.endsWith(ending, Qt::CaseInsensitive); });
        case Kind::Expression:
            break;
        }
        return m_expression.match(name).hasMatch();
    }

private:
    enum class Kind { Everything, Ending, Expression };
    Kind m_kind = Kind::Everything;
    QStringList m_endings;
    QRegularExpression m_expression;
};

// A folder path in native form ending in exactly one separator. A root keeps its own
// separator ("/", "C:\"); a run of trailing separators shrinks to one.
QString asFolderEntry(const QString &path)
{
    QString native = QDir::toNativeSeparators(path);
    qsizetype end = native.size();
    while (end > 1 && Paths::isSeparator(native.at(end - 1)) && Paths::isSeparator(native.at(end - 2)))
        --end;
    native.truncate(end);
    if (!native.isEmpty() && !Paths::endsWithSeparator(native))
        native += QDir::separator();
    return native;
}

enum class Tilde { Keep, Drop };

bool isTaken(QStringView name, const NameMatcher &matcher, Tilde tilde)
{
    // Office-style lock and temporary files begin with "~".
    return !(tilde == Tilde::Drop && name.startsWith(u'~')) && matcher.matches(name);
}

void note(UnreadableList *unreadable, const QString &path, const QString &reason)
{
    if (unreadable)
        unreadable->append({QDir::toNativeSeparators(path), reason});
}

// A folder entry as the user knows it: without its trailing separator, unless it is a root.
QString shownFolder(const QString &entry)
{
    const bool root = entry.size() == 1 || (entry.size() == 3 && entry.at(1) == u':');
    return !root && Paths::endsWithSeparator(entry) ? entry.chopped(1) : entry;
}

// Keeps the paths whose name (all behind the first prefixLength characters) matches, and
// sorts them by name. Within one folder, names come sorted case-insensitively (exact
// spelling breaks ties), so the rows do not depend on the order a file system lists.
// With tildes, counts there the names that match but were left out for their "~".
void keepMatchingSorted(QStringList &paths, qsizetype prefixLength, const NameMatcher &matcher, Tilde tilde,
                        qsizetype *tildes = nullptr)
{
    paths.removeIf([&](const QString &path) {
        const QStringView name = QStringView(path).mid(prefixLength);
        if (isTaken(name, matcher, tilde))
            return false;
        if (tildes && name.startsWith(u'~') && matcher.matches(name))
            ++*tildes;
        return true;
    });
    std::sort(paths.begin(), paths.end(), [prefixLength](const QString &a, const QString &b) {
        return lessByName(QStringView(a).mid(prefixLength), QStringView(b).mid(prefixLength));
    });
}

#ifdef Q_OS_WIN

// Windows keeps to QDir: it brings the hidden attribute, and the walk there is not the
// one measured against find.

// QDir already leaves out folders with the hidden attribute; system folders are left out too.
bool isSkippedOnWindows(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t *>(path.utf16()));
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_SYSTEM);
}

// Names of the folders directly in folder that the walk enters, folder links and
// junctions among them.
QStringList subfolderNames(const QString &folder)
{
    // No QDir::Hidden: hidden folders are not entered.
    QStringList names = QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    names.removeIf([&folder](const QString &name) { return isSkippedOnWindows(Paths::joinPath(folder, name)); });
    std::sort(names.begin(), names.end(), lessByName);
    return names;
}

// Unsorted names of the files in folder, hidden ones included.
QStringList fileNames(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Unsorted);
}

// Extends folders level by level; with matcher and rows, also appends each walked
// folder's rows as the folder is reached, which is walk order.
void walk(QStringList &folders, const NameMatcher *matcher, QStringList *rows,
          const std::atomic_bool *cancelled, UnreadableList *unreadable, qsizetype *tildes = nullptr)
{
    // Every folder is known by its canonical path, so a folder that can be reached twice
    // (through a link or a junction, or a start folder given twice) is listed once and a
    // link loop ends. An empty canonical path marks an entry that is not walked.
    QSet<QString> known;
    QStringList canonical;
    canonical.reserve(folders.size());
    for (const QString &folder : std::as_const(folders)) {
        QString path = QFileInfo(folder).canonicalFilePath();
        if (!path.isEmpty() && !known.contains(path))
            known.insert(path);
        else if (path.isEmpty())
            note(unreadable, shownFolder(folder), QStringLiteral("not found"));
        else
            path.clear();
        canonical.append(path);
    }

    // The list is its own queue: children go to the end, so the order is level by level.
    for (qsizetype i = 0; i < folders.size(); ++i) {
        if (isCancelled(cancelled))
            return;
        if (canonical.at(i).isEmpty())
            continue;
        const QString folder = folders.at(i);
        if (!QDir(folder).isReadable()) {
            note(unreadable, shownFolder(folder), QStringLiteral("permission denied"));
            continue;
        }
        for (const QString &name : subfolderNames(folder)) {
            const QString child = Paths::joinPath(folder, name) + QDir::separator();
            const QString childCanonical = QFileInfo(child).canonicalFilePath();
            if (childCanonical.isEmpty() || known.contains(childCanonical))
                continue;
            known.insert(childCanonical);
            folders.append(child);
            canonical.append(childCanonical);
        }
        if (rows) {
            QStringList names = fileNames(folder);
            keepMatchingSorted(names, 0, *matcher, Tilde::Drop, tildes);
            for (const QString &name : std::as_const(names))
                rows->append(Paths::joinPath(folder, name));
        }
    }
}

#else

// On POSIX systems the walk reads folders itself: one open and one pass of readdir per
// folder, the entry type from d_type, and a stat only for subfolders (to know them) and
// for entries whose type d_type leaves open. QDir would stat every entry and resolve
// every folder's canonical path, which made the walk several times slower than find.

// A folder is known by its device and inode, which every road to it (a link, a bind
// mount, a start folder given twice) shares.
struct FolderKey
{
    dev_t device;
    ino_t inode;
    bool operator==(const FolderKey &other) const { return device == other.device && inode == other.inode; }
};

struct FolderKeyHash
{
    size_t operator()(const FolderKey &key) const
    {
        return std::hash<quint64>()(quint64(key.inode) * 0x9E3779B97F4A7C15ull ^ quint64(key.device));
    }
};

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
struct Trouble
{
    QByteArray name;
    bool folder;      // one the walk would enter; otherwise it counts only if its name matches
    QString reason;
};

const QString &notUtf8()
{
    static const QString reason = QStringLiteral("its name is not valid UTF-8");
    return reason;
}

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

// errno's reason for name (the folder itself when null), taken before anything can change it.
Trouble lastError(const char *name, bool folder)
{
    const QString reason = reasonFor(errno);
    return {QByteArray(name), folder, reason};
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

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Sets text to prefix + the name as QFile decodes it. Most names are plain ASCII, which
// reads the same in every local encoding and is widened without the decoder. A name the
// local encoding cannot carry would come back with replacement characters and the path
// would name nothing, so it is left out (false), as QDir leaves it out.
bool decodeName(const QString &prefix, const char *name, QString &text)
{
    const size_t length = std::strlen(name);
    const bool ascii = std::all_of(name, name + length, [](char c) { return uchar(c) < 0x80; });
    if (!ascii) {
        const QByteArray raw(name, qsizetype(length));
        const QString decoded = QFile::decodeName(raw);
#ifndef Q_OS_DARWIN
        // (On macOS names are UTF-8 by rule, and encodeName would decompose them.)
        if (QFile::encodeName(decoded) != raw)
            return false;
#endif
        text = prefix + decoded;
        return true;
    }
    text.clear();
    text.reserve(prefix.size() + qsizetype(length));
    text += prefix;
    text += QLatin1String(name, qsizetype(length));
    return true;
}

// Reads the folder open at fd and closes it. The folders the walk enters go to subfolders
// (when given), the files to files (when given) as filePrefix + name, both in the order
// the file system lists them. A folder starting with "." is hidden and not entered; a link
// to a folder is entered as that folder (hidden by its own name), and is no file; a link
// to anything else that exists counts as a file; sockets, pipes and devices are none.
// What would have gone to either but cannot goes to troubles: an entry that vanished
// since it was listed (or a broken link) names nothing and goes nowhere.
void readFolder(int fd, std::vector<Subfolder> *subfolders, QStringList *files, const QString &filePrefix,
                std::vector<Trouble> &troubles)
{
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        troubles.push_back(lastError(nullptr, true));
        ::close(fd);
        return;
    }
    const int dirFd = ::dirfd(dir);
    const auto gone = [] { return errno == ENOENT || errno == ENOTDIR || errno == ELOOP; };
    QString text;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0)
                troubles.push_back(lastError(nullptr, true));
            break;
        }
        const char *name = entry->d_name;
        if (isDotOrDotDot(name))
            continue;
        unsigned char type = entry->d_type;
        struct stat info;
        bool haveInfo = false;
        if (type == DT_UNKNOWN) {
            // Some file systems do not fill in d_type.
            if (::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (!gone() && files)
                    troubles.push_back(lastError(name, false));
                continue;
            }
            haveInfo = true;
            type = S_ISDIR(info.st_mode) ? DT_DIR
                 : S_ISREG(info.st_mode) ? DT_REG
                 : S_ISLNK(info.st_mode) ? DT_LNK
                                         : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            if (!subfolders || name[0] == '.')
                continue;
            if (!haveInfo && ::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (!gone())
                    troubles.push_back(lastError(name, true));
                continue;
            }
            if (!S_ISDIR(info.st_mode) || isHiddenByFlag(info))
                continue; // hidden, or no folder any more (replaced since it was listed)
            if (decodeName(QString(), name, text))
                subfolders->push_back({std::move(text), QByteArray(name), keyOf(info)});
            else
                troubles.push_back({QByteArray(name), true, notUtf8()});
        } else if (type == DT_REG) {
            if (files && decodeName(filePrefix, name, text))
                files->append(std::move(text));
            else if (files)
                troubles.push_back({QByteArray(name), false, notUtf8()});
        } else if (type == DT_LNK) {
            if (::fstatat(dirFd, name, &info, 0) != 0) {
                // A link that leads nowhere names nothing; one into a closed folder may
                // lead to a file.
                if (!gone() && files)
                    troubles.push_back(lastError(name, false));
                continue;
            }
            if (S_ISDIR(info.st_mode)) {
                // Known by the folder it leads to, so a loop of links ends.
                if (subfolders && name[0] != '.' && !isHiddenByFlag(info)) {
                    if (decodeName(QString(), name, text))
                        subfolders->push_back({std::move(text), QByteArray(name), keyOf(info)});
                    else
                        troubles.push_back({QByteArray(name), true, notUtf8()});
                }
            } else if (files && decodeName(filePrefix, name, text)) {
                files->append(std::move(text));
            } else if (files) {
                troubles.push_back({QByteArray(name), false, notUtf8()});
            }
        }
    }
    ::closedir(dir);
}

// Notes the troubles of the folder entry folder (ending in a separator) in name order; a
// file only when the walk would have taken it by its name.
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

// Opens a folder to be read and sets info to what it is, or returns -1 with errno set. A
// folder that can be listed but not entered (read but no search permission) gives names
// that open nothing, so it counts as closed: even "." cannot be looked up in it.
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

QByteArray joinEncoded(const QByteArray &folder, const QByteArray &name)
{
    QByteArray path;
    path.reserve(folder.size() + name.size() + 2);
    path += folder;
    if (!path.endsWith('/'))
        path += '/';
    path += name;
    path += '/';
    return path;
}

// Extends folders level by level; with matcher and rows, also appends each walked
// folder's rows as the folder is reached, which is walk order.
void walk(QStringList &folders, const NameMatcher *matcher, QStringList *rows,
          const std::atomic_bool *cancelled, UnreadableList *unreadable, qsizetype *tildes = nullptr)
{
    // encoded and keys run parallel to folders: the path as the system takes it (empty for
    // an entry that is not walked: it names nothing, or a folder already in the list) and
    // the folder it led to when it was listed.
    std::unordered_set<FolderKey, FolderKeyHash> known;
    std::vector<QByteArray> encoded;
    std::vector<FolderKey> keys;
    encoded.reserve(size_t(folders.size()));
    keys.reserve(size_t(folders.size()));
    for (const QString &folder : std::as_const(folders)) {
        QByteArray path = QFile::encodeName(folder);
        struct stat info = {};
        if (!path.isEmpty() && ::stat(path.constData(), &info) != 0) {
            const QString reason = reasonFor(errno);
            note(unreadable, shownFolder(folder), reason);
            path.clear();
        } else if (path.isEmpty() || !known.insert(keyOf(info)).second) {
            path.clear();
        }
        encoded.push_back(path);
        keys.push_back(keyOf(info));
    }

    std::vector<Subfolder> subfolders;
    std::vector<Trouble> troubles;
    QStringList files;
    // The list is its own queue: children go to the end, so the order is level by level.
    for (qsizetype i = 0; i < folders.size(); ++i) {
        if (isCancelled(cancelled))
            return;
        if (encoded[size_t(i)].isEmpty())
            continue;
        // Rows are built whole as the names are read: the folder's path with one separator
        // behind it, then the name.
        const QString folder = folders.at(i);
        const QString prefix = Paths::endsWithSeparator(folder) ? folder : folder + u'/';
        struct stat opened;
        const int fd = openFolder(encoded[size_t(i)], opened);
        if (fd < 0) {
            const QString reason = reasonFor(errno);
            note(unreadable, shownFolder(folder), reason);
            continue;
        }
        // A folder swapped (or a link pointed elsewhere) since it was listed could lead
        // back up the tree: only the folder that was listed is read.
        if (!(keyOf(opened) == keys[size_t(i)])) {
            ::close(fd);
            continue;
        }
        subfolders.clear();
        files.clear();
        readFolder(fd, &subfolders, rows ? &files : nullptr, prefix, troubles);
        noteTroubles(troubles, prefix, matcher, Tilde::Drop, unreadable);

        std::sort(subfolders.begin(), subfolders.end(),
                  [](const Subfolder &a, const Subfolder &b) { return lessByName(a.name, b.name); });
        const QByteArray folderEncoded = encoded[size_t(i)];
        for (const Subfolder &sub : subfolders) {
            if (!known.insert(sub.key).second)
                continue;
            folders.append(prefix + sub.name + u'/');
            encoded.push_back(joinEncoded(folderEncoded, sub.encodedName));
            keys.push_back(sub.key);
        }
        if (rows) {
            keepMatchingSorted(files, prefix.size(), *matcher, Tilde::Drop, tildes);
            rows->append(std::move(files)); // leaves moved-from strings behind
            files.clear();
        }
    }
}

#endif

// Why a path named directly (no folder) cannot be taken, or "" when it can, also when it
// names nothing: the conversion says "file not found" for that.
QString namedFileProblem(const QString &path)
{
#ifdef Q_OS_WIN
    QFile file(path);
    if (QFileInfo(path).isFile() && !file.open(QIODevice::ReadOnly))
        return file.errorString();
    return {};
#else
    const QByteArray encoded = QFile::encodeName(path);
    struct stat info;
    if (::stat(encoded.constData(), &info) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            return reasonFor(errno);
        // The name came decoded with a replacement character for each byte that is not
        // UTF-8 (an argument, a dropped URL): the file may be there, but no path we can
        // make names it.
        return path.contains(QChar::ReplacementCharacter) ? notUtf8() : QString();
    }
    if (!S_ISREG(info.st_mode))
        return {};
    const int fd = ::open(encoded.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return reasonFor(errno);
    ::close(fd);
    return {};
#endif
}

} // namespace

void collectSubfolders(QStringList &folders, const std::atomic_bool *cancelled, UnreadableList *unreadable)
{
    walk(folders, nullptr, nullptr, cancelled, unreadable);
}

QStringList listFolderFiles(const QString &folder, const QString &pattern, UnreadableList *unreadable)
{
    // An empty path would make QDir list the working folder.
    if (folder.isEmpty())
        return {};
    const NameMatcher matcher(pattern);
#ifdef Q_OS_WIN
    if (!QDir(folder).isReadable())
        note(unreadable, folder, QStringLiteral("permission denied"));
    QStringList names = fileNames(folder);
#else
    QStringList names;
    struct stat info;
    const int fd = openFolder(QFile::encodeName(folder), info);
    if (fd < 0) {
        const QString reason = reasonFor(errno);
        note(unreadable, shownFolder(folder), reason);
        return {};
    }
    std::vector<Trouble> troubles;
    readFolder(fd, nullptr, &names, QString(), troubles);
    noteTroubles(troubles, asFolderEntry(folder), &matcher, Tilde::Keep, unreadable);
#endif
    keepMatchingSorted(names, 0, matcher, Tilde::Keep);
    return names;
}

QStringList collectFiles(const QString &folder, const QString &pattern,
                         const std::atomic_bool *cancelled, UnreadableList *unreadable, qsizetype *tildes)
{
    const QString start = asFolderEntry(folder);
    if (start.isEmpty())
        return {};

    // One pass: each folder is read once, for its subfolders and its files together. The
    // rows still come level by level, since folders are read in the order they are listed.
    const NameMatcher matcher(pattern);
    QStringList folders{start};
    QStringList rows;
    walk(folders, &matcher, &rows, cancelled, unreadable, tildes);
    return rows;
}

QStringList expandDroppedPaths(const QStringList &paths, const std::atomic_bool *cancelled,
                               UnreadableList *unreadable)
{
    return expandPaths(paths, QStringLiteral("*.*"), cancelled, unreadable);
}

QStringList expandPaths(const QStringList &paths, const QString &folderPattern, const std::atomic_bool *cancelled,
                        UnreadableList *unreadable, qsizetype *tildes)
{
    QStringList rows;
    for (const QString &path : paths) {
        if (isCancelled(cancelled))
            break;
        if (path.isEmpty())
            continue;
        // A dropped folder is walked even when it is hidden itself: the user picked it.
        if (QFileInfo(path).isDir())
            rows += collectFiles(path, folderPattern, cancelled, unreadable, tildes);
        else if (const QString problem = namedFileProblem(path); !problem.isEmpty())
            note(unreadable, path, problem);
        else
            rows.append(QDir::toNativeSeparators(path));
    }
    return rows;
}

} // namespace FolderWalk
