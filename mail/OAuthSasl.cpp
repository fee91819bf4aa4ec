#include "OAuthSasl.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

namespace qp::oauthsasl {

QByteArray mechanismName(Mechanism m)
{
    switch (m) {
    case Mechanism::OAuthBearer:
        return "OAUTHBEARER";
    case Mechanism::XOAuth2:
        return "XOAUTH2";
    case Mechanism::None:
        break;
    }
    return {};
}

Mechanism choose(const QList<QByteArray>& offered)
{
    bool xoauth2 = false;
    for (const QByteArray& name : offered) {
        if (name.compare("OAUTHBEARER", Qt::CaseInsensitive) == 0)
            return Mechanism::OAuthBearer;
        if (name.compare("XOAUTH2", Qt::CaseInsensitive) == 0)
            xoauth2 = true;
    }
    return xoauth2 ? Mechanism::XOAuth2 : Mechanism::None;
}

static bool hasControl(const QByteArray& s)
{
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    return false;
}

// RFC 5801's saslname: "," and "=" cannot stand in the GS2 header as they are.
static QByteArray saslName(const QByteArray& user)
{
    QByteArray out;
    for (char c : user) {
        if (c == ',')
            out += "=2C";
        else if (c == '=')
            out += "=3D";
        else
            out += c;
    }
    return out;
}

bool initialResponse(Mechanism m, const QByteArray& user, const QByteArray& token, const QByteArray& host,
                     int port, QByteArray* out)
{
    // A token is a b64token (RFC 6750): a space would end it early.
    if (token.isEmpty() || hasControl(user) || hasControl(token) || token.contains(' ') || hasControl(host))
        return false;
    switch (m) {
    case Mechanism::OAuthBearer: {
        QByteArray s = "n,";
        if (!user.isEmpty())
            s += "a=" + saslName(user);
        s += ",\x01";
        if (!host.isEmpty())
            s += "host=" + host + '\x01';
        if (port > 0)
            s += "port=" + QByteArray::number(port) + '\x01';
        s += "auth=Bearer " + token + "\x01\x01";
        *out = s;
        return true;
    }
    case Mechanism::XOAuth2:
        *out = "user=" + user + "\x01" "auth=Bearer " + token + "\x01\x01";
        return true;
    case Mechanism::None:
        break;
    }
    return false;
}

QByteArray errorAcknowledgement(Mechanism m)
{
    return m == Mechanism::OAuthBearer ? QByteArray("\x01") : QByteArray();
}

ErrorChallenge parseErrorChallenge(const QByteArray& challenge)
{
    ErrorChallenge e;
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(challenge, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return e;
    const QJsonObject o = doc.object();
    const QJsonValue status = o.value(QLatin1String("status"));
    // Google sends the status as a string of digits; others may send a number.
    if (status.isString())
        e.status = status.toString();
    else if (status.isDouble())
        e.status = QString::number(status.toInt());
    e.scope = o.value(QLatin1String("scope")).toString();
    e.openidConfiguration = o.value(QLatin1String("openid-configuration")).toString();
    e.parsed = !e.status.isEmpty();
    return e;
}

bool bearerAllowed(bool encrypted, const QString& host)
{
    if (encrypted || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QString h = host;
    if (h.startsWith(QLatin1Char('[')) && h.endsWith(QLatin1Char(']')))
        h = h.mid(1, h.size() - 2);
    const QHostAddress a(h);
    return !a.isNull() && a.isLoopback();
}

} // namespace qp::oauthsasl
