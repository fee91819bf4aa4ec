// Signing in with an OAuth token: the SASL messages against the published
// examples, and both clients against scripted servers that refuse a token.
#include <QtTest>

#include "mail/NMail.h"
#include "mail/OAuthSasl.h"
#include "tests/support/FakeImapServer.h"
#include "tests/support/FakePop3Server.h"

using namespace qp::oauthsasl;

namespace {

// Hands out "token1", "token2", ... and notes whether each was a renewal.
class CountingSource : public qp::OAuthTokenSource {
public:
    QList<bool> renewals;
    QByteArray prefix = "token";
    Token accessToken(bool renew) override
    {
        renewals.append(renew);
        return {prefix + QByteArray::number(renewals.size()), {}};
    }
};

const QByteArray kRefusal = "+ " + QByteArray(R"({"status":"invalid_token","scope":"mail"})").toBase64();

} // namespace

class OAuthSaslTest : public QObject {
    Q_OBJECT

private slots:
    void publishedExamples()
    {
        QByteArray m;
        // RFC 7628 section 4.1.
        QVERIFY(initialResponse(Mechanism::OAuthBearer, "user@example.com", "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==",
                                "server.example.com", 143, &m));
        QCOMPARE(m.toBase64(), QByteArray("bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9"
                                          "QmVhcmVyIHZGOWRmdDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB"));
        // Google's XOAUTH2 documentation.
        QVERIFY(initialResponse(Mechanism::XOAuth2, "someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg",
                                {}, 0, &m));
        QCOMPARE(m.toBase64(), QByteArray("dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNS"
                                          "bGNrQmhkSFJoZG1semRHRXVZMjl0Q2cBAQ=="));
        // "," and "=" in a user name would break the GS2 header.
        QVERIFY(initialResponse(Mechanism::OAuthBearer, "a,b=c", "t", {}, 0, &m));
        QVERIFY(m.startsWith("n,a=a=2Cb=3Dc,\x01"));
        QVERIFY(!initialResponse(Mechanism::XOAuth2, "u", "bad token", {}, 0, &m));
        QCOMPARE(choose({"PLAIN", "XOAUTH2", "oauthbearer"}), Mechanism::OAuthBearer);
        QCOMPARE(parseErrorChallenge(R"({"status":"401","schemes":"bearer"})").status, QStringLiteral("401"));
        // A token goes in the clear only to this machine, by the name as typed.
        QVERIFY(!bearerAllowed(false, QStringLiteral("mail.example.jp")));
        QVERIFY(!bearerAllowed(false, QStringLiteral("192.0.2.1")));
        QVERIFY(bearerAllowed(true, QStringLiteral("mail.example.jp")));
        QVERIFY(bearerAllowed(false, QStringLiteral("127.0.0.2")) && bearerAllowed(false, QStringLiteral("[::1]")));
    }

    // A refused token is answered as the mechanism asks, renewed once and
    // tried once more; a second refusal ends it without a third try.
    void imapRenewsOnceThenStops()
    {
        qp::test::FakeImapServer server;
        server.greeting("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN AUTH=XOAUTH2 AUTH=OAUTHBEARER] ready");
        for (int i = 0; i < 2; ++i) {
            server.expect("AUTHENTICATE OAUTHBEARER *", kRefusal);
            server.expect("AQ==", "{tag} NO [AUTHENTICATIONFAILED] token refused");
        }
        server.expect("LOGOUT", "* BYE\r\n{tag} OK bye");
        QVERIFY(server.start());
        qp::NMail mail;
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        auto source = std::make_shared<CountingSource>();
        QCOMPARE(mail.authenticateWithToken(h, QStringLiteral("taro@example.jp"), source), -1);
        QCOMPARE(source->renewals, QList<bool>({false, true}));
        QVERIFY(mail.lastLoginTokenRefused());
        QVERIFY(mail.lastError().contains(QStringLiteral("サインイン")));
        mail.NMailPop3Close(h);
        QCOMPARE(server.mismatch(), QString());
        const QByteArray second = server.received().value(2);
        QVERIFY(QByteArray::fromBase64(second.mid(second.lastIndexOf(' ') + 1)).contains("auth=Bearer token2\x01"));
    }

    // A POP3 server offering XOAUTH2 alone; the token is too long for the
    // command line, so it goes after the server's "+".
    void pop3LongTokenAfterRenewal()
    {
        auto source = std::make_shared<CountingSource>();
        source->prefix = QByteArray(300, 'x');
        QByteArray first, second;
        QVERIFY(initialResponse(Mechanism::XOAuth2, "taro", source->prefix + "1", {}, 0, &first));
        QVERIFY(initialResponse(Mechanism::XOAuth2, "taro", source->prefix + "2", {}, 0, &second));
        qp::test::FakePop3Server server;
        server.greeting("+OK ready");
        server.expect("CAPA", "+OK\r\nUSER\r\nSASL PLAIN XOAUTH2\r\n.\r\n");
        server.expect("AUTH XOAUTH2", "+ ");
        server.expect(first.toBase64(), "+ " + QByteArray(R"({"status":"401"})").toBase64());
        server.expect("", "-ERR [AUTH] expired");
        server.expect("AUTH XOAUTH2", "+ ");
        server.expect(second.toBase64(), "+OK signed in");
        server.expect("CAPA", "+OK\r\nUSER\r\n.\r\n");
        server.expect("STAT", "+OK 2 300");
        server.expect("QUIT", "+OK bye");
        QVERIFY(server.start());
        qp::NMail mail;
        const int h = mail.NMailPop3Connect(server.serverText());
        QVERIFY(h > 0);
        QCOMPARE(mail.authenticateWithToken(h, QStringLiteral("taro"), source), 2);
        QVERIFY(!mail.lastLoginTokenRefused());
        mail.NMailPop3Close(h);
        QCOMPARE(server.mismatch(), QString());
    }
};

QTEST_GUILESS_MAIN(OAuthSaslTest)
#include "tst_oauth_sasl.moc"
