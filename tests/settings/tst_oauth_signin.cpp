// Signing in with OAuth from end to end on loopback: our authorization
// server, a Dovecot that checks each token with it, and the secrets kept.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

#include "check/AccountTokens.h"
#include "mail/NMail.h"
#include "settings/GnomeOnlineAccounts.h"
#include "settings/IniFile.h"
#include "settings/OAuthAccount.h"
#include "settings/SettingsPaths.h"
#include "settings/OAuthSignIn.h"
#include "settings/OAuthTokens.h"
#include "tests/support/DovecotFixture.h"
#include "tests/support/OAuthTestServer.h"
#include "tests/support/ProgramFolderFixture.h"

using namespace qp;
using Interfaces = QMap<QString, QVariantMap>;
using Objects = QMap<QDBusObjectPath, Interfaces>;
Q_DECLARE_METATYPE(Interfaces)
Q_DECLARE_METATYPE(Objects)

namespace {

// A stand-in for GNOME Online Accounts: a mail account, one that needs the
// user's attention, and one with mail switched off. Each token it hands out
// is new once EnsureCredentials was called.
class GoaStandIn : public QDBusVirtualObject {
public:
    int ensured = 0;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override
    {
        const QString account = QStringLiteral("org.gnome.OnlineAccounts.Account");
        auto entry = [&](bool attention, bool mailOff) {
            return Interfaces{{account, {{QStringLiteral("ProviderName"), QStringLiteral("Google")},
                                         {QStringLiteral("AttentionNeeded"), attention},
                                         {QStringLiteral("MailDisabled"), mailOff}}},
                              {QStringLiteral("org.gnome.OnlineAccounts.OAuth2Based"), {}},
                              {QStringLiteral("org.gnome.OnlineAccounts.Mail"),
                               {{QStringLiteral("EmailAddress"), QStringLiteral("taro@gmail.com")},
                                {QStringLiteral("ImapHost"), QStringLiteral("imap.gmail.com")}}}};
        };
        const QString base = QStringLiteral("/org/gnome/OnlineAccounts/Accounts/");
        QVariantList out;
        if (m.member() == QLatin1String("GetManagedObjects"))
            out << QVariant::fromValue(Objects{{QDBusObjectPath(base + QStringLiteral("good")), entry(false, false)},
                                               {QDBusObjectPath(base + QStringLiteral("stale")), entry(true, false)},
                                               {QDBusObjectPath(base + QStringLiteral("off")), entry(false, true)}});
        else if (m.member() == QLatin1String("Get"))
            out << QVariant::fromValue(QDBusVariant(m.path().endsWith(QLatin1String("stale"))));
        else if (m.member() == QLatin1String("EnsureCredentials"))
            out << ++ensured;
        else if (m.member() == QLatin1String("GetAccessToken"))
            out << QStringLiteral("goa-token-%1").arg(ensured) << 3600;
        else
            return false;
        bus.send(m.createReply(out));
        return true;
    }
};

} // namespace

class OAuthSignInTest : public QObject {
    Q_OBJECT
    test::OAuthTestServer m_server;
    std::unique_ptr<test::DovecotFixture> m_dovecot;
    QTemporaryDir m_dir;
    OAuthSettings m_settings;
    const bool m_xoauth2 = qEnvironmentVariableIsSet("QP_TEST_XOAUTH2");

    QString pop3(bool tls) const
    {
        return tls ? QStringLiteral("pop3s://127.0.0.1:%1").arg(m_dovecot->pop3sPort()) : m_dovecot->serverText();
    }

    // Logs in as alice with the tokens' access token; the message count or -1.
    int login(OAuthTokens& tokens, const QString& server, const char* from = "127.0.0.1", bool* refused = nullptr)
    {
        NMail mail;
        mail.setExtraCaCertificates(m_dovecot->caCertificates());
        mail.setLocalAddress(QHostAddress(QLatin1String(from)));
        const int h = mail.NMailPop3Connect(server);
        if (h < 0)
            return -2;
        auto shared = std::shared_ptr<OAuthTokens>(&tokens, [](OAuthTokens*) {});
        const int n = mail.authenticateWithToken(h, QStringLiteral("alice"), std::make_shared<AccountTokenSource>(shared));
        if (refused)
            *refused = mail.lastLoginTokenRefused();
        mail.NMailPop3Close(h);
        return n;
    }

private slots:
    void initTestCase()
    {
        if (!test::DovecotFixture::available())
            QSKIP("dovecot cannot run here");
        QVERIFY(m_server.start());
        // QP_TEST_XOAUTH2: the server offers the other mechanism alone.
        m_dovecot = std::make_unique<test::DovecotFixture>(test::DovecotFixture::Options{
            true, m_xoauth2 ? QStringLiteral("auth_mechanisms = plain xoauth2") : QString()});
        m_dovecot->setOAuthIntrospectionUrl(m_server.url("/introspect"));
        QVERIFY(m_dovecot->addUser(QStringLiteral("alice"), QStringLiteral("unused")));
        QVERIFY(m_dovecot->addMessage(QStringLiteral("alice"), "From: a@example.jp\r\n\r\none\r\n"));
        QVERIFY(m_dovecot->addMessage(QStringLiteral("alice"), "From: b@example.jp\r\n\r\ntwo\r\n"));
        QVERIFY2(m_dovecot->start(), qPrintable(m_dovecot->errorString()));
        QString error;
        QVERIFY2(OAuthHttp().discover(m_server.issuer(), &m_settings, &error), qPrintable(error));
        m_settings.kind = QStringLiteral("custom");
        m_settings.clientId = QLatin1String(test::OAuthTestServer::kClientId);
        m_settings.scope = QStringLiteral("mail offline");
    }

