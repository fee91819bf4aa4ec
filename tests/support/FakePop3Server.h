#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

#include "tests/support/ScriptedServer.h"

namespace qp::test {

// A scripted POP3 server on 127.0.0.1, port 0, for tests of a client that
// blocks (waitFor…): it runs in a thread of its own, so it answers while the
// test's thread is stuck inside the client.
//
// The script is a greeting and a list of steps. Each step names the command
// line it expects (without CRLF; a trailing '*' matches any rest) and the
// bytes it answers. A command that does not match is recorded as a mismatch,
// answered "-ERR unexpected command" and the connection is closed. Every
// connection plays the script from the start.
//
//   qp::test::FakePop3Server server;
//   server.greeting("+OK ready");
//   server.expect("CAPA", "+OK\r\nUSER\r\n.");
//   server.expect("USER alice", "+OK");
//   server.expect("PASS secret", "-ERR [AUTH] no", FakePop3Server::Then::Close);
//   QVERIFY(server.start());
//   ... client connects to server.serverText() ...
//   QCOMPARE(server.mismatch(), QString());
//
// A reply is sent as given, with CRLF appended when it does not already end
// in a line feed (pass a multi-line reply with its own "\r\n.\r\n").
class FakePop3Server {
public:
    enum class Then {
        Continue, // wait for the next command
        Close,    // send the reply, then close the connection
        Hang,     // send the reply, then never answer again (connection stays open)
        StartTls, // send the reply, then start the server side of TLS
        Trickle,  // send the reply without a line end, then one more byte every
                  // 200 ms, never a line end, until the client hangs up
    };

    FakePop3Server();
    ~FakePop3Server();
    FakePop3Server(const FakePop3Server&) = delete;
    FakePop3Server& operator=(const FakePop3Server&) = delete;

    // --- script, set before start() ---
    // The first thing sent on a connection. An empty line with Then::Hang
    // gives a server that accepts and never speaks.
    void greeting(const QByteArray& line, Then then = Then::Continue);
    void expect(const QByteArray& command, const QByteArray& reply, Then then = Then::Continue);
    // Replies go out in pieces of this many bytes, each written and flushed
    // on its own with a short pause, so the client sees them split.
    void setChunkSize(int bytes);
    // Pipelining mode: commands are not answered as they come but queued
    // until the client has sent nothing for 20 ms, then answered in order,
    // so that every command a client sends ahead is seen waiting.
    // maxQueued() tells the most that waited at once.
    void setPipelining(bool on);
    // With pipelining: of the commands that waited together only the first
    // is answered; the others are recorded and dropped, as some servers
    // that offer PIPELINING do.
    void setDropQueued(bool on);
    // A new connection takes the script up where the last one left it, so
    // one script can hold several sessions (each from its greeting on).
    void setContinueScript(bool on);
    // Certificate and key (PEM, EC or RSA) for TLS. implicitTls: the
    // connection is TLS from its first byte (POP3S); otherwise TLS starts only
    // at a Then::StartTls step.
    void setTls(const QString& certPath, const QString& keyPath, bool implicitTls);

    // Listens on 127.0.0.1 port 0.
    bool start();
    quint16 port() const;
    QString serverText() const; // "127.0.0.1:<port>"

    // --- results, safe to read from the test thread at any time ---
    QList<QByteArray> received() const; // command lines, in order, without CRLF
    QString mismatch() const;           // first unexpected command; empty when none
    bool scriptCompleted() const;       // every step was answered at least once
    int connections() const;            // connections accepted so far
    int maxQueued() const;              // pipelining mode: most commands waiting at once
    QString tlsError() const;           // server-side handshake failure, if any
    // Waits until the client's connection has ended (closed by either side).
    bool waitForDisconnect(int timeoutMs);

    struct Step {
        QByteArray command;
        QByteArray reply;
        Then then = Then::Continue;
    };
    struct Shared;

private:
    class Worker;
    std::unique_ptr<Shared> m_shared;
    ServerThread m_server; // ends before m_shared, which its worker uses
    quint16 m_port = 0;
};

} // namespace qp::test
