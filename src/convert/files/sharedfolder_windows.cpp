#include "convert/files/sharedfolder.h"

#include "convert/files/pathhelpers.h"

#include <QDir>
#include <QFileInfo>

#include <io.h>
#include <qt_windows.h>

// The same calls on paths: the folders written into on Windows are the user's own, and its
// links are made by administrators only.
namespace {

std::shared_ptr<const int> openMark()
{
    return std::make_shared<const int>(-1);
}

// The volume's serial number and the file's index on it, which tell a file put at the same name
// since from the one looked at; false when the file cannot be asked.
bool fileIndex(const QString &path, quint64 *volume, quint64 *index)
{
    const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(Paths::systemPath(path).utf16()), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    *volume = info.dwVolumeSerialNumber;
    *index = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return known;
}

} // namespace

QString SharedFolder::identityOf(const QString &path)
{
    if (path.isEmpty())
        return {};
    const QFileInfo file(path);
    const Entry found = open(file.path()).entry(file.fileName());
    if (found.device == 0 && found.inode == 0)
        return {};
    return QStringLiteral("%1:%2").arg(found.device).arg(found.inode);
}

// Windows has no sticky folders: the folders a user writes into are the user's own.
QString SharedFolder::strangerLinkOn(const QString &)
{
    return {};
}

SharedFolder SharedFolder::open(const QString &path, QString *problem)
{
    if (!QFileInfo(path).isDir()) {
        if (problem)
            *problem = QStringLiteral("cannot open the folder %1").arg(QDir::toNativeSeparators(path));
        return {};
    }
    return {openMark(), QDir::toNativeSeparators(path)};
}

QStringList SharedFolder::names(const QString &prefix) const
{
    return QDir(m_path).entryList({prefix + u'*'}, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

SharedFolder::Entry SharedFolder::entry(const QString &name) const
{
    const QFileInfo info(pathOf(name));
    Entry entry;
    if (!info.exists() && !info.isSymLink())
        return entry;
    entry.kind = info.isSymLink() ? Entry::Kind::Link
                 : info.isDir()   ? Entry::Kind::Folder
                 : info.isFile()  ? Entry::Kind::File
                                  : Entry::Kind::Other;
    entry.ours = entry.privateToOwner = true;
    entry.mode = uint(info.permissions());
    entry.lastModified = info.lastModified().toUTC();
    fileIndex(info.filePath(), &entry.device, &entry.inode);
    return entry;
}

bool SharedFolder::mayFollow(const Entry &) const
{
    return true;
}

SharedFolder SharedFolder::subfolder(const QString &name, bool create, QString *problem) const
{
    const QString path = pathOf(name);
    if ((create && !QDir().mkpath(path)) || !QFileInfo(path).isDir()) {
        *problem = QStringLiteral("cannot create the folder %1").arg(path);
        return {};
    }
    return {openMark(), path};
}

SharedFolder::Destination SharedFolder::destination(const QString &name, QString *) const
{
    // A link in the output folder keeps pointing where it did; its target gets the file.
    const QFileInfo link(pathOf(name));
    if (!link.isSymLink())
        return {*this, name};
    const QFileInfo target(link.symLinkTarget());
    return {SharedFolder(openMark(), QDir::toNativeSeparators(target.path())), target.fileName()};
}

SharedFolder::NewFile SharedFolder::createNew(const QString &prefix, const QString &suffix, QString *problem) const
{
    NewFile made;
    made.m_file = std::make_unique<QFile>();
    for (int draw = 0; draw < kNameDraws; ++draw) {
        const QString name = drawName(prefix, suffix);
        made.m_file->setFileName(pathOf(name));
        if (made.m_file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            made.m_folder = m_handle;
            made.m_folderPath = m_path;
            made.m_name = name;
            return made;
        }
        if (!QFileInfo::exists(made.m_file->fileName()))
            break;
    }
    *problem = made.m_file->errorString();
    return {};
}

bool SharedFolder::removeFile(const QString &name, const Entry &) const
{
    return QFile::remove(pathOf(name));
}

bool SharedFolder::removeTree(const QString &name, const Entry &) const
{
    return QDir(pathOf(name)).removeRecursively();
}

QString SharedFolder::NewFile::remove()
{
    if (!m_folder)
        return {};
    m_file->close();
    m_folder.reset();
    return m_file->remove() ? QString() : m_file->errorString();
}

void SharedFolder::NewFile::keepRightsOf(const Entry &replaced)
{
    if (replaced.kind == Entry::Kind::File && isOpen())
        m_file->setPermissions(QFileDevice::Permissions(replaced.mode));
}

QString SharedFolder::NewFile::write(const QByteArray &data)
{
    return m_file->write(data) == data.size() ? QString() : m_file->errorString();
}

QString SharedFolder::NewFile::sync()
{
    if (!m_file->flush())
        return m_file->errorString();
    if (!FlushFileBuffers(HANDLE(_get_osfhandle(m_file->handle()))))
        return QStringLiteral("cannot write the file to the disk");
    return {};
}

// Moves the file to name, replacing what is there when replacing; the system's error, or 0.
static DWORD moveTo(const QFile &file, const QString &target, bool replacing)
{
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replacing ? MOVEFILE_REPLACE_EXISTING : 0);
    return MoveFileExW(reinterpret_cast<const wchar_t *>(Paths::systemPath(file.fileName()).utf16()),
                       reinterpret_cast<const wchar_t *>(Paths::systemPath(target).utf16()), flags)
               ? 0
               : GetLastError();
}

QString SharedFolder::NewFile::replace(const QString &name)
{
    if (const QString reason = close(); !reason.isEmpty())
        return reason;
    if (const DWORD error = moveTo(*m_file, QDir::toNativeSeparators(QDir(m_folderPath).filePath(name)), true)) {
        remove();
        return qt_error_string(int(error));
    }
    m_folder.reset();
    return {};
}

QString SharedFolder::NewFile::claim(const QString &name, bool *taken)
{
    *taken = false;
    if (const QString reason = close(); !reason.isEmpty())
        return reason;
    if (const DWORD error = moveTo(*m_file, QDir::toNativeSeparators(QDir(m_folderPath).filePath(name)), false)) {
        *taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
        if (!*taken)
            remove();
        return qt_error_string(int(error));
    }
    m_folder.reset();
    return {};
}
