// The walk through a mailbox against a scripted server: pipelined reads, a
// server without TOP, and the header memory kept between checks and in its
// file.
#include "Pop3FakeScript.h"

using namespace pop3fake;

class Pop3WalkTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

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
};

QTEST_GUILESS_MAIN(Pop3WalkTest)
#include "tst_pop3_walk.moc"
