// The mail-library calls against a scripted server that misbehaves on
// purpose: every wait must end, every failure must give the caller a
// negative result and a Japanese text, and nothing may ever delete mail.
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

#include "mail/NMailLayer.h"
#include "mail/TlsMemory.h"
#include "platform/AtomicFile.h"
#include "tests/support/FakePop3Server.h"
#include "tests/support/TestCertificates.h"

using qp::NMail;
using qp::Pop3Endpoint;
using qp::test::FakePop3Server;
using Then = FakePop3Server::Then;

namespace {

const QByteArray kCapa = "+OK\r\nTOP\r\nUSER\r\n.\r\n";

// Short bounds: the scripted server answers at once or never.
qp::Pop3Timeouts quickTimeouts(int replyMs = 2000)
{
    qp::Pop3Timeouts t;
    t.connectMs = 3000;
    t.replyMs = replyMs;
    t.wholeReplyMs = 10000;
    return t;
}

// Scripts the usual opening up to a successful USER/PASS login.
void scriptLogin(FakePop3Server& s, const QByteArray& capa = kCapa)
{
    s.expect("CAPA", capa);
    s.expect("USER alice", "+OK");
    s.expect("PASS secret", "+OK Logged in.");
    s.expect("CAPA", capa);
}

QString lastMessage(NMail& mail)
{
    QString text;
    int size = 8192;
    mail.NMailGetMessage(0, text, size);
    return text;
}

// A name look-up that answers at once with these addresses, or with error.
qp::Pop3Client::NameLookup lookupAnswering(const QStringList& addresses, int error = QHostInfo::NoError,
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

QByteArray top(const QByteArray& from)
{
    return "+OK\r\nReceived: x\r\nFrom: " + from + "\r\n\r\n.\r\n";
}

// A check as the check cycle walks it: LOGIN-DELAY from CAPA, then each
// message's header text ("" when it fails or its size is not 100); empty
// when the login fails.
QStringList check(NMail& mail, const QString& server, int count)
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

} // namespace

class Pop3FakeTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    qp::test::TestCa m_ca;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_ca.create(m_dir.path()), qPrintable(m_ca.errorString()));
        QVERIFY2(m_ca.issue(QStringLiteral("good"), {QStringLiteral("localhost"), QStringLiteral("127.0.0.1")}),
                 qPrintable(m_ca.errorString()));
        QVERIFY(m_ca.issue(QStringLiteral("wronghost"), {QStringLiteral("mail.example.org")}));
    }

    // A whole check as the check cycle makes it, with replies whole and in
    // one-byte pieces; the caller's buffers get decoded texts.
    void checkSession_data()
    {
        QTest::addColumn<int>("chunk");
        QTest::newRow("whole replies") << 0;
        QTest::newRow("one-byte pieces") << 1;
    }
    void checkSession()
    {
        QFETCH(int, chunk);
        FakePop3Server server;
        server.setChunkSize(chunk);
        scriptLogin(server);
        server.expect("STAT", "+OK 2 350");
        server.expect("TOP 1 0", "+OK\r\nFrom: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>\r\n"
                                 "Subject: =?UTF-8?B?5pel5pys?=\r\nDate: Mon, 7 Dec 2026 08:00:00 +0900\r\n\r\n.\r\n");
        server.expect("LIST 1", "+OK 1 120");
        server.expect("TOP 2 0", "-ERR no such message");
        server.expect("LIST 2", "-ERR no such message");
        server.expect("QUIT", "+OK bye", Then::Close);
        QVERIFY(server.start());

        NMail mail;
        mail.setTimeouts(quickTimeouts());
        mail.NMailInitializeWinSock();
        mail.NMailSetOption(NMail::kOptionTextBufferSize, 8192);
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0), 2);

        Texts t;
        QCOMPARE(mail.NMailPop3GetMailStatus(h, 1, t.subject, t.date, t.from, t.header, 0), 0);
        QCOMPARE(t.from, QStringLiteral("山田 <yamada@example.jp>"));
        QCOMPARE(t.subject, QStringLiteral("日本"));
        QCOMPARE(t.date, QStringLiteral("Mon, 7 Dec 2026 08:00:00 +0900"));
        QVERIFY(t.header.contains(QStringLiteral("From: 山田")));
        QCOMPARE(mail.NMailPop3GetMailSize(h, 1), 120);
        // The mail call sends nothing: no RETR, which marks mail read.
        QCOMPARE(mail.NMailPop3GetMail(h, 1, t.subject, t.date, t.from, t.header, t.body, 0, 0), 0);
        QCOMPARE(t.from, QStringLiteral("山田 <yamada@example.jp>"));
        QVERIFY(t.body.isEmpty());

        // A message the server cannot give: negative, buffers cleared, and
        // the caller carries on with the same connection.
        QVERIFY(mail.NMailPop3GetMailStatus(h, 2, t.subject, t.date, t.from, t.header, 0) < 0);
        QVERIFY(t.from.isEmpty());
        QVERIFY(mail.NMailPop3GetMailSize(h, 2) < 0);
        QVERIFY(mail.NMailPop3GetMail(h, 2, t.subject, t.date, t.from, t.header, t.body, 0, 0) < 0);
        QVERIFY(lastMessage(mail).contains(QStringLiteral("no such message")));
        QCOMPARE(mail.NMailPop3Close(h), 0);
        QVERIFY(mail.NMailPop3Close(h) < 0); // the handle is gone

        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
        QVERIFY(server.scriptCompleted());
        for (const QByteArray& c : server.received())
            QVERIFY2(!c.startsWith("DELE") && !c.startsWith("RETR"), c.constData());
    }

    // With PIPELINING offered and the walk planned, the commands go out
    // ahead of the calls, bounded, in the order of the one-at-a-time walk,
    // QUIT behind the last; a -ERR mid-way fails only its call; a server
    // that hangs up mid-way fails every later call at once.
    void pipelinedWalk_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("how");
        QTest::newRow("whole walk") << 200 << 40 << QString();
        QTest::newRow("2 MB headers") << 5 << 2000000 << QString();
        QTest::newRow("-ERR for message 5") << 10 << 40 << QStringLiteral("err");
        QTest::newRow("hang-up at LIST 7") << 10 << 40 << QStringLiteral("close");
        QTest::newRow("back to message 1") << 10 << 40 << QStringLiteral("leave");
        QTest::newRow("walk ends after message 2") << 10 << 40 << QStringLiteral("early");
    }
    void pipelinedWalk()
    {
        QFETCH(int, count);
        QFETCH(int, size);
        QFETCH(QString, how);
        FakePop3Server server;
        server.setPipelining(true);
        scriptLogin(server, "+OK\r\nTOP\r\nUSER\r\nPIPELINING\r\n.\r\n");
        server.expect("STAT", "+OK " + QByteArray::number(count) + ' ' + QByteArray::number(qint64(count) * size));
        // A header of any size (here one of "size" bytes) still has its sender read.
        auto from = [size](int m) {
            return (size > 1000 ? "X-Pad: " + QByteArray(size, 'p') + "\r\n" : "") + "From: s" + QByteArray::number(m) + "@x.jp\r\n";
        };
        for (int m = 1; m <= count; ++m) {
            const QByteArray n = QByteArray::number(m);
            const bool err = how == QLatin1String("err") && m == 5;
            server.expect("TOP " + n + " 0", err ? "-ERR gone" : "+OK\r\n" + from(m) + "\r\n.\r\n");
            if (how == QLatin1String("close") && m == 7) {
                server.expect("LIST " + n, "", Then::Close);
                break;
            }
            server.expect("LIST " + n, err ? "-ERR gone" : "+OK " + n + ' ' + QByteArray::number(size));
        }
        server.expect("QUIT", "+OK", Then::Close);
        QVERIFY(server.start());

        NMail mail;
        mail.setTimeouts(quickTimeouts());
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0), count);
        mail.planWalk(h, count);
        QVERIFY(mail.client(h)->isPipelining());
        Texts t;
        const int walked = how == QLatin1String("early") ? 2 : count;
        for (int m = 1; m <= walked; ++m) {
            const bool gone = how == QLatin1String("err") && m == 5;
            const bool closed = how == QLatin1String("close") && m >= 7;
            const bool headerRead = !gone && !(closed && m > 7);
            QCOMPARE(mail.NMailPop3GetMailStatus(h, m, t.subject, t.date, t.from, t.header, 0) == 0, headerRead);
            if (headerRead)
                QCOMPARE(t.from, QStringLiteral("s%1@x.jp").arg(m));
            const int listed = mail.NMailPop3GetMailSize(h, m);
            if (gone || closed) {
                QVERIFY(listed < 0);
                QVERIFY2(lastMessage(mail).contains(gone ? QStringLiteral("gone") : QStringLiteral("接続が切れました")),
                         qPrintable(lastMessage(mail)));
                QCOMPARE(mail.isSessionUsable(h), !closed);
                continue; // as the check does: no download without a size
            }
            QCOMPARE(listed, size);
            QCOMPARE(mail.NMailPop3GetMail(h, m, t.subject, t.date, t.from, t.header, t.body, 0, 0), 0);
            QCOMPARE(t.from, QStringLiteral("s%1@x.jp").arg(m));
        }
        // QUIT went out behind the walk's last command: a call back to
        // the start fails without a word on the wire.
        if (how == QLatin1String("leave"))
            QVERIFY(mail.NMailPop3GetMailSize(h, 1) < 0);
        // Closing drops the replies still on their way, then QUIT is answered.
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(mail.NMailPop3Close(h), 0);
        QVERIFY(clock.elapsed() < 2000);
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
        if (how != QLatin1String("close")) {
            QVERIFY(server.scriptCompleted());
            QCOMPARE(server.received().last(), QByteArray("QUIT"));
        }
        QVERIFY2(server.maxQueued() > 1, "nothing was sent ahead");
        QVERIFY(server.maxQueued() <= qp::Pop3Client::kMaxCommandsAhead);
    }

    // RFC 1939's own example: timestamp, password and digest.
    void apopLogin()
    {
        FakePop3Server server;
        server.greeting("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>");
        server.expect("CAPA", "-ERR unknown command"); // an old server: no CAPA
        server.expect("APOP mrose c4c9334bac560ecc979e58001b3e22fb", "+OK maildrop has 1 message (369 octets)");
        server.expect("STAT", "+OK 1 369");
        server.expect("TOP 1 0", "+OK\r\nFrom: x@example.jp\r\n\r\n.\r\n"); // no CAPA: TOP is tried
        server.expect("QUIT", "+OK", Then::Close);
        QVERIFY(server.start());

        NMail mail;
        mail.setTimeouts(quickTimeouts());
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("mrose"), QStringLiteral("tanstaaf"), -1), 1);
        Texts t;
        QCOMPARE(mail.NMailPop3GetMailStatus(h, 1, t.subject, t.date, t.from, t.header, 0), 0);
        QCOMPARE(t.from, QStringLiteral("x@example.jp"));
        mail.NMailPop3Close(h);
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
    }

    // ID and password go out as Shift-JIS bytes, and the APOP digest is
    // over those bytes; a character Shift-JIS lacks stops the login before
    // anything is sent.
    void shiftJisAccount_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<int>("apop");
        QTest::addColumn<QList<QByteArray>>("sent");
        const QByteArray timestamp = "<1896.697170952@dbc.mtview.ca.us>";
        const QByteArray digest =
            QCryptographicHash::hash(timestamp + "\x83p\x83X", QCryptographicHash::Md5).toHex();
        QTest::newRow("USER/PASS") << QStringLiteral("山田") << 0
                                   << QList<QByteArray>{"CAPA", "USER \x8eR\x93" "c", "PASS \x83p\x83X", "CAPA", "STAT", "QUIT"};
        QTest::newRow("APOP") << QStringLiteral("山田") << -1
                              << QList<QByteArray>{"CAPA", "APOP \x8eR\x93" "c " + digest, "CAPA", "STAT", "QUIT"};
        QTest::newRow("not in Shift-JIS") << QStringLiteral("山田\U0001F600") << 0 << QList<QByteArray>{"CAPA", "QUIT"};
    }
    void shiftJisAccount()
    {
        QFETCH(QString, user);
        QFETCH(int, apop);
        QFETCH(QList<QByteArray>, sent);
        FakePop3Server server;
        server.greeting("+OK ready <1896.697170952@dbc.mtview.ca.us>");
        for (const QByteArray& c : sent)
            server.expect(c, c == "STAT" ? "+OK 0 0" : c == "CAPA" ? kCapa : QByteArray("+OK"),
                          c == "QUIT" ? Then::Close : Then::Continue);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        const int count = mail.NMailPop3Authenticate(h, user, QStringLiteral("パス"), apop);
        QVERIFY2(count == (sent.size() > 2 ? 0 : -1), qPrintable(lastMessage(mail) + server.mismatch()));
        if (count < 0)
            QVERIFY2(lastMessage(mail).contains(QStringLiteral("Shift-JIS")), qPrintable(lastMessage(mail)));
        mail.NMailPop3Close(h);
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
        QCOMPARE(server.received(), sent);
    }

    // No usable timestamp: the password is never sent in any form.
    void apopWithoutUsableTimestamp_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QString>("says");
        QTest::newRow("none") << QByteArray("+OK ready") << QStringLiteral("APOP に対応していません");
        QTest::newRow("no at sign") << QByteArray("+OK <1234.5678>") << QStringLiteral("不正");
        QTest::newRow("space inside") << QByteArray("+OK <12 34@host>") << QStringLiteral("不正");
        QTest::newRow("not ASCII") << QByteArray("+OK <12\xe3\x81\x82@host>") << QStringLiteral("不正");
        QTest::newRow("unclosed") << QByteArray("+OK <1234@host") << QStringLiteral("不正");
        QTest::newRow("empty local part") << QByteArray("+OK <@host>") << QStringLiteral("不正");
    }
    void apopWithoutUsableTimestamp()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QString, says);
        FakePop3Server server;
        server.greeting(greeting);
        server.expect("CAPA", kCapa);
        server.expect("QUIT", "+OK", Then::Close);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        QVERIFY(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), -1) < 0);
        QVERIFY2(lastMessage(mail).contains(says), qPrintable(lastMessage(mail)));
        mail.NMailPop3Close(h);
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
        QCOMPARE(server.received(), (QList<QByteArray>{"CAPA", "QUIT"}));
    }

    // -ERR at each step of connect and login: -1 or a negative count, the
    // server's own words in the text (Japanese servers write them in
    // Shift_JIS or ISO-2022-JP), and QUIT on the way out.
    void errAtEachStep_data()
    {
        QTest::addColumn<int>("failAt"); // 0 greeting, 1 USER, 2 PASS, 3 STAT
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("says");
        QTest::newRow("greeting") << 0 << QByteArray("-ERR too many connections")
                                  << QStringLiteral("接続を断りました（too many connections）");
        QTest::newRow("USER") << 1 << QByteArray("-ERR no such user") << QStringLiteral("ログインできません（no such user）");
        QTest::newRow("PASS") << 2 << QByteArray("-ERR [AUTH] Authentication failed.")
                              << QStringLiteral("ログインできません（[AUTH] Authentication failed.）");
        QTest::newRow("PASS in Shift_JIS")
            << 2 << QByteArray("-ERR \x83p\x83X\x83\x8f\x81[\x83h\x82\xaa\x88\xe1\x82\xa2\x82\xdc\x82\xb7")
            << QStringLiteral("ログインできません（パスワードが違います）");
        QTest::newRow("PASS in ISO-2022-JP")
            << 2 << QByteArray("-ERR \x1b$B%Q%9%o!<%I$,0c$$$^$9\x1b(B")
            << QStringLiteral("ログインできません（パスワードが違います）");
        QTest::newRow("STAT") << 3 << QByteArray("-ERR [IN-USE] locked")
                              << QStringLiteral("メールの数を調べられません（[IN-USE] locked）");
        // A busy mailbox is no wrong password: the caller tries again later.
        QTest::newRow("PASS [IN-USE]") << 2 << QByteArray("-ERR [IN-USE] Mailbox locked")
                                       << QStringLiteral("メールボックスが使用中のため、ログインできません（[IN-USE]");
        QTest::newRow("PASS [LOGIN-DELAY]") << 2 << QByteArray("-ERR [LOGIN-DELAY] wait")
                                            << QStringLiteral("前回のログインから間がないため");
    }
    void errAtEachStep()
    {
        QFETCH(int, failAt);
        QFETCH(QByteArray, reply);
        QFETCH(QString, says);
        FakePop3Server server;
        if (failAt == 0) {
            server.greeting(reply, Then::Close);
        } else {
            server.expect("CAPA", kCapa);
            server.expect("USER alice", failAt == 1 ? reply : "+OK");
            if (failAt >= 2)
                server.expect("PASS secret", failAt == 2 ? reply : "+OK");
            if (failAt >= 3) {
                server.expect("CAPA", kCapa);
                server.expect("STAT", reply);
            }
            server.expect("QUIT", "+OK", Then::Close);
        }
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        const int h = mail.NMailPop3Connect(server.serverText());
        if (failAt == 0) {
            QCOMPARE(h, -1);
        } else {
            QVERIFY(h > 0);
            QVERIFY(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0) < 0);
            QCOMPARE(mail.lastLoginWasBusy(), reply.startsWith("-ERR [") && failAt == 2 && !reply.contains("AUTH"));
            QCOMPARE(mail.NMailPop3Close(h), 0);
        }
        QVERIFY2(lastMessage(mail).contains(says), qPrintable(lastMessage(mail)));
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
        QVERIFY(server.scriptCompleted());
    }

    void malformedNumbers_data()
    {
        QTest::addColumn<QByteArray>("statReply");
        QTest::addColumn<QByteArray>("listReply");
        QTest::newRow("STAT word") << QByteArray("+OK two 100") << QByteArray();
        QTest::newRow("STAT negative") << QByteArray("+OK -1 0") << QByteArray();
        QTest::newRow("STAT over 32 bits") << QByteArray("+OK 4294967297 0") << QByteArray();
        QTest::newRow("STAT one number") << QByteArray("+OK 3") << QByteArray();
        QTest::newRow("LIST size word") << QByteArray("+OK 1 10") << QByteArray("+OK 1 big");
        QTest::newRow("LIST negative size") << QByteArray("+OK 1 10") << QByteArray("+OK 1 -5");
        QTest::newRow("LIST other message") << QByteArray("+OK 1 10") << QByteArray("+OK 2 10");
        QTest::newRow("LIST size over 32 bits") << QByteArray("+OK 1 10") << QByteArray("+OK 1 3000000000");
    }
    void malformedNumbers()
    {
        QFETCH(QByteArray, statReply);
        QFETCH(QByteArray, listReply);
        FakePop3Server server;
        scriptLogin(server);
        server.expect("STAT", statReply);
        if (!listReply.isEmpty())
            server.expect("LIST 1", listReply);
        server.expect("QUIT", "+OK", Then::Close);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        const int count = mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0);
        if (listReply.isEmpty()) {
            QVERIFY(count < 0);
        } else {
            QCOMPARE(count, 1);
            QVERIFY(mail.NMailPop3GetMailSize(h, 1) < 0);
        }
        QVERIFY(!lastMessage(mail).isEmpty());
        mail.NMailPop3Close(h);
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
    }

    // A status line that never ends within the bound is refused, not stored.
    void lineOverLimit()
    {
        FakePop3Server server;
        scriptLogin(server);
        server.expect("STAT", "+OK " + QByteArray(100000, '9'));
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        QVERIFY(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0) < 0);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("行が長すぎます")), qPrintable(lastMessage(mail)));
        QCOMPARE(mail.NMailPop3Close(h), 0);
    }

    // The server goes silent: the call returns after the reply time-out
    // with a time-out text, and later calls on the handle fail at once.
    // Signals arriving meanwhile (each one interrupts the wait) do not
    // stretch it.
    void serverStopsAnswering()
    {
        FakePop3Server server;
        server.expect("CAPA", kCapa);
        server.expect("USER alice", "+OK");
        server.expect("PASS secret", "", Then::Hang);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts(300));
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        SignalPester pester(100, 60); // a signal every 100 ms, for at most 6 s
        QElapsedTimer clock;
        clock.start();
        QVERIFY(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0) < 0);
        QVERIFY(clock.elapsed() >= 250);
        QVERIFY2(clock.elapsed() < 5000, "the reply time-out did not end the wait");
        QVERIFY(pester.stop() > 0); // the wait really was interrupted
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("時間切れ")), qPrintable(lastMessage(mail)));
        clock.restart();
        QVERIFY(mail.NMailPop3GetMailSize(h, 1) < 0);
        QVERIFY(clock.elapsed() < 250);
        QCOMPARE(mail.NMailPop3Close(h), 0);
        // Close still said QUIT, without waiting for an answer.
        QTRY_VERIFY(server.received().contains("QUIT"));
    }

    // The session is over when QUIT goes out: a reply to it that never
    // comes, or that trickles in without end, holds the close for a few
    // seconds only, however long a reply may otherwise take.
    void quitReplyNeverEnds_data()
    {
        QTest::addColumn<bool>("trickle");
        QTest::newRow("silent") << false;
        QTest::newRow("trickling") << true;
    }
    void quitReplyNeverEnds()
    {
        QFETCH(bool, trickle);
        FakePop3Server server;
        scriptLogin(server);
        server.expect("STAT", "+OK 0 0");
        server.expect("QUIT", trickle ? "+OK bye" : "", trickle ? Then::Trickle : Then::Hang);
        QVERIFY(server.start());
        NMail mail;
        qp::Pop3Timeouts t;
        t.connectMs = 3000;
        t.replyMs = 10000;
        t.wholeReplyMs = 30000;
        mail.setTimeouts(t);
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0), 0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(mail.NMailPop3Close(h), 0);
        QVERIFY2(clock.elapsed() < 7000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
        QCOMPARE(server.received().last(), QByteArray("QUIT"));
    }

    void silentGreeting_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("trickle");
        QTest::newRow("plain") << false << false;
        QTest::newRow("TLS") << true << false;
        QTest::newRow("trickling") << false << true;
    }
    void silentGreeting()
    {
        QFETCH(bool, tls);
        QFETCH(bool, trickle);
        FakePop3Server server;
        if (tls)
            server.setTls(m_ca.certPath(QStringLiteral("good")), m_ca.keyPath(QStringLiteral("good")), true);
        server.greeting(trickle ? "+OK" : "", trickle ? Then::Trickle : Then::Hang);
        QVERIFY(server.start());
        NMail mail;
        qp::MailTimeouts t = quickTimeouts(300);
        t.greetingMs = 1000; // a greeting that never ends is bounded as a whole
        mail.setTimeouts(t);
        mail.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(mail.NMailPop3Connect(tls ? QStringLiteral("pop3s://localhost:%1").arg(server.port()) : server.serverText()), -1);
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(lastMessage(mail).contains(QStringLiteral("時間切れ")));
    }

    // The connection drops half-way through a header.
    void droppedDuringTop()
    {
        FakePop3Server server;
        scriptLogin(server);
        server.expect("STAT", "+OK 2 200");
        server.expect("LIST 1", "+OK 1 100");
        server.expect("TOP 1 0", "+OK\r\nFrom: a@example.jp\r\nSubject: first half of the li", Then::Close);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0), 2);
        QCOMPARE(mail.NMailPop3GetMailSize(h, 1), 100);
        Texts t;
        QVERIFY(mail.NMailPop3GetMail(h, 1, t.subject, t.date, t.from, t.header, t.body, 0, 0) < 0);
        QVERIFY(t.from.isEmpty());
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("接続が切れました")), qPrintable(lastMessage(mail)));
        // The next message fails at once with the same cause, no new wait.
        QVERIFY(mail.NMailPop3GetMailStatus(h, 2, t.subject, t.date, t.from, t.header, 0) < 0);
        QVERIFY(lastMessage(mail).contains(QStringLiteral("接続が切れました")));
        QCOMPARE(mail.NMailPop3Close(h), 0);
    }

    // Without TOP in CAPA no header is asked for, not even sent ahead (RETR
    // would mark the mail read); the size still is, and the user is told
    // once per run that senders cannot be recognised there.
    void noTopNoRetr()
    {
        FakePop3Server server;
        server.setPipelining(true);
        scriptLogin(server, "+OK\r\nUSER\r\nPIPELINING\r\n.\r\n");
        server.expect("STAT", "+OK 1 100");
        server.expect("LIST 1", "+OK 1 100");
        server.expect("QUIT", "+OK", Then::Close);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        const int h = mail.NMailPop3Connect(server.serverText());
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0), 1);
        QVERIFY(mail.takeServerNotice(h).contains(QStringLiteral("特定者")));
        QVERIFY(mail.takeServerNotice(h).isEmpty());
        mail.planWalk(h, 1);
        Texts t;
        QVERIFY(mail.NMailPop3GetMailStatus(h, 1, t.subject, t.date, t.from, t.header, 0) < 0);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("TOP に対応していない")), qPrintable(lastMessage(mail)));
        QCOMPARE(mail.NMailPop3GetMailSize(h, 1), 100);
        QCOMPARE(server.mismatch(), QString());
    }

    // A later check of the same mailbox asks only about messages it has not
    // seen (by UIDL), sent ahead, and hands out the same. A server that
    // drops what was sent ahead is spoken to one command at a time from then
    // on, in a new session of the same check.
    void headerMemoryAndDroppedPipeline()
    {
        FakePop3Server server;
        server.setPipelining(true);
        server.setContinueScript(true);
        const QByteArray uidls[] = {"1 u1\r\n2 u2\r\n3 u3\r\n", "1 u2\r\n2 u3\r\n3 u4\r\n"}; // u1 gone, u4 new
        for (int s = 0; s < 2; ++s) {
            scriptLogin(server, "+OK\r\nTOP\r\nUSER\r\nUIDL\r\nPIPELINING\r\nLOGIN-DELAY 60\r\n.\r\n");
            server.expect("STAT", "+OK 3 300");
            server.expect("UIDL", "+OK\r\n" + uidls[s] + ".\r\n");
            server.expect("LIST", "+OK\r\n1 100\r\n2 100\r\n3 100\r\n.\r\n");
            for (int m = s == 0 ? 1 : 3; m <= 3; ++m)
                server.expect("TOP " + QByteArray::number(m) + " 0", top(char('a' + m - 1 + s) + QByteArray("@x.jp")));
            server.expect("QUIT", "+OK", Then::Close);
        }
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts(500));
        QCOMPARE(check(mail, server.serverText(), 3), QStringList({"60", "From: a@x.jp", "From: b@x.jp", "From: c@x.jp"}));
        QCOMPARE(check(mail, server.serverText(), 3), QStringList({"60", "From: b@x.jp", "From: c@x.jp", "From: d@x.jp"}));
        QCOMPARE(server.mismatch(), QString());
        QCOMPARE(mail.headerMemory().count(), 3);

        FakePop3Server dropping;
        dropping.setPipelining(true);
        dropping.setDropQueued(true);
        dropping.setContinueScript(true);
        const QByteArray capa = "+OK\r\nTOP\r\nUSER\r\nPIPELINING\r\n.\r\n";
        dropping.expect("CAPA", capa);
        dropping.expect("USER alice", "+OK"); // PASS, sent with it, is dropped: a new session follows
        scriptLogin(dropping, capa);
        dropping.expect("STAT", "+OK 1 100");
        dropping.expect("TOP 1 0", top("a@x.jp"));
        dropping.expect("LIST 1", "+OK 1 100");
        dropping.expect("QUIT", "+OK", Then::Close);
        QVERIFY(dropping.start());
        QCOMPARE(check(mail, dropping.serverText(), 1), QStringList({"0", "From: a@x.jp"}));
        QCOMPARE(dropping.mismatch(), QString());
    }

    // What a check read survives a restart in an owner-only file: a new
    // library object asks only about the message whose UIDL now names one
    // of another size. A damaged, cut or oversized file is not
    // trusted (every header is read again) and is replaced.
    void headerMemoryFile_data()
    {
        QTest::addColumn<QString>("damage");
        for (const char* d : {"none", "flipped byte", "truncated", "oversized"})
            QTest::newRow(d) << QString::fromLatin1(d);
    }
    void headerMemoryFile()
    {
        QFETCH(QString, damage);
        const QString path = m_dir.filePath(QStringLiteral("headers-%1.dat").arg(damage));
        FakePop3Server server;
        server.setPipelining(true);
        server.setContinueScript(true);
        const bool trusted = damage == QLatin1String("none");
        for (int s = 0; s < 2; ++s) {
            scriptLogin(server, "+OK\r\nTOP\r\nUSER\r\nUIDL\r\nPIPELINING\r\n.\r\n");
            server.expect("STAT", "+OK 2 200");
            server.expect("UIDL", "+OK\r\n1 u1\r\n2 u2\r\n.\r\n");
            server.expect("LIST", s == 0 ? "+OK\r\n1 100\r\n2 100\r\n.\r\n" : "+OK\r\n1 100\r\n2 99\r\n.\r\n");
            if (s == 0 || !trusted)
                server.expect("TOP 1 0", top("a@x.jp"));
            server.expect("TOP 2 0", top(s == 0 ? "b@x.jp" : "new@x.jp"));
            server.expect("QUIT", "+OK", Then::Close);
        }
        QVERIFY(server.start());
        {
            NMail first;
            first.setHeaderMemoryFile(path);
            first.setTimeouts(quickTimeouts());
            QCOMPARE(check(first, server.serverText(), 2), QStringList({"0", "From: a@x.jp", "From: b@x.jp"}));
        }
        QCOMPARE(QFile::permissions(path) & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
        QByteArray bytes = qp::readWholeFile(path).bytes;
        if (damage == QLatin1String("flipped byte"))
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 1);
        else if (damage == QLatin1String("truncated"))
            bytes.chop(40);
        else if (damage == QLatin1String("oversized"))
            bytes += QByteArray(qp::Pop3HeaderMemory::kMaxFileBytes, '\0');
        QVERIFY(qp::writeFileAtomically(path, bytes).ok);
        NMail second;
        second.setHeaderMemoryFile(path);
        second.setTimeouts(quickTimeouts());
        // A message of another size under a known UIDL is read again.
        QCOMPARE(check(second, server.serverText(), 2), QStringList({"0", "From: a@x.jp", ""}));
        QCOMPARE(server.mismatch(), QString());
        QVERIFY(server.scriptCompleted());
        const QByteArray rewritten = qp::readWholeFile(path).bytes;
        QVERIFY(rewritten.size() < 1000 && rewritten != bytes);
    }

    // One bound over the whole session: a server that trickles every reply
    // is cut there, not at each reply's own (much longer) bound.
    void sessionDeadline()
    {
        FakePop3Server server;
        scriptLogin(server);
        server.expect("STAT", "+OK 1 100");
        server.expect("TOP 1 0", "+OK\r\nX-Slow: ", Then::Trickle);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts(1000)); // each reply may take 10 s
        mail.setSessionMs(1500);
        const int h = mail.NMailPop3Connect(server.serverText());
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0), 1);
        Texts t;
        QVERIFY(mail.NMailPop3GetMailStatus(h, 1, t.subject, t.date, t.from, t.header, 0) < 0);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("チェックを打ち切りました")), qPrintable(lastMessage(mail)));
    }

    // --- TLS ---

    void implicitTls()
    {
        FakePop3Server server;
        server.setTls(m_ca.certPath(QStringLiteral("good")), m_ca.keyPath(QStringLiteral("good")), true);
        scriptLogin(server);
        server.expect("STAT", "+OK 0 0");
        server.expect("QUIT", "+OK", Then::Close);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        mail.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        const int h = mail.NMailPop3Connect(QStringLiteral("pop3s://localhost:%1").arg(server.port()));
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        QVERIFY(mail.client(h)->isEncrypted());
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0), 0);
        mail.NMailPop3Close(h);
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
    }

    // STLS offered: used, capabilities asked again over TLS, login after.
    void stlsUpgrade()
    {
        FakePop3Server server;
        server.setTls(m_ca.certPath(QStringLiteral("good")), m_ca.keyPath(QStringLiteral("good")), false);
        server.expect("CAPA", "+OK\r\nSTLS\r\nUSER\r\n.\r\n");
        server.expect("STLS", "+OK Begin TLS negotiation", Then::StartTls);
        scriptLogin(server, "+OK\r\nUSER\r\nTOP\r\n.\r\n");
        server.expect("STAT", "+OK 0 0");
        server.expect("QUIT", "+OK", Then::Close);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        mail.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        QVERIFY(mail.client(h)->isEncrypted());
        QVERIFY(!mail.client(h)->hasCapability("STLS"));
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0), 0);
        mail.NMailPop3Close(h);
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
        QVERIFY(server.scriptCompleted());
    }

    // Once TLS was offered, its failure ends the connect: the password never
    // goes out in plain text.
    void tlsFailures_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("says");
        QTest::newRow("STLS refused") << QStringLiteral("refuse") << QStringLiteral("STLS）を拒否しました（not now）");
        QTest::newRow("plain text after STLS")
            << QStringLiteral("inject") << QStringLiteral("STLS の後に余分なデータ");
        QTest::newRow("hang-up instead of a handshake")
            << QStringLiteral("close") << QStringLiteral("TLS で接続できません（サーバーが接続を閉じました）");
        QTest::newRow("certificate for another host")
            << QStringLiteral("wronghost") << QStringLiteral("証明書のサーバー名が一致しません");
        QTest::newRow("certificate from an unknown CA")
            << QStringLiteral("untrusted") << QStringLiteral("証明書の発行元を信頼できません");
    }
    void tlsFailures()
    {
        QFETCH(QString, how);
        QFETCH(QString, says);
        FakePop3Server server;
        const QString cert = how == QLatin1String("wronghost") ? QStringLiteral("wronghost") : QStringLiteral("good");
        server.setTls(m_ca.certPath(cert), m_ca.keyPath(cert), false);
        server.expect("CAPA", "+OK\r\nSTLS\r\nUSER\r\n.\r\n");
        if (how == QLatin1String("refuse"))
            server.expect("STLS", "-ERR not now");
        else if (how == QLatin1String("inject"))
            server.expect("STLS", "+OK\r\n+OK injected\r\n", Then::StartTls);
        else if (how == QLatin1String("close"))
            server.expect("STLS", "+OK", Then::Close);
        else
            server.expect("STLS", "+OK", Then::StartTls);
        server.expect("USER alice", "+OK"); // must never be reached
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        if (how != QLatin1String("untrusted"))
            mail.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("localhost:%1").arg(server.port())), -1);
        QVERIFY2(lastMessage(mail).contains(says), qPrintable(lastMessage(mail)));
        QVERIFY(mail.lastConnectFailureIsTls()); // for the error box
        QVERIFY(server.waitForDisconnect(5000));
        for (const QByteArray& c : server.received())
            QVERIFY2(!c.startsWith("USER") && !c.startsWith("PASS"), c.constData());
    }

    // Once a server was seen with TLS, a later session there without STLS
    // is refused before the account goes out; the memory file keeps what
    // it knew (junk lines aside) when a server is added.
    void tlsRemembered()
    {
        // A failed handshake is not remembered; a working one is, by host
        // alone (any case, any port); an old "host port" line still counts.
        FakePop3Server badCert, withTls, stripped;
        badCert.setTls(m_ca.certPath(QStringLiteral("wronghost")), m_ca.keyPath(QStringLiteral("wronghost")), false);
        badCert.expect("CAPA", "+OK\r\nSTLS\r\n.\r\n");
        badCert.expect("STLS", "+OK", Then::StartTls);
        withTls.setTls(m_ca.certPath(QStringLiteral("good")), m_ca.keyPath(QStringLiteral("good")), false);
        withTls.expect("CAPA", "+OK\r\nSTLS\r\nUSER\r\n.\r\n");
        withTls.expect("STLS", "+OK", Then::StartTls);
        withTls.expect("CAPA", kCapa);
        withTls.expect("QUIT", "+OK", Then::Close);
        stripped.expect("CAPA", kCapa);
        stripped.expect("USER alice", "+OK"); // must never be reached
        QVERIFY(badCert.start() && withTls.start() && stripped.start());

        const QString path = m_dir.filePath(QStringLiteral("tlsservers.txt"));
        const auto putFile = [&](const QByteArray& bytes) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
        };
        putFile("127.0.0.2 110\r\n");
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        mail.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        mail.setTlsMemoryFile(path);
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("LocalHost:%1").arg(badCert.port())), -1);
        QCOMPARE(qp::readWholeFile(path).bytes, QByteArray("127.0.0.2 110\r\n"));
        const int h = mail.NMailPop3Connect(QStringLiteral("LocalHost:%1").arg(withTls.port()));
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        mail.NMailPop3Close(h);
        QCOMPARE(qp::readWholeFile(path).bytes, QByteArray("127.0.0.2\nlocalhost\n"));

        // Refused before the password: a known host, and any host while the
        // memory cannot be read or parsed, or is too large.
        const QString strippedAsName = QStringLiteral("LOCALHOST:%1").arg(stripped.port());
        const struct { QByteArray file; QString said; } cases[] = {
            {"localhost\n", QFileInfo(m_dir.path()).fileName() + QStringLiteral("/tlsservers.txt から「localhost」の行")},
            {"\x82\xa0 junk\n", QStringLiteral("1 行目が読めない形")},
            {QByteArray(qp::TlsMemory::kMaxFileBytes + 1, 'a'), QStringLiteral("を読めません")},
            {QByteArray(), QStringLiteral("を読めません")}, // a folder in its place
        };
        for (const auto& c : cases) {
            putFile(c.file);
            if (c.file.isEmpty())
                QVERIFY(QFile::remove(path) && QDir().mkdir(path));
            NMail later; // a new run: nothing known but the file
            later.setTimeouts(quickTimeouts());
            later.setTlsMemoryFile(path);
            QCOMPARE(later.NMailPop3Connect(strippedAsName), -1);
            QVERIFY2(lastMessage(later).contains(c.said) && later.lastConnectFailureIsTls(), qPrintable(lastMessage(later)));
        }
        QVERIFY(QDir().rmdir(path));
        QVERIFY(stripped.waitForDisconnect(5000));
        for (const QByteArray& c : stripped.received())
            QVERIFY2(!c.startsWith("USER") && !c.startsWith("PASS"), c.constData());

        // A memory that cannot be written: the TLS session itself stops.
        NMail unwritable;
        unwritable.setTimeouts(quickTimeouts());
        unwritable.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        unwritable.setTlsMemoryFile(m_dir.filePath(QStringLiteral("missing/tlsservers.txt")));
        QCOMPARE(unwritable.NMailPop3Connect(QStringLiteral("localhost:%1").arg(withTls.port())), -1);
        QVERIFY2(lastMessage(unwritable).contains(QStringLiteral("ログインしません")), qPrintable(lastMessage(unwritable)));
    }

    void tlsMemoryKeepsEveryWritersHostsAndCaFileFailsClosed()
    {
        // Two writers on one file (two instances on one data folder).
        const QString path = m_dir.filePath(QStringLiteral("shared-tls.txt"));
        auto writer = [&](char side) {
            for (int i = 0; i < 40; ++i)
                QVERIFY(qp::TlsMemory(path).remember(QStringLiteral("%1%2.example.jp").arg(side).arg(i)));
        };
        std::thread a(writer, 'a'), b(writer, 'b');
        a.join();
        b.join();
        QCOMPARE(qp::readWholeFile(path).bytes.count('\n'), 80);

        // The user's own authorities: a file over the cap stops every connect.
        QFile cas(m_dir.filePath(QStringLiteral("cacerts.pem")));
        QVERIFY(cas.open(QIODevice::WriteOnly) && cas.write(QByteArray(1024 * 1024 + 1, '-')) > 0);
        cas.close();
        NMail mail;
        mail.setCaFileProblem(qp::readExtraCaFile(cas.fileName()).problem);
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("127.0.0.1:1")), -1);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("cacerts.pem")) && mail.lastConnectFailureIsTls(),
                 qPrintable(lastMessage(mail)));

        // A read-only data folder: a remembered host still passes, a new one
        // is refused.
        QTemporaryDir folder;
        const QByteArray mountPoint = QFile::encodeName(folder.path());
        if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("needs root to mount a small tmpfs");
        qp::TlsMemory memory(folder.filePath(QStringLiteral("tlsservers.txt")));
        const bool wrote = memory.remember(QStringLiteral("known.example.jp"));
        const bool readOnly = ::mount(nullptr, mountPoint.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        const bool known = qp::TlsMemory(memory.path()).remember(QStringLiteral("Known.example.jp")),
                   fresh = memory.remember(QStringLiteral("new.example.jp"));
        ::umount2(mountPoint.constData(), MNT_DETACH);
        QVERIFY(wrote && readOnly && known && !fresh);
    }

    // The connection under any protocol: what arrives, in whatever pieces,
    // comes out whole and in order through buffered() and consume(); once
    // the server has closed, reads and writes fail at once with one text.
    void transportReads_data()
    {
        QTest::addColumn<int>("chunk");
        QTest::newRow("whole") << 0;
        QTest::newRow("one-byte pieces") << 1;
    }
    void transportReads()
    {
        QFETCH(int, chunk);
        FakePop3Server server;
        server.setChunkSize(chunk);
        const QByteArray sent = "* OK hello\r\n{5}\r\nABCDE0123456789tail\n" + QByteArray(60, 'x') + "\r\n";
        server.greeting(sent, FakePop3Server::Then::Close);
        QVERIFY(server.start());
        qp::MailTransport t;
        t.setTimeouts(quickTimeouts());
        QVERIFY(t.connectTo(*qp::parsePop3Server(server.serverText())));
        const QDeadlineTimer deadline(5000);
        QByteArray received;
        while (received.size() < sent.size()) {
            if (t.buffered().isEmpty())
                QVERIFY(t.receiveMore(deadline));
            const qsizetype take = std::min<qsizetype>(t.buffered().size(), 7); // not the pieces it came in
            received += t.buffered().first(take).toByteArray();
            t.consume(take);
        }
        QCOMPARE(received, sent);
        QVERIFY(!t.receiveMore(deadline));
        QCOMPARE(t.error(), qp::MailTransport::Error::Closed);
        const QString text = t.errorText();
        QVERIFY(!t.receiveMore(deadline));
        QVERIFY(!t.write("x\r\n"));
        QCOMPARE(t.errorText(), text);
        t.close();
    }

    void implicitTlsWrongHost()
    {
        FakePop3Server server;
        server.setTls(m_ca.certPath(QStringLiteral("wronghost")), m_ca.keyPath(QStringLiteral("wronghost")), true);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        mail.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("pop3s://127.0.0.1:%1").arg(server.port())), -1);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("TLS で接続できません（証明書のサーバー名が一致しません")),
                 qPrintable(lastMessage(mail)));
        QVERIFY(server.received().isEmpty());
    }

    // --- name look-up ---

    // Whatever the resolver says decides where the client goes: not found
    // and resolver trouble are reported, later addresses are tried when the
    // first refuses, an address needs no look-up, and over TLS the
    // certificate must name the host that was asked for, not its address.
    void lookUpResults_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("cert"); // empty: plain POP3
        QTest::addColumn<QStringList>("answer");
        QTest::addColumn<int>("lookupError");
        QTest::addColumn<int>("kind"); // Pop3Client::ErrorKind, None when it connects
        QTest::addColumn<QString>("says");
        using Kind = qp::Pop3Client::ErrorKind;
        const QString good = QStringLiteral("good"), wrong = QStringLiteral("wronghost");
        QTest::newRow("not found") << QStringLiteral("pop.example.jp") << QString() << QStringList()
                                   << int(QHostInfo::HostNotFound) << int(Kind::Unreachable)
                                   << QStringLiteral("サーバー「pop.example.jp」に接続できません（サーバー名が見つかりません）");
        QTest::newRow("no addresses") << QStringLiteral("pop.example.jp") << QString() << QStringList()
                                      << int(QHostInfo::NoError) << int(Kind::Unreachable)
                                      << QStringLiteral("サーバー名が見つかりません");
        QTest::newRow("resolver trouble") << QStringLiteral("pop.example.jp") << QString() << QStringList()
                                          << int(QHostInfo::UnknownError) << int(Kind::Unreachable)
                                          << QStringLiteral("サーバー名を調べられません");
        QTest::newRow("first address refuses")
            << QStringLiteral("pop.example.jp") << QString()
            << QStringList{QStringLiteral("127.0.0.9"), QStringLiteral("127.0.0.1")} << int(QHostInfo::NoError)
            << int(Kind::None) << QString();
        QTest::newRow("every address refuses")
            << QStringLiteral("pop.example.jp") << QString()
            << QStringList{QStringLiteral("127.0.0.9"), QStringLiteral("127.0.0.8")} << int(QHostInfo::NoError)
            << int(Kind::Unreachable) << QStringLiteral("接続を拒否されました");
        QTest::newRow("address needs no look-up") << QStringLiteral("127.0.0.1") << QString() << QStringList()
                                                  << int(QHostInfo::HostNotFound) << int(Kind::None) << QString();
        QTest::newRow("TLS: certificate for the name")
            << QStringLiteral("mail.example.org") << wrong << QStringList{QStringLiteral("127.0.0.1")}
            << int(QHostInfo::NoError) << int(Kind::None) << QString();
        QTest::newRow("TLS: certificate for the address only")
            << QStringLiteral("mail.example.org") << good << QStringList{QStringLiteral("127.0.0.1")}
            << int(QHostInfo::NoError) << int(Kind::Tls) << QStringLiteral("証明書のサーバー名が一致しません");
    }
    void lookUpResults()
    {
        QFETCH(QString, host);
        QFETCH(QString, cert);
        QFETCH(QStringList, answer);
        QFETCH(int, lookupError);
        QFETCH(int, kind);
        QFETCH(QString, says);
        const bool tls = !cert.isEmpty();
        FakePop3Server server;
        if (tls)
            server.setTls(m_ca.certPath(cert), m_ca.keyPath(cert), true);
        server.expect("CAPA", kCapa);
        server.expect("QUIT", "+OK", Then::Close);
        QVERIFY(server.start());
        qp::Pop3Client client;
        client.setTimeouts(quickTimeouts());
        client.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        auto asked = std::make_shared<std::atomic<int>>(0);
        const auto answering = lookupAnswering(answer, lookupError, QStringLiteral("DNS サーバーから答えがありません"));
        client.setNameLookup([asked, answering](const QString& name) {
            ++*asked;
            return answering(name);
        });
        const bool connected = client.connectToServer(Pop3Endpoint{host, server.port(), tls});
        QCOMPARE(int(client.errorKind()), kind);
        QCOMPARE(connected, kind == int(qp::Pop3Client::ErrorKind::None));
        QVERIFY2(client.errorText().contains(says), qPrintable(client.errorText()));
        QCOMPARE(asked->load(), QHostAddress(host).isNull() ? 1 : 0);
        if (connected) {
            QCOMPARE(client.isEncrypted(), tls);
            client.quit();
            QVERIFY(server.waitForDisconnect(5000));
            QCOMPARE(server.mismatch(), QString());
            QVERIFY(server.scriptCompleted());
        } else if (kind != int(qp::Pop3Client::ErrorKind::Tls)) {
            QCOMPARE(server.connections(), 0);
        }
    }

    // A resolver that never answers (a dead DNS server) holds the call no
    // longer than the connect time-out, and nothing else of the program runs
    // meanwhile. Its answer, when it comes after the client is gone, goes
    // nowhere.
    void lookUpNeverAnswers()
    {
        FakePop3Server server;
        QVERIFY(server.start());
        auto gate = std::make_shared<std::promise<void>>();
        const std::shared_future<void> opened = gate->get_future().share();
        auto answered = std::make_shared<std::atomic<bool>>(false);
        const auto answering = lookupAnswering({QStringLiteral("127.0.0.1")});
        {
            qp::Pop3Client client;
            qp::Pop3Timeouts t = quickTimeouts();
            t.connectMs = 1000;
            client.setTimeouts(t);
            client.setNameLookup([opened, answered, answering](const QString& name) {
                opened.wait();
                QHostInfo info = answering(name);
                *answered = true;
                return info;
            });
            QObject context;
            bool eventRan = false;
            QTimer::singleShot(0, &context, [&eventRan] { eventRan = true; });
            QElapsedTimer clock;
            clock.start();
            QVERIFY(!client.connectToServer(Pop3Endpoint{QStringLiteral("pop.example.jp"), server.port(), false}));
            QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
            QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(!eventRan);
            QCOMPARE(client.errorKind(), qp::Pop3Client::ErrorKind::Timeout);
            QVERIFY2(client.errorText().contains(QStringLiteral("サーバー名の問い合わせが 1 秒で時間切れ")),
                     qPrintable(client.errorText()));
            QVERIFY(!client.isConnected());
            client.quit();
        }
        gate->set_value();
        QTRY_VERIFY(answered->load());
        QTest::qWait(200);
        QCOMPARE(server.connections(), 0);
    }

    // --- no server at all ---

    void unreachable()
    {
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        QTcpServer probe; // a port that was free a moment ago: connection refused
        QVERIFY(probe.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        const quint16 port = probe.serverPort();
        probe.close();
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("127.0.0.1:%1").arg(port)), -1);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("接続を拒否されました")), qPrintable(lastMessage(mail)));
        QVERIFY(!mail.lastConnectFailureIsTls()); // silent
        // The system resolver on a name that never exists: not found, or
        // (with no DNS server in reach) cannot be looked up; within the bound.
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("no-such-host.invalid")), -1);
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("サーバー「no-such-host.invalid」に接続できません（サーバー名")),
                 qPrintable(lastMessage(mail)));
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("host:0")), -1);
        QVERIFY(lastMessage(mail).contains(QStringLiteral("正しくありません")));
        QVERIFY(mail.NMailPop3Authenticate(42, QStringLiteral("a"), QStringLiteral("b"), 0) < 0);
        QVERIFY(mail.NMailPop3GetMailSize(42, 1) < 0);
    }

    void serverText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port"); // 0: not accepted
        QTest::addColumn<bool>("tls");
        QTest::newRow("host") << QStringLiteral(" pop.example.jp ") << QStringLiteral("pop.example.jp") << 110 << false;
        QTest::newRow("host:port") << QStringLiteral("pop.example.jp:1110") << QStringLiteral("pop.example.jp") << 1110 << false;
        QTest::newRow("port 995") << QStringLiteral("pop.example.jp:995") << QStringLiteral("pop.example.jp") << 995 << true;
        QTest::newRow("pop3s") << QStringLiteral("POP3S://pop.example.jp") << QStringLiteral("pop.example.jp") << 995 << true;
        QTest::newRow("pop3s with port") << QStringLiteral("pop3s://pop.example.jp:2995/") << QStringLiteral("pop.example.jp") << 2995 << true;
        QTest::newRow("pop3 scheme") << QStringLiteral("pop3://pop.example.jp") << QStringLiteral("pop.example.jp") << 110 << false;
        QTest::newRow("IPv6") << QStringLiteral("[::1]:995") << QStringLiteral("::1") << 995 << true;
        QTest::newRow("empty") << QString() << QString() << 0 << false;
        QTest::newRow("port 0") << QStringLiteral("h:0") << QString() << 0 << false;
        QTest::newRow("port too big") << QStringLiteral("h:70000") << QString() << 0 << false;
        QTest::newRow("port text") << QStringLiteral("h:pop") << QString() << 0 << false;
        QTest::newRow("user@host") << QStringLiteral("me@pop.example.jp") << QString() << 0 << false;
    }
    void serverText()
    {
        QFETCH(QString, text);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(bool, tls);
        const auto e = qp::parsePop3Server(text);
        QCOMPARE(bool(e), port != 0);
        if (e) {
            QCOMPARE(e->host, host);
            QCOMPARE(int(e->port), port);
            QCOMPARE(e->implicitTls, tls);
        }
    }
};

QTEST_GUILESS_MAIN(Pop3FakeTest)
#include "tst_pop3_fake.moc"
