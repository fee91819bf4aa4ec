#pragma once
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QHash>
#include <deque>
#include <vector>
#include <optional>

#include "mail/MailClientBase.h"
#include "mail/MailTransport.h"
#include "mail/Pop3HeaderMemory.h"
#include "mail/Pop3Reply.h"
#include "mail/TlsMemory.h"

class QDeadlineTimer;

namespace qp {

// The POP3 names of the transport's bounds and endpoint.
using Pop3Timeouts = MailTimeouts;
using Pop3Endpoint = MailEndpoint;

// "host", "host:port", "pop3s://host[:port]", "pop3://host[:port]",
// "[v6addr]:port". Port 995 or pop3s:// mean TLS from the first byte.
std::optional<MailEndpoint> parsePop3Server(const QString& text);

// A blocking POP3 client (RFC 1939, CAPA of RFC 2449, STLS of RFC 2595,
// implicit TLS of RFC 8314) on one MailTransport connection. It leaves the
// mailbox as it was: no DELE, and no RETR either (many servers mark a
// retrieved message read); a message's header comes from TOP n 0. Every
// failure leaves an error kind and a Japanese text for the user; after a
// failure that leaves the stream unusable (time-out, dropped connection,
// garbage) the client is "broken" and later commands fail at once instead
// of waiting again.
class Pop3Client final : public MailClientBase {
public:
    enum class ErrorKind {
        None,
        BadServerText,   // the server text cannot be parsed
        Unreachable,     // name not found, refused, network down
        Timeout,         // connect or reply time-out
        Tls,             // handshake or certificate verification failed
        GreetingRefused, // the server said -ERR on connect
        StlsRefused,     // STLS offered, then refused
        TlsLost,         // TLS was used here before, now it is not offered
        LoginRefused,    // USER/PASS/APOP answered -ERR
        TokenRefused,    // an OAuth token refused: expired, revoked or not this user's
        OAuthNotOffered, // neither OAUTHBEARER nor XOAUTH2 in CAPA's SASL
        LoginBusy,       // refused with [IN-USE] or [LOGIN-DELAY]: try again later
        ApopNotOffered,  // no timestamp in the greeting
        ApopBadTimestamp,// a timestamp that is not <...@...> in printable ASCII
        BadCredentials,  // ID or password holds a line break or NUL
        ServerError,     // -ERR to STAT, LIST, TOP
        Protocol,        // a reply that is not POP3, bad numbers, too long
        TooLarge,        // message over the size bound
        Closed,          // the server closed the connection
        NotConnected,    // no connection (never made, or quit)
    };

    // Multi-line data bounds. A reply that runs over its bound is read to
    // its end and dropped (the call fails, the session goes on). A header
    // has no bound of its own: only the fields a check uses are kept, each
    // within HeaderFieldCollector::kMaxFieldBytes.
    static constexpr qsizetype kMaxListingBytes = 1024 * 1024; // CAPA
    // UIDL (or LIST) of some 500,000 messages; a longer listing is not used.
    static constexpr qsizetype kMaxUidlBytes = 16 * 1024 * 1024;
    // With PIPELINING, how far a planned walk runs ahead of the calls: by
    // the bytes of the replies on their way (each header counted at its
    // message's size, at most 2 KB), so that a cold memory keeps a distant
    // link busy (2,000 headers a round trip) while a walk that ends early
    // has at most a few MB to drain. The count bound keeps the commands
    // themselves (some 15 bytes each, 30 KB) below any socket buffer, so
    // that sending them never waits on a server busy sending replies.
    static constexpr int kMaxCommandsAhead = 2000;
    static constexpr qint64 kMaxBytesAhead = 4 * 1024 * 1024;

    Pop3Client();
    ~Pop3Client();
    // Connects, reads the greeting, asks CAPA, and on a plain connection
    // upgrades with STLS when offered (then asks CAPA again).
    bool connectToServer(const Pop3Endpoint& endpoint);
    bool loginUserPass(const QString& user, const QString& password);
    bool loginApop(const QString& user, const QString& password);
    // AUTH OAUTHBEARER when offered, else XOAUTH2 (RFC 5034), with an access
    // token. A refused token is TokenRefused, told apart from a wrong password.
    bool loginOAuth(const QString& user, const QByteArray& accessToken);
    // CAPA again (capabilities may change after login). A server without
    // CAPA is fine: the list is then empty.
    bool refreshCapabilities();
    bool stat(int* count, qint64* octets);
    // After login: CAPA again, STAT, the sizes (LIST) and with a header
    // memory UIDL, all in one round trip when PIPELINING is offered (then
    // sent with the login itself).
    bool readMailbox(int* count);
    // The server answers CAPA without TOP: no header can be read (RETR is
    // never used), so no sender can be matched.
    bool topMissing() const { return m_capaSupported && !hasCapability("TOP"); }

