#pragma once
#include <QFont>

namespace qp {

// The design's "ＭＳ Ｐゴシック" at the given point size, or the nearest
// Japanese proportional gothic font on this machine (IPAPGothic, Noto Sans
// CJK JP, ...).
QFont gothicFont(double pointSize = 9.0, bool bold = false);

// Applies the gothic font as the application default; call once at start.
void installApplicationFont();

} // namespace qp
