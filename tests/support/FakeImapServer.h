#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

#include "tests/support/ScriptedServer.h"

namespace qp::test {

// A scripted IMAP server on 127.0.0.1, port 0, for the faults a real server
// does not produce. Like FakePop3Server it runs in a thread of its own, so
// it answers while the test's thread is blocked inside the client.
//
// Each step names the command it expects without the client's tag (a
// trailing '*' matches any rest) and the reply; "{tag}" in a reply stands
// for the tag of the command being answered. A literal the client sends
// ("{n}" at a line end) is taken in: the server answers "+ go ahead" unless
// it was "{n+}", and the command is recorded and matched with the literal's
// bytes in place. A command that does not match is recorded as a mismatch,
// answered "* BYE unexpected command" and the connection closed.
//
//   qp::test::FakeImapServer server;
//   server.greeting("* OK [CAPABILITY IMAP4rev1] ready");
//   server.expect("LOGIN *", "{tag} OK logged in");
//   server.expect("EXAMINE INBOX", "* 3 EXISTS\r\n{tag} OK [READ-ONLY] done");
//   QVERIFY(server.start());
//   ... client connects to server.serverText() ("imap://127.0.0.1:<port>") ...
//   QCOMPARE(server.mismatch(), QString());
class FakeImapServer {
public:
    enum class Then {
        Continue, // wait for the next command
        Close,    // send the reply, then close the connection
        Hang,     // send the reply, then never answer again
        StartTls, // send the reply, then start the server side of TLS
        Flood,    // send the reply, then send it again and again until the client hangs up
    };

    FakeImapServer();
    ~FakeImapServer();
    FakeImapServer(const FakeImapServer&) = delete;
    FakeImapServer& operator=(const FakeImapServer&) = delete;

    void greeting(const QByteArray& reply);
    void expect(const QByteArray& command, const QByteArray& reply, Then then = Then::Continue);
    // A new connection takes the script up where the last one left it, so
    // one script can hold several sessions (each from the greeting on).
    void setContinueScript(bool on);
    // Certificate and key (PEM) for STARTTLS steps.
    void setTls(const QString& certPath, const QString& keyPath);

    bool start();
    quint16 port() const { return m_port; }
    QString serverText() const; // "imap://127.0.0.1:<port>"

    // Commands as received, tags removed, literals in place, in order.
    QList<QByteArray> received() const;
    QString mismatch() const;
    // Waits until every connection accepted so far has ended.
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
