#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qp {

namespace {
const QByteArray kShow = "show\n";
const QByteArray kShown = "shown\n";
// A start that finds the lock taken may have raced the holder's own start:
// it tries this long before it gives up.
constexpr int kReachMs = 5000;
constexpr int kReplyMs = 3000;

// A folder of this user that no one else can add entries to: nothing in it
// can have been planted by another user.
bool isOwnClosedFolder(const QString& path, mode_t closedBits)
{
    struct stat st {};
    return path.startsWith(QLatin1Char('/')) && ::stat(QFile::encodeName(path).constData(), &st) == 0
        && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & closedBits) == 0;
}

// The other end of a local connection runs as this user.
bool peerIsSameUser(const QLocalSocket& socket)
{
    struct ucred peer {};
    socklen_t size = sizeof peer;
    return ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
        && peer.uid == ::geteuid();
}
} // namespace

SingleInstance::SingleInstance(const QString& dataFolder, QObject* parent) : QObject(parent)
{
    // The runtime folder only when it is what the XDG rules promise (an
    // absolute path, ours, mode 0700); otherwise the data folder, which
    // must be ours and writable by no one else. Qt's own fallback for a
    // missing runtime folder ends in the shared temp folder, so it is not
    // asked.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isOwnClosedFolder(runtime, 077))
        m_base = QDir(runtime).filePath(nameFor(dataFolder));
    else if (isOwnClosedFolder(QFileInfo(dataFolder).absoluteFilePath(), 022))
        m_base = QDir(dataFolder).absoluteFilePath(QStringLiteral(".quillpost-instance"));
}

SingleInstance::~SingleInstance()
{
    release();
}

void SingleInstance::release()
{
    if (m_server) {
        m_server->close(); // removes the socket file
        delete m_server;
        m_server = nullptr;
    }
    m_lock.reset(); // unlocks, which removes the lock file
}

QString SingleInstance::nameFor(const QString& dataFolder)
{
    const QFileInfo info(dataFolder);
    const QString canonical = info.canonicalFilePath();
    const QString path = canonical.isEmpty() ? info.absoluteFilePath() : canonical;
    return QStringLiteral("quillpost-")
        + QString::fromLatin1(QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex().left(24));
}

SingleInstance::Claim SingleInstance::claim()
{
    // No safe place for them: running unguarded beats not running, and
    // beats a lock another user could hold.
    if (m_base.isEmpty())
        return Claim::First;
    m_lock = std::make_unique<QLockFile>(m_base + QStringLiteral(".lock"));
    // Never stale by age: a lock is free only when its holder has ended.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0)) {
        serve();
        return Claim::First;
    }
    if (m_lock->error() != QLockFile::LockFailedError) {
        // No lock can be made here at all (no runtime folder, no room):
        // running unguarded beats not running.
        m_lock.reset();
        return Claim::First;
    }
    m_lock.reset();

    const QDeadlineTimer deadline(kReachMs);
    do {
        QLocalSocket socket;
        socket.connectToServer(m_base + QStringLiteral(".sock"));
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime()))) && peerIsSameUser(socket)) {
            socket.write(kShow);
            socket.waitForBytesWritten(kReplyMs);
            QByteArray reply;
            const QDeadlineTimer replyBy(kReplyMs);
            while (!reply.contains('\n') && socket.waitForReadyRead(int(qMax<qint64>(1, replyBy.remainingTime()))))
                reply += socket.read(64);
            if (reply == kShown)
                return Claim::Handed;
        }
        QThread::msleep(100); // the holder has not begun to listen yet
    } while (!deadline.hasExpired());
    return Claim::Unreachable;
}

void SingleInstance::serve()
{
    const QString name = m_base + QStringLiteral(".sock");
    // A socket left by a holder that ended without its clean-up; the lock
    // says no one uses it now.
    QLocalServer::removeServer(name);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(name))
        return; // later starts then find no one to hand over to, and say so
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            // Only this user's own later start may bring the window forward.
            if (!peerIsSameUser(*socket)) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            // A caller that says nothing is not kept.
            QTimer::singleShot(kReplyMs, socket, [socket] {
                socket->abort();
                socket->deleteLater();
            });
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->bytesAvailable() < kShow.size())
                    return;
                if (socket->read(kShow.size()) == kShow) {
                    emit showRequested();
                    socket->write(kShown);
                }
                socket->disconnectFromServer();
            });
        }
    });
}

} // namespace qp
