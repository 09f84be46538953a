#pragma once

#include <QRect>

// The windows are laid out in twips (1440 to the inch), converted at the screen's
// logical DPI: 15 twips make one pixel at 96 dpi.
namespace Twips {

inline int toPixels(double twips, int dpi)
{
    return qRound(twips * dpi / 1440.0);
}

inline double fromPixels(int pixels, int dpi)
{
    return pixels * 1440.0 / dpi;
}

inline QRect rect(int left, int top, int width, int height, int dpi)
{
    return QRect(toPixels(left, dpi), toPixels(top, dpi), toPixels(width, dpi), toPixels(height, dpi));
}

inline QSize size(int width, int height, int dpi)
{
    return QSize(toPixels(width, dpi), toPixels(height, dpi));
}

} // namespace Twips
