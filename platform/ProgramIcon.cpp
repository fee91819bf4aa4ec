#include "platform/ProgramIcon.h"

// Outside the namespace: the resource initialiser is a global function.
static void initIconResources()
{
    Q_INIT_RESOURCE(icons);
}

namespace qp {

QIcon programIcon()
{
    initIconResources();
    QIcon icon(QStringLiteral(":/quillpost/icon.png"));
    icon.addFile(QStringLiteral(":/quillpost/icon-256.png"));
    return icon;
}

} // namespace qp
