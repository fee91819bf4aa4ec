#include "mail/MailSession.h"

#include <climits>

#include "mail/HeaderDecoder.h"

namespace qp {

namespace {

template <class Client>
void configure(Client& client, const MailSessionSettings& s)
{
    client.setTimeouts(s.timeouts);
    client.setExtraCaCertificates(s.extraCas);
    client.setLocalAddress(s.localAddress);
    client.setTlsMemory(s.tlsMemory);
}

class Pop3Session : public MailSession {
public:
    explicit Pop3Session(const MailEndpoint& endpoint) : m_endpoint(endpoint) {}

    bool connect(const MailSessionSettings& settings) override
    {
        configure(m_client, settings);
        m_client.setPipelining(settings.pipelining);
        return m_client.connectToServer(m_endpoint);
    }
    int login(const QString& id, const QString& password, bool apop) override
    {
        if (!(apop ? m_client.loginApop(id, password) : m_client.loginUserPass(id, password)))
            return -1;
        // The count is the mailbox after login; capabilities may differ now.
        int count = 0;
        if (!m_client.refreshCapabilities() || !m_client.stat(&count, nullptr))
            return -1;
        return count;
    }
    bool header(int number, QByteArray* block) override
    {
        QByteArray bytes;
        if (!m_client.header(number, &bytes))
            return false;
        *block = mailheader::headerBlock(bytes).toByteArray();
        return true;
    }
    bool size(int number, qint64* bytes) override { return m_client.list(number, bytes); }
    bool message(int number, QByteArray* block, QString* body) override
    {
        QByteArray message;
        if (!m_client.retrieve(number, &message))
            return false;
        *block = mailheader::headerBlock(message).toByteArray();
        // The body as raw text in the charset it looks like; nothing reads
        // it beyond showing it, so no MIME decoding.
        *body = mailheader::decodeUnlabelled(mailheader::body(message));
        return true;
    }
    void planWalk(int count) override { m_client.planWalk(count, false); }
    void close() override { m_client.quit(); }
    bool isUsable() const override { return m_client.isConnected() && !m_client.isBroken(); }
    bool tlsFailed() const override { return m_client.tlsFailed(); }
    QString errorText() const override { return m_client.errorText(); }
    const Pop3Client* pop3() const override { return &m_client; }

private:
    MailEndpoint m_endpoint;
    Pop3Client m_client;
};

class ImapSession : public MailSession {
public:
    explicit ImapSession(const MailEndpoint& endpoint) : m_endpoint(endpoint) {}

    bool connect(const MailSessionSettings& settings) override
    {
        configure(m_client, settings);
        return m_client.connectToServer(m_endpoint);
    }
    int login(const QString& id, const QString& password, bool /*apop*/) override
    {
        // APOP has no meaning here. The count is the unseen messages.
        int count = 0;
        if (!m_client.login(id, password) || !m_client.openInbox(&count))
            return -1;
        return count;
    }
    bool header(int number, QByteArray* block) override
    {
        const ImapMessage* m = find(number);
        if (!m)
            return false;
        *block = m->headerFields;
        return true;
    }
    bool size(int number, qint64* bytes) override
    {
        const ImapMessage* m = find(number);
        if (!m)
            return false;
        if (m->size < 0) {
            m_error = QStringLiteral("メール %1 の大きさを調べられません").arg(number);
            return false;
        }
        *bytes = m->size;
        return true;
    }
    bool message(int number, QByteArray* block, QString* body) override
    {
        // Served from the one FETCH of sizes and header fields: the body is
        // not downloaded. Nothing uses it, and on IMAP it would cost the
        // user's bandwidth at every check, since read mail stays on the server.
        body->clear();
        return header(number, block);
    }
    void close() override { m_client.logout(); }
    bool isUsable() const override { return !m_client.isBroken(); }
    bool tlsFailed() const override { return m_client.tlsFailed(); }
    QString errorText() const override { return m_error.isEmpty() ? m_client.errorText() : m_error; }
    const ImapClient* imap() const override { return &m_client; }

private:
    // The unseen message behind a number, or null with the error set.
    const ImapMessage* find(int number)
    {
        m_error.clear();
        const ImapMessage* m = m_client.message(number);
        if (!m)
            return nullptr;
        // Expunged by another client between the search and the fetch.
        if (!m->found) {
            m_error = QStringLiteral("メール %1 はサーバーにありません").arg(number);
            return nullptr;
        }
        return m;
    }

    MailEndpoint m_endpoint;
    ImapClient m_client;
    QString m_error; // this layer's own, when the client has none to say
};

} // namespace

std::unique_ptr<MailSession> makeMailSession(const QString& server, QString* errorText)
{
    if (const auto imap = parseImapServer(server))
        return std::make_unique<ImapSession>(*imap);
    if (const auto pop3 = parsePop3Server(server))
        return std::make_unique<Pop3Session>(*pop3);
    *errorText = QStringLiteral("サーバー名「%1」が正しくありません").arg(server.trimmed().left(100));
    return nullptr;
}

} // namespace qp
