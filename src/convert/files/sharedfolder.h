#pragma once

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <memory>

// Every change this program makes in a folder that other users may write (the temporary
// folder, an output folder) goes through here, and nothing else makes one. Another user can
// swap any name there for a link between our look and our act, so on POSIX a folder is opened
// once and every step after that is relative to its descriptor: what is looked at is what is
// acted on, and a link is never followed unless its owner is this user or the folder's owner
// (the kernel's rule for sticky folders, applied to every folder). On Windows the same calls
// work on paths: there the folders we write into are the user's own.
class SharedFolder
{
public:
    // What lies at a name, the name itself looked at: a link is a link, not its target.
    struct Entry
    {
        enum class Kind { None, File, Folder, Link, Other };
        Kind kind = Kind::None;
        bool ours = false;              // owned by this program's user (always on Windows)
        bool privateToOwner = false;    // no rights for group or others (always on Windows)
        uint owner = 0;
        uint mode = 0;                  // permission bits: POSIX mode, or QFileDevice::Permissions on Windows
        QDateTime lastModified;         // UTC
        quint64 device = 0;
        quint64 inode = 0;
    };

    // A file made new in a folder, at a name where nothing was (never through something already
    // there), written by its owner through write() (or file()), then put in place by replace().
    // Removed when let go before that.
    class NewFile
    {
    public:
        NewFile() = default;
        NewFile(NewFile &&other) noexcept = default;
        NewFile &operator=(NewFile &&other) = delete;
        ~NewFile();

        bool isOpen() const { return m_file && m_file->isOpen(); }
        QFile &file() { return *m_file; }
        // Writes all of data at the file's end; the reason when it could not. On POSIX the
        // system's own words: QFile reports a disk that fills up half-way through a write as
        // "Unknown error".
        QString write(const QByteArray &data);
        // Forces the written data onto the disk before replace() or claim() gives it its name,
        // so that a power cut cannot leave a name for an empty file; the reason when it could not.
        QString sync();
        // Gives the file the rights of the one it is about to replace.
        void keepRightsOf(const Entry &replaced);
        // Closes the file and renames it over name in one step; the reason when it could not,
        // and the file is removed then.
        QString replace(const QString &name);
        // Closes the file and gives it name only if nothing is there, in one step, so that no
        // file that appeared meanwhile is replaced. *taken and the file kept for another name
        // when something is there; the reason, and the file removed, when it fails otherwise.
        QString claim(const QString &name, bool *taken);
        // Closes and removes the file; the reason when it could not be removed.
        QString remove();

    private:
        friend class SharedFolder;
        QString close();   // the reason, and the file removed, when what was written did not all land

        std::shared_ptr<const int> m_folder;   // the folder's descriptor (POSIX); empty once put in place
        QString m_folderPath;                  // Windows
        QString m_name;
        std::unique_ptr<QFile> m_file;
    };

    SharedFolder() = default;

    // A key that two paths share exactly when they name one file, links followed (device and
    // inode on POSIX, where links and "./" spellings name one file many ways; the volume and
    // the file's index on Windows); "" when nothing is there.
    static QString identityOf(const QString &path);

    // The first link on the way to path (path itself included) that lies in a sticky folder
    // and is owned neither by this user nor by that folder's owner: the kernel's rule for such
    // folders, where another user may have planted it. "" when there is none (always on Windows).
    static QString strangerLinkOn(const QString &path);

    // The folder at path, opened once; links in the path itself are the caller's to choose and
    // are followed. Closed, with the reason in *problem, when it cannot be opened.
    static SharedFolder open(const QString &path, QString *problem = nullptr);

    bool isOpen() const { return bool(m_handle); }
    QString path() const { return m_path; }            // native, for messages
    QString pathOf(const QString &name) const;

    // The names in the folder that begin with prefix.
    QStringList names(const QString &prefix) const;
    Entry entry(const QString &name) const;

    // The folder name in this one, made with the usual rights when missing and create is set.
    SharedFolder subfolder(const QString &name, bool create, QString *problem) const;

    // Where a file saved under name lands: here, or where a link at name points when it may be
    // followed (folder opened, name there), link after link. Closed folder and *problem when not.
    struct Destination;
    Destination destination(const QString &name, QString *problem) const;

    // A new file named prefix + six random letters and digits + suffix, at the first such name
    // that is free; closed, with the reason in *problem, when none could be made.
    NewFile createNew(const QString &prefix, const QString &suffix, QString *problem) const;

    // Remove what lies at name only while it is still expected (same device and inode) and
    // this user's: a file or link, or a real folder with everything in it, walked by
    // descriptor without following a link at any depth or leaving the device.
    bool removeFile(const QString &name, const Entry &expected) const;
    bool removeTree(const QString &name, const Entry &expected) const;

private:
    static constexpr int kNameDraws = 100;
    static constexpr int kMaxLinkHops = 40;   // as many as the kernel follows in one path

    SharedFolder(std::shared_ptr<const int> handle, QString path);
    static QString drawName(const QString &prefix, const QString &suffix);
    bool mayFollow(const Entry &link) const;
    // One step down, a link followed only where mayFollow allows, and then (chase) through its
    // target step by step under the same rule, so that a trusted link cannot lead through
    // another user's link either. hops counts the links followed, up to kMaxLinkHops.
    SharedFolder step(const QString &name, bool create, int &hops, QString *problem) const;
    SharedFolder chase(const QByteArray &path, int &hops, QString *problem) const;
    QByteArray readLink(const QString &name, int &hops, QString *problem) const;

    std::shared_ptr<const int> m_handle;   // the descriptor (POSIX); empty when closed
    QString m_path;
};

struct SharedFolder::Destination
{
    SharedFolder folder;
    QString name;
};
