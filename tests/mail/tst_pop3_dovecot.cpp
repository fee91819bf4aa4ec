// The mail-library calls against a real POP3 server: Dovecot on loopback,
// from a config of the test's own.
#include <QDirIterator>
#include <QtTest>

#include "mail/NMail.h"
#include "tests/support/DovecotFixture.h"

using qp::NMail;
using qp::test::DovecotFixture;

namespace {

// Japanese mail as three generations of mailers sent it.
const QByteArray kIso2022Jp =
    "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>\r\n"
    "To: alice@example.jp\r\n"
    "Subject: =?ISO-2022-JP?B?GyRCLSEtahsoQg==?=\r\n"
    "Date: Mon, 7 Dec 2026 08:00:00 +0900\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
    "\r\n"
    "\x1b$B$3$s$K$A$O\x1b(B\r\n"
    ".a line that starts with a dot\r\n";
const QByteArray kShiftJisRaw =
    "From: \x8d\xb2\x93\xa1 <sato@example.jp>\r\n"
    "Subject: test\r\n"
    "\r\n"
    "body\r\n";
const QByteArray kUtf8 =
    "From: =?UTF-8?B?6Yi05pyo?=\r\n =?UTF-8?B?IOiKseWtkA==?= <suzuki@example.jp>\r\n"
    "Subject: =?UTF-8?Q?=E3=81=8A=E7=9F=A5=E3=82=89=E3=81=9B?=\r\n"
    "\r\n"
    "body\r\n";

qp::Pop3Timeouts testTimeouts()
{
    qp::Pop3Timeouts t;
    t.connectMs = 5000;
    t.replyMs = 10000; // above Dovecot's 2 s delay before a refused login
    t.wholeReplyMs = 30000;
    return t;
}

// Every message file's bytes, in name order of their unique part.
QByteArrayList maildirContents(const QString& maildir)
{
    QMap<QString, QByteArray> byName;
    for (QDirIterator it(maildir, {QStringLiteral("*.qptest*")}, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly))
            byName[it.fileName().section(QLatin1Char(':'), 0, 0).section(QLatin1Char(','), 0, 0)] = f.readAll();
    }
    return byName.values();
}

QString lastMessage(NMail& mail)
{
    QString text;
    int size = 8192;
    mail.NMailGetMessage(0, text, size);
    return text;
}

} // namespace

class Pop3DovecotTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DovecotFixture> m_dovecot;

