#include "OAuthTestServer.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSslSocket>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>

namespace qp::test {

struct OAuthTestServer::State {
    QMutex mutex;
    ServerLog log;
    QString user = QStringLiteral("alice");
    int lifetime = 3600;
    int counter = 0;
    int refreshes = 0;
    struct Code {
        QByteArray challenge, redirect;
    };
    QMap<QByteArray, Code> codes;
    QMap<QByteArray, QString> active;   // access token -> user
    QMap<QByteArray, QString> refresh;  // refresh token -> user
    QByteArray deviceCode;
    bool deviceApproved = false;
};

class OAuthTestServer::Server : public QTcpServer {
public:
    Server(State* s, quint16* port) : m_s(s), m_port(port) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QSslSocket* socket = acceptConnection(this, descriptor, &m_s->log);
        if (!socket)
            return;
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer] {
            *buffer += socket->readAll();
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            qsizetype length = 0;
            for (const QByteArray& l : lines)
                if (l.toLower().startsWith("content-length:"))
                    length = l.mid(15).trimmed().toLongLong();
            if (buffer->size() < end + 4 + length)
                return;
            const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
            const QByteArray body = buffer->mid(end + 4, length);
            buffer->clear();
            socket->write(answer(requestLine.value(0), QUrl(QString::fromLatin1(requestLine.value(1))), body));
            socket->disconnectFromHost();
        });
    }

