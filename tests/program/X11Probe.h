#pragma once
#include <QByteArray>
#include <QString>

namespace qp::test {

// What the whole-program test needs from the X server that xdotool cannot do.
// Kept apart from Qt code because Xlib's macros (None, Bool, Status) collide
// with Qt's headers.

// Asks a window to close the way a window manager's close box does: a
// WM_DELETE_WINDOW client message (xdotool's windowclose destroys the window
// under the program instead, which is not what a user can do).
bool sendDeleteWindow(const QByteArray& display, unsigned long window, QString* error);

// The number of rectangles of the window's bounding shape: 0 when the window
// is not shaped (a plain rectangle), -1 when it cannot be asked.
int boundingShapeRectangles(const QByteArray& display, unsigned long window);

} // namespace qp::test
