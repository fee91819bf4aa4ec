#include "MailTransport.h"

#include "mail/MailText.h"


#include <QDeadlineTimer>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslSocket>
#include <QStringList>
#include <QTcpSocket>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace qp {

namespace {

// The most the TLS socket buffers for us between two reads, and the most one
// read of the plain descriptor takes.
constexpr qint64 kSocketBuffer = 1024 * 1024;
constexpr qsizetype kReadChunk = 64 * 1024;

// The system resolver (getaddrinfo, as Qt itself uses it), addresses in
// the order it prefers. Plain C calls only: this may still be running on an
// abandoned thread while the program shuts down.
QHostInfo systemLookup(const QString& host)
{
    QHostInfo info;
    const QByteArray name = QUrl::toAce(host);
    if (name.isEmpty()) {
        info.setError(QHostInfo::HostNotFound);
        return info;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG; // no IPv6 addresses on a host without IPv6
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(name.constData(), nullptr, &hints, &found);
    if (rc == EAI_BADFLAGS) {
        hints.ai_flags = 0;
        rc = ::getaddrinfo(name.constData(), nullptr, &hints, &found);
    }
    if (rc != 0) {
        switch (rc) {
        case EAI_NONAME:
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            info.setError(QHostInfo::HostNotFound);
            break;
        case EAI_AGAIN:
            info.setError(QHostInfo::UnknownError);
            info.setErrorString(QStringLiteral("DNS サーバーから答えがありません"));
            break;
        case EAI_SYSTEM:
            info.setError(QHostInfo::UnknownError);
            info.setErrorString(QString::fromLocal8Bit(std::strerror(errno)));
            break;
        default:
            info.setError(QHostInfo::UnknownError);
            info.setErrorString(QString::fromLocal8Bit(::gai_strerror(rc)));
            break;
        }
        return info;
    }
    QList<QHostAddress> addresses;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6)
            continue;
        const QHostAddress address(a->ai_addr);
        if (!address.isNull() && !addresses.contains(address))
            addresses << address;
    }
    ::freeaddrinfo(found);
    if (addresses.isEmpty())
        info.setError(QHostInfo::HostNotFound);
    info.setAddresses(addresses);
    return info;
}

// What a look-up thread and its caller share. The thread co-owns it, so it
// stays valid for the thread however long the caller has been gone.
struct PendingLookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    QHostInfo result;
};

// Runs lookup(host) on a thread of its own and waits for it until the
// deadline, without an event loop: nothing else of the program runs in the
// meantime. nullopt when it did not answer in time; the thread then finishes
// on its own, and its answer goes nowhere.
std::optional<QHostInfo> lookUpWithin(const MailTransport::NameLookup& lookup, const QString& host,
                                      const QDeadlineTimer& deadline)
{
    auto pending = std::make_shared<PendingLookup>();
    try {
        std::thread([pending, lookup, host] {
            QHostInfo info = lookup(host);
            const std::lock_guard lock(pending->mutex);
            pending->result = std::move(info);
            pending->finished = true;
            pending->done.notify_all();
        }).detach();
    } catch (const std::system_error& e) {
        QHostInfo info;
        info.setError(QHostInfo::UnknownError);
        info.setErrorString(QString::fromLocal8Bit(e.what()));
        return info;
    }
    std::unique_lock lock(pending->mutex);
    const auto wait = std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0));
    if (!pending->done.wait_for(lock, wait, [&] { return pending->finished; }))
        return std::nullopt;
    return pending->result;
}

// Why a socket failed, in the user's words where we have them.
QString socketErrorReason(QAbstractSocket::SocketError error, const QString& errorString)
{
    switch (error) {
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("サーバー名が見つかりません");
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("接続を拒否されました");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("ネットワークにつながっていません");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("サーバーが接続を閉じました");
    default:
        return errorString;
    }
}

} // namespace

