#include "OAuthHttp.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QTimer>

namespace qp {

namespace {

constexpr auto kBase64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
// A token answer is a few kilobytes; anything far beyond is not one.
constexpr qint64 kMaxAnswerBytes = 1024 * 1024;

bool isLoopback(const QUrl& url)
{
    const QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress a(host);
    return !a.isNull() && a.isLoopback();
}

} // namespace

QByteArray newPkceVerifier()
{
    // 32 random bytes: 43 characters, the shortest RFC 7636 allows, 256 bits.
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes.toBase64(kBase64Url);
}

QByteArray pkceChallenge(const QByteArray& verifier)
{
    return QCryptographicHash::hash(verifier, QCryptographicHash::Sha256).toBase64(kBase64Url);
}

QByteArray OAuthHttp::formBody(const QList<QPair<QString, QString>>& fields)
{
    QByteArray body;
    for (const auto& [name, value] : fields) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value);
    }
    return body;
}

OAuthHttp::Answer OAuthHttp::request(const QUrl& url, const QByteArray* postBody)
{
    Answer a;
    if (!url.isValid() || (url.scheme() != QLatin1String("https") && !(url.scheme() == QLatin1String("http") && isLoopback(url)))) {
        a.errorText = QStringLiteral("認証サーバーのアドレス「%1」が正しくありません（https:// で始まるアドレスが必要です）")
                          .arg(url.toString().left(100));
        return a;
    }
    QNetworkAccessManager nam;
    QNetworkRequest req(url);
    req.setRawHeader("Accept", "application/json");
    req.setTransferTimeout(m_timeoutMs);
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    if (!m_extraCas.isEmpty()) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.addCaCertificates(m_extraCas);
        req.setSslConfiguration(ssl);
    }
    QNetworkReply* reply;
    if (postBody) {
        req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
        reply = nam.post(req, *postBody);
    } else {
        reply = nam.get(req);
    }
    QEventLoop loop;
    QTimer whole;
    whole.setSingleShot(true);
    QObject::connect(&whole, &QTimer::timeout, reply, &QNetworkReply::abort);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxAnswerBytes)
            reply->abort();
    });
    whole.start(m_timeoutMs);
    if (!reply->isFinished())
        loop.exec();
    const QByteArray bytes = reply->readAll();
    a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    a.reached = a.status > 0;
    if (!a.reached) {
        a.errorText = whole.isActive()
            ? QStringLiteral("認証サーバー「%1」に接続できません（%2）").arg(url.host(), reply->errorString())
            : QStringLiteral("認証サーバー「%1」が時間内に応答しませんでした").arg(url.host());
    } else {
        const QJsonDocument doc = QJsonDocument::fromJson(bytes);
        a.json = doc.object();
        if (!doc.isObject())
            a.errorText = QStringLiteral("認証サーバー「%1」の応答が不正です（HTTP %2）").arg(url.host()).arg(a.status);
    }
    delete reply;
    return a;
}

bool OAuthHttp::discover(const QString& issuer, OAuthSettings* s, QString* errorText)
{
    QString base = issuer.trimmed();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    for (const char* path : {"/.well-known/oauth-authorization-server", "/.well-known/openid-configuration"}) {
        const Answer a = request(QUrl(base + QLatin1String(path)), nullptr);
        if (!a.reached) {
            *errorText = a.errorText;
            return false;
        }
        const QString token = a.json.value(QLatin1String("token_endpoint")).toString();
        if (a.status != 200 || token.isEmpty())
            continue;
        s->issuer = issuer.trimmed();
        s->authorizeUrl = a.json.value(QLatin1String("authorization_endpoint")).toString();
        s->tokenUrl = token;
        s->deviceUrl = a.json.value(QLatin1String("device_authorization_endpoint")).toString();
        s->revokeUrl = a.json.value(QLatin1String("revocation_endpoint")).toString();
        return true;
    }
    *errorText = QStringLiteral("「%1」に認証サーバーの情報が見つかりません").arg(base.left(100));
    return false;
}

