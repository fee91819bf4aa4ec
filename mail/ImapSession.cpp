#include "ImapSession.h"

namespace qp {

ImapSession::ImapSession(MailSessionSetup& setup, const MailEndpoint& endpoint) : MailSession(endpoint)
{
    setup.applyTo(m_client);
    m_client.setHeaderMemory(&setup.headerMemory);
}

bool ImapSession::fail(const QString& text)
{
    m_error = text;
    return false;
}

bool ImapSession::connect()
{
    return m_client.connectToServer(m_endpoint) || fail(m_client.errorText());
}

int ImapSession::authenticate(const QString& id, const QString& password, bool /*apop*/)
{
    m_busy = false;
    m_tokenRefused = false;
    int count = 0;
    if (m_client.login(id, password) && m_client.openInbox(&count))
        return count;
    // RFC 5530: another session holds the mailbox, or the server cannot
    // serve it just now.
    const QByteArray code = m_client.lastResponseCode();
    m_busy = code == "INUSE" || code == "UNAVAILABLE";
    fail(m_client.errorText());
    return -1;
}

int ImapSession::authenticateWithToken(const QString& id, OAuthTokenSource& source)
{
    m_busy = false;
    int count = 0;
    QString error;
    const bool ok = signInWithToken(
        source, [&](const QByteArray& token) { return m_client.loginOAuth(id, token); },
        [&] { return m_client.errorKind() == ImapClient::ErrorKind::TokenRefused; }, &error);
    m_tokenRefused = !ok && m_client.errorKind() == ImapClient::ErrorKind::TokenRefused;
    if (ok && m_client.openInbox(&count))
        return count;
    fail(error.isEmpty() ? m_client.errorText() : error);
    return -1;
}

const ImapMessage* ImapSession::message(int number)
{
    const ImapMessage* m = m_client.message(number);
    if (!m) {
        fail(m_client.errorText());
        return nullptr;
    }
    // Expunged by another client between the search and the fetch.
    if (!m->found) {
        fail(QStringLiteral("メール %1 はサーバーにありません").arg(number));
        return nullptr;
    }
    return m;
}

bool ImapSession::headerFields(int number, QByteArray* fields)
{
    const ImapMessage* m = message(number);
    if (m)
        *fields = m->headerFields;
    return m;
}

bool ImapSession::size(int number, qint64* octets)
{
    const ImapMessage* m = message(number);
    if (!m)
        return false;
    if (m->size < 0)
        return fail(QStringLiteral("メール %1 の大きさを調べられません").arg(number));
    *octets = m->size;
    return true;
}

} // namespace qp