private slots:
    void initTestCase()
    {
        if (!DovecotFixture::available())
            QSKIP("dovecot is not available (needs the binary and root)");
        m_dovecot = std::make_unique<DovecotFixture>();
        QVERIFY2(m_dovecot->addUser(QStringLiteral("alice"), QStringLiteral("secret")), qPrintable(m_dovecot->errorString()));
        QVERIFY(m_dovecot->addUser(QStringLiteral("bob"), QStringLiteral("hunter2")));
        QVERIFY(m_dovecot->addUser(QStringLiteral("dave"), QStringLiteral("pw")));
        QVERIFY(m_dovecot->addMessage(QStringLiteral("alice"), kIso2022Jp));
        QVERIFY(m_dovecot->addMessage(QStringLiteral("alice"), kShiftJisRaw));
        QVERIFY(m_dovecot->addMessage(QStringLiteral("alice"), kUtf8));
        QVERIFY2(m_dovecot->start(), qPrintable(m_dovecot->errorString()));
    }

    void cleanupTestCase()
    {
        m_dovecot.reset(); // stops Dovecot
    }

    // USER/PASS over STLS (Dovecot offers it): a whole check reads every
    // sender right and leaves the mailbox as it was, one command at a time
    // and with the walk pipelined (Dovecot offers PIPELINING).
    void checkOverStls_data()
    {
        QTest::addColumn<bool>("pipelined");
        QTest::newRow("one command at a time") << false;
        QTest::newRow("pipelined") << true;
    }
    void checkOverStls()
    {
        QFETCH(bool, pipelined);
        NMail mail;
        mail.setTimeouts(testTimeouts());
        mail.setExtraCaCertificates(m_dovecot->caCertificates());
        const int h = mail.NMailPop3Connect(m_dovecot->serverText());
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        QVERIFY(mail.client(h)->isEncrypted());
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0), 3);
        if (pipelined)
            mail.planWalk(h, 3);
        QCOMPARE(mail.client(h)->isPipelining(), pipelined);

        const QStringList senders = {QStringLiteral("山田 <yamada@example.jp>"), QStringLiteral("佐藤 <sato@example.jp>"),
                                     QStringLiteral("鈴木 花子 <suzuki@example.jp>")};
        const QStringList subjects = {QStringLiteral("①㈱"), QStringLiteral("test"), QStringLiteral("お知らせ")};
        const QList<QByteArray> raw = {kIso2022Jp, kShiftJisRaw, kUtf8};
        for (int m = 1; m <= 3; ++m) {
            QString subject, date, from, header, body;
            QCOMPARE(mail.NMailPop3GetMailStatus(h, m, subject, date, from, header, 0), 0);
            QCOMPARE(from, senders.at(m - 1));
            QCOMPARE(subject, subjects.at(m - 1));
            QCOMPARE(mail.NMailPop3GetMailSize(h, m), raw.at(m - 1).size());
            QCOMPARE(mail.NMailPop3GetMail(h, m, subject, date, from, header, body, 0, 0), 0);
            QCOMPARE(from, senders.at(m - 1));
            if (m == 1) {
                QCOMPARE(date, QStringLiteral("Mon, 7 Dec 2026 08:00:00 +0900"));
            }
        }
        QCOMPARE(mail.NMailPop3Close(h), 0);
    }

    // A check changes nothing on the server: every message keeps its flags
    // (no \Seen) and its file, nothing is retrieved, and it still counts and
    // reads every sender. The next check of the run sends TOP only for the
    // message added in between.
    void checkLeavesMailboxAsItWas()
    {
        const QString user = QStringLiteral("dave");
        QVERIFY(m_dovecot->addMessage(user, kIso2022Jp));
        QVERIFY(m_dovecot->addMessage(user, kUtf8, QStringLiteral("F")));
        NMail mail;
        mail.setTimeouts(testTimeouts());
        mail.setExtraCaCertificates(m_dovecot->caCertificates());
        for (int count : {2, 3}) {
            if (count == 3)
                QVERIFY(m_dovecot->addMessage(user, kShiftJisRaw));
            const auto flags = m_dovecot->maildirFlags(user);
            const QByteArrayList files = maildirContents(m_dovecot->maildir(user));
            const int h = mail.NMailPop3Connect(m_dovecot->serverText());
            QCOMPARE(mail.NMailPop3Authenticate(h, user, QStringLiteral("pw"), 0), count);
            mail.planWalk(h, count);
            QStringList senders;
            QString subject, date, from, header, body;
            for (int m = 1; m <= count; ++m) {
                QCOMPARE(mail.NMailPop3GetMailStatus(h, m, subject, date, from, header, 0), 0);
                QVERIFY(mail.NMailPop3GetMailSize(h, m) > 0 && mail.NMailPop3GetMail(h, m, subject, date, from, header, body, 0, 0) == 0);
                senders << from;
            }
            QCOMPARE(senders.mid(1), QStringList({"鈴木 花子 <suzuki@example.jp>", "佐藤 <sato@example.jp>"}).mid(0, count - 1));
            mail.NMailPop3Close(h);
            QTRY_VERIFY2(m_dovecot->logText().contains(count == 2 ? "top=2/" : "top=1/"), qPrintable(m_dovecot->logText()));
            for (const QString& line : m_dovecot->logText().split(QLatin1Char('\n')))
                if (line.contains(QStringLiteral("pop3(dave)")) && line.contains(QStringLiteral("top=")))
                    QVERIFY2(line.contains(QStringLiteral("retr=0/0, del=0/")), qPrintable(line));
            QCOMPARE(m_dovecot->maildirFlags(user), flags);
            QCOMPARE(maildirContents(m_dovecot->maildir(user)), files);
        }
    }

    void apopAndPop3s()
    {
        NMail mail;
        mail.setTimeouts(testTimeouts());
        mail.setExtraCaCertificates(m_dovecot->caCertificates());
        int h = mail.NMailPop3Connect(QStringLiteral("127.0.0.1:%1").arg(m_dovecot->pop3Port()));
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), -1), 3);
        mail.NMailPop3Close(h);

        h = mail.NMailPop3Connect(QStringLiteral("pop3s://localhost:%1").arg(m_dovecot->pop3sPort()));
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        QVERIFY(mail.client(h)->isEncrypted());
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("bob"), QStringLiteral("hunter2"), 0), 0);
        mail.NMailPop3Close(h);
        QVERIFY2(m_dovecot->waitForLog(QStringLiteral("method=APOP")), qPrintable(m_dovecot->logText()));
    }

    // A refused login: negative, with Dovecot's own words. From another
    // loopback address, so Dovecot's penalty does not slow the other tests.
    void wrongPassword_data()
    {
        QTest::addColumn<int>("apop");
        QTest::addColumn<QString>("from");
        QTest::newRow("USER/PASS") << 0 << QStringLiteral("127.0.0.2");
        QTest::newRow("APOP") << -1 << QStringLiteral("127.0.0.3");
    }
    void wrongPassword()
    {
        QFETCH(int, apop);
        QFETCH(QString, from);
        NMail mail;
        mail.setTimeouts(testTimeouts());
        mail.setExtraCaCertificates(m_dovecot->caCertificates());
        mail.setLocalAddress(QHostAddress(from));
        const int h = mail.NMailPop3Connect(m_dovecot->serverText());
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        QVERIFY(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("wrong"), apop) < 0);
        QVERIFY2(lastMessage(mail).startsWith(QStringLiteral("ログインできません（")), qPrintable(lastMessage(mail)));
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("Authentication failed")), qPrintable(lastMessage(mail)));
        QCOMPARE(mail.NMailPop3Close(h), 0);
    }

    // Dovecot's certificate comes from the test's CA: without trusting it
    // the upgrade fails, and the login is not tried in plain text.
    void untrustedCertificate()
    {
        NMail mail;
        mail.setTimeouts(testTimeouts());
        mail.setLocalAddress(QHostAddress(QStringLiteral("127.0.0.4")));
        QCOMPARE(mail.NMailPop3Connect(m_dovecot->serverText()), -1);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("証明書の発行元を信頼できません")), qPrintable(lastMessage(mail)));
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("pop3s://127.0.0.1:%1").arg(m_dovecot->pop3sPort())), -1);
    }

    // A server without TLS at all still works in plain text, as always.
    void plainServerWithoutTls()
    {
        DovecotFixture::Options options;
        options.tls = false;
        DovecotFixture plain(options);
        QVERIFY(plain.addUser(QStringLiteral("carol"), QStringLiteral("pw")));
        QVERIFY(plain.addMessage(QStringLiteral("carol"), kShiftJisRaw));
        QVERIFY2(plain.start(), qPrintable(plain.errorString()));
        NMail mail;
        mail.setTimeouts(testTimeouts());
        const int h = mail.NMailPop3Connect(plain.serverText());
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        QVERIFY(!mail.client(h)->isEncrypted());
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("carol"), QStringLiteral("pw"), 0), 1);
        QString s, d, f, hd;
        QCOMPARE(mail.NMailPop3GetMailStatus(h, 1, s, d, f, hd, 0), 0);
        QCOMPARE(f, QStringLiteral("佐藤 <sato@example.jp>"));
        mail.NMailPop3Close(h);
    }
};

QTEST_GUILESS_MAIN(Pop3DovecotTest)
#include "tst_pop3_dovecot.moc"
