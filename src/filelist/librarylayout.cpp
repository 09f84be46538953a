#include "librarylayout.h"

#include "convert/pathhelpers.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace LibraryLayout {

namespace {

// Absolute, with "/" and no "." or ".." steps; the file system is not asked.
QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(path)).absoluteFilePath());
}

} // namespace

QString libraryPath(const QString &named, const QString &source)
{
    const QString folder = cleanAbsolute(named);
    const QString file = cleanAbsolute(source);
    const QString prefix = folder.endsWith(u'/') ? folder : folder + u'/';
    if (file.startsWith(prefix)) {
        // A root ("/", "C:/") is its own parent, so its files keep their full path.
        return QDir(QFileInfo(folder).absolutePath()).relativeFilePath(file);
    }
    return QFileInfo(file).fileName();
}

QString keepTreeOutputPath(const QString &named, const QString &source)
{
    const QString path = libraryPath(named, source);
    const qsizetype nameStart = path.lastIndexOf(u'/') + 1;
    return path.left(nameStart) + Paths::displayNameFor(path.mid(nameStart));
}

quint64 pathHash(const QString &libraryPath)
{
    constexpr quint64 offsetBasis = 14695981039346656037ULL;
    constexpr quint64 prime = 1099511628211ULL;
    const QByteArray bytes =
        QDir::fromNativeSeparators(libraryPath).normalized(QString::NormalizationForm_C).toUtf8();
    quint64 hash = offsetBasis;
    for (const char byte : bytes) {
        hash ^= quint8(byte);
        hash *= prime;
    }
    return hash;
}

int shardOf(const QString &libraryPath, int count)
{
    Q_ASSERT(count >= 1);
    if (count <= 1)
        return 1;
    return int(pathHash(libraryPath) % quint64(count)) + 1;
}

bool isUpToDate(const QString &output, const QString &source)
{
    const QFileInfo out(output);
    const QFileInfo in(source);
    if (!out.isFile() || !in.isFile() || !in.isReadable())
        return false;
    return out.lastModified() >= in.lastModified();
}

} // namespace LibraryLayout