std::optional<MailEndpoint> MailEndpoint::parse(const QString& text, const Schemes& schemes)
{
    QString t = text.trimmed();
    MailEndpoint e;
    bool schemeTls = false;
    const QString tlsPrefix = QLatin1String(schemes.tls) + QLatin1String("://");
    const QString plainPrefix = QLatin1String(schemes.plain) + QLatin1String("://");
    if (t.startsWith(tlsPrefix, Qt::CaseInsensitive)) {
        schemeTls = true;
        t = t.mid(tlsPrefix.size());
    } else if (t.startsWith(plainPrefix, Qt::CaseInsensitive)) {
        t = t.mid(plainPrefix.size());
    }
    if (t.endsWith(QLatin1Char('/')))
        t.chop(1);
    QString host = t;
    QString portText;
    if (t.startsWith(QLatin1Char('['))) { // [IPv6]:port
        const qsizetype close = t.indexOf(QLatin1Char(']'));
        if (close < 0)
            return std::nullopt;
        host = t.mid(1, close - 1);
        const QString rest = t.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':')))
                return std::nullopt;
            portText = rest.mid(1);
        }
    } else if (t.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = t.indexOf(QLatin1Char(':'));
        host = t.left(colon);
        portText = t.mid(colon + 1);
    } else if (t.count(QLatin1Char(':')) > 1) {
        // A bare IPv6 address: no port.
        if (QHostAddress(t).isNull())
            return std::nullopt;
    }
    if (host.isEmpty() || host.contains(QLatin1Char(' ')) || host.contains(QLatin1Char('/'))
        || host.contains(QLatin1Char('@')))
        return std::nullopt;
    e.host = host;
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint port = portText.toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            return std::nullopt;
        e.port = quint16(port);
    } else {
        e.port = schemeTls ? schemes.tlsPort : schemes.plainPort;
    }
    e.implicitTls = schemeTls || e.port == schemes.tlsPort;
    return e;
}

MailTransport::MailTransport() : m_errorText(mailtext::notConnected()) {}

MailTransport::~MailTransport()
{
    closeDescriptor();
}

void MailTransport::closeDescriptor()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_tls)
        m_tls->abort();
}

bool MailTransport::isConnected() const
{
    if (m_fd >= 0)
        return !m_peerClosed;
    return m_tls && m_tls->state() == QAbstractSocket::ConnectedState;
}

bool MailTransport::isEncrypted() const
{
    return m_fd < 0 && m_tls && m_tls->isEncrypted();
}

bool MailTransport::fail(Error error, const QString& text)
{
    m_error = error;
    m_errorText = text;
    // A failed handshake leaves nothing worth saying goodbye on; other
    // failures keep the connection so that a goodbye can still go out.
    if (m_tls && error == Error::Tls)
        m_tls->abort();
    return false;
}

bool MailTransport::stillUsable()
{
    // The first failure stays the one reported. A connection the server
    // has closed is found out by the next read or write, so that bytes it
    // sent before closing are still read.
    return m_error == Error::None;
}

bool MailTransport::failTimeout()
{
    return fail(Error::Timeout, QStringLiteral("サーバー「%1」の応答がありません（%2 秒で時間切れ）")
                                    .arg(host()).arg(m_timeouts.replyMs / 1000.0));
}

bool MailTransport::failWholeTimeout()
{
    // The bound that ended differs by step (greeting, reply): said without a figure.
    return fail(Error::Timeout, QStringLiteral("サーバー「%1」の応答が終わりません（時間切れ）").arg(host()));
}

void MailTransport::startSession(int milliseconds)
{
    m_sessionMs = milliseconds;
    m_session = QDeadlineTimer(milliseconds);
}

QDeadlineTimer MailTransport::withinSession(const QDeadlineTimer& deadline) const
{
    return m_session < deadline ? m_session : deadline;
}

bool MailTransport::failSession()
{
    return fail(Error::Timeout, mailtext::sessionTooLong(host(), m_sessionMs / 1000));
}

bool MailTransport::failClosed()
{
    m_peerClosed = true;
    return fail(Error::Closed, QStringLiteral("サーバー「%1」との接続が切れました").arg(host()));
}

bool MailTransport::failConnect(QAbstractSocket::SocketError error, const QString& errorString)
{
    switch (error) {
    case QAbstractSocket::SocketTimeoutError:
        return fail(Error::Timeout, QStringLiteral("サーバー「%1」に接続できません（%2 秒で時間切れ）")
                                        .arg(host()).arg(m_timeouts.connectMs / 1000.0));
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return failTls();
    default:
        return fail(Error::Unreachable, QStringLiteral("サーバー「%1」に接続できません（%2）")
                                            .arg(host(), socketErrorReason(error, errorString)));
    }
}

