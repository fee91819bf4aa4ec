#include "FakeImapServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QWaitCondition>

namespace qp::test {

struct FakeImapServer::Shared {
    QByteArray greeting = "* OK fake IMAP server ready";
    QList<Step> steps;
    QString certPath, keyPath;

    mutable QMutex mutex;
    QWaitCondition changed;
    QList<QByteArray> received;
    QString mismatch;
    int connections = 0;
    int disconnects = 0;
};

namespace {

QByteArray withLineEnd(const QByteArray& reply)
{
    return reply.isEmpty() || reply.endsWith('\n') ? reply : reply + "\r\n";
}

// A client that sends more than this in one command is broken; the test
// should hear about it rather than the server holding it all.
constexpr qsizetype kMaxCommand = 1024 * 1024;

} // namespace

class FakeImapServer::Worker : public QTcpServer {
public:
    explicit Worker(Shared* shared) : m_s(shared) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        {
            QMutexLocker lock(&m_s->mutex);
            ++m_s->connections;
        }
        auto c = std::make_shared<Connection>();
        c->socket = socket;
        QObject::connect(socket, &QSslSocket::readyRead, socket, [this, c] { onReadyRead(c.get()); });
        QObject::connect(socket, &QSslSocket::disconnected, socket, [this, socket] {
            QMutexLocker lock(&m_s->mutex);
            ++m_s->disconnects;
            m_s->changed.wakeAll();
            socket->deleteLater();
        });
        socket->write(withLineEnd(m_s->greeting));
    }

private:
    struct Connection {
        QSslSocket* socket = nullptr;
        int next = 0;
        QByteArray buffer;     // unread bytes
        QByteArray command;    // the command so far (lines and literals)
        qsizetype literal = 0; // literal bytes still to come
        bool done = false;     // closing, hung or flooding: no more answers
    };

    void onReadyRead(Connection* c)
    {
        c->buffer += c->socket->readAll();
        while (!c->done) {
            if (c->literal > 0) {
                const qsizetype n = std::min(c->literal, c->buffer.size());
                c->command += c->buffer.left(n);
                c->buffer.remove(0, n);
                c->literal -= n;
                if (c->literal > 0)
                    return;
            }
            const qsizetype nl = c->buffer.indexOf('\n');
            if (nl < 0 || c->command.size() > kMaxCommand) {
                if (c->buffer.size() + c->command.size() > kMaxCommand)
                    fail(c, QStringLiteral("command longer than %1 bytes").arg(kMaxCommand));
                return;
            }
            QByteArray line = c->buffer.left(nl);
            c->buffer.remove(0, nl + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            c->command += line;
            // A literal at the line end: take its bytes as part of the command.
            if (line.endsWith('}') && line.lastIndexOf('{') >= 0) {
                QByteArray n = line.mid(line.lastIndexOf('{') + 1).chopped(1);
                const bool sync = !n.endsWith('+');
                if (!sync)
                    n.chop(1);
                bool ok = false;
                c->literal = n.toLongLong(&ok);
                if (ok && c->literal >= 0 && c->literal <= kMaxCommand) {
                    c->command += "\r\n";
                    if (sync)
                        c->socket->write("+ go ahead\r\n");
                    continue;
                }
                c->literal = 0;
            }
            answer(c, std::exchange(c->command, QByteArray()));
        }
    }

    void answer(Connection* c, const QByteArray& command)
    {
        const qsizetype space = command.indexOf(' ');
        const QByteArray tag = space < 0 ? QByteArray() : command.left(space);
        const QByteArray untagged = space < 0 ? command : command.mid(space + 1);
        {
            QMutexLocker lock(&m_s->mutex);
            m_s->received.append(untagged);
            m_s->changed.wakeAll();
        }
        if (c->next >= m_s->steps.size())
            return fail(c, QStringLiteral("unexpected command after the script: ") + QString::fromLatin1(untagged));
        const Step& step = m_s->steps.at(c->next++);
        const bool matches = step.command.endsWith('*') ? untagged.startsWith(step.command.chopped(1))
                                                        : untagged == step.command;
        if (!matches)
            return fail(c, QStringLiteral("expected \"%1\", got \"%2\"")
                               .arg(QString::fromLatin1(step.command), QString::fromLatin1(untagged)));
        const QByteArray reply = withLineEnd(QByteArray(step.reply).replace("{tag}", tag));
        c->socket->write(reply);
        switch (step.then) {
        case Then::Continue:
            break;
        case Then::Close:
            c->done = true;
            c->socket->disconnectFromHost();
            break;
        case Then::Hang:
            c->done = true;
            break;
        case Then::StartTls:
            startTls(c->socket);
            break;
        case Then::Flood: {
            c->done = true;
            auto* timer = new QTimer(c->socket); // goes with the socket
            QSslSocket* socket = c->socket;
            QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, reply] {
                // Keep about a megabyte queued, however fast the client reads,
                // until it hangs up (a closed socket takes nothing more).
                while (socket->bytesToWrite() < 1024 * 1024)
                    if (socket->state() != QAbstractSocket::ConnectedState || socket->write(reply) <= 0)
                        return timer->stop();
            });
            timer->start(1);
            break;
        }
        }
    }

    void startTls(QSslSocket* socket)
    {
        QFile certFile(m_s->certPath), keyFile(m_s->keyPath);
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
            socket->abort();
            return;
        }
        const QByteArray keyPem = keyFile.readAll();
        QSslKey key(keyPem, QSsl::Ec);
        if (key.isNull())
            key = QSslKey(keyPem, QSsl::Rsa);
        socket->setLocalCertificate(QSslCertificate(certFile.readAll()));
        socket->setPrivateKey(key);
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        socket->startServerEncryption();
    }

    void fail(Connection* c, const QString& why)
    {
        {
            QMutexLocker lock(&m_s->mutex);
            if (m_s->mismatch.isEmpty())
                m_s->mismatch = why;
        }
        c->socket->write("* BYE unexpected command\r\n");
        c->done = true;
        c->socket->disconnectFromHost();
    }

    Shared* m_s;
};

