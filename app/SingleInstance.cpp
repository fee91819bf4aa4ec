#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

namespace qp {

namespace {
const QByteArray kShow = "show\n";
const QByteArray kShown = "shown\n";
// A start that finds the lock taken may have raced the holder's own start:
// it tries this long before it gives up.
constexpr int kReachMs = 5000;
constexpr int kReplyMs = 3000;
} // namespace

SingleInstance::SingleInstance(const QString& dataFolder, QObject* parent) : QObject(parent)
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    m_base = QDir(dir).filePath(nameFor(dataFolder));
}

SingleInstance::~SingleInstance() = default;

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
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
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