TokenReply OAuthHttp::tokenRequest(const OAuthSettings& s, QList<QPair<QString, QString>> fields)
{
    fields.append({QStringLiteral("client_id"), s.clientId});
    if (!s.clientSecret.isEmpty())
        fields.append({QStringLiteral("client_secret"), s.clientSecret});
    const QByteArray body = formBody(fields);
    const Answer a = request(QUrl(s.tokenUrl), &body);
    TokenReply t;
    if (!a.reached || a.json.isEmpty()) {
        t.errorText = a.errorText;
        return t;
    }
    t.error = a.json.value(QLatin1String("error")).toString();
    t.interval = a.json.value(QLatin1String("interval")).toInt();
    t.accessToken = a.json.value(QLatin1String("access_token")).toString().toUtf8();
    t.refreshToken = a.json.value(QLatin1String("refresh_token")).toString().toUtf8();
    t.expiresIn = a.json.value(QLatin1String("expires_in")).toVariant().toLongLong();
    t.ok = a.status == 200 && t.error.isEmpty() && !t.accessToken.isEmpty();
    if (!t.ok) {
        const QString said = a.json.value(QLatin1String("error_description")).toString().left(200);
        if (t.error == QLatin1String("invalid_grant"))
            t.errorText = QStringLiteral("サインインの有効期限が切れました。アカウントの画面でもう一度サインインしてください");
        else
            t.errorText = QStringLiteral("認証サーバーがトークンを出しませんでした（%1）")
                              .arg(said.isEmpty() ? (t.error.isEmpty() ? QStringLiteral("HTTP %1").arg(a.status) : t.error)
                                                  : said);
    }
    return t;
}

TokenReply OAuthHttp::refresh(const OAuthSettings& s, const QByteArray& refreshToken)
{
    return tokenRequest(s, {{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                            {QStringLiteral("refresh_token"), QString::fromUtf8(refreshToken)}});
}

TokenReply OAuthHttp::exchangeCode(const OAuthSettings& s, const QByteArray& code, const QByteArray& verifier,
                                   const QString& redirectUri)
{
    return tokenRequest(s, {{QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
                            {QStringLiteral("code"), QString::fromUtf8(code)},
                            {QStringLiteral("code_verifier"), QString::fromLatin1(verifier)},
                            {QStringLiteral("redirect_uri"), redirectUri}});
}

DeviceStart OAuthHttp::startDevice(const OAuthSettings& s)
{
    DeviceStart d;
    QList<QPair<QString, QString>> fields{{QStringLiteral("client_id"), s.clientId},
                                          {QStringLiteral("scope"), s.scope}};
    if (!s.clientSecret.isEmpty())
        fields.append({QStringLiteral("client_secret"), s.clientSecret});
    const QByteArray body = formBody(fields);
    const Answer a = request(QUrl(s.deviceUrl), &body);
    auto str = [&](const char* k) { return a.json.value(QLatin1String(k)).toString(); };
    d.deviceCode = str("device_code").toUtf8();
    d.userCode = str("user_code");
    // Google names it verification_url.
    d.verificationUri = str("verification_uri").isEmpty() ? str("verification_url") : str("verification_uri");
    d.verificationUriComplete = str("verification_uri_complete");
    d.interval = std::max(1, a.json.value(QLatin1String("interval")).toInt(5));
    d.expiresIn = a.json.value(QLatin1String("expires_in")).toInt(600);
    d.ok = a.reached && a.status == 200 && !d.deviceCode.isEmpty() && !d.userCode.isEmpty()
           && !d.verificationUri.isEmpty();
    if (!d.ok)
        d.errorText = !a.errorText.isEmpty() ? a.errorText
                                             : QStringLiteral("認証サーバーがコードを出しませんでした（%1）")
                                                   .arg(str("error").isEmpty() ? QStringLiteral("HTTP %1").arg(a.status)
                                                                               : str("error"));
    return d;
}

TokenReply OAuthHttp::pollDevice(const OAuthSettings& s, const QByteArray& deviceCode)
{
    return tokenRequest(s, {{QStringLiteral("grant_type"), QStringLiteral("urn:ietf:params:oauth:grant-type:device_code")},
                            {QStringLiteral("device_code"), QString::fromUtf8(deviceCode)}});
}

bool OAuthHttp::revoke(const OAuthSettings& s, const QByteArray& refreshToken)
{
    if (s.revokeUrl.isEmpty() || refreshToken.isEmpty())
        return false;
    QList<QPair<QString, QString>> fields{{QStringLiteral("token"), QString::fromUtf8(refreshToken)},
                                          {QStringLiteral("token_type_hint"), QStringLiteral("refresh_token")},
                                          {QStringLiteral("client_id"), s.clientId}};
    if (!s.clientSecret.isEmpty())
        fields.append({QStringLiteral("client_secret"), s.clientSecret});
    const QByteArray body = formBody(fields);
    // The answer has no body to speak of: the status is the whole reply.
    return request(QUrl(s.revokeUrl), &body).status == 200;
}

} // namespace qp
