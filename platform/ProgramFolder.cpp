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

QString& userFolderSetting()
{
    static QString folder;
    return folder;
}

const char kUserFolderVariable[] = "QUILLPOST_USER_FOLDER";

// The first component of a tail ("\★MAilData\x" -> "★MAilData").
QString firstComponent(const QString& tail)
{
    QString rest = tail;
    rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return rest.section(QLatin1Char('/'), 0, 0, QString::SectionSkipEmpty);
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

QString userFolder()
{
    const QString& folder = userFolderSetting();
    return folder.isEmpty() ? programFolder() : folder;
}

void setUserFolder(const QString& folder)
{
    userFolderSetting() = folder.isEmpty() ? QString() : QDir::cleanPath(QDir::current().absoluteFilePath(folder));
}

QString takeUserFolderFromEnvironment()
{
    const QString given = qEnvironmentVariable(kUserFolderVariable);
    qunsetenv(kUserFolderVariable);
    setUserFolder(given);
    return userFolderSetting();
}

QString programPath(const QString& tail)
{
    const bool inDataFolder = sameNameIgnoringAsciiCase(firstComponent(tail), QStringLiteral("★MailData"));
    return resolvePath(inDataFolder ? userFolder() : programFolder(), tail);
}

} // namespace qp
