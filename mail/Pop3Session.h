#pragma once
#include <memory>

#include "mail/MailSession.h"
#include "mail/Pop3Client.h"

namespace qp {

// A mail session over our POP3 client. A login whose pipelined commands
// lost their replies is tried once more on a new connection, one command at
// a time, and the server is remembered for the rest of the run.
class Pop3Session final : public MailSession {
public:
    Pop3Session(MailSessionSetup& setup, const MailEndpoint& endpoint);

    bool connect() override;
    int authenticate(const QString& id, const QString& password, bool apop) override;
    int authenticateWithToken(const QString& id, OAuthTokenSource& source) override;
    bool headerFields(int number, QByteArray* fields) override { return m_client->headerFields(number, fields); }
    bool size(int number, qint64* octets) override { return m_client->list(number, octets); }
    void planWalk(int count) override { m_client->planWalk(count); }
    int loginDelaySeconds() const override { return m_client->loginDelaySeconds(); }
    QString headersUnreadable() const override;
    bool isUsable() const override { return m_client->isUsable(); }
    void close() override;
    QString errorText() const override { return m_tokenError.isEmpty() ? m_client->errorText() : m_tokenError; }
    bool tlsFailed() const override { return m_client->tlsFailed(); }

    const Pop3Client& client() const { return *m_client; }

private:
    std::unique_ptr<Pop3Client> newClient(const MailEndpoint& endpoint);

    MailSessionSetup& m_setup;
    std::unique_ptr<Pop3Client> m_client;
    QString m_tokenError; // no token to be had
};

} // namespace qp
