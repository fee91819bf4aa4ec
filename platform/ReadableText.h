#pragma once
#include <QColor>
#include <QPalette>
#include <QWidget>

namespace qp {

// A text colour the window's design fixes (blue labels) stands on the
// palette's background, which a dark desktop palette makes dark too. There
// the widget gets a light background of its own; on a light palette nothing
// changes, so the design is drawn as before.
inline void keepFixedTextReadable(QWidget* w)
{
    QPalette p = w->palette();
    if (p.color(QPalette::Window).lightness() >= 128)
        return;
    p.setColor(QPalette::Window, QColor(240, 240, 240));
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

} // namespace qp
