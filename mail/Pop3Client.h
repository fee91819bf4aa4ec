#pragma once
#include <QByteArray>
#include <QAbstractSocket>
#include <QHostAddress>
#include <QHostInfo>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "mail/Pop3Reply.h"

class QDeadlineTimer;
class QSslSocket;

namespace qp {

// Every wait of the POP3 client is bounded; the calls block the window, so
// these bounds are how long a dead or stalling server can freeze it.
struct Pop3Timeouts {
    // One deadline for the name look-up and the TCP connect together (every
    // address of the name is tried within it), and the same again for the
    // TLS handshake. A look-up that has not answered by then is given up on,
    // however long the system resolver would go on. Linux resends an
    // unanswered SYN after 1, 3 and 7 s; 15 s lets a slow dial-up or mobile
    // link get through three of those, and no longer.
    int connectMs = 15000;
    // Each reply must start, and keep arriving, with no silence longer than
    // this. Servers answer in milliseconds; the slow case is the first reply
    // after login on a big mailbox (the server scans it) over a congested
    // link. 30 s is generous for that and still ends a hung session.
    int replyMs = 30000;
    // A whole reply, however steadily it trickles in: 10 min carries a 25 MB
    // message over a 64 kB/s link, and stops a server that sends one byte
    // just before each idle time-out.
    int wholeReplyMs = 600000;
};

// Where to connect, from the server text the user typed.
struct Pop3Endpoint {
    QString host;
    quint16 port = 110;
    bool implicitTls = false;

    // "host", "host:port", "pop3s://host[:port]", "pop3://host[:port]",
    // "[v6addr]:port". Port 995 or pop3s:// mean TLS from the first byte.
    static std::optional<Pop3Endpoint> parse(const QString& text);
};

// A blocking POP3 client (RFC 1939, CAPA of RFC 2449, STLS of RFC 2595,
// implicit TLS of RFC 8314) on one connection. It only reads: DELE is not
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
    // (servers count line ends differently) and at most kMaxMessageBytes.
    static constexpr qsizetype kMaxMessageBytes = 64 * 1024 * 1024;
    static constexpr qsizetype kMaxListingBytes = 1024 * 1024; // CAPA, TOP headers

    Pop3Client();
    ~Pop3Client();
    Pop3Client(const Pop3Client&) = delete;
    Pop3Client& operator=(const Pop3Client&) = delete;

    void setTimeouts(const Pop3Timeouts& t) { m_timeouts = t; }
    // Trusted in addition to the system's store (tests, private CAs).
    void setExtraCaCertificates(const QList<QSslCertificate>& certs) { m_extraCas = certs; }
    // Local address to connect from (tests on 127.0.0.x); null = any.
    void setLocalAddress(const QHostAddress& a) { m_localAddress = a; }
    // How a host name becomes addresses: the system resolver unless a test
    // puts in its own. It runs on a thread of its own, may take any time or
    // never return, and is left behind when the connect time-out ends first,
    // so it must hold nothing that the client or the caller owns.
    using NameLookup = std::function<QHostInfo(const QString& host)>;
    void setNameLookup(NameLookup lookup) { m_nameLookup = std::move(lookup); }

    // Connects, reads the greeting, asks CAPA, and on a plain connection
    // upgrades with STLS when offered (then asks CAPA again).
    bool connectToServer(const Pop3Endpoint& endpoint);
    bool loginUserPass(const QString& user, const QString& password);
    bool loginApop(const QString& user, const QString& password);
    // CAPA again (capabilities may change after login). A server without
    // CAPA is fine: the list is then empty.
    bool refreshCapabilities();
    bool stat(int* count, qint64* octets);
    bool list(int number, qint64* octets);
    // The header of a message: TOP n 0, or RETR when TOP is not offered.
    bool header(int number, QByteArray* headerBytes);
    bool retrieve(int number, QByteArray* message);
    // QUIT when the stream is still usable, then close; always ends closed.
    void quit();

    bool isConnected() const;
    bool isBroken() const { return m_broken; }
    bool isEncrypted() const;
    bool hasCapability(const QByteArray& name) const;
    QList<QByteArray> capabilities() const { return m_capabilities; }
    QByteArray greeting() const { return m_greeting; }

    ErrorKind errorKind() const { return m_errorKind; }
    QString errorText() const { return m_errorText; }

    // The APOP timestamp of a greeting: nullopt when there is none, an empty
    // array when there is one but it is malformed.
    static std::optional<QByteArray> apopTimestamp(const QByteArray& greeting);
    static QByteArray apopDigest(const QByteArray& timestamp, const QByteArray& password);

private:
    enum class Reply { Ok, Err, Failed };
    enum class Received { Data, Timeout, Closed };
    Reply command(const QByteArray& line, Pop3ReplyReader& reader, bool multiLine, qsizetype maxData);
    bool sendLine(const QByteArray& line);
    bool readReply(Pop3ReplyReader& reader);
    bool fail(ErrorKind kind, const QString& text, bool breaks);
    bool failConnect(QAbstractSocket::SocketError error, const QString& errorString);
    bool failTimeout();
    bool failClosed();
    bool failTls();
    void configureTls(QSslSocket& socket) const;
    bool lookUp(const QDeadlineTimer& deadline, QList<QHostAddress>* addresses);
    bool connectTransport(const QList<QHostAddress>& addresses, const QDeadlineTimer& deadline);
    // The transport: a plain descriptor of our own until TLS, Qt's
    // QSslSocket from then on.
    bool writeAll(const QByteArray& bytes);
    Received receive(int waitMs);
    void closeTransport();
    bool startTls();
    bool readCapabilities();
    bool sendCredentialsCheck(const QString& user, const QString& password);
    QString serverSaid(const Pop3ReplyReader& reader) const;
    QString shownHost() const;

    // Plain POP3 runs on the bare descriptor (poll/recv/send): a check is
    // thousands of short round trips, and Qt's socket layers cost more per
    // round trip than the protocol work itself. TLS goes through QSslSocket.
    int m_fd = -1;
    std::unique_ptr<QSslSocket> m_tls;
    bool m_peerClosed = false;
    Pop3Endpoint m_endpoint;
    Pop3Timeouts m_timeouts;
    QList<QSslCertificate> m_extraCas;
    QHostAddress m_localAddress;
    NameLookup m_nameLookup;
    QByteArray m_in;          // bytes read but not yet consumed by a reply
    qsizetype m_inPos = 0;
    QByteArray m_greeting;
    QList<QByteArray> m_capabilities;
    bool m_capaSupported = false;
    bool m_topFailed = false; // TOP answered -ERR once: use RETR from then on
    bool m_broken = false;
    qint64 m_lastListed = -1; // size of m_lastListedNumber from LIST
    int m_lastListedNumber = 0;
    ErrorKind m_errorKind = ErrorKind::None;
    QString m_errorText;
};

} // namespace qp
