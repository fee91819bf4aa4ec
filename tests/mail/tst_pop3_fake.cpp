// The POP3 session against a scripted server that misbehaves on purpose:
// greeting, login, commands and replies. Every wait must end, every failure
// must give the caller a negative result and a Japanese text, and nothing may
// ever delete mail.
#include "Pop3FakeScript.h"

using namespace pop3fake;

class Pop3SessionTest : public CaFixture {
    Q_OBJECT

private slots:

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
};

QTEST_GUILESS_MAIN(Pop3SessionTest)
#include "tst_pop3_fake.moc"
