#pragma once
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QVector>

namespace qp {

// The outline of a frame picture as y-x banded rectangles (rows with the
// same runs merged into one band, runs within a band left to right and never
// touching), ready for QRegion::setRects. The key colour is the colour of
// pixel (0, 0); positions x = 0..extent and y = 0..extent are sampled, both
// ends included, and a position outside the picture has no colour and so
// counts as part of the outline. The list may be of any length.
QVector<QRect> frameOutline(const QImage& frame, int extent);

// Ticks of one walk of the shaped window for a random r in [0, 1):
// (r x 10 + 3) x 2 rounded to the nearest whole number, a half to even.
int walkLength(double r);

// A window position pulled inside the screen: a left or top edge outside the
// screen moves to the screen's edge, then a right or bottom edge beyond it
// moves back so the window ends at the screen's edge.
QPoint clampToScreen(QPoint topLeft, QSize size, const QRect& screen);

} // namespace qp
