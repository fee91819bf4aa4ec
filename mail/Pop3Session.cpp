#include "Pop3Session.h"

namespace qp {

Pop3Session::Pop3Session(MailSessionSetup& setup, const MailEndpoint& endpoint)
    : MailSession(endpoint), m_setup(setup), m_client(newClient(endpoint))
{
}

std::unique_ptr<Pop3Client> Pop3Session::newClient(const MailEndpoint& endpoint)
{
    auto client = std::make_unique<Pop3Client>();
    m_setup.applyTo(*client);
    client->setPipelining(m_setup.pipelining && !m_setup.pipeliningFailed.contains(endpoint.serverKey()));
    client->setHeaderMemory(&m_setup.headerMemory);
    return client;
}

bool Pop3Session::connect()
{
    return m_client->connectToServer(m_endpoint);
}

int Pop3Session::authenticate(const QString& id, const QString& password, bool apop)
{
    m_busy = false;
    m_tokenRefused = false;
    m_tokenError.clear();
    // The count is the mailbox after login; capabilities may differ now.
    auto login = [&](Pop3Client& client, int* count) {
        return (apop ? client.loginApop(id, password) : client.loginUserPass(id, password))
               && client.readMailbox(count);
    };
    int count = 0;
    if (login(*m_client, &count))
        return count;
    if (m_client->pipelineFailed()) {
        // Replies to what was sent ahead never came (a server that offers
        // PIPELINING and drops what is queued): once more on a new
        // connection, one command at a time, as every later session there.
        const MailEndpoint endpoint = m_client->endpoint();
        m_setup.pipeliningFailed.insert(endpoint.serverKey());
        m_client = newClient(endpoint); // the old one goes without QUIT: it is out of step
        if (m_client->connectToServer(endpoint) && login(*m_client, &count))
            return count;
    }
    m_busy = m_client->errorKind() == Pop3Client::ErrorKind::LoginBusy;
    return -1;
}

int Pop3Session::authenticateWithToken(const QString& id, OAuthTokenSource& source)
{
    m_busy = false;
    m_tokenError.clear();
    int count = 0;
    QString error;
    const bool ok = signInWithToken(
        source, [&](const QByteArray& token) { return m_client->loginOAuth(id, token); },
        [&] { return m_client->errorKind() == Pop3Client::ErrorKind::TokenRefused; }, &error);
    m_tokenRefused = !ok && m_client->errorKind() == Pop3Client::ErrorKind::TokenRefused;
    if (ok && m_client->readMailbox(&count))
        return count;
    m_tokenError = error;
    return -1;
}

QString Pop3Session::headersUnreadable() const
{
    if (!m_client->topMissing())
        return QString();
    return QStringLiteral("サーバー「%1」はメールのヘッダーだけを読む命令（TOP）に対応していないため、"
                          "メールの数は分かりますが、特定者からのメールかどうかは調べられません")
        .arg(m_endpoint.host);
}

void Pop3Session::close()
{
    m_client->quit();
    if (m_client->pipelineFailed())
        m_setup.pipeliningFailed.insert(m_client->endpoint().serverKey());
}

} // namespace qp
