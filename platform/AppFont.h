#pragma once
#include <QFont>

namespace qp {

// A Japanese proportional gothic font at the given point size: "ＭＳ Ｐゴシック"
// where installed, else the nearest on this machine (IPAPGothic, Noto Sans
// CJK JP, ...).
QFont gothicFont(double pointSize = 9.0, bool bold = false);

// Applies the gothic font as the application default; call once at start.
void installApplicationFont();

} // namespace qp
