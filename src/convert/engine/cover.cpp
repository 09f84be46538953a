#include "convert/engine/cover.h"

#include <QProcess>

namespace Cover {

Shape shapeOf(const QByteArray &data)
{
    Shape shape;
    if (!data.startsWith("\xFF\xD8"))
        return shape;
    shape.kind = Shape::Kind::OtherJpeg;
    const auto byte = [&data](qsizetype at) { return int(uchar(data.at(at))); };
    // Segment by segment up to the frame header; the scan's data comes only after it.
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
        if (marker == 0xD9 || marker == 0xDA || at + 1 >= data.size())
            return shape;   // image or scan before any frame
        const int length = byte(at) << 8 | byte(at + 1);
        // SOF0 to SOF15, but for DHT (C4), JPG (C8) and DAC (CC): length, precision, height, width.
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (length < 8 || at + 6 >= data.size())
                return shape;
            shape.height = byte(at + 3) << 8 | byte(at + 4);
            shape.width = byte(at + 5) << 8 | byte(at + 6);
            if (marker <= 0xC1 && byte(at + 2) == 8)   // SOF1 may have 12-bit samples, which few read
                shape.kind = Shape::Kind::BaselineJpeg;
            return shape;
        }
        if (length < 2)
            return shape;
        at += length;
    }
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

QStringList scaleArguments(int maxPixels)
{
    const QString side = QString::number(maxPixels);
    // Full-range 4:2:0, the JPEG every decoder reads; the quotes keep the commas inside
    // min() from parting the filters.
    return {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("image2pipe"),
            QStringLiteral("-i"), QStringLiteral("-"), QStringLiteral("-frames:v"), QStringLiteral("1"),
            QStringLiteral("-vf"),
            QStringLiteral("scale=w='min(iw,%1)':h='min(ih,%1)':force_original_aspect_ratio=decrease,format=yuvj420p")
                .arg(side),
            QStringLiteral("-c:v"), QStringLiteral("mjpeg"), QStringLiteral("-q:v"), QStringLiteral("2"),
            QStringLiteral("-f"), QStringLiteral("mjpeg"), QStringLiteral("-")};
}

// On the tag step's worker thread, which waits for TagLib there already: a short blocking run
// needs no state of its own in the conversion.
std::optional<QByteArray> scaled(const QString &decoder, const QByteArray &data, int maxPixels, int timeoutMs)
{
    QProcess tool;
    tool.setProgram(decoder);
    tool.setArguments(scaleArguments(maxPixels));
    tool.setStandardErrorFile(QProcess::nullDevice());
    tool.start();
    if (!tool.waitForStarted(timeoutMs))
        return std::nullopt;
    tool.write(data);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        return std::nullopt;
    }
    const QByteArray scaled = tool.readAllStandardOutput();
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0 || !fits(scaled, maxPixels))
        return std::nullopt;
    return scaled;
}

} // namespace Cover