// The handshake failed or did not finish in time.
bool MailTransport::failTls()
{
    if (m_tls->error() == QAbstractSocket::SocketTimeoutError)
        return fail(Error::Tls, QStringLiteral("サーバー「%1」と TLS で接続できません（%2 秒で時間切れ）")
                                    .arg(host()).arg(m_timeouts.connectMs / 1000.0));
    QStringList reasons;
    for (const QSslError& e : m_tls->sslHandshakeErrors()) {
        QString r;
        switch (e.error()) {
        case QSslError::HostNameMismatch:
            r = QStringLiteral("証明書のサーバー名が一致しません");
            break;
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
            r = QStringLiteral("証明書の発行元を信頼できません");
            break;
        case QSslError::CertificateExpired:
            r = QStringLiteral("証明書の期限が切れています");
            break;
        case QSslError::CertificateNotYetValid:
            r = QStringLiteral("証明書がまだ有効になっていません");
            break;
        case QSslError::CertificateRevoked:
            r = QStringLiteral("証明書が失効しています");
            break;
        default:
            r = e.errorString();
            break;
        }
        if (!reasons.contains(r))
            reasons << r;
    }
    if (reasons.isEmpty())
        reasons << socketErrorReason(m_tls->error(), m_tls->errorString());
    return fail(Error::Tls, QStringLiteral("サーバー「%1」と TLS で接続できません（%2）")
                                .arg(host(), reasons.join(QStringLiteral("、"))));
}

void MailTransport::configureTls(QSslSocket& socket) const
{
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    if (!m_extraCas.isEmpty()) {
        // Setting a CA list ends Qt's on-demand loading of the system store,
        // so the system's certificates go in explicitly. Reading them takes
        // about 90 ms (some 300 files): once per run, not at every check.
        static const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        conf.setCaCertificates(system + m_extraCas);
    }
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket.setSslConfiguration(conf);
    socket.setPeerVerifyName(m_endpoint.host);
    socket.setReadBufferSize(kSocketBuffer);
}

// The addresses to try, from the look-up within the deadline or from an
// address typed as the server name.
bool MailTransport::lookUp(const QDeadlineTimer& deadline, QList<QHostAddress>* addresses)
{
    const QHostAddress literal(m_endpoint.host);
    if (!literal.isNull()) {
        *addresses = {literal};
        return true;
    }
    const auto info = lookUpWithin(m_nameLookup ? m_nameLookup : NameLookup(systemLookup), m_endpoint.host, deadline);
    if (!info)
        return fail(Error::Timeout, QStringLiteral("サーバー「%1」に接続できません（サーバー名の問い合わせが %2 秒で時間切れ）")
                                        .arg(host()).arg(m_timeouts.connectMs / 1000.0));
    if (info->error() == QHostInfo::HostNotFound || (info->error() == QHostInfo::NoError && info->addresses().isEmpty()))
        return failConnect(QAbstractSocket::HostNotFoundError, QString());
    if (info->error() != QHostInfo::NoError)
        return fail(Error::Unreachable, QStringLiteral("サーバー「%1」に接続できません（サーバー名を調べられません: %2）")
                                            .arg(host(), info->errorString()));
    *addresses = info->addresses();
    return true;
}

// TCP (and for implicit TLS the start of the handshake) to the first of the
// addresses that takes the connection, all within the deadline. The last
// failure is the one reported.
bool MailTransport::connectSocket(const QList<QHostAddress>& addresses, const QDeadlineTimer& deadline)
{
    QAbstractSocket::SocketError error = QAbstractSocket::HostNotFoundError;
    QString errorString;
    bool tried = false;
    for (const QHostAddress& address : addresses) {
        // A socket bound to a local address reaches only its own family.
        if (!m_localAddress.isNull() && address.protocol() != m_localAddress.protocol())
            continue;
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            error = QAbstractSocket::SocketTimeoutError;
            break;
        }
        tried = true;
        if (m_endpoint.implicitTls) {
            m_tls = std::make_unique<QSslSocket>();
            configureTls(*m_tls);
            if (!m_localAddress.isNull() && !m_tls->bind(m_localAddress, 0))
                return failConnect(m_tls->error(), m_tls->errorString());
            // Certificate and SNI go by the name, not by the address.
            m_tls->connectToHostEncrypted(address.toString(), m_endpoint.port, m_endpoint.host);
            if (m_tls->waitForConnected(int(std::min<qint64>(left, INT_MAX))))
                return true;
            error = m_tls->error(); // the socket stays until the next try, for failConnect
            errorString = m_tls->errorString();
        } else {
            // Qt connects with its time-out; then the descriptor is ours.
            QTcpSocket tcp;
            if (!m_localAddress.isNull() && !tcp.bind(m_localAddress, 0))
                return failConnect(tcp.error(), tcp.errorString());
            tcp.connectToHost(address, m_endpoint.port);
            if (tcp.waitForConnected(int(std::min<qint64>(left, INT_MAX)))) {
                m_fd = ::fcntl(int(tcp.socketDescriptor()), F_DUPFD_CLOEXEC, 0);
                tcp.abort(); // closes Qt's descriptor only; the connection lives on in ours
                if (m_fd < 0)
                    return fail(Error::Unreachable, QStringLiteral("サーバー「%1」に接続できません（%2）")
                                                        .arg(host(), QString::fromLocal8Bit(std::strerror(errno))));
                return true;
            }
            error = tcp.error();
            errorString = tcp.errorString();
        }
        if (error == QAbstractSocket::SocketTimeoutError)
            break;
    }
    if (!tried && error != QAbstractSocket::SocketTimeoutError)
        return fail(Error::Unreachable,
                    QStringLiteral("サーバー「%1」に接続できません（接続元 %2 から届くアドレスがありません）")
                        .arg(host(), m_localAddress.toString()));
    return failConnect(error, errorString);
}

