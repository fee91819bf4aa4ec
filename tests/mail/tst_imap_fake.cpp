// The mail-library calls on an IMAP server that is scripted, so that the
// commands can be checked one by one and the server can misbehave on
// purpose: every wait ends, every failure gives a negative result and a
// Japanese text, and nothing but EXAMINE ever opens the mailbox.
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/eventfd.h>
#include <unistd.h>

#include "mail/ImapClient.h"
#include "mail/ImapIdle.h"
#include "mail/NMail.h"
#include "mail/TlsMemory.h"
#include "tests/support/FakeImapServer.h"
#include "tests/support/TestCertificates.h"

using qp::NMail;
using qp::test::FakeImapServer;
using Then = FakeImapServer::Then;

namespace {

const QByteArray kGreeting = "* OK [CAPABILITY IMAP4rev1 LITERAL+ ID] ready";

qp::MailTimeouts quickTimeouts()
{
    qp::MailTimeouts t;
    t.connectMs = 3000;
    t.replyMs = 1500;
    t.wholeReplyMs = 8000;
    return t;
}

QString lastMessage(NMail& mail)
{
    QString text;
    int size = 8192;
    mail.NMailGetMessage(0, text, size);
    return text;
}

QByteArray fetchReply(int seq, int uid, int size, const QByteArray& fields)
{
    return "* " + QByteArray::number(seq) + " FETCH (UID " + QByteArray::number(uid) + " RFC822.SIZE "
           + QByteArray::number(size) + " BODY[HEADER.FIELDS (FROM SUBJECT DATE)] {"
           + QByteArray::number(fields.size()) + "}\r\n" + fields + ")\r\n";
}

} // namespace

class ImapFakeTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    qp::test::TestCa m_ca;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_ca.create(m_dir.path()), qPrintable(m_ca.errorString()));
        QVERIFY(m_ca.issue(QStringLiteral("good"), {QStringLiteral("localhost"), QStringLiteral("127.0.0.1")}));
    }

    // Which texts of the server field mean IMAP; every other keeps its POP3
    // meaning, and a text neither accepts names no server.
    void serverNames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("imap");
        QTest::addColumn<QString>("host"); // empty: not accepted
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("tls");
        QTest::newRow("imaps") << QStringLiteral(" IMAPS://mail.example.jp ") << true << QStringLiteral("mail.example.jp") << 993 << true;
        QTest::newRow("imaps with port") << QStringLiteral("imaps://mail.example.jp:1993/") << true << QStringLiteral("mail.example.jp") << 1993 << true;
        QTest::newRow("imap") << QStringLiteral("imap://mail.example.jp") << true << QStringLiteral("mail.example.jp") << 143 << false;
        QTest::newRow("imap with port") << QStringLiteral("imap://[::1]:1143") << true << QStringLiteral("::1") << 1143 << false;
        QTest::newRow("port 993") << QStringLiteral("mail.example.jp:993") << true << QStringLiteral("mail.example.jp") << 993 << true;
        QTest::newRow("plain host is POP3") << QStringLiteral(" pop.example.jp ") << false << QStringLiteral("pop.example.jp") << 110 << false;
        QTest::newRow("port 143 alone is POP3") << QStringLiteral("mail.example.jp:143") << false << QStringLiteral("mail.example.jp") << 143 << false;
        QTest::newRow("pop3 scheme on 993") << QStringLiteral("pop3://mail.example.jp:993") << false << QStringLiteral("mail.example.jp") << 993 << false;
        QTest::newRow("bad imap port") << QStringLiteral("imap://mail.example.jp:0") << false << QString() << 0 << false;
        QTest::newRow("POP3 host:port") << QStringLiteral("pop.example.jp:1110") << false << QStringLiteral("pop.example.jp") << 1110 << false;
        QTest::newRow("POP3 port 995") << QStringLiteral("pop.example.jp:995") << false << QStringLiteral("pop.example.jp") << 995 << true;
        QTest::newRow("pop3s") << QStringLiteral("POP3S://pop.example.jp") << false << QStringLiteral("pop.example.jp") << 995 << true;
        QTest::newRow("pop3s with port") << QStringLiteral("pop3s://pop.example.jp:2995/") << false << QStringLiteral("pop.example.jp") << 2995 << true;
        QTest::newRow("pop3 scheme") << QStringLiteral("pop3://pop.example.jp") << false << QStringLiteral("pop.example.jp") << 110 << false;
        QTest::newRow("POP3 IPv6") << QStringLiteral("[::1]:995") << false << QStringLiteral("::1") << 995 << true;
        QTest::newRow("empty") << QString() << false << QString() << 0 << false;
        QTest::newRow("port 0") << QStringLiteral("h:0") << false << QString() << 0 << false;
        QTest::newRow("port too big") << QStringLiteral("h:70000") << false << QString() << 0 << false;
        QTest::newRow("port text") << QStringLiteral("h:pop") << false << QString() << 0 << false;
        QTest::newRow("user@host") << QStringLiteral("me@pop.example.jp") << false << QString() << 0 << false;
    }
    void serverNames()
    {
        QFETCH(QString, text);
        QFETCH(bool, imap);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(bool, tls);
        const auto asImap = qp::parseImapServer(text);
        QCOMPARE(bool(asImap), imap);
        const auto e = asImap ? asImap : qp::parsePop3Server(text);
        QCOMPARE(bool(e), !host.isEmpty());
        if (e) {
            QCOMPARE(e->host, host);
            QCOMPARE(int(e->port), port);
            QCOMPARE(e->implicitTls, tls);
        }
    }

    // A whole check as the check cycle makes it: the commands the server
    // sees, the account in UTF-8, the unseen messages served in order
    // from one FETCH (which leaves out one the server no longer has), and no
    // body ever asked for.
    void checkSession()
    {
        FakeImapServer server;
        server.greeting(kGreeting);
        // "太郎" / "秘密" in UTF-8, as literals (LITERAL+: no go-ahead).
        server.expect("LOGIN {6+}\r\n\xe5\xa4\xaa\xe9\x83\x8e {6+}\r\n\xe7\xa7\x98\xe5\xaf\x86", "{tag} OK logged in");
        server.expect("EXAMINE INBOX", "* 9 EXISTS\r\n* OK [UIDVALIDITY 1] x\r\n{tag} OK [READ-ONLY] done");
        server.expect("UID SEARCH UNSEEN UNDELETED", "* SEARCH 9 3 4\r\n{tag} OK done");
        server.expect("UID FETCH 3:4,9 (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE)])",
                      fetchReply(7, 9, 2000, "From: boss@example.jp\r\n\r\n") + "* 2 FETCH (FLAGS (\\Seen))\r\n"
                          + fetchReply(1, 3, 1500,
                                       "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>\r\n"
                                       "Subject: =?UTF-8?B?5pel5pys?=\r\n\r\n")
                          + "{tag} OK done");
        server.expect("LOGOUT", "* BYE bye\r\n{tag} OK", Then::Close);
        QVERIFY(server.start());

        NMail mail;
        mail.setTimeouts(quickTimeouts());
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        // The APOP flag has no meaning on IMAP.
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("太郎"), QStringLiteral("秘密"), -1), 3);
        QString subject, date, from, header, body = QStringLiteral("old");
        QCOMPARE(mail.NMailPop3GetMailStatus(h, 1, subject, date, from, header, 0), 0);
        QCOMPARE(from, QStringLiteral("山田 <yamada@example.jp>"));
        QCOMPARE(subject, QStringLiteral("日本"));
        QCOMPARE(mail.NMailPop3GetMailSize(h, 1), 1500);
        QCOMPARE(mail.NMailPop3GetMail(h, 1, subject, date, from, header, body, 0, 0), 0);
        QCOMPARE(from, QStringLiteral("山田 <yamada@example.jp>"));
        QVERIFY(body.isEmpty());
        QVERIFY(mail.NMailPop3GetMailStatus(h, 2, subject, date, from, header, 0) < 0);
        QVERIFY(from.isEmpty());
        QCOMPARE(mail.NMailPop3GetMailStatus(h, 3, subject, date, from, header, 0), 0);
        QCOMPARE(from, QStringLiteral("boss@example.jp"));
        QCOMPARE(mail.NMailPop3GetMailSize(h, 3), 2000);
        QVERIFY(mail.NMailPop3GetMailStatus(h, 4, subject, date, from, header, 0) < 0);
        QCOMPARE(mail.NMailPop3Close(h), 0);
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
        QCOMPARE(server.received().size(), 5);
    }

    // What a check fetched is not fetched again, in this run or after a
    // restart (the same UIDVALIDITY); a new UIDVALIDITY starts afresh. A
    // header far over the bound keeps the first part of each field, and the
    // walk goes on past it.
    void readsOnlyWhatIsNew()
    {
        const QString path = m_dir.filePath(QStringLiteral("imap-headers.dat"));
        FakeImapServer server;
        server.greeting(kGreeting);
        server.setContinueScript(true);
        const QByteArray huge = "Subject: " + QByteArray(300000, 'x') + "\r\nFrom: boss@x.jp\r\n\r\n";
        struct Session {
            int validity;
            QByteArray search, fetch, reply;
        };
        const Session sessions[] = {
            {7, "3 5", "3,5", fetchReply(1, 3, 10, huge) + fetchReply(2, 5, 10, "From: five@x.jp\r\n\r\n")},
            {7, "3 5 8", "8", fetchReply(3, 8, 10, "From: eight@x.jp\r\n\r\n")},
            {7, "5 8", "", ""},
            {9, "5", "5", fetchReply(1, 5, 10, "From: other@x.jp\r\n\r\n")},
        };
        for (const Session& s : sessions) {
            server.expect("LOGIN *", "{tag} OK");
            server.expect("EXAMINE INBOX", "* OK [UIDVALIDITY " + QByteArray::number(s.validity) + "] x\r\n{tag} OK");
            server.expect("UID SEARCH UNSEEN UNDELETED", "* SEARCH " + s.search + "\r\n{tag} OK");
            if (!s.fetch.isEmpty())
                server.expect("UID FETCH " + s.fetch + " *", s.reply + "{tag} OK");
            server.expect("LOGOUT", "{tag} OK", Then::Close);
        }
        QVERIFY(server.start());
        auto check = [&](NMail& mail) -> QStringList {
            QStringList froms;
            const int h = mail.NMailPop3Connect(server.serverText());
            const int count = mail.NMailPop3Authenticate(h, QStringLiteral("a"), QStringLiteral("b"), 0);
            QString subject, date, from, header;
            for (int m = 1; m <= count; ++m)
                froms << (mail.NMailPop3GetMailStatus(h, m, subject, date, from, header, 0) == 0 ? from : QString());
            mail.NMailPop3Close(h);
            server.waitForDisconnect(5000);
            return froms;
        };
        auto fresh = [&](auto&& body) {
            NMail mail;
            mail.setTimeouts(quickTimeouts());
            mail.setHeaderMemoryFile(path);
            body(mail);
        };
        fresh([&](NMail& mail) {
            QCOMPARE(check(mail), QStringList({"boss@x.jp", "five@x.jp"}));
            QCOMPARE(check(mail), QStringList({"boss@x.jp", "five@x.jp", "eight@x.jp"}));
        });
        fresh([&](NMail& mail) { QCOMPARE(check(mail), QStringList({"five@x.jp", "eight@x.jp"})); });
        fresh([&](NMail& mail) { QCOMPARE(check(mail), QStringList({"other@x.jp"})); });
        QCOMPARE(server.mismatch(), QString());
    }

    // A very large unseen set is fetched in bounded batches as the walk
    // reaches them; without LITERAL+ a literal waits for the go-ahead.
    void largeSetInBatches()
    {
        FakeImapServer server;
        server.greeting("* OK [CAPABILITY IMAP4rev1] ready");
        server.expect("LOGIN \"a\\\"b\" {3}\r\n\xef\xbd\xa9", "{tag} OK");
        QByteArray search = "* SEARCH";
        for (int uid = 1; uid <= 600; ++uid)
            search += ' ' + QByteArray::number(uid);
        server.expect("EXAMINE INBOX", "{tag} OK [READ-ONLY]");
        server.expect("UID SEARCH UNSEEN UNDELETED", search + "\r\n{tag} OK");
        server.expect("UID FETCH 1:250 *", fetchReply(1, 1, 10, "From: first\r\n") + "{tag} OK");
        server.expect("UID FETCH 251:500 *", fetchReply(251, 251, 10, "From: second\r\n") + "{tag} OK");
        server.expect("UID FETCH 501:600 *", fetchReply(600, 600, 10, "From: last\r\n") + "{tag} OK");
        server.expect("LOGOUT", "{tag} OK", Then::Close);
        QVERIFY(server.start());
        qp::ImapClient client;
        client.setTimeouts(quickTimeouts());
        QVERIFY(client.connectToServer(*qp::parseImapServer(server.serverText())));
        QVERIFY2(client.login(QStringLiteral("a\"b"), QStringLiteral("ｩ")), qPrintable(client.errorText()));
        int count = 0;
        QVERIFY(client.openInbox(&count));
        QCOMPARE(count, 600);
        QCOMPARE(client.message(1)->headerFields, QByteArray("From: first\r\n"));
        QVERIFY(!client.message(250)->found);
        QCOMPARE(client.message(251)->headerFields, QByteArray("From: second\r\n"));
        QVERIFY(!client.message(501)->found);
        QCOMPARE(client.message(600)->headerFields, QByteArray("From: last\r\n"));
        client.logout();
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
    }

    // A server that goes quiet mid-check while each wait is still allowed:
    // the whole session has a limit of its own.
    void sessionLimit()
    {
        FakeImapServer server;
        server.greeting(kGreeting);
        server.expect("LOGIN *", "{tag} OK");
        server.expect("EXAMINE INBOX", "* 1 EXISTS", Then::Hang);
        QVERIFY(server.start());
        qp::ImapClient client;
        qp::MailTimeouts t = quickTimeouts();
        t.replyMs = 5000;
        client.setTimeouts(t);
        client.setSessionMs(800);
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(client.connectToServer(*qp::parseImapServer(server.serverText())));
        QVERIFY(client.login(QStringLiteral("a"), QStringLiteral("b")));
        int count = 0;
        QVERIFY(!client.openInbox(&count));
        QVERIFY2(elapsed.elapsed() < 3000, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY2(client.errorText().contains(QStringLiteral("チェックを打ち切りました")), qPrintable(client.errorText()));
    }

    // A mailbox held by another session is no wrong password (RFC 5530).
    void busyMailbox()
    {
        for (const QByteArray code : {"INUSE", "UNAVAILABLE", "AUTHENTICATIONFAILED"}) {
            FakeImapServer server;
            server.greeting("* OK [CAPABILITY IMAP4rev1] ready");
            server.expect("LOGIN \"alice\" \"secret\"", "{tag} NO [" + code + "] no");
            QVERIFY(server.start());
            NMail mail;
            mail.setTimeouts(quickTimeouts());
            const int h = mail.NMailPop3Connect(server.serverText());
            QVERIFY(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0) < 0);
            QCOMPARE(mail.lastLoginWasBusy(), code != "AUTHENTICATIONFAILED");
        }
    }

    // What Dovecot will not do: each fails cleanly, soon, with a reason,
    // and the password never goes out where it should not.
    void hostileServers_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("answer");  // to the UID FETCH
        QTest::addColumn<int>("then");
        QTest::addColumn<QString>("says");
        const QByteArray login = "* OK [CAPABILITY IMAP4rev1] ready";
        QTest::newRow("huge literal") << login << QByteArray("* 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM)] {2000000000}")
                                      << int(Then::Hang) << QStringLiteral("応答が大きすぎます");
        QTest::newRow("endless untagged responses") << login << QByteArray("* OK still busy") << int(Then::Flood)
                                                    << QStringLiteral("応答が終わりません");
        QTest::newRow("wrong tag") << login << QByteArray("a77 OK done") << int(Then::Continue)
                                   << QStringLiteral("別のコマンドへの応答 a77");
        QTest::newRow("literal longer than it says")
            << login << QByteArray("* 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM)] {3}\r\nFrom: x\r\n)\r\n{tag} OK")
            << int(Then::Continue) << QStringLiteral("応答が不正です（FETCH 1）");
        QTest::newRow("literal shorter than it says")
            << login << QByteArray("* 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM)] {900}\r\nFrom: x\r\n)\r\n{tag} OK")
            << int(Then::Hang) << QStringLiteral("応答がありません");
        QTest::newRow("LOGINDISABLED without TLS")
            << QByteArray("* OK [CAPABILITY IMAP4rev1 LOGINDISABLED AUTH=PLAIN] ready") << QByteArray() << 0
            << QStringLiteral("LOGINDISABLED");
        QTest::newRow("not an IMAP server") << QByteArray("+OK POP3 ready") << QByteArray() << 0
                                            << QStringLiteral("IMAP サーバーではないようです");
    }
    void hostileServers()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, answer);
        QFETCH(int, then);
        QFETCH(QString, says);
        FakeImapServer server;
        server.greeting(greeting);
        server.expect("LOGIN \"alice\" \"secret\"", "{tag} OK");
        server.expect("EXAMINE INBOX", "{tag} OK [READ-ONLY]");
        server.expect("UID SEARCH UNSEEN UNDELETED", "* SEARCH 1\r\n{tag} OK");
        server.expect("UID FETCH *", answer, Then(then));
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        QElapsedTimer t;
        t.start();
        const int h = mail.NMailPop3Connect(server.serverText());
        int result = -1;
        if (h > 0 && mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0) == 1) {
            QString s, d, f, hd;
            result = mail.NMailPop3GetMailStatus(h, 1, s, d, f, hd, 0);
        }
        QVERIFY(result < 0);
        QVERIFY2(lastMessage(mail).contains(says), qPrintable(lastMessage(mail)));
        if (h > 0)
            mail.NMailPop3Close(h);
        QVERIFY2(t.elapsed() < 6000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(server.waitForDisconnect(5000));
        for (const QByteArray& c : server.received())
            QVERIFY2(!c.startsWith("LOGIN") || greeting == "* OK [CAPABILITY IMAP4rev1] ready", c.constData());
    }

    // STARTTLS offered: used, then capabilities asked again over TLS; once
    // seen with TLS, a later session without it is refused before login.
    void startTlsAndItsLoss()
    {
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        mail.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        FakeImapServer server;
        server.setTls(m_ca.certPath(QStringLiteral("good")), m_ca.keyPath(QStringLiteral("good")));
        server.greeting("* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready");
        server.expect("STARTTLS", "{tag} OK go", Then::StartTls);
        server.expect("CAPABILITY", "* CAPABILITY IMAP4rev1 AUTH=PLAIN SASL-IR\r\n{tag} OK");
        server.expect("AUTHENTICATE PLAIN " + QByteArray("\0alice\0secret", 13).toBase64(), "{tag} NO [AUTHENTICATIONFAILED] nope");
        server.expect("LOGOUT", "{tag} OK", Then::Close);
        QVERIFY(server.start());
        const QString text = QStringLiteral("imap://localhost:%1").arg(server.port());
        int h = mail.NMailPop3Connect(text);
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        QVERIFY(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0) < 0);
        QCOMPARE(lastMessage(mail), QStringLiteral("ログインできません（nope）"));
        mail.NMailPop3Close(h);
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());

        // Seen with TLS before: a session without STARTTLS is refused before login.
        FakeImapServer stripped;
        stripped.greeting("* OK [CAPABILITY IMAP4rev1] ready");
        QVERIFY(stripped.start());
        const QString file = m_dir.filePath(QStringLiteral("tls-servers"));
        QVERIFY(qp::TlsMemory(file).remember(QStringLiteral("127.0.0.1")));
        mail.setTlsMemoryFile(file);
        QCOMPARE(mail.NMailPop3Connect(stripped.serverText()), -1);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("TLS が使えなくなりました")), qPrintable(lastMessage(mail)));
        QVERIFY(mail.lastConnectFailureIsTls()); // shown in the error box, as for POP3
        QVERIFY(stripped.waitForDisconnect(5000));
        for (const QByteArray& c : stripped.received())
            QVERIFY2(!c.startsWith("LOGIN") && !c.startsWith("AUTHENTICATE"), c.constData());
    }

    // The watch's edges: no IDLE at all, the server leaving, no go-ahead,
    // a connection gone silent, and what counts as a change.
    void idleWatch_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("idleReply");
        QTest::addColumn<int>("stop"); // -1: not opened
        QTest::addColumn<int>("changes");
        QTest::addColumn<QString>("error");
        const QByteArray idle = "* OK [CAPABILITY IMAP4rev1 IDLE] ready";
        QTest::newRow("no IDLE") << kGreeting << QByteArray() << -1 << 0 << QStringLiteral("IDLE に対応していません");
        QTest::newRow("BYE") << idle << QByteArray("+ idling\r\n* BYE going down") << int(qp::ImapIdle::Stop::Lost) << 0
                             << QStringLiteral("going down");
        QTest::newRow("no go-ahead") << idle << QByteArray("* OK thinking") << int(qp::ImapIdle::Stop::Lost) << 0
                                     << QStringLiteral("IDLE に応じません");
        QTest::newRow("silent") << idle << QByteArray("+ idling") << int(qp::ImapIdle::Stop::Lost) << 0
                                << QStringLiteral("接続が切れたようです");
        QTest::newRow("changes") << idle
                                 << QByteArray("+ idling\r\n* OK Still here\r\n* 3 EXISTS\r\n* 1 RECENT\r\n"
                                               "* 2 FETCH (FLAGS (\\Seen))\r\n* 1 EXPUNGE")
                                 << int(qp::ImapIdle::Stop::Woken) << 4 << QString();
    }
    void idleWatch()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, idleReply);
        QFETCH(int, stop);
        QFETCH(int, changes);
        QFETCH(QString, error);
        FakeImapServer server;
        server.greeting(greeting);
        server.expect("LOGIN *", "{tag} OK logged in");
        if (stop < 0)
            server.expect("CAPABILITY", "* CAPABILITY IMAP4rev1\r\n{tag} OK");
        server.expect("EXAMINE INBOX", "* 2 EXISTS\r\n* OK [UIDNEXT 9] next\r\n{tag} OK [READ-ONLY] done");
        server.expect("IDLE", idleReply, idleReply.contains("BYE") ? Then::Close : Then::Hang);
        QVERIFY(server.start());
        qp::ImapIdle watcher;
        watcher.client().setTimeouts(quickTimeouts());
        watcher.setTiming(60000, 300);
        const bool opened = watcher.open(*qp::parseImapServer(server.serverText()), QStringLiteral("alice"), QStringLiteral("pw"));
        QCOMPARE(opened, stop >= 0);
        if (opened) {
            QCOMPARE(watcher.mailbox().exists, 2);
            QCOMPARE(watcher.mailbox().uidNext, 9);
            const int wake = ::eventfd(0, EFD_CLOEXEC);
            int seen = 0;
            const auto result = watcher.watch(wake, [&] {
                if (++seen == changes) {
                    const quint64 one = 1;
                    QCOMPARE(::write(wake, &one, sizeof one), ssize_t(sizeof one));
                }
            });
            ::close(wake);
            QCOMPARE(int(result), stop);
            QCOMPARE(seen, changes);
        } else {
            QCOMPARE(watcher.failure(), qp::ImapIdle::Failure::Unsupported);
            QVERIFY(!server.received().contains("EXAMINE INBOX"));
        }
        QVERIFY2(watcher.errorText().contains(error), qPrintable(watcher.errorText()));
        watcher.logout();
    }
};

QTEST_GUILESS_MAIN(ImapFakeTest)
#include "tst_imap_fake.moc"
