#pragma once
#include <QRect>

namespace qp {

// Window layouts are given in twips, 15 to a pixel.
constexpr int twips(int t) { return t / 15; }
inline QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

// Colours are written &H00BBGGRR& in the layouts.
constexpr unsigned bgrToRgb(unsigned bgr)
{
    return ((bgr & 0xFF) << 16) | (bgr & 0xFF00) | ((bgr >> 16) & 0xFF);
}

} // namespace qp
