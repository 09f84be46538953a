#pragma once

#include <QByteArray>
#include <QStringList>

#include <optional>

// The front cover as the tag step puts it into an MP3: what its first bytes say of it, whether
// it fits a limit as it is, and the decoder's run that scales one that does not.
namespace Cover {

// What a picture's first bytes say of it, up to a JPEG's first frame header.
struct Shape
{
    // A baseline JPEG is one of a sequential frame (SOF0, SOF1): what every JPEG decoder,
    // a car stereo's too, reads. A progressive one (SOF2) or another kind is not.
    enum class Kind { BaselineJpeg, OtherJpeg, NotJpeg };
    Kind kind = Kind::NotJpeg;
    int width = 0;    // of a JPEG's frame; 0 when not known
    int height = 0;
};
Shape shapeOf(const QByteArray &data);

// Whether a cover goes into the tag as the source holds it under a limit of maxPixels on the
// longer side (0 for none): a baseline JPEG within the limit.
bool fits(const QByteArray &data, int maxPixels);

// The decoder's arguments for a cover that does not fit: the picture on stdin, a baseline JPEG
// on stdout, scaled down (never up) to maxPixels on its longer side, its aspect kept.
QStringList scaleArguments(int maxPixels);

// The decoder run for one cover, waiting up to timeoutMs (-1: no limit): the picture goes
// through pipes, not temporary files. Nothing when it fails or gives no picture that fits.
// Blocking: for the tag step's worker thread.
std::optional<QByteArray> scaled(const QString &decoder, const QByteArray &data, int maxPixels, int timeoutMs);

} // namespace Cover
