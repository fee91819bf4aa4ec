#include "FakePop3Server.h"

#include <QMutexLocker>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <memory>
#include <utility>

namespace qp::test {

struct FakePop3Server::Shared {
    // Script: written before start(), read-only afterwards.
    Step greeting{QByteArray(), QByteArrayLiteral("+OK fake POP3 server ready"), Then::Continue};
    QList<Step> steps;
    int chunkSize = 0;
    QString certPath, keyPath;
    bool implicitTls = false;
    bool pipelining = false;
    bool dropQueued = false;
    bool continueScript = false;
    int resumeAt = 0; // the server's thread only

    // Results, under log.mutex.
    ServerLog log;
    int maxQueued = 0;
    int highestStepDone = -1;
    QString tlsError;
};

namespace {

// The server's own bound on a command line; a client that sends more is
// broken, and the test should hear about it rather than hang.
constexpr qsizetype kMaxCommandLine = 64 * 1024;

} // namespace

class FakePop3Server::Worker : public QTcpServer {
public:
    explicit Worker(Shared* shared) : m_s(shared) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        // The socket goes when the connection ends, and the lambdas holding
        // the state with it.
        QSslSocket* socket = acceptConnection(this, descriptor, &m_s->log);
        if (!socket)
            return;
        auto state = std::make_shared<Connection>(
            Connection{socket, m_s->continueScript ? m_s->resumeAt : 0, {}, false, false, {}, nullptr});
        if (m_s->pipelining) {
            state->quiet = new QTimer(socket); // goes with the socket
            state->quiet->setSingleShot(true);
            state->quiet->setInterval(20);
            QObject::connect(state->quiet, &QTimer::timeout, socket, [this, c = state.get()] { answerQueued(c); });
            // A client that says QUIT and hangs up at once still has it heard.
            QObject::connect(socket, &QAbstractSocket::disconnected, socket, [this, c = state.get()] { answerQueued(c); });
        }
        QObject::connect(socket, &QSslSocket::readyRead, socket, [this, state] { onReadyRead(state.get()); });
        QObject::connect(socket, &QSslSocket::sslErrors, socket, [this](const QList<QSslError>& errors) {
            QMutexLocker lock(&m_s->log.mutex);
            if (m_s->tlsError.isEmpty() && !errors.isEmpty())
                m_s->tlsError = errors.first().errorString();
        });
        QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, [this, socket](QAbstractSocket::SocketError e) {
            if (e == QAbstractSocket::SslHandshakeFailedError || e == QAbstractSocket::SslInternalError) {
                QMutexLocker lock(&m_s->log.mutex);
                if (m_s->tlsError.isEmpty())
                    m_s->tlsError = socket->errorString();
            }
        });
        if (m_s->implicitTls) {
            QObject::connect(socket, &QSslSocket::encrypted, socket, [this, state] { sendGreeting(state.get()); });
            startTls(socket);
        } else {
            sendGreeting(state.get());
        }
    }

