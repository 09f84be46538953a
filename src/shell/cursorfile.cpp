#include "shell/cursorfile.h"

#include <QFile>
#include <QPixmap>
#include <QtEndian>

namespace CursorFile {

std::optional<Image> read(const QByteArray &data)
{
    const auto u16 = [&data](qsizetype at) { return qFromLittleEndian<quint16>(data.constData() + at); };
    // Directory: reserved 0, type 2 (cursor), count; then 16-byte entries.
    if (data.size() < 6 + 16 || u16(0) != 0 || u16(2) != 2 || u16(4) == 0)
        return std::nullopt;
    // Qt's icon reader decodes the pixels of a cursor file too; the hot spot, which an icon
    // does not have, stands in the first directory entry.
    const QPoint hotSpot(u16(6 + 4), u16(6 + 6));
    const QImage image = QImage::fromData(data, "ICO");
    if (image.isNull())
        return std::nullopt;
    return Image{image, QPoint(qMin(hotSpot.x(), image.width() - 1), qMin(hotSpot.y(), image.height() - 1))};
}

std::optional<QCursor> load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const auto cursor = read(file.read(1 << 20));
    if (!cursor)
        return std::nullopt;
    return QCursor(QPixmap::fromImage(cursor->image), cursor->hotSpot.x(), cursor->hotSpot.y());
}

} // namespace CursorFile
