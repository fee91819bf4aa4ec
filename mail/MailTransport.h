#pragma once
#include <QAbstractSocket>
#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QSslSocket;

namespace qp {

// Every wait of a mail connection is bounded, so that a server that is
// gone or stalls is told within seconds: the connect within 15 s, the
// greeting within 30 s of it, every later reply's silence within 30 s, and
// all of one session within MailClientBase::kSessionMs (5 minutes),
// whichever ends first.
struct MailTimeouts {
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
    // The whole greeting, however it trickles in. A server greets at once;
    // one that has taken the connection and sends nothing whole within
    // 30 s is hung (an overloaded server, a firewall that takes the SYN but
    // never passes data), and the user hears of it then rather than at the
    // session's end.
    int greetingMs = 30000;
    // A whole reply, however steadily it trickles in: 10 min carries a 25 MB
    // message over a 64 kB/s link, and stops a server that sends one byte
    // just before each idle time-out.
    int wholeReplyMs = 600000;
};

// Where to connect, from the server text the user typed.
struct MailEndpoint {
    QString host;
    quint16 port = 0;
    bool implicitTls = false;

    // The URL schemes and default ports of one protocol, e.g. POP3:
    // {"pop3", "pop3s", 110, 995}. The TLS port or the TLS scheme mean TLS
    // from the first byte.
    struct Schemes {
        const char* plain;
        const char* tls;
        quint16 plainPort;
        quint16 tlsPort;
    };
    // "host", "host:port", "<tls>://host[:port]", "<plain>://host[:port]",
    // "[v6addr]:port"; nullopt for anything else.
    static std::optional<MailEndpoint> parse(const QString& text, const Schemes& schemes);
    // One server as a text ("host port", host in lower case): what is kept
    // per server for this run (pipelining that failed, remembered headers).
    QString serverKey() const { return host.toLower() + QLatin1Char(' ') + QString::number(port); }
};

// One blocking connection to a mail server, below any protocol: name
// look-up, TCP, TLS (implicit, or started later after the protocol's own
// STARTTLS/STLS), certificate and host-name checks, bounded reads and
// writes. Every failure leaves an error and a Japanese text for the user,
// and leaves the connection unusable ("failed"): later reads and writes
// fail at once with the same error instead of waiting again.
//
//   MailTransport t;
//   t.setTimeouts(timeouts);
//   if (!t.connectTo(endpoint)) show(t.errorText());
//   const QDeadlineTimer deadline(timeouts.wholeReplyMs);
//   for (;;) {                                  // the greeting, by the protocol's reader
//       qsizetype used = 0;
//       const auto status = reader.feed(t.buffered(), &used);
//       t.consume(used);
//       if (status == done) break;
//       if (!t.receiveMore(deadline)) return show(t.errorText());
//   }
//   t.write("a1 STARTTLS\r\n");               // and "a1 OK" read as above
//   t.startTls(u"STARTTLS");
//   t.close();
//
// Plain connections run on a bare descriptor (poll/recv/send): a mail
// session is thousands of short round trips, and Qt's socket layers cost
// more per round trip than the protocol work itself. TLS goes through
// QSslSocket, which takes the descriptor over at startTls().
class MailTransport {
public:
    enum class Error {
        None,
        Unreachable,  // name not found, refused, network down
        Timeout,      // connect, look-up or reply time-out
        Tls,          // handshake or certificate verification failed
        Closed,       // the server closed the connection
        Protocol,     // the protocol's reader failed, bytes injected before TLS
        NotConnected, // never connected, or closed
    };

    MailTransport();
    ~MailTransport();
    MailTransport(const MailTransport&) = delete;
    MailTransport& operator=(const MailTransport&) = delete;

    void setTimeouts(const MailTimeouts& t) { m_timeouts = t; }
    const MailTimeouts& timeouts() const { return m_timeouts; }
    // Trusted in addition to the system's store (tests, private CAs).
    void setExtraCaCertificates(const QList<QSslCertificate>& certs) { m_extraCas = certs; }
    // Local address to connect from (tests on 127.0.0.x); null = any.
    void setLocalAddress(const QHostAddress& a) { m_localAddress = a; }
    // How a host name becomes addresses: the system resolver unless a test
    // puts in its own. It runs on a thread of its own, may take any time or
    // never return, and is left behind when the connect time-out ends first,
    // so it must hold nothing that the transport or the caller owns.
    using NameLookup = std::function<QHostInfo(const QString& host)>;
    void setNameLookup(NameLookup lookup) { m_nameLookup = std::move(lookup); }
    // One bound over the whole session from now on: every wait (connect,
    // handshake, each read and write) ends by it, however the server paces
    // its bytes. The protocol client says how long; none = no such bound.
    void startSession(int milliseconds);

