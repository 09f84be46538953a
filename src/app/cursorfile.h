#pragma once

#include <QCursor>
#include <QImage>
#include <QPoint>

#include <optional>

class QByteArray;
class QString;

// Windows cursor files (.cur), which Qt does not read: the first image of the file
// with its hot spot. Images may be device-independent bitmaps (1, 4, 8, 24 or 32 bits,
// with the AND mask for transparency) or embedded PNG.
namespace CursorFile {

struct Image
{
    QImage image;
    QPoint hotSpot;
};

std::optional<Image> read(const QByteArray &data);

// The cursor in the file at path, or nothing when the file is missing or no cursor.
std::optional<QCursor> load(const QString &path);

} // namespace CursorFile