bool MailTransport::connectTo(const MailEndpoint& endpoint)
{
    closeDescriptor();
    m_tls.reset();
    m_endpoint = endpoint;
    m_peerClosed = false;
    m_in.clear();
    m_inPos = 0;
    m_error = Error::None;
    m_errorText.clear();

    // The look-up and the connect share one deadline; the handshake has its own.
    const QDeadlineTimer deadline = withinSession(QDeadlineTimer(m_timeouts.connectMs));
    QList<QHostAddress> addresses;
    if (!lookUp(deadline, &addresses) || !connectSocket(addresses, deadline))
        return false;
    if (endpoint.implicitTls) {
        m_tls->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (!m_tls->waitForEncrypted(int(withinSession(QDeadlineTimer(m_timeouts.connectMs)).remainingTime())))
            return failTls();
    } else {
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        // Short commands, one round trip each: do not let Nagle hold them back.
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return true;
}

bool MailTransport::startTls(const QString& commandName)
{
    if (!stillUsable())
        return false;
    if (m_fd < 0)
        return fail(Error::Tls, QStringLiteral("サーバー「%1」とはすでに TLS で接続しています").arg(host()));
    char peek = 0;
    if (m_inPos < m_in.size() || ::recv(m_fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) > 0)
        return fail(Error::Protocol,
                    QStringLiteral("サーバー「%1」の応答が不正です（%2 の後に余分なデータ）").arg(host(), commandName));
    // QSslSocket takes the descriptor over from here.
    m_tls = std::make_unique<QSslSocket>();
    configureTls(*m_tls);
    if (!m_tls->setSocketDescriptor(m_fd, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        closeDescriptor();
        return fail(Error::Tls,
                    QStringLiteral("サーバー「%1」と TLS で接続できません（%2）").arg(host(), m_tls->errorString()));
    }
    m_fd = -1;
    m_in.clear();
    m_inPos = 0;
    m_tls->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_tls->startClientEncryption();
    if (!m_tls->waitForEncrypted(int(withinSession(QDeadlineTimer(m_timeouts.connectMs)).remainingTime())))
        return failTls();
    return true;
}

bool MailTransport::write(const QByteArray& bytes)
{
    if (!stillUsable())
        return false;
    if (m_fd < 0) {
        if (m_tls->write(bytes) != bytes.size())
            return failClosed();
        m_tls->flush();
        return true;
    }
    // Commands are short; the socket buffer takes them at once unless the
    // server stopped reading, which the reply time-out then bounds.
    const QDeadlineTimer deadline = withinSession(QDeadlineTimer(m_timeouts.replyMs));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{m_fd, POLLOUT, 0};
            const int r = ::poll(&p, 1, int(std::max<qint64>(deadline.remainingTime(), 0)));
            if (r == 0)
                return m_session.hasExpired() ? failSession() : failTimeout();
            continue;
        }
        return failClosed();
    }
    return true;
}

void MailTransport::sendWithoutWaiting(const QByteArray& bytes)
{
    if (m_fd >= 0) {
        if (!m_peerClosed)
            ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    } else if (m_tls && m_tls->state() == QAbstractSocket::ConnectedState && m_tls->isEncrypted()) {
        m_tls->write(bytes);
        m_tls->flush();
        m_tls->waitForBytesWritten(1000);
    }
}

void MailTransport::compactInput()
{
    if (m_inPos >= m_in.size()) {
        m_in.resize(0); // keeps the capacity
        m_inPos = 0;
    } else if (m_inPos > 0) {
        m_in.remove(0, m_inPos);
        m_inPos = 0;
    }
}

