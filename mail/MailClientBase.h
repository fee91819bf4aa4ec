#pragma once
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QString>

#include "mail/MailTransport.h"
#include "mail/OAuthSasl.h"

namespace qp {

class Pop3HeaderMemory;
class TlsMemory;

// What the POP3 and IMAP clients share: one MailTransport connection and
// its settings, the bound of a whole session, the TLS memory and the rule
// that a host seen with TLS is never spoken to without it, the server's
// capabilities, and the text of the last failure. Each client keeps its
// own kind of error and says through refuseWithoutTls() how a refusal of
// the TLS rule becomes one.
class MailClientBase {
public:
    // One session, connect to goodbye, ends within this however the server
    // paces its replies. A check is a few hundred small commands: 1,000 new
    // messages one command at a time over a 150 ms round trip take 2,000
    // round trips (5 min). A session cut here keeps what it read (headers
    // in the memory, what was counted), so the next check goes on past it.
    static constexpr int kSessionMs = 5 * 60 * 1000;

    MailClientBase(const MailClientBase&) = delete;
    MailClientBase& operator=(const MailClientBase&) = delete;

    // Connection settings, passed to the transport (see MailTransport).
    void setTimeouts(const MailTimeouts& t) { m_transport.setTimeouts(t); }
    void setExtraCaCertificates(const QList<QSslCertificate>& certs) { m_transport.setExtraCaCertificates(certs); }
    void setLocalAddress(const QHostAddress& a) { m_transport.setLocalAddress(a); }
    using NameLookup = MailTransport::NameLookup;
    void setNameLookup(NameLookup lookup) { m_transport.setNameLookup(std::move(lookup)); }
    // Where the servers seen with TLS are remembered; null = nowhere (then
    // a server that stops offering TLS is not noticed).
    void setTlsMemory(TlsMemory* memory) { m_tlsMemory = memory; }
    void setSessionMs(int ms) { m_sessionMs = ms; }
    // What earlier sessions read (by POP3 UIDL and size, or by IMAP
    // UIDVALIDITY and UID); null = nothing is remembered, every header is
    // read at every check.
    void setHeaderMemory(Pop3HeaderMemory* memory) { m_memory = memory; }

    bool isEncrypted() const { return m_transport.isEncrypted(); }
    const MailEndpoint& endpoint() const { return m_transport.endpoint(); }
    bool isBroken() const { return m_broken; }
    QList<QByteArray> capabilities() const { return m_capabilities; }
    QString errorText() const { return m_errorText; }

protected:
    MailClientBase() = default;
    virtual ~MailClientBase() = default;

    // A new connection: no failure, no capabilities, and the session bound
    // counting from now.
    void beginConnection();
    // The client's own failure for a session refused by the TLS rule (the
    // stream is not used again); returns false.
    virtual bool refuseWithoutTls(const QString& text) = 0;
    // TLS works with this host: remembered. Not remembered, a later
    // stripped session would go through unnoticed, so the user hears of it
    // now and nothing is sent in this session (false).
    bool rememberTls(const MailEndpoint& endpoint);
    // About to log in without TLS: false (refused) for a host seen with TLS
    // before, and for every host while the memory cannot be read.
    bool allowedWithoutTls(const MailEndpoint& endpoint);
    // ID and password hold nothing that would end or cut a command line.
    static bool sendableCredentials(const QString& user, const QString& password);
    // How an OAuth login opens: the mechanism among those the server
    // offered and its first message, or why it cannot start (failure set;
    // notOffered tells a server without either mechanism, or a connection
    // a token may not go over, from a token that cannot be sent).
    struct OAuthOpening {
        oauthsasl::Mechanism mechanism = oauthsasl::Mechanism::None;
        QByteArray first;
        QString failure;
        bool notOffered = false;
    };
    OAuthOpening openOAuth(const QList<QByteArray>& offered, const QString& user, const QByteArray& token) const;
    QString host() const { return m_transport.host(); }

    MailTransport m_transport;
    TlsMemory* m_tlsMemory = nullptr;
    Pop3HeaderMemory* m_memory = nullptr;
    int m_sessionMs = kSessionMs;
    bool m_broken = false;
    QList<QByteArray> m_capabilities;
    QString m_errorText;
};

} // namespace qp
