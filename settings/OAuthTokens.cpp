#include "OAuthTokens.h"

#include <QDateTime>

namespace qp {

OAuthTokens::OAuthTokens(OAuthSettings settings, QString accountId, SecretStore* store)
    : m_settings(std::move(settings)), m_accountId(std::move(accountId)), m_store(store)
{
}

OAuthTokens::Token OAuthTokens::fail(const QString& text)
{
    return Token{{}, text};
}

OAuthTokens::Token OAuthTokens::accessToken(bool renew)
{
    QMutexLocker lock(&m_mutex);
    const QString signInAgain =
        QStringLiteral("サインインの有効期限が切れました。アカウントの画面でもう一度サインインしてください");
    if (m_mustSignIn)
        return fail(signInAgain);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const bool fresh = !m_accessToken.isEmpty() && (m_expiresAt == 0 || m_expiresAt - now > kMarginSeconds);
    if (fresh && !renew)
        return Token{m_accessToken, {}};
    const QByteArray refreshToken = m_store->read(m_settings.secretKey(m_accountId));
    if (refreshToken.isEmpty()) {
        m_mustSignIn = true;
        return fail(QStringLiteral("まだサインインしていません。アカウントの画面でサインインしてください"));
    }
    const TokenReply r = m_http.refresh(m_settings, refreshToken);
    if (!r.ok) {
        m_accessToken.clear();
        if (r.error == QLatin1String("invalid_grant")) {
            m_mustSignIn = true;
            return fail(signInAgain);
        }
        return fail(r.errorText); // the server is out of reach: the next check tries again
    }
    m_accessToken = r.accessToken;
    m_expiresAt = r.expiresIn > 0 ? now + r.expiresIn : 0;
    // Servers that rotate refresh tokens send a new one each time.
    if (!r.refreshToken.isEmpty() && r.refreshToken != refreshToken)
        m_store->write(m_settings.secretKey(m_accountId), r.refreshToken);
    return Token{m_accessToken, {}};
}

SecretStore::Outcome OAuthTokens::signedIn(const TokenReply& reply)
{
    QMutexLocker lock(&m_mutex);
    m_accessToken = reply.accessToken;
    m_expiresAt = reply.expiresIn > 0 ? QDateTime::currentSecsSinceEpoch() + reply.expiresIn : 0;
    m_mustSignIn = false;
    if (reply.refreshToken.isEmpty())
        return SecretStore::Outcome{true, {}, {}};
    return m_store->write(m_settings.secretKey(m_accountId), reply.refreshToken);
}

bool OAuthTokens::mustSignIn() const
{
    QMutexLocker lock(&m_mutex);
    return m_mustSignIn;
}

void OAuthTokens::forget()
{
    QMutexLocker lock(&m_mutex);
    m_accessToken.clear();
    m_expiresAt = 0;
    m_store->remove(m_settings.secretKey(m_accountId));
}

void OAuthTokens::signOut(int timeoutMs)
{
    QMutexLocker lock(&m_mutex);
    const QByteArray refreshToken = m_store->read(m_settings.secretKey(m_accountId));
    OAuthHttp http = m_http;
    http.setTimeoutMs(timeoutMs);
    http.revoke(m_settings, refreshToken);
    m_accessToken.clear();
    m_expiresAt = 0;
    m_mustSignIn = true;
    m_store->remove(m_settings.secretKey(m_accountId));
}

} // namespace qp
