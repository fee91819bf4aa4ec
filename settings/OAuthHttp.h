#pragma once
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include "settings/OAuthSettings.h"

namespace qp {

// PKCE (RFC 7636): a new random code verifier, and its S256 challenge.
QByteArray newPkceVerifier();
QByteArray pkceChallenge(const QByteArray& verifier);

// What a token endpoint answered (RFC 6749 5.1 and 5.2).
struct TokenReply {
    bool ok = false;
    QString error;     // the OAuth error code ("invalid_grant", "authorization_pending"), or empty
    QString errorText; // Japanese, for the user
    QByteArray accessToken;
    QByteArray refreshToken; // empty when the server kept the old one
    qint64 expiresIn = 0;    // seconds; 0 = not said
    int interval = 0;        // device grant: "slow_down" asks for more
};

// The start of the device authorization grant (RFC 8628 3.2).
struct DeviceStart {
    bool ok = false;
    QString errorText;
    QByteArray deviceCode;
    QString userCode;
    QString verificationUri;
    QString verificationUriComplete;
    int interval = 5;
    int expiresIn = 600;
};

// The calls a desktop client makes to an authorization server, each a
// blocking HTTPS request with a time-out, on the calling thread (it needs
// a QCoreApplication, not the window's thread). A server that is not on
// loopback must be reached over https: a token never goes out in the clear.
class OAuthHttp {
public:
    static constexpr int kDefaultTimeoutMs = 30000;

    void setTimeoutMs(int ms) { m_timeoutMs = ms; }
    void setExtraCaCertificates(const QList<QSslCertificate>& certs) { m_extraCas = certs; }

    // The endpoints of a server from its metadata (RFC 8414 first, then
    // OpenID Connect discovery): fills authorize, token, device and revocation URLs.
    bool discover(const QString& issuer, OAuthSettings* s, QString* errorText);

    TokenReply refresh(const OAuthSettings& s, const QByteArray& refreshToken);
    TokenReply exchangeCode(const OAuthSettings& s, const QByteArray& code, const QByteArray& verifier,
                            const QString& redirectUri);
    DeviceStart startDevice(const OAuthSettings& s);
    TokenReply pollDevice(const OAuthSettings& s, const QByteArray& deviceCode);
    // Asks the server to revoke a refresh token (RFC 7009); true when it
    // said yes. No revocation endpoint: false, nothing sent.
    bool revoke(const OAuthSettings& s, const QByteArray& refreshToken);

    // application/x-www-form-urlencoded, each name and value encoded once.
    static QByteArray formBody(const QList<QPair<QString, QString>>& fields);

private:
    struct Answer {
        bool reached = false; // an HTTP answer came
        int status = 0;
        QJsonObject json;
        QString errorText;
    };
    Answer request(const QUrl& url, const QByteArray* postBody);
    TokenReply tokenRequest(const OAuthSettings& s, QList<QPair<QString, QString>> fields);

    int m_timeoutMs = kDefaultTimeoutMs;
    QList<QSslCertificate> m_extraCas;
};

} // namespace qp
