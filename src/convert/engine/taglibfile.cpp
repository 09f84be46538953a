#include "convert/engine/taglibfile.h"

TagLibFile::Turn::Turn()
{
    static std::recursive_mutex taglib;
    m_lock = std::unique_lock(taglib);
}

TagLibFile::ReadOnly::ReadOnly(const QString &path, bool audio)
    : name(path)
    , stream(openRegular(name))
    , ref(stream && stream->isOpen() ? TagLib::FileRef(stream.get(), audio, TagLib::AudioProperties::Fast)
                                     : TagLib::FileRef())
{
}

QString TagLibFile::toQString(const TagLib::String &text)
{
    return QString::fromStdString(text.to8Bit(true));
}

TagLib::String TagLibFile::toTagLib(const QString &text)
{
    return TagLib::String(text.toStdString(), TagLib::String::UTF8);
}

QByteArray TagLibFile::toQByteArray(const TagLib::ByteVector &data)
{
    return QByteArray(data.data(), qsizetype(data.size()));
}