private:
    static QByteArray json(int status, const QJsonObject& o)
    {
        const QByteArray body = QJsonDocument(o).toJson(QJsonDocument::Compact);
        return "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error")
               + "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: "
               + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }
    static QJsonObject error(const char* code) { return {{QStringLiteral("error"), QLatin1String(code)}}; }

    QByteArray next(const char* prefix) { return prefix + QByteArray::number(++m_s->counter); }

    QJsonObject issue(const QString& user)
    {
        const QByteArray access = next("at.");
        const QByteArray refresh = next("rt/");
        m_s->active.insert(access, user);
        m_s->refresh.insert(refresh, user);
        return {{QStringLiteral("access_token"), QString::fromLatin1(access)},
                {QStringLiteral("token_type"), QStringLiteral("Bearer")},
                {QStringLiteral("expires_in"), m_s->lifetime},
                {QStringLiteral("refresh_token"), QString::fromLatin1(refresh)}};
    }

    QByteArray token(const QUrlQuery& form)
    {
        auto field = [&](const char* k) { return form.queryItemValue(QLatin1String(k), QUrl::FullyDecoded).toUtf8(); };
        if (field("client_id") != kClientId)
            return json(401, error("invalid_client"));
        const QByteArray grant = field("grant_type");
        if (grant == "authorization_code") {
            const State::Code c = m_s->codes.take(field("code"));
            const QByteArray challenge = QCryptographicHash::hash(field("code_verifier"), QCryptographicHash::Sha256)
                                             .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
            if (c.challenge.isEmpty() || c.challenge != challenge || c.redirect != field("redirect_uri"))
                return json(400, error("invalid_grant"));
            return json(200, issue(m_s->user));
        }
        if (grant == "refresh_token") {
            ++m_s->refreshes;
            const QString user = m_s->refresh.take(field("refresh_token")); // rotated at each use
            return user.isEmpty() ? json(400, error("invalid_grant")) : json(200, issue(user));
        }
        if (grant == "urn:ietf:params:oauth:grant-type:device_code") {
            if (field("device_code") != m_s->deviceCode)
                return json(400, error("invalid_grant"));
            if (!m_s->deviceApproved)
                return json(400, error("authorization_pending"));
            m_s->deviceCode.clear();
            return json(200, issue(m_s->user));
        }
        return json(400, error("unsupported_grant_type"));
    }

    QByteArray answer(const QByteArray& method, const QUrl& url, const QByteArray& body)
    {
        QMutexLocker lock(&m_s->mutex);
        const QString issuer = QStringLiteral("http://127.0.0.1:%1").arg(*m_port);
        // A form body writes a space as "+"; a "+" of a value comes as %2B.
        const QUrlQuery form(QString::fromLatin1(body).replace(QLatin1Char('+'), QLatin1Char(' ')));
        const QUrlQuery query(url);
        const QString path = url.path();
        if (method == "GET" && path == QLatin1String("/.well-known/oauth-authorization-server"))
            return json(200, {{QStringLiteral("issuer"), issuer},
                              {QStringLiteral("authorization_endpoint"), issuer + QStringLiteral("/authorize")},
                              {QStringLiteral("token_endpoint"), issuer + QStringLiteral("/token")},
                              {QStringLiteral("device_authorization_endpoint"), issuer + QStringLiteral("/device")},
                              {QStringLiteral("revocation_endpoint"), issuer + QStringLiteral("/revoke")}});
        if (method == "GET" && path == QLatin1String("/authorize")) {
            auto q = [&](const char* k) { return query.queryItemValue(QLatin1String(k), QUrl::FullyDecoded); };
            if (q("client_id") != QLatin1String(kClientId) || q("code_challenge_method") != QLatin1String("S256")
                || q("code_challenge").isEmpty())
                return json(400, error("invalid_request"));
            const QByteArray code = next("c/+") + "=";
            m_s->codes.insert(code, {q("code_challenge").toLatin1(), q("redirect_uri").toUtf8()});
            QUrl back(q("redirect_uri"));
            QUrlQuery bq;
            bq.addQueryItem(QStringLiteral("code"), QString::fromLatin1(QUrl::toPercentEncoding(code)));
            bq.addQueryItem(QStringLiteral("state"), QString::fromLatin1(QUrl::toPercentEncoding(q("state"))));
            back.setQuery(bq);
            return "HTTP/1.1 302 Found\r\nLocation: " + back.toEncoded() + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
        }
        if (method == "POST" && path == QLatin1String("/token"))
            return token(form);
        if (method == "POST" && path == QLatin1String("/device")) {
            m_s->deviceCode = next("dc.");
            m_s->deviceApproved = false;
            return json(200, {{QStringLiteral("device_code"), QString::fromLatin1(m_s->deviceCode)},
                              {QStringLiteral("user_code"), QStringLiteral("WDJB-MJHT")},
                              {QStringLiteral("verification_uri"), issuer + QStringLiteral("/activate")},
                              {QStringLiteral("interval"), 1},
                              {QStringLiteral("expires_in"), 60}});
        }
        if (method == "POST" && path == QLatin1String("/revoke")) {
            // RFC 7009: an unknown token is no error.
            m_s->refresh.remove(form.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8());
            return json(200, {});
        }
        if (method == "POST" && path == QLatin1String("/introspect")) {
            const QString user = m_s->active.value(form.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8());
            if (user.isEmpty())
                return json(200, {{QStringLiteral("active"), false}});
            // Dovecot compares the attribute's text with "true".
            return json(200, {{QStringLiteral("active"), QStringLiteral("true")}, {QStringLiteral("username"), user}});
        }
        return json(404, error("not_found"));
    }

    State* m_s;
    quint16* m_port;
};

OAuthTestServer::OAuthTestServer() : m_state(std::make_unique<State>()) {}
OAuthTestServer::~OAuthTestServer() = default;

bool OAuthTestServer::start()
{
    m_port = m_thread.start(new Server(m_state.get(), &m_port));
    return m_port != 0;
}

QString OAuthTestServer::issuer() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

void OAuthTestServer::setUser(const QString& user)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->user = user;
}

void OAuthTestServer::setLifetime(int seconds)
{
    QMutexLocker lock(&m_state->mutex);
    m_state->lifetime = seconds;
}

void OAuthTestServer::expireAccessTokens()
{
    QMutexLocker lock(&m_state->mutex);
    m_state->active.clear();
}

void OAuthTestServer::revokeRefreshTokens()
{
    QMutexLocker lock(&m_state->mutex);
    m_state->refresh.clear();
}

void OAuthTestServer::approveDevice()
{
    QMutexLocker lock(&m_state->mutex);
    m_state->deviceApproved = true;
}

int OAuthTestServer::refreshCount() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->refreshes;
}

} // namespace qp::test
