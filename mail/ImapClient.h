#pragma once
#include <QByteArray>
#include <QHash>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <optional>

#include "mail/ImapResponse.h"
#include "mail/MailClientBase.h"
#include "mail/MailTransport.h"
#include "mail/Pop3HeaderMemory.h"
#include "mail/Pop3Reply.h"

namespace qp {

class TlsMemory;

// "imaps://host[:port]" (TLS from the first byte, port 993),
// "imap://host[:port]" (port 143, STARTTLS when offered) and "host:993"
// (IMAPS). nullopt for every other text: it keeps its POP3 meaning.
std::optional<MailEndpoint> parseImapServer(const QString& text);

// What a check needs of one unseen message.
struct ImapMessage {
    qint64 uid = 0;
    qint64 size = -1;        // RFC822.SIZE; -1 when the server did not say
    QByteArray headerFields; // the fetched header fields, raw
    bool found = false;      // the server answered for this UID
};

// A blocking IMAP client (RFC 3501, STARTTLS, implicit TLS of RFC 8314) for
// one check: it opens INBOX read-only (EXAMINE), so nothing it does can set
// a flag, mark a message read, delete or move one. "Waiting mail" is the
// unseen messages, in ascending UID order; their sizes and sender fields
// come in a few UID FETCH commands, never a body.
//
// Every failure leaves an error kind and a Japanese text for the user.
// After a failure that leaves the stream unusable the client is "broken"
// and later calls fail at once.
class ImapClient final : public MailClientBase {
public:
    enum class ErrorKind {
        None,
        Unreachable,      // name not found, refused, network down
        Timeout,          // connect or reply time-out, or the whole-session limit
        Tls,              // handshake or certificate verification failed
        TlsLost,          // seen with TLS before, now without: possibly stripped
        GreetingRefused,  // BYE at connect
        StartTlsRefused,  // STARTTLS offered, then refused
        LoginDisabled,    // LOGINDISABLED and no way to TLS
        LoginRefused,     // LOGIN / AUTHENTICATE answered NO or BAD
        TokenRefused,     // an OAuth token refused: expired, revoked or not this user's
        OAuthNotOffered,  // neither OAUTHBEARER nor XOAUTH2 offered
        BadCredentials,   // ID or password that cannot be sent
        ServerError,      // NO/BAD to EXAMINE, SEARCH, FETCH
        Protocol,         // not IMAP, wrong tag, malformed response
        TooLarge,         // a response over its bound
        Closed,           // the server closed the connection
        NotConnected,
    };

    // Bounds. Text outside literals of one ordinary response, and of the
    // SEARCH response (its UIDs: 16 MB holds well over a million).
    static constexpr qsizetype kMaxText = 64 * 1024;
    static constexpr qsizetype kMaxSearchText = 16 * 1024 * 1024;
    // What is kept of the header fields of one message: real ones are a
    // few hundred bytes; of a longer one (a hostile sender) the first part
    // of each field is kept, as POP3 keeps it, and the rest is read past.
    static constexpr qsizetype kMaxFieldsLiteral = 3 * (HeaderFieldCollector::kMaxFieldBytes + 2);
    // All one sender's header may bring beyond that, however long a mail
    // server lets a header be, before a FETCH counts as endless.
    static constexpr qsizetype kMaxLongHeaderBytes = 64 * 1024 * 1024;
    // Everything one command may bring back (untagged responses included):
    // a server that keeps talking is cut off here.
    static constexpr qsizetype kMaxCommandBytes = 4 * 1024 * 1024;
    // UIDs per UID FETCH. With the per-message bound this keeps one FETCH
    // reply under 16 MB; 200 unseen messages take one round trip.
    static constexpr int kFetchBatch = 250;

    ImapClient();
    ~ImapClient();

    // Connects, reads the greeting, learns the capabilities and on a plain
    // connection starts TLS when offered (or refuses when this server was
    // seen with TLS before).
    bool connectToServer(const MailEndpoint& endpoint);
    // AUTHENTICATE PLAIN when offered, else LOGIN; the account goes out as
    // Shift-JIS bytes.
    bool login(const QString& user, const QString& password);
    // AUTHENTICATE OAUTHBEARER when offered, else XOAUTH2, with an access
    // token (in the command when SASL-IR is offered). A refused token is
    // TokenRefused, told apart from a wrong password.
    bool loginOAuth(const QString& user, const QByteArray& accessToken);
    // EXAMINE INBOX and UID SEARCH UNSEEN UNDELETED, sent together. The count is the
    // number of unseen messages not marked deleted.
    bool openInbox(int* count);
    // Unseen message number (1 to count, ascending UID). Answered from the
    // header memory when it holds the UID; else fetches it with the next
    // messages the memory does not hold; null on failure.
    const ImapMessage* message(int number);
    // LOGOUT when the stream is still usable, then close; always ends closed.
    void logout();

    // The connection under the client, for a caller that goes on with
    // commands of its own after login (ImapIdle).
    MailTransport& transport() { return m_transport; }
    ErrorKind errorKind() const { return m_errorKind; }
    // The response code of the last tagged reply ("INUSE", "AUTHENTICATIONFAILED"), upper case.
    QByteArray lastResponseCode() const { return m_lastCode; }
    // The failure was TLS (handshake, certificate, refused or lost STARTTLS).
    bool tlsFailed() const;

private:
    // Bounds of the replies to one command: text of each response, each
    // literal, and everything the command brings back.
    struct Expect {
        qsizetype maxText = kMaxText;
        qsizetype maxLiteral = 0;
        qsizetype budget = kMaxCommandBytes;
    };
    QByteArray nextTag();
    bool send(const QByteArray& bytes);
    // Reads responses until the one tagged tag; untagged ones go to onData.
    template <typename OnData>
    bool readUntilTagged(const QByteArray& tag, const Expect& expect, ImapResponse* tagged, OnData onData);
    bool readResponse(const Expect& expect, const QDeadlineTimer& deadline, qsizetype* budget, ImapResponse* out);
    // After a command's first line: true on the server's go-ahead.
    bool waitForGoAhead(const QByteArray& tag);
    bool simpleCommand(const QByteArray& command, ImapResponse* tagged);
    bool refreshCapabilities();
    bool startTls();
    bool refuseWithoutTls(const QString& text) override;
    bool fetchBatch(int first);
    const Pop3HeaderMemory::Entry* remembered(qint64 uid) const;
    bool fail(ErrorKind kind, const QString& text, bool breaks);
    bool failFromTransport();
    // A command's replies went past its whole budget.
    bool failEndless(const Expect& expect);
    QDeadlineTimer replyDeadline() const;
    QString serverSaid(const ImapResponse& r) const;
    QString otherCommandsReply(const ImapResponse& r) const;
    bool hasCapability(const QByteArray& name) const { return m_capabilities.contains(name); }

    ImapResponseReader m_reader;
    QDeadlineTimer m_session;
    int m_nextTag = 1;
    QByteArray m_bye; // a server's parting words, for the error text
    QByteArray m_lastCode;
    QList<qint64> m_unseen;
    QHash<qint64, ImapMessage> m_batch; // the fetched batch, by UID
    ImapMessage m_fromMemory;           // the last message answered from memory
    QString m_user;
    qint64 m_uidValidity = -1;          // of the INBOX; -1 when the server did not say
    bool m_loggedIn = false;
    ErrorKind m_errorKind = ErrorKind::None;
};

} // namespace qp
