#pragma once
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSet>
#include <QSslCertificate>
#include <QString>

#include "mail/MailTransport.h"
#include "mail/OAuthTokenSource.h"
#include "mail/Pop3HeaderMemory.h"
#include "mail/TlsMemory.h"

namespace qp {

// What every session of one mail library shares: the bounds and the trust
// it starts with, and what the run remembers between sessions.
struct MailSessionSetup {
    MailTimeouts timeouts;
    int sessionMs = 0; // 0 = each protocol's own bound on a whole session
    QList<QSslCertificate> extraCas;
    QHostAddress localAddress;
    TlsMemory tlsMemory;
    Pop3HeaderMemory headerMemory;
    bool pipelining = true;
    // Servers whose walk sent ahead stalled or lost replies: one command at
    // a time with them for the rest of the run.
    QSet<QString> pipeliningFailed;

    template <class Client>
    void applyTo(Client& client)
    {
        client.setTimeouts(timeouts);
        if (sessionMs > 0)
            client.setSessionMs(sessionMs);
        client.setExtraCaCertificates(extraCas);
        client.setLocalAddress(localAddress);
        client.setTlsMemory(&tlsMemory);
    }
};

// One connection to a mail server, whatever its protocol: what the mail
// library's calls need of it. Messages are numbered from 1 to the count
// authenticate() gave. A failing call returns false (or -1) and leaves its
// reason in errorText().
class MailSession {
public:
    virtual ~MailSession() = default;

    virtual bool connect() = 0;
    // The count of messages to walk, or -1 (loginBusy() tells a mailbox held
    // elsewhere from a refused login).
    virtual int authenticate(const QString& id, const QString& password, bool apop) = 0;
    bool loginBusy() const { return m_busy; }
    // The same with an OAuth access token from source instead of a password.
    virtual int authenticateWithToken(const QString& id, OAuthTokenSource& source) = 0;
    // The last login failed because the server refused the token.
    bool tokenRefused() const { return m_tokenRefused; }
    // The From, Subject and Date fields of a message as raw header lines.
    virtual bool headerFields(int number, QByteArray* fields) = 0;
    virtual bool size(int number, qint64* octets) = 0;
    // The walk about to start covers messages 1 to count.
    virtual void planWalk(int /*count*/) {}
    // The fewest seconds the server wants between two logins; 0 = none.
    virtual int loginDelaySeconds() const { return 0; }
    // No header can be read on this server (see MailLibrary::takeServerNotice).
    virtual QString headersUnreadable() const { return QString(); }
    // Which server this is, for what is told once per server.
    QString serverKey() const { return m_endpoint.serverKey(); }
    virtual bool isUsable() const = 0;
    // Says goodbye when the stream still allows it, without waiting long on
    // a silent server; always ends closed.
    virtual void close() = 0;
    virtual QString errorText() const = 0;
    // The last failure happened while setting up TLS.
    virtual bool tlsFailed() const = 0;

protected:
    explicit MailSession(const MailEndpoint& endpoint) : m_endpoint(endpoint) {}

    MailEndpoint m_endpoint;
    bool m_busy = false;         // the last login was refused for a busy mailbox
    bool m_tokenRefused = false; // the last login's token was refused
};

} // namespace qp
