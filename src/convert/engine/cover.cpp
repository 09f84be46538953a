#include "convert/engine/cover.h"

#include "convert/engine/toolcommands.h"


namespace Cover {

Shape shapeOf(const QByteArray &data)
{
    Shape shape;
    if (!data.startsWith("\xFF\xD8"))
        return shape;
    shape.kind = Shape::Kind::OtherJpeg;
    bool sequential = false;
    const auto byte = [&data](qsizetype at) { return int(uchar(data.at(at))); };
    // Segment by segment up to the scan: the frame header, and an Adobe marker's colour transform
    // before it; the scan's data comes only after it.
    bool adobeRgb = false;
    for (qsizetype at = 2; at + 1 < data.size();) {
        if (byte(at) != 0xFF)
            return shape;   // no marker where one must be
        const int marker = byte(at + 1);
        at += 2;
        if (marker == 0xFF) {
            --at;   // a fill byte before the marker
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
            continue;   // markers without a length
        if (marker == 0xDA) {
            shape.scanFollows = shape.width > 0;
            break;
        }
        if (marker == 0xD9 || at + 1 >= data.size())
            return shape;   // the image's end before any scan
        const int length = byte(at) << 8 | byte(at + 1);
        // SOF0 to SOF15, but for DHT (C4), JPG (C8) and DAC (CC): length, precision, height, width.
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (length < 8 || at + 7 >= data.size() || shape.width > 0)
                return shape;
            shape.height = byte(at + 3) << 8 | byte(at + 4);
            shape.width = byte(at + 5) << 8 | byte(at + 6);
            shape.components = byte(at + 7);
            sequential = marker <= 0xC1 && byte(at + 2) == 8;   // SOF1 may have 12-bit samples, which few read
        }
        // APP14 "Adobe": its last byte says how three components are coded, 0 for RGB.
        if (marker == 0xEE && length >= 12 && at + length <= data.size() && data.mid(at + 2, 5) == "Adobe")
            adobeRgb = byte(at + length - 1) == 0;
        if (length < 2)
            return shape;
        at += length;
    }
    // What small players decode: grey, or colour as YCbCr (not CMYK, YCCK or RGB).
    if (sequential && (shape.components == 1 || (shape.components == 3 && !adobeRgb)))
        shape.kind = Shape::Kind::BaselineJpeg;
    return shape;
}

bool fits(const QByteArray &data, int maxPixels)
{
    if (maxPixels <= 0)
        return true;
    const Shape shape = shapeOf(data);
    return shape.kind == Shape::Kind::BaselineJpeg && shape.width > 0 && shape.height > 0
           && qMax(shape.width, shape.height) <= maxPixels;
}

QStringList scaleArguments(const QString &picture, int maxPixels)
{
    const QString side = QString::number(maxPixels);
    // Full-range 4:2:0, the JPEG every decoder reads; the quotes keep the commas inside
    // min() from parting the filters. The picture's kind is read from its bytes.
    return {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("image2pipe"),
            QStringLiteral("-i"), Tools::ffmpegFileArgument(picture), QStringLiteral("-frames:v"), QStringLiteral("1"),
            QStringLiteral("-vf"),
            QStringLiteral("scale=w='min(iw,%1)':h='min(ih,%1)':force_original_aspect_ratio=decrease,format=yuvj420p")
                .arg(side),
            QStringLiteral("-c:v"), QStringLiteral("mjpeg"), QStringLiteral("-q:v"), QStringLiteral("2"),
            QStringLiteral("-f"), QStringLiteral("mjpeg"), QStringLiteral("-")};
}

bool isWhole(const QByteArray &data)
{
    const Shape shape = shapeOf(data);
    return shape.kind != Shape::Kind::NotJpeg && shape.width > 0 && shape.height > 0 && shape.scanFollows
           && data.endsWith("\xFF\xD9");
}

} // namespace Cover
