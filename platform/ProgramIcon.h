#pragma once
#include <QIcon>

namespace qp {

// The program's icon (32 x 32, with a large size for desktops that ask for
// one): the main window, the tray and the settings windows all carry it.
QIcon programIcon();

} // namespace qp
