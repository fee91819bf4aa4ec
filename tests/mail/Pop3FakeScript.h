#pragma once
// What the POP3 tests against a scripted server share: short time-outs, the
// usual login script, the library's last text, a name look-up that answers
// at once, a thread pestered by signals, and a check walked as the check
// cycle walks it.
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <pthread.h>
#include <sys/mount.h>
#include <thread>

#include "mail/NMail.h"
#include "mail/TlsMemory.h"
#include "platform/AtomicFile.h"
#include "tests/support/FakePop3Server.h"
#include "tests/support/TestCertificates.h"

namespace pop3fake {

using qp::NMail;
using qp::Pop3Endpoint;
using qp::test::FakePop3Server;
using Then = FakePop3Server::Then;

inline const QByteArray kCapa = "+OK\r\nTOP\r\nUSER\r\n.\r\n";

// Short bounds: the scripted server answers at once or never.
inline qp::Pop3Timeouts quickTimeouts(int replyMs = 2000)
{
    qp::Pop3Timeouts t;
    t.connectMs = 3000;
    t.replyMs = replyMs;
    t.wholeReplyMs = 10000;
    return t;
}

// Scripts the usual opening up to a successful USER/PASS login.
inline void scriptLogin(FakePop3Server& s, const QByteArray& capa = kCapa)
{
    s.expect("CAPA", capa);
    s.expect("USER alice", "+OK");
    s.expect("PASS secret", "+OK Logged in.");
    s.expect("CAPA", capa);
}

inline QString lastMessage(NMail& mail)
{
    QString text;
    int size = 8192;
    mail.NMailGetMessage(0, text, size);
    return text;
}

// A name look-up that answers at once with these addresses, or with error.
inline qp::Pop3Client::NameLookup lookupAnswering(const QStringList& addresses, int error = QHostInfo::NoError,
                                           const QString& errorString = QString())
{
    return [=](const QString&) {
        QHostInfo info;
        QList<QHostAddress> list;
        for (const QString& a : addresses)
            list << QHostAddress(a);
        info.setAddresses(list);
        info.setError(QHostInfo::HostInfoError(error));
        info.setErrorString(errorString);
        return info;
    };
}

struct Texts {
    QString subject, date, from, header, body;
};

// Interrupts the test's thread with a signal every few milliseconds, as a
// child process ending or a timer signal would, until stopped.
class SignalPester {
public:
    SignalPester(int everyMs, int times) : m_target(pthread_self())
    {
        struct sigaction ignore {};
        ignore.sa_handler = [](int) {};
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGUSR1, &ignore, &m_previous); // no SA_RESTART
        m_thread = std::thread([this, everyMs, times] {
            for (int i = 0; i < times && !m_stop; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
                if (!m_stop && pthread_kill(m_target, SIGUSR1) == 0)
                    ++m_sent;
            }
        });
    }
    ~SignalPester() { stop(); }
    // Stops and returns how many signals were sent.
    int stop()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
            sigaction(SIGUSR1, &m_previous, nullptr);
        }
        return m_sent;
    }

private:
    pthread_t m_target;
    struct sigaction m_previous {};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_sent{0};
    std::thread m_thread;
};

inline QByteArray top(const QByteArray& from)
{
    return "+OK\r\nReceived: x\r\nFrom: " + from + "\r\n\r\n.\r\n";
}

// A check as the check cycle walks it: LOGIN-DELAY from CAPA, then each
// message's header text ("" when it fails or its size is not 100); empty
// when the login fails.
inline QStringList check(NMail& mail, const QString& server, int count)
{
    QStringList got;
    const int h = mail.NMailPop3Connect(server);
    if (mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0) == count) {
        got << QString::number(mail.loginDelaySeconds(h));
        mail.planWalk(h, count);
        Texts t;
        for (int m = 1; m <= count; ++m)
            got << (mail.NMailPop3GetMailStatus(h, m, t.subject, t.date, t.from, t.header, 0) == 0
                            && mail.NMailPop3GetMailSize(h, m) == 100
                        ? t.header : QString());
    }
    mail.NMailPop3Close(h);
    return got;
}

// A test program with its own CA in a temporary folder: a certificate for
// loopback ("good") and one for another host ("wronghost").
class CaFixture : public QObject {
    Q_OBJECT

protected:
    QTemporaryDir m_dir;
    qp::test::TestCa m_ca;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_ca.create(m_dir.path())
                     && m_ca.issue(QStringLiteral("good"), {QStringLiteral("localhost"), QStringLiteral("127.0.0.1")})
                     && m_ca.issue(QStringLiteral("wronghost"), {QStringLiteral("mail.example.org")}),
                 qPrintable(m_ca.errorString()));
    }
};

} // namespace pop3fake