private:
    struct Connection {
        QSslSocket* socket;
        int next;           // index of the next expected step
        QByteArray buffer;  // unread command bytes
        bool hung;          // Then::Hang reached: record, never answer
        bool closing;
        QList<QByteArray> queued; // pipelining mode: commands not answered yet
        QTimer* quiet;            // pipelining mode: fires after 20 ms without a command
    };

    void answerQueued(Connection* c)
    {
        const QList<QByteArray> lines = std::exchange(c->queued, {});
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (i > 0 && m_s->dropQueued)
                m_s->log.record(lines.at(i));
            else if (!processLine(c, lines.at(i)))
                return;
        }
    }

    void startTls(QSslSocket* socket)
    {
        if (startServerTls(socket, m_s->certPath, m_s->keyPath))
            return;
        {
            QMutexLocker lock(&m_s->log.mutex);
            m_s->tlsError = QStringLiteral("fake server: cannot read certificate or key");
        }
        socket->abort();
    }

    void send(QSslSocket* socket, const QByteArray& bytes)
    {
        if (bytes.isEmpty())
            return;
        if (m_s->chunkSize <= 0) {
            socket->write(bytes);
            socket->flush();
            return;
        }
        for (qsizetype at = 0; at < bytes.size(); at += m_s->chunkSize) {
            socket->write(bytes.mid(at, m_s->chunkSize));
            socket->flush();
            socket->waitForBytesWritten(1000);
            QThread::usleep(300);
        }
    }

    void finishStep(Connection* c, const Step& step)
    {
        send(c->socket, step.then == Then::Trickle ? step.reply : withLineEnd(step.reply));
        switch (step.then) {
        case Then::Continue:
            break;
        case Then::Close:
            c->closing = true;
            c->socket->disconnectFromHost();
            break;
        case Then::Hang:
            c->hung = true;
            break;
        case Then::StartTls:
            startTls(c->socket);
            break;
        case Then::Trickle: {
            c->hung = true;
            auto* timer = new QTimer(c->socket); // goes with the socket
            QSslSocket* socket = c->socket;
            QObject::connect(timer, &QTimer::timeout, socket, [socket] {
                socket->write(".");
                socket->flush();
            });
            timer->start(200);
            break;
        }
        }
    }

    void sendGreeting(Connection* c)
    {
        finishStep(c, m_s->greeting);
    }

    void onReadyRead(Connection* c)
    {
        c->buffer += c->socket->readAll();
        for (;;) {
            if (c->closing)
                return;
            const qsizetype nl = c->buffer.indexOf('\n');
            if (nl < 0) {
                if (c->buffer.size() > kMaxCommandLine) {
                    fail(c, QStringLiteral("command line longer than %1 bytes").arg(kMaxCommandLine));
                }
                return;
            }
            QByteArray line = c->buffer.left(nl);
            c->buffer.remove(0, nl + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            if (c->quiet) {
                c->queued.append(line);
                c->quiet->start();
                QMutexLocker lock(&m_s->log.mutex);
                m_s->maxQueued = std::max(m_s->maxQueued, int(c->queued.size()));
                continue;
            }
            if (!processLine(c, line))
                return;
        }
    }

    // Records and answers one command; false once the connection is ending.
    bool processLine(Connection* c, const QByteArray& line)
    {
        if (c->closing)
            return false;
        m_s->log.record(line);
        if (c->hung)
            return true;
        if (c->next >= m_s->steps.size()) {
            fail(c, QStringLiteral("unexpected command after the script: ") + QString::fromLatin1(line));
            return false;
        }
        const Step& step = m_s->steps.at(c->next);
        if (!commandMatches(step.command, line)) {
            fail(c, QStringLiteral("expected \"%1\", got \"%2\"")
                        .arg(QString::fromLatin1(step.command), QString::fromLatin1(line)));
            return false;
        }
        {
            QMutexLocker lock(&m_s->log.mutex);
            m_s->highestStepDone = std::max(m_s->highestStepDone, c->next);
        }
        ++c->next;
        m_s->resumeAt = c->next;
        finishStep(c, step);
        return !c->closing;
    }

    void fail(Connection* c, const QString& why)
    {
        m_s->log.mismatched(why);
        send(c->socket, "-ERR unexpected command\r\n");
        c->closing = true;
        c->socket->disconnectFromHost();
    }

    Shared* m_s;
};

FakePop3Server::FakePop3Server() : m_shared(std::make_unique<Shared>()) {}

FakePop3Server::~FakePop3Server() = default;

void FakePop3Server::greeting(const QByteArray& line, Then then)
{
    m_shared->greeting = Step{QByteArray(), line, then};
}

void FakePop3Server::expect(const QByteArray& command, const QByteArray& reply, Then then)
{
    m_shared->steps.append(Step{command, reply, then});
}

void FakePop3Server::setChunkSize(int bytes)
{
    m_shared->chunkSize = bytes;
}

void FakePop3Server::setPipelining(bool on)
{
    m_shared->pipelining = on;
}

void FakePop3Server::setDropQueued(bool on)
{
    m_shared->dropQueued = on;
}

void FakePop3Server::setContinueScript(bool on)
{
    m_shared->continueScript = on;
}

int FakePop3Server::maxQueued() const
{
    QMutexLocker lock(&m_shared->log.mutex);
    return m_shared->maxQueued;
}

void FakePop3Server::setTls(const QString& certPath, const QString& keyPath, bool implicitTls)
{
    m_shared->certPath = certPath;
    m_shared->keyPath = keyPath;
    m_shared->implicitTls = implicitTls;
}

bool FakePop3Server::start()
{
    if (!m_server.isStarted())
        m_port = m_server.start(new Worker(m_shared.get()));
    return m_port != 0;
}

quint16 FakePop3Server::port() const
{
    return m_port;
}

QString FakePop3Server::serverText() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QList<QByteArray> FakePop3Server::received() const
{
    return m_shared->log.receivedCommands();
}

QString FakePop3Server::mismatch() const
{
    return m_shared->log.firstMismatch();
}

bool FakePop3Server::scriptCompleted() const
{
    QMutexLocker lock(&m_shared->log.mutex);
    return m_shared->highestStepDone + 1 >= m_shared->steps.size();
}

int FakePop3Server::connections() const
{
    QMutexLocker lock(&m_shared->log.mutex);
    return m_shared->log.connections;
}

QString FakePop3Server::tlsError() const
{
    QMutexLocker lock(&m_shared->log.mutex);
    return m_shared->tlsError;
}

bool FakePop3Server::waitForDisconnect(int timeoutMs)
{
    return m_shared->log.waitForDisconnect(timeoutMs);
}

} // namespace qp::test
