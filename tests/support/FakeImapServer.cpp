#include "FakeImapServer.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

namespace qp::test {

struct FakeImapServer::Shared {
    QByteArray greeting = "* OK fake IMAP server ready";
    QList<Step> steps;
    QString certPath, keyPath;
    ServerLog log;
    bool continueScript = false;
    int resumeAt = 0; // with continueScript: where the next connection starts
};

namespace {

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
        QSslSocket* socket = acceptConnection(this, descriptor, &m_s->log);
        if (!socket)
            return;
        auto c = std::make_shared<Connection>();
        c->socket = socket;
        c->next = m_s->continueScript ? m_s->resumeAt : 0;
        QObject::connect(socket, &QSslSocket::readyRead, socket, [this, c] { onReadyRead(c.get()); });
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
        QByteArray lastTag;    // of the last tagged command
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
        // A line without a space answers a continuation: the reply goes
        // under the tag of the command it continues.
        const QByteArray tag = space < 0 ? c->lastTag : command.left(space);
        c->lastTag = tag;
        const QByteArray untagged = space < 0 ? command : command.mid(space + 1);
        m_s->log.record(untagged);
        if (c->next >= m_s->steps.size())
            return fail(c, QStringLiteral("unexpected command after the script: ") + QString::fromLatin1(untagged));
        const Step& step = m_s->steps.at(c->next++);
        m_s->resumeAt = c->next;
        if (!commandMatches(step.command, untagged))
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
            if (!startServerTls(c->socket, m_s->certPath, m_s->keyPath))
                c->socket->abort();
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

    void fail(Connection* c, const QString& why)
    {
        m_s->log.mismatched(why);
        c->socket->write("* BYE unexpected command\r\n");
        c->done = true;
        c->socket->disconnectFromHost();
    }

    Shared* m_s;
};

FakeImapServer::FakeImapServer() : m_shared(std::make_unique<Shared>()) {}

FakeImapServer::~FakeImapServer() = default;

void FakeImapServer::greeting(const QByteArray& reply)
{
    m_shared->greeting = reply;
}

void FakeImapServer::expect(const QByteArray& command, const QByteArray& reply, Then then)
{
    m_shared->steps.append(Step{command, reply, then});
}

void FakeImapServer::setContinueScript(bool on)
{
    m_shared->continueScript = on;
}

void FakeImapServer::setTls(const QString& certPath, const QString& keyPath)
{
    m_shared->certPath = certPath;
    m_shared->keyPath = keyPath;
}

bool FakeImapServer::start()
{
    if (!m_server.isStarted())
        m_port = m_server.start(new Worker(m_shared.get()));
    return m_port != 0;
}

QString FakeImapServer::serverText() const
{
    return QStringLiteral("imap://127.0.0.1:%1").arg(m_port);
}

QList<QByteArray> FakeImapServer::received() const
{
    return m_shared->log.receivedCommands();
}

QString FakeImapServer::mismatch() const
{
    return m_shared->log.firstMismatch();
}

bool FakeImapServer::waitForDisconnect(int timeoutMs)
{
    return m_shared->log.waitForDisconnect(timeoutMs);
}

} // namespace qp::test
