#pragma once
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <deque>
#include <optional>

#include "mail/MailTransport.h"
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
// implicit TLS of RFC 8314) on one MailTransport connection. It only reads: DELE is not
// part of it. Every failure leaves an error kind and a Japanese text for the
// user; after a failure that leaves the stream unusable (time-out, dropped
// connection, garbage) the client is "broken" and later commands fail at
// once instead of waiting again.
class Pop3Client {
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
        ApopNotOffered,  // no timestamp in the greeting
        ApopBadTimestamp,// a timestamp that is not <...@...> in printable ASCII
        BadCredentials,  // ID or password holds a line break or NUL
        ServerError,     // -ERR to STAT, LIST, TOP, RETR
        Protocol,        // a reply that is not POP3, bad numbers, too long
        TooLarge,        // message over the size bound
        Closed,          // the server closed the connection
        NotConnected,    // no connection (never made, or quit)
    };

    // Multi-line data bounds. A message is allowed twice its listed size
    // (servers count line ends differently) and at most kMaxMessageBytes;
    // one listed over that is not asked for, and a reply that runs over its
    // bound is read to its end and dropped (the call fails, the session
    // goes on).
    static constexpr qsizetype kMaxMessageBytes = 64 * 1024 * 1024;
    static constexpr qsizetype kMaxListingBytes = 1024 * 1024; // CAPA, TOP headers
    // With PIPELINING, how far a planned walk runs ahead of the calls.
    static constexpr int kMaxCommandsAhead = 64;
    static constexpr qint64 kMaxBytesAhead = 1024 * 1024;

    Pop3Client();
    ~Pop3Client();
    Pop3Client(const Pop3Client&) = delete;
    Pop3Client& operator=(const Pop3Client&) = delete;

    // Connection settings, passed to the transport (see MailTransport).
    void setTimeouts(const Pop3Timeouts& t) { m_transport.setTimeouts(t); }
    void setExtraCaCertificates(const QList<QSslCertificate>& certs) { m_transport.setExtraCaCertificates(certs); }
    void setLocalAddress(const QHostAddress& a) { m_transport.setLocalAddress(a); }
    using NameLookup = MailTransport::NameLookup;
    void setNameLookup(NameLookup lookup) { m_transport.setNameLookup(std::move(lookup)); }
    // Where the servers seen with TLS are remembered; null = nowhere (then
    // a server that stops offering STLS is not noticed).
    void setTlsMemory(TlsMemory* memory) { m_tlsMemory = memory; }

    // Connects, reads the greeting, asks CAPA, and on a plain connection
    // upgrades with STLS when offered (then asks CAPA again).
    bool connectToServer(const Pop3Endpoint& endpoint);
    bool loginUserPass(const QString& user, const QString& password);
    bool loginApop(const QString& user, const QString& password);
    // CAPA again (capabilities may change after login). A server without
    // CAPA is fine: the list is then empty.
    bool refreshCapabilities();
    bool stat(int* count, qint64* octets);

    // The walk of a check: header(n), list(n), retrieve(n) for n = 1 .. count
    // in that order. Planned, and with PIPELINING in CAPA, the commands go
    // out ahead of the calls (RFC 2449), the server sees exactly the
    // commands of the one-at-a-time walk in the same order, and each call
    // is served from the stream. A call that skips steps drops their
    // replies; one that leaves the plan drains it and goes on one command
    // at a time. keepBodies false: retrieve() keeps only the header and
    // drops the rest as it arrives (also without PIPELINING).
    void planWalk(int count, bool keepBodies);
    // false: PIPELINING is not used even when offered.
    void setPipelining(bool allowed) { m_pipeliningAllowed = allowed; }
    bool isPipelining() const { return m_planCount > 0; }
    bool list(int number, qint64* octets);
    // The header of a message: TOP n 0, or RETR when TOP is not offered.
    bool header(int number, QByteArray* headerBytes);
    bool retrieve(int number, QByteArray* message);
    // QUIT when the stream is still usable, then close; always ends closed.
    void quit();

    bool isConnected() const;
    bool isBroken() const { return m_broken; }
    bool isEncrypted() const;
    // The last failure happened while setting up TLS, or TLS was missing
    // where it had been before: something the user must hear about, unlike
    // a server that is merely off or out of reach.
    bool tlsFailed() const { return m_tlsFailed; }
    bool hasCapability(const QByteArray& name) const;
    QList<QByteArray> capabilities() const { return m_capabilities; }

    ErrorKind errorKind() const { return m_errorKind; }
    QString errorText() const { return m_errorText; }

    // The APOP timestamp of a greeting: nullopt when there is none, an empty
    // array when there is one but it is malformed.
    static std::optional<QByteArray> apopTimestamp(const QByteArray& greeting);
    static QByteArray apopDigest(const QByteArray& timestamp, const QByteArray& password);

private:
    enum class Reply { Ok, Err, Failed, NotSent };
    enum class Verb { Header = 0, List = 1, Retrieve = 2 }; // a walk's steps, per message
    enum class Planned { No, OnWire, NotSent, Failed };
    struct Ahead {
        bool onWire;          // false: a step never sent (a message over the bound)
        qint64 expectedBytes; // the reply's size as far as known
    };
    Reply command(const QByteArray& line, Pop3ReplyReader& reader, bool multiLine, qsizetype maxData);
    Reply walkCommand(Verb verb, int number, const QByteArray& line, Pop3ReplyReader& reader, bool headerOnly,
                      bool send);
    Reply awaitReply(Pop3ReplyReader& reader, const QDeadlineTimer& whole, bool headerOnly);
    bool sendLine(const QByteArray& line);
    bool readReply(Pop3ReplyReader& reader, const QDeadlineTimer& whole, bool headerOnly);
    Planned fromPlan(Verb verb, int number);
    bool sendAhead();
    void aheadRead();
    bool dropAhead(const QDeadlineTimer& deadline);
    bool leavePlan();
    QByteArray headerCommand(int number) const;
    bool fail(ErrorKind kind, const QString& text, bool breaks);
    bool failFromTransport();
    bool startTls();
    // false with the error set when the TLS memory cannot take the host.
    bool rememberTls(const Pop3Endpoint& endpoint);
    bool readCapabilities();
    bool encodeCredentials(const QString& user, const QString& password, QByteArray* userBytes,
                           QByteArray* passwordBytes);
    QString serverSaid(const Pop3ReplyReader& reader) const;
    QString shownHost() const { return m_transport.host(); }

    MailTransport m_transport;
    TlsMemory* m_tlsMemory = nullptr;
    bool m_tlsFailed = false;
    QByteArray m_greeting;
    QList<QByteArray> m_capabilities;
    bool m_capaSupported = false;
    bool m_topFailed = false; // TOP answered -ERR once: use RETR from then on
    bool m_broken = false;
    qint64 m_lastListed = -1; // size of m_lastListedNumber from LIST
    int m_lastListedNumber = 0;
    int m_statCount = 0;
    qint64 m_statOctets = -1;
    bool m_keepBodies = true;
    bool m_pipeliningAllowed = true;
    // The planned walk: steps 3 (n - 1) + verb; [m_planRead, m_planSent) are
    // on their way, one Ahead each.
    int m_planCount = 0;
    qint64 m_planRead = 0;
    qint64 m_planSent = 0;
    std::deque<Ahead> m_ahead;
    int m_aheadCommands = 0;
    qint64 m_aheadBytes = 0;
    qint64 m_listedOctets = 0; // sizes LISTed in the plan so far
    ErrorKind m_errorKind = ErrorKind::None;
    QString m_errorText;
};

} // namespace qp