MailTransport::Received MailTransport::receive(int waitMs)
{
    compactInput();
    if (m_fd < 0) {
        if (m_tls->bytesAvailable() == 0 && !m_tls->waitForReadyRead(waitMs) && m_tls->bytesAvailable() == 0) {
            if (m_tls->state() == QAbstractSocket::ConnectedState && m_tls->error() == QAbstractSocket::SocketTimeoutError)
                return Received::Timeout;
            return Received::Closed;
        }
        if (m_in.isEmpty())
            m_in = m_tls->readAll(); // Qt hands over its buffered block without copying it
        else
            m_in += m_tls->readAll();
        return Received::Data;
    }
    // One deadline for the whole wait: a signal or a wake-up without data
    // must not start the wait over, or a steady stream of them never ends it.
    const QDeadlineTimer deadline(waitMs);
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        const int r = ::poll(&p, 1, int(std::max<qint64>(deadline.remainingTime(), 0)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            return Received::Timeout;
        const qsizetype at = m_in.size();
        m_in.resize(at + kReadChunk); // same capacity every time: no fresh allocation
        const ssize_t n = ::recv(m_fd, m_in.data() + at, size_t(kReadChunk), 0);
        m_in.resize(at + std::max<ssize_t>(n, 0));
        if (n > 0)
            return Received::Data;
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        return Received::Closed; // 0: closed by the server; < 0: reset
    }
}

MailTransport::Waited MailTransport::waitForData(int wakeFd, int milliseconds)
{
    if (!stillUsable())
        return Waited::Failed;
    compactInput();
    if (m_fd < 0 && m_tls->bytesAvailable() > 0) {
        m_in += m_tls->readAll();
        return Waited::Data;
    }
    const int fd = m_fd >= 0 ? m_fd : int(m_tls->socketDescriptor());
    if (fd < 0) {
        failClosed();
        return Waited::Failed;
    }
    const QDeadlineTimer deadline(milliseconds);
    // A descriptor that keeps waking us without giving anything is broken;
    // never spin on it.
    int emptyWakes = 0;
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int r = ::poll(p, wakeFd >= 0 ? 2 : 1, int(std::max<qint64>(deadline.remainingTime(), 0)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            return Waited::Quiet;
        if (wakeFd >= 0 && (p[1].revents & POLLIN))
            return Waited::Woken;
        if (m_fd >= 0) {
            const qsizetype at = m_in.size();
            m_in.resize(at + kReadChunk);
            const ssize_t n = ::recv(m_fd, m_in.data() + at, size_t(kReadChunk), 0);
            m_in.resize(at + std::max<ssize_t>(n, 0));
            if (n > 0)
                return Waited::Data;
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) && ++emptyWakes < 100)
                continue;
        } else {
            if (m_tls->waitForReadyRead(0) || m_tls->bytesAvailable() > 0) {
                m_in += m_tls->readAll();
                return Waited::Data;
            }
            if (m_tls->state() == QAbstractSocket::ConnectedState && ++emptyWakes < 100)
                continue;
        }
        failClosed();
        return Waited::Failed;
    }
}

void MailTransport::consume(qsizetype n)
{
    m_inPos = std::min(m_in.size(), m_inPos + std::max<qsizetype>(n, 0));
}

bool MailTransport::receiveMore(const QDeadlineTimer& replyDeadline)
{
    if (!stillUsable())
        return false;
    if (m_session.hasExpired())
        return failSession();
    const QDeadlineTimer deadline = withinSession(replyDeadline);
    if (deadline.hasExpired())
        return failWholeTimeout();
    const int wait = int(std::min<qint64>(m_timeouts.replyMs, std::max<qint64>(deadline.remainingTime(), 1)));
    switch (receive(wait)) {
    case Received::Data:
        return true;
    case Received::Timeout:
        if (m_session.hasExpired())
            return failSession();
        return deadline.hasExpired() ? failWholeTimeout() : failTimeout();
    case Received::Closed:
        return failClosed();
    }
    return false;
}

void MailTransport::close()
{
    if (m_tls && m_tls->state() != QAbstractSocket::UnconnectedState) {
        m_tls->disconnectFromHost();
        if (m_tls->state() != QAbstractSocket::UnconnectedState)
            m_tls->waitForDisconnected(1000);
    }
    abort();
}

void MailTransport::abort()
{
    closeDescriptor();
    m_peerClosed = true;
    if (m_error == Error::None) {
        m_error = Error::NotConnected;
        m_errorText = mailtext::notConnected();
    }
}

} // namespace qp
