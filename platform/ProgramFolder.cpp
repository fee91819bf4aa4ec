#include "platform/ProgramFolder.h"
#include "platform/PathResolver.h"

#include <QCoreApplication>
#include <QDir>

namespace qp {

namespace {
QString& overrideFolder()
{
    static QString folder;
    return folder;
}
} // namespace

QString programFolder()
{
    QString folder = overrideFolder();
    if (folder.isEmpty())
        folder = QCoreApplication::applicationDirPath();
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

void setProgramFolderOverride(const QString& folder)
{
    overrideFolder() = folder.isEmpty() ? QString() : QDir::cleanPath(folder);
}

QString programPath(const QString& tail)
{
    return resolvePath(programFolder(), tail);
}

} // namespace qp
