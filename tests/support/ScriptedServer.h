#pragma once
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

class QSslSocket;
class QTcpServer;

namespace qp::test {

// The part the scripted fake servers (FakePop3Server, FakeImapServer) share:
// what the server's thread records for the test's thread, the thread the
// listening server runs on, and the few steps both protocols take alike.

// Written on the server's thread, read on the test's; every field under
// mutex (a server keeps its own results under the same mutex).
struct ServerLog {
    mutable QMutex mutex;
    QWaitCondition changed;
    QList<QByteArray> received;
    QString mismatch; // the first one; empty when none
    int connections = 0;
    int disconnects = 0;

    void record(const QByteArray& command);
    void mismatched(const QString& why);
    QList<QByteArray> receivedCommands() const;
    QString firstMismatch() const;
    // Waits until every connection accepted so far has ended (and one was).
    bool waitForDisconnect(int timeoutMs);
};

// A listening server on a thread of its own, so it answers while the test's
// thread is blocked inside a client.
class ServerThread {
public:
    ServerThread() = default;
    ~ServerThread();
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    // Takes server over, moves it to the thread and listens on 127.0.0.1,
    // port 0: the port, or 0 when listening failed.
    quint16 start(QTcpServer* server);
    bool isStarted() const { return m_server != nullptr; }

private:
    QThread m_thread;
    QTcpServer* m_server = nullptr;
};

// An accepted connection as a socket owned by server, counted in log, also
// when it ends (the socket is then deleted, and with it whatever hangs on
// it); null when the descriptor cannot be taken.
QSslSocket* acceptConnection(QTcpServer* server, qintptr descriptor, ServerLog* log);

// A reply with CRLF appended unless it is empty or ends in a line feed.
QByteArray withLineEnd(const QByteArray& reply);

// A command as a script step expects it: equal, or, for a step ending in
// '*', starting with what comes before the '*'.
bool commandMatches(const QByteArray& expected, const QByteArray& command);

// Starts the server side of TLS with a PEM certificate and key (EC or RSA);
// false when they cannot be read (nothing is started then).
bool startServerTls(QSslSocket* socket, const QString& certPath, const QString& keyPath);

} // namespace qp::test