FakeImapServer::FakeImapServer() : m_shared(std::make_unique<Shared>()) {}

FakeImapServer::~FakeImapServer()
{
    if (m_worker) {
        Worker* w = m_worker;
        QMetaObject::invokeMethod(w, [w] { delete w; }, Qt::BlockingQueuedConnection);
    }
    m_thread.quit();
    m_thread.wait();
}

void FakeImapServer::greeting(const QByteArray& reply)
{
    m_shared->greeting = reply;
}

void FakeImapServer::expect(const QByteArray& command, const QByteArray& reply, Then then)
{
    m_shared->steps.append(Step{command, reply, then});
}

void FakeImapServer::setTls(const QString& certPath, const QString& keyPath)
{
    m_shared->certPath = certPath;
    m_shared->keyPath = keyPath;
}

bool FakeImapServer::start()
{
    if (m_worker)
        return m_port != 0;
    m_thread.start();
    m_worker = new Worker(m_shared.get());
    m_worker->moveToThread(&m_thread);
    Worker* w = m_worker;
    quint16 port = 0;
    QMetaObject::invokeMethod(
        w, [w, &port] {
            if (w->listen(QHostAddress(QStringLiteral("127.0.0.1")), 0))
                port = w->serverPort();
        },
        Qt::BlockingQueuedConnection);
    m_port = port;
    return m_port != 0;
}

QString FakeImapServer::serverText() const
{
    return QStringLiteral("imap://127.0.0.1:%1").arg(m_port);
}

QList<QByteArray> FakeImapServer::received() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->received;
}

QString FakeImapServer::mismatch() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->mismatch;
}

bool FakeImapServer::waitForDisconnect(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_shared->mutex);
    while (m_shared->disconnects < m_shared->connections || m_shared->connections == 0)
        if (!m_shared->changed.wait(&m_shared->mutex, deadline))
            return false;
    return true;
}

} // namespace qp::test
