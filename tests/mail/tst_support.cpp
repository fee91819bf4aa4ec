// The shared test helpers are used by several subsystems' tests; check that
// they really serve a client before anyone relies on them.
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "tests/support/DovecotFixture.h"
#include "tests/support/FakePop3Server.h"

using qp::test::DovecotFixture;
using qp::test::FakePop3Server;

namespace {

QByteArray readLine(QAbstractSocket& s)
{
    while (!s.canReadLine()) {
        if (!s.waitForReadyRead(5000))
            return {};
    }
    return s.readLine();
}

QByteArray command(QAbstractSocket& s, const QByteArray& line)
{
    s.write(line + "\r\n");
    s.waitForBytesWritten(5000);
    return readLine(s);
}

} // namespace

class SupportTest : public QObject {
    Q_OBJECT
private slots:
    void dovecotServesPlainAndTls()
    {
        if (!DovecotFixture::available())
            QSKIP("dovecot is not available (needs the binary and root)");
        DovecotFixture dovecot;
        QVERIFY2(dovecot.addUser(QStringLiteral("alice"), QStringLiteral("secret")), qPrintable(dovecot.errorString()));
        QVERIFY(dovecot.addMessage(QStringLiteral("alice"), "From: one@example.com\r\nSubject: 1\r\n\r\nfirst\r\n"));
        QVERIFY2(dovecot.start(), qPrintable(dovecot.errorString()));
        // Added after start: still counted, and in order.
        QVERIFY(dovecot.addMessage(QStringLiteral("alice"), "From: two@example.com\r\nSubject: 2\r\n\r\nsecond\r\n"));

        QTcpSocket plain;
        plain.connectToHost(dovecot.host(), dovecot.pop3Port());
        QVERIFY(plain.waitForConnected(5000));
        QVERIFY(readLine(plain).startsWith("+OK"));
        QVERIFY(command(plain, "USER alice").startsWith("+OK"));
        QVERIFY(command(plain, "PASS secret").startsWith("+OK"));
        QCOMPARE(command(plain, "STAT").split(' ').value(1), QByteArray("2"));
        QVERIFY(command(plain, "RETR 2").startsWith("+OK"));
        QByteArray body;
        for (QByteArray l = readLine(plain); !l.isEmpty() && l != ".\r\n"; l = readLine(plain))
            body += l;
        QVERIFY(body.contains("two@example.com"));
        QVERIFY(command(plain, "QUIT").startsWith("+OK"));
        QVERIFY2(dovecot.waitForLog(QStringLiteral("retr=1/")), qPrintable(dovecot.logText()));
        QVERIFY(dovecot.logText().contains(QStringLiteral("del=0/2")));

        QSslSocket tls;
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setCaCertificates(dovecot.caCertificates());
        tls.setSslConfiguration(conf);
        tls.connectToHostEncrypted(dovecot.host(), dovecot.pop3sPort());
        QVERIFY2(tls.waitForEncrypted(5000), qPrintable(tls.errorString()));
        QVERIFY(readLine(tls).startsWith("+OK"));

        // IMAP on both listeners. The flags on disk: RETR over POP3 marked
        // message 2 seen (Dovecot's default), message 3 was filed as read.
        QVERIFY(dovecot.addMessage(QStringLiteral("alice"), "From: three@example.com\r\n\r\n3\r\n", QStringLiteral("FS")));
        QCOMPARE(dovecot.maildirFlags(QStringLiteral("alice")).values(), (QList<QString>{"", "S", "FS"}));
        QTcpSocket imap;
        imap.connectToHost(dovecot.host(), dovecot.imapPort());
        QVERIFY(imap.waitForConnected(5000));
        QVERIFY(readLine(imap).contains("STARTTLS"));
        QVERIFY(command(imap, "a LOGIN alice secret").startsWith("a OK"));
        QSslSocket imaps;
        imaps.setSslConfiguration(conf);
        imaps.connectToHostEncrypted(dovecot.host(), dovecot.imapsPort());
        QVERIFY2(imaps.waitForEncrypted(5000), qPrintable(imaps.errorString()));
        QVERIFY(readLine(imaps).startsWith("* OK"));

        const QString folder = dovecot.folder();
        dovecot.stop();
        QVERIFY(!dovecot.isRunning());
        QTcpSocket after;
        after.connectToHost(QStringLiteral("127.0.0.1"), dovecot.pop3Port());
        QVERIFY(!after.waitForConnected(2000));
        QVERIFY(QFileInfo::exists(folder));
    }

    void fakeServerFollowsScriptInChunks()
    {
        FakePop3Server server;
        server.greeting("+OK hello");
        server.expect("USER *", "+OK");
        server.expect("RETR 1", "+OK\r\nline\r\n.\r\n", FakePop3Server::Then::Close);
        server.setChunkSize(1);
        QVERIFY(server.start());

        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(s.waitForConnected(5000));
        QCOMPARE(readLine(s), QByteArray("+OK hello\r\n"));
        QCOMPARE(command(s, "USER whoever"), QByteArray("+OK\r\n"));
        QCOMPARE(command(s, "RETR 1"), QByteArray("+OK\r\n"));
        QCOMPARE(readLine(s), QByteArray("line\r\n"));
        QCOMPARE(readLine(s), QByteArray(".\r\n"));
        QVERIFY(server.waitForDisconnect(5000));
        QVERIFY(server.scriptCompleted());
        QCOMPARE(server.mismatch(), QString());
        QCOMPARE(server.received(), (QList<QByteArray>{"USER whoever", "RETR 1"}));
    }

    void fakeServerReportsWrongCommand()
    {
        FakePop3Server server;
        server.expect("STAT", "+OK 0 0");
        QVERIFY(server.start());
        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(s.waitForConnected(5000));
        QVERIFY(readLine(s).startsWith("+OK"));
        QVERIFY(command(s, "DELE 1").startsWith("-ERR"));
        QVERIFY(server.waitForDisconnect(5000));
        QVERIFY(server.mismatch().contains(QStringLiteral("DELE 1")));
        QVERIFY(!server.scriptCompleted());
    }

    void fakeServerSpeaksTls()
    {
        QTemporaryDir dir;
        qp::test::TestCa ca;
        QVERIFY2(ca.create(dir.path()), qPrintable(ca.errorString()));
        QVERIFY2(ca.issue(QStringLiteral("server"), {QStringLiteral("localhost"), QStringLiteral("127.0.0.1")}),
                 qPrintable(ca.errorString()));
        FakePop3Server server;
        server.setTls(ca.certPath(QStringLiteral("server")), ca.keyPath(QStringLiteral("server")), true);
        server.greeting("+OK secure");
        QVERIFY(server.start());
        QSslSocket s;
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setCaCertificates(QSslCertificate::fromPath(ca.caPath()));
        s.setSslConfiguration(conf);
        s.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY2(s.waitForEncrypted(5000), qPrintable(s.errorString()));
        QCOMPARE(readLine(s), QByteArray("+OK secure\r\n"));
    }
};

QTEST_GUILESS_MAIN(SupportTest)
#include "tst_support.moc"