    // Look-up and TCP connect within connectMs; with implicit TLS also the
    // handshake, within connectMs again.
    bool connectTo(const MailEndpoint& endpoint);
    // Starts TLS on the open plain connection; call it right after the
    // server's go-ahead to commandName ("STLS", "STARTTLS"), which names the
    // command in the error text. Bytes already waiting then were sent before
    // the handshake and would pass as if they came over TLS: refused.
    bool startTls(const QString& commandName);

    // Sends all bytes (a silence longer than replyMs while the server takes
    // none is a time-out).
    bool write(const QByteArray& bytes);
    // Sends without waiting and without reporting: a goodbye on a
    // connection that has failed (QUIT after a time-out half-way).
    void sendWithoutWaiting(const QByteArray& bytes);

    // Reading, for the protocol's reader that parses as bytes arrive: what
    // is received and not yet consumed, how much of it was used, and a wait
    // for more. Each silence is bounded by replyMs, the whole wait by the
    // deadline; false with the error set on time-out or close.
    QByteArrayView buffered() const { return QByteArrayView(m_in).sliced(m_inPos); }
    void consume(qsizetype n);
    bool receiveMore(const QDeadlineTimer& deadline);
    // For a connection held open until the server speaks (IMAP IDLE): waits
    // until bytes arrive (then in buffered()), wakeFd (-1: none) becomes
    // readable, or the time is up. A quiet wait is no failure here; only
    // a closed or broken connection is (Failed, error set). TLS records
    // without data for us (session tickets) are taken in and waited past.
    enum class Waited { Data, Woken, Quiet, Failed };
    Waited waitForData(int wakeFd, int milliseconds);
    // Hands what is received and not yet consumed to a protocol's reader
    // (status = reader.feed(bytes, &used)) and consumes what it used.
    template <class Reader>
    auto feedTo(Reader& reader, qsizetype* used = nullptr)
    {
        qsizetype n = 0;
        const auto status = reader.feed(buffered(), &n);
        consume(n);
        if (used)
            *used = n;
        return status;
    }

    // Orderly end (TLS close-notify, at most a second), then closed.
    void close();
    // Closed at once.
    void abort();

    bool isConnected() const;
    bool isEncrypted() const;
    bool hasFailed() const { return m_error != Error::None; }
    Error error() const { return m_error; }
    QString errorText() const { return m_errorText; }
    // The host as the user typed it, for messages.
    const QString& host() const { return m_endpoint.host; }
    const MailEndpoint& endpoint() const { return m_endpoint; }

    // Records a failure (the protocol's own, such as a reply it cannot
    // read) so that later reads and writes fail at once.
    bool fail(Error error, const QString& text);

private:
    enum class Received { Data, Timeout, Closed };
    bool failConnect(QAbstractSocket::SocketError error, const QString& errorString);
    bool failTimeout();
    bool failWholeTimeout();
    bool failClosed();
    bool failSession();
    // The earlier of a wait's own deadline and the session's.
    QDeadlineTimer withinSession(const QDeadlineTimer& deadline) const;
    bool failTls();
    bool stillUsable();
    void configureTls(QSslSocket& socket) const;
    bool lookUp(const QDeadlineTimer& deadline, QList<QHostAddress>* addresses);
    bool connectSocket(const QList<QHostAddress>& addresses, const QDeadlineTimer& deadline);
    Received receive(int waitMs);
    // Drops the consumed bytes; a partial line or reply stays at the front.
    void compactInput();
    void closeDescriptor();

    int m_fd = -1;
    std::unique_ptr<QSslSocket> m_tls;
    bool m_peerClosed = false;
    MailEndpoint m_endpoint;
    MailTimeouts m_timeouts;
    QList<QSslCertificate> m_extraCas;
    QHostAddress m_localAddress;
    NameLookup m_nameLookup;
    QDeadlineTimer m_session{QDeadlineTimer::Forever};
    int m_sessionMs = 0;
    QByteArray m_in; // bytes received; m_inPos of them consumed
    qsizetype m_inPos = 0;
    Error m_error = Error::NotConnected;
    QString m_errorText;
};

// A transport failure as a protocol client's own error kind: each client's
// ErrorKind names these kinds alike. Not failed or not connected both read
// as NotConnected.
template <class Kind>
Kind errorKindOf(MailTransport::Error error)
{
    switch (error) {
    case MailTransport::Error::Unreachable:
        return Kind::Unreachable;
    case MailTransport::Error::Timeout:
        return Kind::Timeout;
    case MailTransport::Error::Tls:
        return Kind::Tls;
    case MailTransport::Error::Closed:
        return Kind::Closed;
    case MailTransport::Error::Protocol:
        return Kind::Protocol;
    case MailTransport::Error::None:
    case MailTransport::Error::NotConnected:
        break;
    }
    return Kind::NotConnected;
}

} // namespace qp
