#include "platform/AtomicFile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <utility>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qp {

namespace {

QString errnoText(const char* step)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(step), QString::fromLocal8Bit(std::strerror(errno)));
}

// write(2) until every byte is out; a short write (a nearly full disk) is
// retried, and the error that ends it is reported.
bool writeAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// The file a chain of symbolic links ends at (path itself when it is no
// link), so that a file kept elsewhere and linked here (a dotfiles set-up)
// is replaced where it lives and the link stays. Empty for a loop.
QString followLinks(const QString& path)
{
    QString current = path;
    for (int hop = 0; hop < 40; ++hop) {
        const QByteArray name = QFile::encodeName(current);
        char target[4096];
        const ssize_t n = ::readlink(name.constData(), target, sizeof target - 1);
        if (n < 0)
            return current; // not a link (or nothing there yet)
        const QString next = QFile::decodeName(QByteArray(target, n));
        current = next.startsWith(QLatin1Char('/')) ? next : QFileInfo(current).absolutePath() + QLatin1Char('/') + next;
    }
    return QString();
}

} // namespace

// Done by hand rather than with QSaveFile: QSaveFile buffers the bytes and
// ignores a failed flush inside commit(), so on a full disk it renames an
// empty temporary file over the old one and reports success. Here every
// write, the sync and the close are checked, and any failure removes the
// temporary file and leaves the old file as it was.
WriteResult writeFileAtomically(const QString& linkedPath, const QByteArray& bytes, int permissions)
{
    WriteResult result;
    const QString path = followLinks(linkedPath);
    if (path.isEmpty()) {
        errno = ELOOP;
        result.error = errnoText("resolve");
        return result;
    }
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    if (!QFileInfo(folder).isDir()) {
        result.error = QStringLiteral("folder missing");
        return result;
    }
    // The new file keeps the old one's mode unless the caller names one;
    // a new file gets the usual 0666 less the umask.
    mode_t mode = 0;
    bool forceMode = false;
    struct stat old;
    if (::stat(QFile::encodeName(path).constData(), &old) == 0) {
        mode = old.st_mode & 07777;
        forceMode = true;
    }
    if (permissions >= 0) {
        const auto p = QFileDevice::Permissions(permissions);
        const std::pair<QFileDevice::Permissions, mode_t> bits[] = {
            {QFileDevice::ReadOwner | QFileDevice::ReadUser, S_IRUSR},
            {QFileDevice::WriteOwner | QFileDevice::WriteUser, S_IWUSR},
            {QFileDevice::ExeOwner | QFileDevice::ExeUser, S_IXUSR},
            {QFileDevice::ReadGroup, S_IRGRP}, {QFileDevice::WriteGroup, S_IWGRP}, {QFileDevice::ExeGroup, S_IXGRP},
            {QFileDevice::ReadOther, S_IROTH}, {QFileDevice::WriteOther, S_IWOTH}, {QFileDevice::ExeOther, S_IXOTH}};
        mode = 0;
        for (const auto& [flags, bit] : bits)
            if (p & flags)
                mode |= bit;
        forceMode = true;
    }

    // The bytes go into a file without a name first (O_TMPFILE), so that a
    // crash part-way leaves nothing behind; it gets a temporary name only
    // once it is complete. File systems without O_TMPFILE get a named one.
    // Created 0666 the umask applies to, or 0600 until its mode is set.
    const mode_t createMode = forceMode ? 0600 : 0666;
    const QByteArray folderName = QFile::encodeName(folder);
    const QByteArray stem = QFile::encodeName(folder + QLatin1Char('/') + info.fileName()) + '.'
                          + QByteArray::number(::getpid()) + '.';
    QByteArray temp;
    int fd = ::access("/proc/self/fd", X_OK) == 0
               ? ::open(folderName.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, createMode)
               : -1;
    const bool unnamed = fd >= 0;
    for (int attempt = 0; fd < 0 && !unnamed && attempt < 100; ++attempt) {
        temp = stem + QByteArray::number(attempt);
        fd = ::open(temp.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, createMode);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        result.error = errnoText("create");
        return result;
    }
    bool named = !unnamed;
    auto fail = [&](const char* step) {
        result.error = errnoText(step);
        if (named)
            ::unlink(temp.constData());
        return result;
    };
    auto closeAndFail = [&](const char* step) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return fail(step);
    };
    if ((forceMode && ::fchmod(fd, mode) != 0) || !writeAll(fd, bytes.constData(), bytes.size())
        || ::fsync(fd) != 0)
        return closeAndFail("write");
    if (unnamed) {
        const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
        for (int attempt = 0; !named; ++attempt) {
            temp = stem + QByteArray::number(attempt);
            if (::linkat(AT_FDCWD, proc.constData(), AT_FDCWD, temp.constData(), AT_SYMLINK_FOLLOW) == 0)
                named = true;
            else if (errno != EEXIST || attempt >= 100)
                return closeAndFail("link");
        }
    }
    if (::close(fd) != 0)
        return fail("close");
    if (::rename(temp.constData(), QFile::encodeName(path).constData()) != 0)
        return fail("rename");
    // The rename itself reaches the disk with the folder.
    const int dir = ::open(folderName.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
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

ReadResult readWholeFile(const QString& path, qint64 maxBytes)
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
    if (maxBytes >= 0) {
        // The size is checked on what is read, not on what stat said: the
        // file may grow while it is read.
        result.bytes = file.read(maxBytes + 1);
        if (result.bytes.size() > maxBytes) {
            result.bytes.clear();
            result.error = QStringLiteral("larger than %1 bytes").arg(maxBytes);
            return result;
        }
    } else {
        result.bytes = file.readAll();
    }
    result.ok = file.error() == QFileDevice::NoError;
    if (!result.ok)
        result.error = file.errorString();
    return result;
}

} // namespace qp
