#pragma once

#include <QByteArray>
#include <QStringList>


// The front cover as the tag step puts it into an MP3: what its first bytes say of it, whether
// it fits a limit as it is, and the decoder's line that scales one that does not (run by the
// conversion through the process runner).
namespace Cover {

// What a picture's first bytes say of it, up to a JPEG's first frame header.
struct Shape
{
    // A baseline JPEG is one of a sequential 8-bit frame (SOF0, SOF1) in grey or YCbCr: what
    // every JPEG decoder, a car stereo's too, reads. A progressive one (SOF2), one in CMYK or RGB,
    // or another kind is not.
    enum class Kind { BaselineJpeg, OtherJpeg, NotJpeg };
    Kind kind = Kind::NotJpeg;
    int width = 0;    // of a JPEG's frame; 0 when not known
    int height = 0;
    int components = 0;
    bool scanFollows = false;   // the frame header is followed by a scan
};
Shape shapeOf(const QByteArray &data);

// Whether a cover goes into the tag as the source holds it under a limit of maxPixels on the
// longer side (0 for none): a baseline JPEG within the limit.
bool fits(const QByteArray &data, int maxPixels);

// The decoder's arguments for a cover that does not fit: the picture in a file, a baseline JPEG
// on stdout, scaled down (never up) to maxPixels on its longer side, its aspect kept.
QStringList scaleArguments(const QString &picture, int maxPixels);

// Whether data is a whole JPEG: its start, a frame of a size, a scan, and its end. The scaler's
// answer replaces a cover only then; a decoder that answers a bare frame header has not scaled.
bool isWhole(const QByteArray &data);

} // namespace Cover
