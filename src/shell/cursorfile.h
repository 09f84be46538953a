#pragma once

#include <QCursor>
#include <QImage>

#include <optional>

// Windows cursor files (.cur): the first image of the file, as Qt's icon reader decodes it,
// with the hot spot that Qt's reader leaves out.
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
