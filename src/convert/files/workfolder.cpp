#include "convert/files/workfolder.h"

#include "convert/files/pathhelpers.h"
#include "convert/files/processidentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

namespace WorkFolder {

namespace {

constexpr quint64 kNameCount = 43046721;   // 9^8

// The program's folders, by the temporary folder they lie in (one in practice; a test may
// name several). Removed when the program ends, whatever is still in them.
std::mutex s_foldersMutex;
std::map<QString, std::unique_ptr<QTemporaryDir>> s_folders;

// The n-th name of this program: n through a bijection of 0..9^8-1 (n * step + offset, with
// a step prime to 9^8), written as eight base-9 digits shifted to 1..9.
QString nthName(quint64 n)
{
    static const std::pair<quint64, quint64> shuffle = [] {
        QRandomGenerator *random = QRandomGenerator::global();
        quint64 step = 0;
        while (step % 3 == 0)
            step = random->bounded(quint64(1), kNameCount);
        return std::pair{step, random->bounded(kNameCount)};
    }();
    quint64 value = (n % kNameCount * shuffle.first + shuffle.second) % kNameCount;
    QString digits(8, u'1');
    for (int i = 7; i >= 0; --i, value /= 9)
        digits[i] = QChar(char16_t(u'1' + value % 9));
    return QStringLiteral("zurvek") + digits + QStringLiteral(".mp3");
}

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
    std::unique_ptr<QTemporaryDir> &folder = s_folders[parent];
    if (folder && folder->isValid() && QFileInfo(folder->path()).isDir())
        return QDir::toNativeSeparators(folder->path());
    folder = std::make_unique<QTemporaryDir>(
        QDir(parent).filePath(QStringLiteral("quorvane-%1-XXXXXX").arg(ProcessIdentity::mark())));
    if (!folder->isValid()) {
        if (problem) {
            *problem = QStringLiteral("the temporary folder is not writable: %1 (%2)")
                           .arg(QDir::toNativeSeparators(parent), folder->errorString());
        }
        folder.reset();
        return {};
    }
    return QDir::toNativeSeparators(folder->path());
}

QString newTempMp3Path(const QString &folder)
{
    static std::atomic<quint64> next{0};
    const QString nativeFolder = QDir::toNativeSeparators(folder);
    for (quint64 tries = 0; tries < kNameCount; ++tries) {
        const QString path = Paths::joinPath(nativeFolder, nthName(next++));
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            return path;
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
    const QDir dir(folder);
    int removed = 0;
    for (const QFileInfo &entry : dir.entryInfoList({QStringLiteral("quorvane-*")},
                                                    QDir::Dirs | QDir::Hidden | QDir::NoSymLinks)) {
        const QRegularExpressionMatch match = name.match(entry.fileName());
        if (match.hasMatch()
            && ProcessIdentity::isAbandoned(match.captured(1), match.captured(2).toLongLong(),
                                            entry.lastModified().toUTC())
            && QDir(entry.filePath()).removeRecursively())
            ++removed;
    }
    return removed;
}

} // namespace WorkFolder
