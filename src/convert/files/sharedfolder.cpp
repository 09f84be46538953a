#include "convert/files/sharedfolder.h"

#include <QDir>
#include <QRandomGenerator>

// What both platforms share; each does its file system work in sharedfolder_<platform>.cpp.

SharedFolder::SharedFolder(std::shared_ptr<const int> handle, QString path)
    : m_handle(std::move(handle))
    , m_path(std::move(path))
{
}

QString SharedFolder::pathOf(const QString &name) const
{
    return QDir::toNativeSeparators(QDir(m_path).filePath(name));
}

QString SharedFolder::drawName(const QString &prefix, const QString &suffix)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QString name = prefix;
    for (int i = 0; i < 6; ++i)
        name += QLatin1Char(kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters) - 1)]);
    return name + suffix;
}

SharedFolder::NewFile::~NewFile()
{
    remove();
}

QString SharedFolder::NewFile::close()
{
    if (!m_folder)
        return QStringLiteral("the file is not open");
    m_file->close();
    if (m_file->error() == QFileDevice::NoError)
        return {};
    const QString reason = m_file->errorString();
    remove();
    return reason;
}
