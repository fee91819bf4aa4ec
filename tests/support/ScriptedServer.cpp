#include "ScriptedServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QMutexLocker>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

namespace qp::test {

void ServerLog::record(const QByteArray& command)
{
    QMutexLocker lock(&mutex);
    received.append(command);
    changed.wakeAll();
}

void ServerLog::mismatched(const QString& why)
{
    QMutexLocker lock(&mutex);
    if (mismatch.isEmpty())
        mismatch = why;
}

QList<QByteArray> ServerLog::receivedCommands() const
{
    QMutexLocker lock(&mutex);
    return received;
}

QString ServerLog::firstMismatch() const
{
    QMutexLocker lock(&mutex);
    return mismatch;
}

bool ServerLog::waitForDisconnect(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&mutex);
    while (disconnects < connections || connections == 0)
        if (!changed.wait(&mutex, deadline))
            return false;
    return true;
}

ServerThread::~ServerThread()
{
    if (m_server) {
        QTcpServer* s = m_server;
        QMetaObject::invokeMethod(s, [s] { delete s; }, Qt::BlockingQueuedConnection);
    }
    m_thread.quit();
    m_thread.wait();
}

quint16 ServerThread::start(QTcpServer* server)
{
    m_thread.start();
    m_server = server;
    server->moveToThread(&m_thread);
    quint16 port = 0;
    QMetaObject::invokeMethod(
        server, [server, &port] {
            if (server->listen(QHostAddress(QStringLiteral("127.0.0.1")), 0))
                port = server->serverPort();
        },
        Qt::BlockingQueuedConnection);
    return port;
}

QSslSocket* acceptConnection(QTcpServer* server, qintptr descriptor, ServerLog* log)
{
    auto* socket = new QSslSocket(server);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return nullptr;
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    {
        QMutexLocker lock(&log->mutex);
        ++log->connections;
    }
    QObject::connect(socket, &QSslSocket::disconnected, socket, [log, socket] {
        {
            QMutexLocker lock(&log->mutex);
            ++log->disconnects;
            log->changed.wakeAll();
        }
        socket->deleteLater();
    });
    return socket;
}

QByteArray withLineEnd(const QByteArray& reply)
{
    return reply.isEmpty() || reply.endsWith('\n') ? reply : reply + "\r\n";
}

bool commandMatches(const QByteArray& expected, const QByteArray& command)
{
    return expected.endsWith('*') ? command.startsWith(expected.chopped(1)) : command == expected;
}

bool startServerTls(QSslSocket* socket, const QString& certPath, const QString& keyPath)
{
    QFile certFile(certPath), keyFile(keyPath);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
        return false;
    const QByteArray keyPem = keyFile.readAll();
    QSslKey key(keyPem, QSsl::Ec);
    if (key.isNull())
        key = QSslKey(keyPem, QSsl::Rsa);
    socket->setLocalCertificate(QSslCertificate(certFile.readAll()));
    socket->setPrivateKey(key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->startServerEncryption();
    return true;
}

} // namespace qp::test
