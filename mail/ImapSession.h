#pragma once
#include "mail/ImapClient.h"
#include "mail/MailSession.h"

namespace qp {

// A mail session over our IMAP client: the messages are the inbox's unseen
// ones; APOP has no meaning here.
class ImapSession final : public MailSession {
public:
    ImapSession(MailSessionSetup& setup, const MailEndpoint& endpoint);

    bool connect() override;
    int authenticate(const QString& id, const QString& password, bool apop) override;
    int authenticateWithToken(const QString& id, OAuthTokenSource& source) override;
    bool headerFields(int number, QByteArray* fields) override;
    bool size(int number, qint64* octets) override;
    bool isUsable() const override { return !m_client.isBroken(); }
    void close() override { m_client.logout(); }
    QString errorText() const override { return m_error; }
    bool tlsFailed() const override { return m_client.tlsFailed(); }

    const ImapClient& client() const { return m_client; }

private:
    // The unseen message behind a number, or null with the error kept.
    const ImapMessage* message(int number);
    bool fail(const QString& text);

    ImapClient m_client;
    QString m_error;
};

} // namespace qp
