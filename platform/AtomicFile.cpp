#include "platform/AtomicFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

int openRegularFileForReading(const QString& path, QString* error)
{
    // O_NONBLOCK: opening a FIFO without a writer, or some devices, would
    // otherwise wait for ever. It has no effect on reading a regular file.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (error)
            *error = QStringLiteral("not a regular file");
        return -1;
    }
    return fd;
}

ReadResult readWholeFile(const QString& path)
{
    ReadResult result;
    const int fd = openRegularFileForReading(path, &result.error);
    if (fd < 0)
        return result;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        result.error = file.errorString();
        return result;
    }
    result.bytes = file.readAll();
    result.ok = file.error() == QFileDevice::NoError;
    if (!result.ok)
        result.error = file.errorString();
    return result;
}

} // namespace qp
