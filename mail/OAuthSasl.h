#pragma once
#include <QByteArray>
#include <QList>
#include <QString>

namespace qp {

// The two SASL mechanisms that carry an OAuth 2.0 bearer token to a mail
// server: OAUTHBEARER (RFC 7628) and Google's and Microsoft's XOAUTH2. The
// functions give the client's messages before base64; the clients send them.
namespace oauthsasl {

enum class Mechanism { None, OAuthBearer, XOAuth2 };

QByteArray mechanismName(Mechanism m);

// OAUTHBEARER when the server offers it (the standard one), else XOAUTH2;
// None when it offers neither. Names are the SASL names, any case.
Mechanism choose(const QList<QByteArray>& offered);

// The first message. The user and token must be free of the separators
// (control characters): false otherwise. host and port go into OAUTHBEARER's
// message, as RFC 7628 asks; XOAUTH2 has no place for them.
bool initialResponse(Mechanism m, const QByteArray& user, const QByteArray& token, const QByteArray& host,
                     int port, QByteArray* out);

// Whether a bearer token may go over this connection: only encrypted
// (implicit TLS or after STARTTLS/STLS), unless the host typed is loopback
// (a local tunnel); a token read off the wire is as good as the password.
// The name as typed counts, not what it resolves to.
bool bearerAllowed(bool encrypted, const QString& host);

// A refused token: the server sends a JSON error in a challenge and waits
// for one more message, after which it fails the exchange. This is that
// message (RFC 7628 3.2.3: a single 0x01; XOAUTH2: empty).
QByteArray errorAcknowledgement(Mechanism m);

// What the server's JSON error says. status is "invalid_token" for an
// expired or revoked token, "insufficient_scope" for a token without mail
// access; Google sends the HTTP-like "401" / "400" instead.
struct ErrorChallenge {
    bool parsed = false; // the challenge was JSON with a status
    QString status;
    QString scope;
    QString openidConfiguration;
};
// challenge is the decoded (not base64) challenge.
ErrorChallenge parseErrorChallenge(const QByteArray& challenge);

} // namespace oauthsasl
} // namespace qp
