#include "cursorfile.h"

#include <QFile>
#include <QPixmap>
#include <QtEndian>

namespace CursorFile {

namespace {

quint16 u16(const QByteArray &d, qsizetype at)
{
    return qFromLittleEndian<quint16>(d.constData() + at);
}

quint32 u32(const QByteArray &d, qsizetype at)
{
    return qFromLittleEndian<quint32>(d.constData() + at);
}

// A BITMAPINFOHEADER image as stored in icon and cursor files: the height counts the
// colour image and the AND mask together, rows run bottom-up, each padded to 4 bytes.
std::optional<QImage> readBitmap(const QByteArray &d)
{
    if (d.size() < 40 || u32(d, 0) < 40)
        return std::nullopt;
    const qsizetype headerSize = u32(d, 0);
    const int width = int(qint32(u32(d, 4)));
    const int height = int(qint32(u32(d, 8))) / 2;
    const int bits = u16(d, 14);
    const quint32 compression = u32(d, 16);
    quint32 colours = u32(d, 32);
    if (width <= 0 || height <= 0 || width > 1024 || height > 1024 || compression != 0)
        return std::nullopt;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
        return std::nullopt;
    if (bits <= 8 && colours == 0)
        colours = 1u << bits;
    const qsizetype paletteAt = headerSize;
    const qsizetype paletteSize = bits <= 8 ? qsizetype(colours) * 4 : 0;
    const qsizetype colourStride = ((qsizetype(width) * bits + 31) / 32) * 4;
    const qsizetype maskStride = ((qsizetype(width) + 31) / 32) * 4;
    const qsizetype colourAt = paletteAt + paletteSize;
    const qsizetype maskAt = colourAt + colourStride * height;
    if (d.size() < maskAt)
        return std::nullopt;
    const bool hasMask = d.size() >= maskAt + maskStride * height;

    QImage image(width, height, QImage::Format_ARGB32);
    bool anyAlpha = false;
    for (int y = 0; y < height; ++y) {
        const char *row = d.constData() + colourAt + colourStride * (height - 1 - y);
        auto *out = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const auto byte = [&](qsizetype i) { return quint8(row[i]); };
            QRgb colour = 0;
            if (bits == 32) {
                colour = qRgba(byte(x * 4 + 2), byte(x * 4 + 1), byte(x * 4), byte(x * 4 + 3));
                anyAlpha = anyAlpha || qAlpha(colour) != 0;
            } else if (bits == 24) {
                colour = qRgb(byte(x * 3 + 2), byte(x * 3 + 1), byte(x * 3));
            } else {
                const int perByte = 8 / bits;
                const int shift = 8 - bits * (x % perByte + 1);
                const quint32 index = (byte(x / perByte) >> shift) & ((1u << bits) - 1);
                if (index >= colours)
                    return std::nullopt;
                const qsizetype p = paletteAt + qsizetype(index) * 4;
                colour = qRgb(quint8(d[p + 2]), quint8(d[p + 1]), quint8(d[p]));
            }
            out[x] = colour;
        }
    }
    // Without colour alpha the AND mask says which pixels are transparent.
    if (!anyAlpha) {
        for (int y = 0; y < height; ++y) {
            const char *mask = d.constData() + maskAt + maskStride * (height - 1 - y);
            auto *out = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < width; ++x) {
                const bool transparent = hasMask && ((quint8(mask[x / 8]) >> (7 - x % 8)) & 1);
                out[x] = transparent ? qRgba(0, 0, 0, 0) : (out[x] | 0xff000000u);
            }
        }
    }
    return image;
}

} // namespace

std::optional<Image> read(const QByteArray &data)
{
    // Directory: reserved 0, type 2 (cursor), count; then 16-byte entries.
    if (data.size() < 6 + 16 || u16(data, 0) != 0 || u16(data, 2) != 2 || u16(data, 4) == 0)
        return std::nullopt;
    const QPoint hotSpot(u16(data, 6 + 4), u16(data, 6 + 6));
    const quint32 size = u32(data, 6 + 8);
    const quint32 offset = u32(data, 6 + 12);
    if (offset > quint32(data.size()) || size > quint32(data.size()) - offset)
        return std::nullopt;
    const QByteArray bytes = data.mid(offset, size);

    QImage image;
    if (bytes.startsWith("\x89PNG")) {
        image = QImage::fromData(bytes, "PNG");
    } else if (const auto bitmap = readBitmap(bytes)) {
        image = *bitmap;
    }
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