    // The browser step as a browser takes it, the tokens over every
    // listener, then expiry, a restart, and a revoked sign-in.
    void browserSignInThenEveryListener()
    {
        OAuthBrowserSignIn signIn(m_settings);
        QNetworkAccessManager browser;
        QByteArray page;
        signIn.setOpener([&](const QUrl& url) {
            QNetworkReply* r = browser.get(QNetworkRequest(url));
            connect(r, &QNetworkReply::finished, r, [&page, r] { page = r->readAll(); });
        });
        QSignalSpy done(&signIn, &OAuthBrowserSignIn::finished);
        QString error;
        QVERIFY2(signIn.start(&error), qPrintable(error));
        QVERIFY(done.wait(10000));
        const TokenReply reply = done.at(0).at(0).value<TokenReply>();
        QVERIFY2(reply.ok, qPrintable(reply.errorText));
        QTRY_VERIFY(QString::fromUtf8(page).contains(OAuthBrowserSignIn::donePageText()));

        SecretStore store(m_dir.filePath(QStringLiteral("secrets")));
        OAuthTokens tokens(m_settings, QStringLiteral("alice"), &store);
        QVERIFY(tokens.signedIn(reply).ok);
        for (bool tls : {false, true}) {
            QCOMPARE(login(tokens, m_dovecot->imapServerText(tls)), 2);
            QCOMPARE(login(tokens, pop3(tls)), 2);
        }
        QCOMPARE(m_server.refreshCount(), 0);
        m_server.expireAccessTokens(); // still "valid" by its time: refused, renewed, retried
        QCOMPARE(login(tokens, m_dovecot->imapServerText(true), "127.0.0.2"), 2);
        QCOMPARE(m_server.refreshCount(), 1);

        OAuthTokens restarted(m_settings, QStringLiteral("alice"), &store); // the rotated refresh token
        QCOMPARE(login(restarted, pop3(true)), 2);
        QCOMPARE(m_server.refreshCount(), 2);

        m_server.revokeRefreshTokens();
        m_server.expireAccessTokens();
        bool refused = false;
        QCOMPARE(login(restarted, pop3(true), "127.0.0.3", &refused), -1);
        QVERIFY(refused);
        QVERIFY(restarted.mustSignIn());
        QCOMPARE(login(restarted, pop3(true), "127.0.0.3"), -1);
        QCOMPARE(m_server.refreshCount(), 3); // the second check asked nothing
        QVERIFY(m_dovecot->logText().contains(m_xoauth2 ? "method=XOAUTH2" : "method=OAUTHBEARER"));
    }

    // The device grant, for another user: Dovecot refuses alice's login.
    void deviceGrantForAnotherUser()
    {
        m_server.setUser(QStringLiteral("bob"));
        m_server.setLifetime(60); // within the margin: refreshed before each login
        OAuthDeviceSignIn signIn(m_settings);
        connect(&signIn, &OAuthDeviceSignIn::userCodeReady, this, [this] { m_server.approveDevice(); });
        QSignalSpy done(&signIn, &OAuthDeviceSignIn::finished);
        signIn.start();
        QVERIFY(done.wait(15000));
        const TokenReply reply = done.at(0).at(0).value<TokenReply>();
        QVERIFY2(reply.ok, qPrintable(reply.errorText));
        SecretStore store(m_dir.filePath(QStringLiteral("secrets2")));
        OAuthTokens tokens(m_settings, QStringLiteral("alice"), &store);
        tokens.signedIn(reply);
        const int before = m_server.refreshCount();
        bool refused = false;
        QCOMPARE(login(tokens, m_dovecot->imapServerText(true), "127.0.0.4", &refused), -1);
        QVERIFY(refused);
        QCOMPARE(m_server.refreshCount(), before + 2);
        // Signing out revokes the refresh token at the server and drops it here.
        const QByteArray kept = store.read(m_settings.secretKey(QStringLiteral("alice")));
        tokens.signOut(5000);
        QVERIFY(store.read(m_settings.secretKey(QStringLiteral("alice"))).isEmpty());
        QCOMPARE(OAuthHttp().refresh(m_settings, kept).error, QStringLiteral("invalid_grant"));
    }

