#include "convert/files/workfolder.h"

#include "convert/files/processidentity.h"
#include "convert/files/sharedfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

namespace WorkFolder {

namespace {

constexpr quint64 kNameCount = 43046721;   // 9^8

// One of the program's folders. QTemporaryDir makes it safely (a new name, mode 0700, never
// through something already there); it is removed through SharedFolder, by descriptor, as the
// folder it lies in may let others swap names.
struct OwnFolder
{
    QString parent;
    QString name;
    SharedFolder::Entry made;

    QString path() const { return QDir::toNativeSeparators(QDir(parent).filePath(name)); }
    bool isThere() const
    {
        const SharedFolder::Entry now = SharedFolder::open(parent).entry(name);
        return now.kind == SharedFolder::Entry::Kind::Folder && now.inode == made.inode && now.device == made.device;
    }
    ~OwnFolder() { SharedFolder::open(parent).removeTree(name, made); }
};

// The program's folders, by the temporary folder they lie in (one in practice; a test may
// name several). Removed when the program ends, whatever is still in them.
std::mutex s_foldersMutex;
std::map<QString, std::unique_ptr<OwnFolder>> s_folders;

} // namespace

QString in(const QString &tempFolder, QString *problem)
{
    const QString named = tempFolder.isEmpty() ? QDir::tempPath() : tempFolder;
    if (named.isEmpty()) {
        if (problem)
            *problem = QStringLiteral("the system's temporary folder cannot be found");
        return {};
    }
    const QString parent = QDir::cleanPath(QDir(named).absolutePath());
    const std::lock_guard<std::mutex> lock(s_foldersMutex);
    std::unique_ptr<OwnFolder> &folder = s_folders[parent];
    if (folder && folder->isThere())
        return folder->path();
    QTemporaryDir made(QDir(parent).filePath(QStringLiteral("quorvane-%1-XXXXXX").arg(ProcessIdentity::mark())));
    if (!made.isValid()) {
        if (problem) {
            *problem = QStringLiteral("the temporary folder is not writable: %1 (%2)")
                           .arg(QDir::toNativeSeparators(parent), made.errorString());
        }
        folder.reset();
        return {};
    }
    made.setAutoRemove(false);
    const QString name = QFileInfo(made.path()).fileName();
    folder.reset(new OwnFolder{parent, name, SharedFolder::open(parent).entry(name)});
    return folder->path();
}

QString newTempMp3Path(const QString &folder)
{
    static std::atomic<quint64> next{0};
    for (quint64 tries = 0; tries < kNameCount; ++tries) {
        // The count in eight base-9 digits, each moved up one: "zurvek11111111.mp3" first.
        QString digits = QString::number(next++ % kNameCount, 9).rightJustified(8, u'0');
        for (QChar &digit : digits)
            digit = QChar(digit.unicode() + 1);
        const QString path = QDir(folder).filePath(QStringLiteral("zurvek%1.mp3").arg(digits));
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            return QDir::toNativeSeparators(path);
    }
    return {};
}

void discardTempMp3(const QString &path)
{
    if (!path.isEmpty() && QFileInfo(path).isFile())
        QFile::remove(path);
}

int removeAbandoned(const QString &tempFolder)
{
    // Ours ("quorvane-<tag>-<pid>-XXXXXX") and, judged by age alone, the batch folders of
    // earlier versions, which named only a process ("quorvane-<pid>-XXXXXX").
    static const QRegularExpression name(
        QStringLiteral("^quorvane-(?:([0-9a-f]{12})-)?(\\d+)-[A-Za-z0-9]{6}$"));
    const QString folder = tempFolder.isEmpty() ? QDir::tempPath() : tempFolder;
    if (folder.isEmpty())
        return 0;   // no temporary folder (TMPDIR names none): never the current folder
    const SharedFolder temp = SharedFolder::open(folder);
    int removed = 0;
    for (const QString &entryName : temp.names(QStringLiteral("quorvane-"))) {
        const QRegularExpressionMatch match = name.match(entryName);
        // Only a real folder of this user, private as ours are made: anyone can make a folder
        // of that name, or a link by it, to have it emptied with our rights.
        const SharedFolder::Entry entry = temp.entry(entryName);
        if (match.hasMatch() && entry.kind == SharedFolder::Entry::Kind::Folder && entry.ours && entry.privateToOwner
            && ProcessIdentity::isAbandoned(match.captured(1), match.captured(2).toLongLong(), entry.lastModified)
            && temp.removeTree(entryName, entry))
            ++removed;
    }
    return removed;
}

} // namespace WorkFolder
