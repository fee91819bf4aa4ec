#include "platform/AtomicFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace qp {

WriteResult writeFileAtomically(const QString& path, const QByteArray& bytes, int permissions)
{
    WriteResult result;
    if (!QFileInfo(QFileInfo(path).absolutePath()).isDir()) {
        result.error = QStringLiteral("folder missing");
        return result;
    }
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        result.error = file.errorString();
        return result;
    }
    if (permissions >= 0)
        file.setPermissions(QFileDevice::Permissions(permissions));
    if (file.write(bytes) != bytes.size()) {
        result.error = file.errorString();
        file.cancelWriting();
        return result;
    }
    if (!file.commit()) {
        result.error = file.errorString();
        return result;
    }
    result.ok = true;
    return result;
}

ReadResult readWholeFile(const QString& path)
{
    ReadResult result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    result.bytes = file.readAll();
    result.ok = file.error() == QFileDevice::NoError;
    return result;
}

} // namespace qp
