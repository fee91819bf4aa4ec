#pragma once
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QString>

#include <memory>

#include "mail/ImapClient.h"
#include "mail/Pop3Client.h"

namespace qp {

// How every session of the mail library is set up.
struct MailSessionSettings {
    MailTimeouts timeouts;
    QList<QSslCertificate> extraCas;
    QHostAddress localAddress;
    TlsMemory* tlsMemory = nullptr;
    bool pipelining = true; // POP3 only
};

// One connection of the mail library, whichever protocol: what the library
// calls need of it. A failure leaves errorText(); once the stream is lost
// or out of step, isUsable() is false and every later step fails at once.
class MailSession {
public:
    virtual ~MailSession() = default;

    // Connects, greeting and TLS included; false when it could not.
    virtual bool connect(const MailSessionSettings& settings) = 0;
    // The number of waiting messages, or -1.
    virtual int login(const QString& id, const QString& password, bool apop) = 0;
    // The header block of message number (1 to the count).
    virtual bool header(int number, QByteArray* block) = 0;
    // The size in bytes; false when it cannot be told.
    virtual bool size(int number, qint64* bytes) = 0;
    // The header block and the body as text, for a retrieval.
    virtual bool message(int number, QByteArray* block, QString* body) = 0;
    // The walk a check is about to make: header, size, message of 1 .. count.
    virtual void planWalk(int /*count*/) {}
    // Says goodbye when the stream allows it; always ends closed.
    virtual void close() = 0;

    virtual bool isUsable() const = 0;
    // The last failure was TLS (something to tell the user, unlike a
    // server that is off).
    virtual bool tlsFailed() const = 0;
    virtual QString errorText() const = 0;

    // The client underneath, for tests; null for the other protocol.
    virtual const Pop3Client* pop3() const { return nullptr; }
    virtual const ImapClient* imap() const { return nullptr; }
};

// The session the server text names: IMAP for its own forms ("imaps://host",
// "imap://host", "host:993"), POP3 for the rest; null when the text names
// no server (errorText then says why).
std::unique_ptr<MailSession> makeMailSession(const QString& server, QString* errorText);

} // namespace qp