    // The walk of a check: headerFields(n), list(n) for n = 1 .. count in
    // that order. When readMailbox read a UIDL listing, messages remembered
    // under their UIDL are answered from memory, so the server sees TOP
    // and LIST only for the others.
    // With PIPELINING in CAPA those commands go out ahead of the calls (RFC
    // 2449), in the order of the one-at-a-time walk, and each call is served
    // from the stream. A call that skips steps drops their replies; one that
    // leaves the plan drains it and goes on one command at a time.
    void planWalk(int count);
    // false: PIPELINING is not used even when offered.
    void setPipelining(bool allowed) { m_pipeliningAllowed = allowed; }
    bool isPipelining() const { return m_planCount > 0; }
    // A walk sent ahead stalled or lost replies: do not send ahead to this
    // server again.
    bool pipelineFailed() const { return m_pipelineFailed; }
    bool list(int number, qint64* octets);
    // The From, Subject and Date fields of a message as raw header lines,
    // from TOP n 0 (a header of any size) or from memory.
    bool headerFields(int number, QByteArray* fields);
    // LOGIN-DELAY in CAPA: the fewest seconds between two logins; 0 = none.
    int loginDelaySeconds() const;
    // QUIT when the stream is still usable, then close; always ends closed.
    void quit();

    bool isConnected() const;
    // Calls can still be answered: connected, or the server has ended the
    // session at the QUIT sent behind the walk, whose replies are read.
    bool isUsable() const { return !m_broken && (m_quitSent || isConnected()); }
    // The last failure happened while setting up TLS, or TLS was missing
    // where it had been before: something the user must hear about, unlike
    // a server that is merely off or out of reach.
    bool tlsFailed() const { return m_tlsFailed; }
    bool hasCapability(const QByteArray& name) const;

    ErrorKind errorKind() const { return m_errorKind; }

    // The APOP timestamp of a greeting: nullopt when there is none, an empty
    // array when there is one but it is malformed.
    static std::optional<QByteArray> apopTimestamp(const QByteArray& greeting);
    static QByteArray apopDigest(const QByteArray& timestamp, const QByteArray& password);

private:
    enum class Reply { Ok, Err, Failed, NotSent };
    enum class Verb { Header = 0, List = 1 }; // a walk's steps, per message
    enum class Planned { No, OnWire, Failed };
    struct Ahead {
        qint64 key;           // stepKey of the command
        qint64 expectedBytes; // the reply's size as far as known
    };
    static qint64 stepKey(Verb verb, int number) { return qint64(number) * 2 + int(verb); }
    static QByteArray walkLine(Verb verb, int number);
    Reply command(const QByteArray& line, Pop3ReplyReader& reader, bool multiLine, qsizetype maxData);
    Reply walkCommand(Verb verb, int number, Pop3ReplyReader& reader, HeaderFieldCollector* fields);
    Reply awaitReply(Pop3ReplyReader& reader, const QDeadlineTimer& whole, HeaderFieldCollector* fields);
    bool sendLine(const QByteArray& line);
    bool readReply(Pop3ReplyReader& reader, const QDeadlineTimer& whole, HeaderFieldCollector* fields);
    bool readUidls();
    bool readSizes();
    void takeUidls(const Pop3ReplyReader& reader, Reply r);
    void takeSizes(const Pop3ReplyReader& reader, Reply r);
    // Trusts the memory for the messages listed under the same UIDL and size.
    void settleMemory();
    // What follows a login in the same round trip when the server pipelines.
    QByteArray mailboxCommands();
    bool loginReplies(Reply r, const Pop3ReplyReader& reader);
    bool takeCapabilities(const Pop3ReplyReader& reader, Reply r);
    bool takeStat(const Pop3ReplyReader& reader, Reply r, int* count, qint64* octets);
    const Pop3HeaderMemory::Entry* remembered(int number) const;
    bool needed(Verb verb, int number) const;
    Planned fromPlan(Verb verb, int number);
    bool sendAhead();
    void aheadRead();
    bool dropAhead(const QDeadlineTimer& deadline);
    bool leavePlan();
    bool loginRefused(const Pop3ReplyReader& reader);
    bool loggedIn(const QString& user);
    bool fail(ErrorKind kind, const QString& text, bool breaks);
    bool failFromTransport();
    bool startTls();
    bool refuseWithoutTls(const QString& text) override;
    bool readCapabilities();
    bool encodeCredentials(const QString& user, const QString& password, QByteArray* userBytes,
                           QByteArray* passwordBytes);
    QString serverSaid(const Pop3ReplyReader& reader) const;
    QString shownHost() const { return host(); }

    bool m_tlsFailed = false;
    QByteArray m_greeting;
    bool m_capaSupported = false;
    int m_statCount = 0;
    QString m_mailboxKey;          // server and account, once logged in
    // By message number (index 0 unused), from readMailbox: the UIDL (empty
    // when none), the size (-1 when not listed), and whether the memory
    // holds the message's fields under the same UIDL and size.
    std::vector<QByteArray> m_uidls;
    std::vector<qint64> m_sizes;
    std::vector<bool> m_known;
    QByteArray uidlOf(int number) const;
    qint64 listedSize(int number) const;
    bool m_mailboxSent = false;     // readMailbox's commands went with the login
    bool m_uidlSent = false;        // ... and UIDL among them
    bool m_quitSent = false;        // QUIT went out behind the walk's last command
    bool m_pipeliningAllowed = true;
    bool m_pipelineFailed = false;
    // The planned walk: steps by stepKey; m_ahead are on their way, and
    // m_planNext is the next one to consider sending.
    int m_planCount = 0;
    qint64 m_planNext = 0;
    std::deque<Ahead> m_ahead;
    qint64 m_aheadBytes = 0;
    ErrorKind m_errorKind = ErrorKind::None;
};

} // namespace qp