    // With a keyring (run under a private session bus) the secret goes
    // there; without one to an owner-only file, said once.
    void secretStore()
    {
        const bool keyring = qEnvironmentVariableIsSet("QP_TEST_KEYRING");
        const QString path = m_dir.filePath(QStringLiteral("secrets3"));
        SecretStore store(path);
        store.setKeyringTimeoutMs(3000);
        const SecretStore::Outcome first = store.write(QStringLiteral("k1"), "refresh/1");
        QVERIFY2(first.ok, qPrintable(first.error));
        QCOMPARE(first.notice.isEmpty(), keyring);
        QCOMPARE(store.write(QStringLiteral("k2"), "refresh/2").notice, QString());
        QCOMPARE(QFile::exists(path), !keyring);
        if (!keyring)
            QVERIFY(!(QFile(path).permissions() & 0x00ff)); // nothing for group or others
        // Read and rotated on the check's worker, as a refresh does.
        QByteArray got;
        SecretStore other(path);
        QThread* t = QThread::create([&] {
            got = other.read(QStringLiteral("k1"));
            QVERIFY(other.write(QStringLiteral("k1"), "refresh/3").ok);
        });
        t->start();
        QTRY_VERIFY(t->isFinished());
        delete t;
        QCOMPARE(got, QByteArray("refresh/1"));
        QCOMPARE(QFile::exists(path), !keyring);
        QCOMPARE(SecretStore(path).read(QStringLiteral("k1")), QByteArray("refresh/3"));

        // The account's password kept there too: none in the account file,
        // and the check's login reads it back.
        test::ProgramFolder folder;
        WriteIniText(idPassIniPath(), QStringLiteral("NAME"), QStringLiteral("alice"), IniFileMode::OwnerOnly);
        QVERIFY(keepPasswordInKeyring(QStringLiteral("alice"), QStringLiteral("unused")).ok);
        QVERIFY(!test::readFile(idPassIniPath()).contains("unused"));
        QCOMPARE(QFile::exists(secretFilePath()), !keyring);
        NMail mail;
        mail.setExtraCaCertificates(m_dovecot->caCertificates());
        const int h = mail.NMailPop3Connect(pop3(false));
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), storedAccountPassword(), 0), 2);
        mail.NMailPop3Close(h);
    }

    // Run under a private session bus (QP_TEST_BUS) with the stand-in;
    // without one, nothing is listed and no token comes, at once.
    void gnomeOnlineAccounts()
    {
        const bool bus = qEnvironmentVariableIsSet("QP_TEST_BUS");
        QThread thread;
        GoaStandIn standIn;
        QDBusConnection service = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("goa"));
        if (bus) {
            qDBusRegisterMetaType<Interfaces>();
            qDBusRegisterMetaType<Objects>();
            standIn.moveToThread(&thread);
            thread.start();
            QVERIFY(service.registerVirtualObject(QStringLiteral("/org/gnome/OnlineAccounts"), &standIn,
                                                  QDBusConnection::SubPath));
            QVERIFY(service.registerService(QStringLiteral("org.gnome.OnlineAccounts")));
        }
        const QList<GnomeMailAccount> accounts = gnomeMailAccounts();
        QCOMPARE(accounts.size(), bus ? 2 : 0);
        GnomeAccountTokens good(QStringLiteral("/org/gnome/OnlineAccounts/Accounts/good"));
        GnomeAccountTokens stale(QStringLiteral("/org/gnome/OnlineAccounts/Accounts/stale"));
        QCOMPARE(good.accessToken(false).accessToken, bus ? QByteArray("goa-token-0") : QByteArray());
        QVERIFY(stale.accessToken(false).accessToken.isEmpty());
        if (bus) {
            QCOMPARE(accounts.at(0).email, QStringLiteral("taro@gmail.com"));
            QVERIFY(accounts.at(1).attentionNeeded);
            QCOMPARE(good.accessToken(true).accessToken, QByteArray("goa-token-1"));
            QVERIFY(stale.mustSignIn());
            QVERIFY(!good.mustSignIn());
        }
        service.unregisterService(QStringLiteral("org.gnome.OnlineAccounts"));
        thread.quit();
        thread.wait();
    }
};

QTEST_GUILESS_MAIN(OAuthSignInTest)
#include "tst_oauth_signin.moc"
