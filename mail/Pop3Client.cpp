#include "Pop3Client.h"

#include "mail/HeaderDecoder.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QSslConfiguration>
#include <QSslSocket>
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
// QUIT is a courtesy; do not hold the window for long over it.
constexpr int kQuitWaitMs = 5000;

// A server's text as the user may see it: printable, short. Japanese
// servers word their replies in Shift_JIS or ISO-2022-JP as often as in
// UTF-8, so the bytes are read in the charset they look like. (Status lines
// are bounded by the reply reader, so decoding all of one is cheap, and
// cutting after decoding never splits a character.)
QString printable(const QByteArray& bytes, qsizetype maxChars = 200)
{
    QString s = mailheader::decodeUnlabelled(bytes);
    for (QChar& c : s)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char(' ');
    s = s.simplified();
    if (s.size() > maxChars) {
        qsizetype cut = maxChars;
        if (s.at(cut - 1).isHighSurrogate())
            --cut;
        s = s.left(cut) + QStringLiteral("…");
    }
    return s;
}

// Strict decimal number, no sign, fits in qint64 below limit.
bool parseNumber(const QByteArray& token, qint64 limit, qint64* out)
{
    if (token.isEmpty() || token.size() > 18)
        return false;
    qint64 v = 0;
    for (char c : token) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v > limit)
        return false;
    *out = v;
    return true;
}

QList<QByteArray> words(const QByteArray& text)
{
    QList<QByteArray> out;
    for (const QByteArray& w : text.simplified().split(' '))
        if (!w.isEmpty())
            out << w;
    return out;
}

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
std::optional<QHostInfo> lookUpWithin(const Pop3Client::NameLookup& lookup, const QString& host,
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

} // namespace

std::optional<Pop3Endpoint> Pop3Endpoint::parse(const QString& text)
{
    QString t = text.trimmed();
    Pop3Endpoint e;
    bool schemeTls = false;
    if (t.startsWith(QLatin1String("pop3s://"), Qt::CaseInsensitive)) {
        schemeTls = true;
        t = t.mid(8);
    } else if (t.startsWith(QLatin1String("pop3://"), Qt::CaseInsensitive)) {
        t = t.mid(7);
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
        e.port = schemeTls ? 995 : 110;
    }
    e.implicitTls = schemeTls || e.port == 995;
    return e;
}

Pop3Client::Pop3Client() = default;

Pop3Client::~Pop3Client()
{
    closeTransport();
}

void Pop3Client::closeTransport()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_tls)
        m_tls->abort();
}

QString Pop3Client::shownHost() const
{
    return m_endpoint.host;
}

bool Pop3Client::isConnected() const
{
    if (m_fd >= 0)
        return !m_peerClosed;
    return m_tls && m_tls->state() == QAbstractSocket::ConnectedState;
}

bool Pop3Client::isEncrypted() const
{
    return m_fd < 0 && m_tls && m_tls->isEncrypted();
}

bool Pop3Client::hasCapability(const QByteArray& name) const
{
    for (const QByteArray& c : m_capabilities) {
        const QByteArray first = c.split(' ').value(0);
        if (first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool Pop3Client::fail(ErrorKind kind, const QString& text, bool breaks)
{
    m_errorKind = kind;
    m_errorText = text;
    if (breaks) {
        m_broken = true;
        // A failed handshake leaves nothing worth saying goodbye on; other
        // breaks keep the connection so that quit() can still send QUIT.
        if (m_tls && kind == ErrorKind::Tls)
            m_tls->abort();
    }
    return false;
}

bool Pop3Client::failTimeout()
{
    return fail(ErrorKind::Timeout,
                QStringLiteral("サーバー「%1」の応答がありません（%2 秒で時間切れ）").arg(shownHost()).arg(m_timeouts.replyMs / 1000.0),
                true);
}

bool Pop3Client::failClosed()
{
    m_peerClosed = true;
    return fail(ErrorKind::Closed, QStringLiteral("サーバー「%1」との接続が切れました").arg(shownHost()), true);
}

namespace {
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

bool Pop3Client::failConnect(QAbstractSocket::SocketError error, const QString& errorString)
{
    switch (error) {
    case QAbstractSocket::SocketTimeoutError:
        return fail(ErrorKind::Timeout,
                    QStringLiteral("サーバー「%1」に接続できません（%2 秒で時間切れ）").arg(shownHost()).arg(m_timeouts.connectMs / 1000.0),
                    true);
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return failTls();
    default:
        return fail(ErrorKind::Unreachable,
                    QStringLiteral("サーバー「%1」に接続できません（%2）").arg(shownHost(), socketErrorReason(error, errorString)),
                    true);
    }
}

// The handshake failed or did not finish in time.
bool Pop3Client::failTls()
{
    if (m_tls->error() == QAbstractSocket::SocketTimeoutError)
        return fail(ErrorKind::Tls,
                    QStringLiteral("サーバー「%1」と TLS で接続できません（%2 秒で時間切れ）")
                        .arg(shownHost()).arg(m_timeouts.connectMs / 1000.0),
                    true);
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
    return fail(ErrorKind::Tls,
                QStringLiteral("サーバー「%1」と TLS で接続できません（%2）").arg(shownHost(), reasons.join(QStringLiteral("、"))),
                true);
}

QString Pop3Client::serverSaid(const Pop3ReplyReader& reader) const
{
    const QString t = printable(reader.statusText());
    return t.isEmpty() ? QStringLiteral("サーバーの説明なし") : t;
}

bool Pop3Client::writeAll(const QByteArray& bytes)
{
    if (m_fd < 0) {
        if (m_tls->write(bytes) != bytes.size())
            return failClosed();
        m_tls->flush();
        return true;
    }
    // Commands are short; the socket buffer takes them at once unless the
    // server stopped reading, which the reply time-out then bounds.
    const QDeadlineTimer deadline(m_timeouts.replyMs);
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
                return failTimeout();
            continue;
        }
        return failClosed();
    }
    return true;
}

Pop3Client::Received Pop3Client::receive(int waitMs)
{
    if (m_fd < 0) {
        if (m_tls->bytesAvailable() == 0 && !m_tls->waitForReadyRead(waitMs) && m_tls->bytesAvailable() == 0) {
            if (m_tls->state() == QAbstractSocket::ConnectedState && m_tls->error() == QAbstractSocket::SocketTimeoutError)
                return Received::Timeout;
            return Received::Closed;
        }
        // Qt hands over its buffered block without copying it.
        m_in = m_tls->readAll();
        m_inPos = 0;
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
        m_in.resize(kReadChunk); // same capacity every time: no fresh allocation
        const ssize_t n = ::recv(m_fd, m_in.data(), size_t(kReadChunk), 0);
        if (n > 0) {
            m_in.resize(n);
            m_inPos = 0;
            return Received::Data;
        }
        m_in.resize(0);
        m_inPos = 0;
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        return Received::Closed; // 0: closed by the server; < 0: reset
    }
}

bool Pop3Client::sendLine(const QByteArray& line)
{
    if (m_broken || !isConnected())
        return fail(m_broken ? m_errorKind : ErrorKind::NotConnected,
                    m_broken ? m_errorText : QStringLiteral("サーバーに接続していません"), false);
    return writeAll(line + "\r\n");
}

bool Pop3Client::readReply(Pop3ReplyReader& reader)
{
    const QDeadlineTimer whole(m_timeouts.wholeReplyMs);
    for (;;) {
        if (m_inPos < m_in.size()) {
            qsizetype used = 0;
            const auto status = reader.feed(QByteArrayView(m_in).sliced(m_inPos), &used);
            m_inPos += used;
            if (m_inPos >= m_in.size()) {
                m_in.resize(0); // keeps the capacity
                m_inPos = 0;
            }
            switch (status) {
            case Pop3ReplyReader::Status::Done:
                return true;
            case Pop3ReplyReader::Status::LineTooLong:
                return fail(ErrorKind::Protocol,
                            QStringLiteral("サーバー「%1」の応答が不正です（行が長すぎます）").arg(shownHost()), true);
            case Pop3ReplyReader::Status::TooLarge:
                return fail(ErrorKind::TooLarge,
                            QStringLiteral("サーバー「%1」の応答が大きすぎます（%2 バイトを超えました）")
                                .arg(shownHost()).arg(reader.data().size()),
                            true);
            case Pop3ReplyReader::Status::NeedMore:
                break;
            }
        }
        if (whole.hasExpired())
            return fail(ErrorKind::Timeout,
                        QStringLiteral("サーバー「%1」の応答が終わりません（%2 秒で時間切れ）")
                            .arg(shownHost()).arg(m_timeouts.wholeReplyMs / 1000),
                        true);
        const int wait = int(std::min<qint64>(m_timeouts.replyMs, std::max<qint64>(whole.remainingTime(), 1)));
        switch (receive(wait)) {
        case Received::Data:
            break;
        case Received::Timeout:
            if (whole.hasExpired())
                continue; // reported above as the whole-reply bound
            return failTimeout();
        case Received::Closed:
            return failClosed();
        }
    }
}

Pop3Client::Reply Pop3Client::command(const QByteArray& line, Pop3ReplyReader& reader, bool multiLine, qsizetype maxData)
{
    if (!sendLine(line))
        return Reply::Failed;
    if (multiLine)
        reader.startMultiLine(maxData);
    else
        reader.startSingleLine();
    if (!readReply(reader))
        return Reply::Failed;
    if (reader.isOk())
        return Reply::Ok;
    if (reader.isErr())
        return Reply::Err;
    fail(ErrorKind::Protocol,
         QStringLiteral("サーバー「%1」の応答が不正です（%2）").arg(shownHost(), printable(reader.statusLine(), 80)), true);
    return Reply::Failed;
}

void Pop3Client::configureTls(QSslSocket& socket) const
{
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    if (!m_extraCas.isEmpty()) {
        // Setting a CA list ends Qt's on-demand loading of the system store,
        // so the system's certificates go in explicitly.
        conf.setCaCertificates(QSslConfiguration::systemCaCertificates() + m_extraCas);
    }
    conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket.setSslConfiguration(conf);
    socket.setPeerVerifyName(m_endpoint.host);
    socket.setReadBufferSize(kSocketBuffer);
}

// The addresses to try, from the look-up within the deadline or from an
// address typed as the server name.
bool Pop3Client::lookUp(const QDeadlineTimer& deadline, QList<QHostAddress>* addresses)
{
    const QHostAddress literal(m_endpoint.host);
    if (!literal.isNull()) {
        *addresses = {literal};
        return true;
    }
    const auto info = lookUpWithin(m_nameLookup ? m_nameLookup : NameLookup(systemLookup), m_endpoint.host, deadline);
    if (!info)
        return fail(ErrorKind::Timeout,
                    QStringLiteral("サーバー「%1」に接続できません（サーバー名の問い合わせが %2 秒で時間切れ）")
                        .arg(shownHost()).arg(m_timeouts.connectMs / 1000.0),
                    true);
    if (info->error() == QHostInfo::HostNotFound || (info->error() == QHostInfo::NoError && info->addresses().isEmpty()))
        return failConnect(QAbstractSocket::HostNotFoundError, QString());
    if (info->error() != QHostInfo::NoError)
        return fail(ErrorKind::Unreachable,
                    QStringLiteral("サーバー「%1」に接続できません（サーバー名を調べられません: %2）")
                        .arg(shownHost(), info->errorString()),
                    true);
    *addresses = info->addresses();
    return true;
}

// TCP (and for implicit TLS the start of the handshake) to the first of the
// addresses that takes the connection, all within the deadline. The last
// failure is the one reported.
bool Pop3Client::connectTransport(const QList<QHostAddress>& addresses, const QDeadlineTimer& deadline)
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
                    return fail(ErrorKind::Unreachable,
                                QStringLiteral("サーバー「%1」に接続できません（%2）")
                                    .arg(shownHost(), QString::fromLocal8Bit(std::strerror(errno))),
                                true);
                return true;
            }
            error = tcp.error();
            errorString = tcp.errorString();
        }
        if (error == QAbstractSocket::SocketTimeoutError)
            break;
    }
    if (!tried && error != QAbstractSocket::SocketTimeoutError)
        return fail(ErrorKind::Unreachable,
                    QStringLiteral("サーバー「%1」に接続できません（接続元 %2 から届くアドレスがありません）")
                        .arg(shownHost(), m_localAddress.toString()),
                    true);
    return failConnect(error, errorString);
}

bool Pop3Client::connectToServer(const Pop3Endpoint& endpoint)
{
    closeTransport();
    m_tls.reset();
    m_endpoint = endpoint;
    m_broken = false;
    m_peerClosed = false;
    m_in.clear();
    m_inPos = 0;
    m_capabilities.clear();
    m_capaSupported = false;
    m_topFailed = false;
    m_errorKind = ErrorKind::None;
    m_errorText.clear();

    // The look-up and the connect share one deadline; the handshake has its own.
    const QDeadlineTimer deadline(m_timeouts.connectMs);
    QList<QHostAddress> addresses;
    if (!lookUp(deadline, &addresses) || !connectTransport(addresses, deadline))
        return false;
    if (endpoint.implicitTls) {
        m_tls->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (!m_tls->waitForEncrypted(m_timeouts.connectMs))
            return failTls();
    } else {
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        // One short command per round trip: do not let Nagle hold it back.
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    Pop3ReplyReader reader;
    reader.startSingleLine();
    if (!readReply(reader))
        return false;
    if (reader.isErr())
        return fail(ErrorKind::GreetingRefused,
                    QStringLiteral("サーバー「%1」が接続を断りました（%2）").arg(shownHost(), serverSaid(reader)), true);
    if (!reader.isOk())
        return fail(ErrorKind::Protocol,
                    QStringLiteral("サーバー「%1」は POP3 サーバーではないようです（%2）")
                        .arg(shownHost(), printable(reader.statusLine(), 80)),
                    true);
    m_greeting = reader.statusLine();

    if (!readCapabilities())
        return false;
    if (!endpoint.implicitTls && hasCapability("STLS")) {
        if (!startTls())
            return false;
        // What was offered before TLS may have been forged on the way.
        if (!readCapabilities())
            return false;
    }
    return true;
}

bool Pop3Client::readCapabilities()
{
    Pop3ReplyReader reader;
    const Reply r = command("CAPA", reader, true, kMaxListingBytes);
    if (r == Reply::Failed)
        return false;
    m_capabilities.clear();
    m_capaSupported = r == Reply::Ok;
    if (m_capaSupported) {
        for (const QByteArray& line : reader.data().split('\n')) {
            const QByteArray c = line.trimmed();
            if (!c.isEmpty())
                m_capabilities << c;
        }
    }
    return true;
}

bool Pop3Client::refreshCapabilities()
{
    if (!m_capaSupported)
        return !m_broken;
    return readCapabilities();
}

bool Pop3Client::startTls()
{
    Pop3ReplyReader reader;
    const Reply r = command("STLS", reader, false, 0);
    if (r == Reply::Failed)
        return false;
    // Once TLS was offered, plain text is not an option any more.
    if (r == Reply::Err)
        return fail(ErrorKind::StlsRefused,
                    QStringLiteral("サーバー「%1」が TLS への切り替え（STLS）を拒否しました（%2）")
                        .arg(shownHost(), serverSaid(reader)),
                    true);
    // Bytes already waiting after "+OK" were sent before the handshake and
    // would be taken as if they came over TLS: someone is injecting them.
    char peek = 0;
    if (m_inPos < m_in.size() || ::recv(m_fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) > 0)
        return fail(ErrorKind::Protocol,
                    QStringLiteral("サーバー「%1」の応答が不正です（STLS の後に余分なデータ）").arg(shownHost()), true);
    // QSslSocket takes the descriptor over from here.
    m_tls = std::make_unique<QSslSocket>();
    configureTls(*m_tls);
    if (!m_tls->setSocketDescriptor(m_fd, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        closeTransport();
        return fail(ErrorKind::Tls,
                    QStringLiteral("サーバー「%1」と TLS で接続できません（%2）").arg(shownHost(), m_tls->errorString()), true);
    }
    m_fd = -1;
    m_tls->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_tls->startClientEncryption();
    if (!m_tls->waitForEncrypted(m_timeouts.connectMs))
        return failTls();
    return true;
}

bool Pop3Client::sendCredentialsCheck(const QString& user, const QString& password)
{
    for (const QString* s : {&user, &password})
        for (QChar c : *s)
            if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0))
                return fail(ErrorKind::BadCredentials,
                            QStringLiteral("ID かパスワードに使えない文字（改行など）が含まれています"), false);
    return true;
}

bool Pop3Client::loginUserPass(const QString& user, const QString& password)
{
    if (!sendCredentialsCheck(user, password))
        return false;
    Pop3ReplyReader reader;
    Reply r = command("USER " + user.toUtf8(), reader, false, 0);
    if (r == Reply::Ok)
        r = command("PASS " + password.toUtf8(), reader, false, 0);
    if (r == Reply::Failed)
        return false;
    if (r == Reply::Err)
        return fail(ErrorKind::LoginRefused, QStringLiteral("ログインできません（%1）").arg(serverSaid(reader)), false);
    return true;
}

std::optional<QByteArray> Pop3Client::apopTimestamp(const QByteArray& greeting)
{
    const qsizetype open = greeting.indexOf('<');
    if (open < 0)
        return std::nullopt;
    const qsizetype close = greeting.indexOf('>', open);
    if (close < 0)
        return QByteArray();
    const QByteArray ts = greeting.mid(open, close - open + 1);
    // <local@domain>, printable ASCII without spaces or further brackets.
    const qsizetype at = ts.indexOf('@');
    if (ts.size() > 512 || at <= 1 || at >= ts.size() - 2 || ts.indexOf('@', at + 1) >= 0)
        return QByteArray();
    for (qsizetype i = 1; i + 1 < ts.size(); ++i) {
        const char c = ts.at(i);
        if (c < 0x21 || c > 0x7E || c == '<' || c == '>')
            return QByteArray();
    }
    return ts;
}

QByteArray Pop3Client::apopDigest(const QByteArray& timestamp, const QByteArray& password)
{
    return QCryptographicHash::hash(timestamp + password, QCryptographicHash::Md5).toHex();
}

bool Pop3Client::loginApop(const QString& user, const QString& password)
{
    if (!sendCredentialsCheck(user, password))
        return false;
    if (!isConnected() || m_broken)
        return sendLine(QByteArray()); // reports why
    const auto ts = apopTimestamp(m_greeting);
    if (!ts)
        return fail(ErrorKind::ApopNotOffered,
                    QStringLiteral("サーバー「%1」は APOP に対応していません").arg(shownHost()), false);
    if (ts->isEmpty())
        return fail(ErrorKind::ApopBadTimestamp,
                    QStringLiteral("サーバー「%1」の APOP 用の文字列が不正なため、APOP でログインしません").arg(shownHost()),
                    false);
    Pop3ReplyReader reader;
    const Reply r = command("APOP " + user.toUtf8() + ' ' + apopDigest(*ts, password.toUtf8()), reader, false, 0);
    if (r == Reply::Failed)
        return false;
    if (r == Reply::Err)
        return fail(ErrorKind::LoginRefused, QStringLiteral("ログインできません（%1）").arg(serverSaid(reader)), false);
    return true;
}

bool Pop3Client::stat(int* count, qint64* octets)
{
    Pop3ReplyReader reader;
    const Reply r = command("STAT", reader, false, 0);
    if (r == Reply::Failed)
        return false;
    if (r == Reply::Err)
        return fail(ErrorKind::ServerError,
                    QStringLiteral("メールの数を調べられません（%1）").arg(serverSaid(reader)), false);
    const QList<QByteArray> w = words(reader.statusText());
    qint64 n = 0, size = 0;
    if (w.size() < 2 || !parseNumber(w.at(0), INT_MAX, &n) || !parseNumber(w.at(1), LLONG_MAX / 16, &size))
        return fail(ErrorKind::Protocol,
                    QStringLiteral("サーバー「%1」の応答が不正です（STAT: %2）").arg(shownHost(), printable(reader.statusLine(), 80)),
                    false);
    *count = int(n);
    if (octets)
        *octets = size;
    return true;
}

bool Pop3Client::list(int number, qint64* octets)
{
    if (number < 1)
        return fail(ErrorKind::ServerError, QStringLiteral("メール番号 %1 はありません").arg(number), false);
    Pop3ReplyReader reader;
    const Reply r = command("LIST " + QByteArray::number(number), reader, false, 0);
    if (r == Reply::Failed)
        return false;
    if (r == Reply::Err)
        return fail(ErrorKind::ServerError,
                    QStringLiteral("メール %1 の大きさを調べられません（%2）").arg(number).arg(serverSaid(reader)), false);
    const QList<QByteArray> w = words(reader.statusText());
    qint64 n = 0, size = 0;
    if (w.size() < 2 || !parseNumber(w.at(0), INT_MAX, &n) || n != number
        || !parseNumber(w.at(1), LLONG_MAX / 16, &size))
        return fail(ErrorKind::Protocol,
                    QStringLiteral("サーバー「%1」の応答が不正です（LIST: %2）").arg(shownHost(), printable(reader.statusLine(), 80)),
                    false);
    m_lastListedNumber = number;
    m_lastListed = size;
    *octets = size;
    return true;
}

bool Pop3Client::retrieve(int number, QByteArray* message)
{
    if (number < 1)
        return fail(ErrorKind::ServerError, QStringLiteral("メール番号 %1 はありません").arg(number), false);
    qsizetype limit = kMaxMessageBytes;
    Pop3ReplyReader reader;
    if (m_lastListedNumber == number && m_lastListed >= 0) {
        limit = qsizetype(std::min<qint64>(kMaxMessageBytes, m_lastListed * 2 + 64 * 1024));
        reader.reserveData(qsizetype(std::min<qint64>(m_lastListed + 1024, kMaxMessageBytes)));
    }
    const Reply r = command("RETR " + QByteArray::number(number), reader, true, limit);
    if (r == Reply::Failed)
        return false;
    if (r == Reply::Err)
        return fail(ErrorKind::ServerError,
                    QStringLiteral("メール %1 を受信できません（%2）").arg(number).arg(serverSaid(reader)), false);
    *message = reader.takeData();
    return true;
}

bool Pop3Client::header(int number, QByteArray* headerBytes)
{
    if (number < 1)
        return fail(ErrorKind::ServerError, QStringLiteral("メール番号 %1 はありません").arg(number), false);
    const bool tryTop = !m_topFailed && (!m_capaSupported || hasCapability("TOP"));
    if (tryTop) {
        Pop3ReplyReader reader;
        const Reply r = command("TOP " + QByteArray::number(number) + " 0", reader, true, kMaxListingBytes);
        if (r == Reply::Failed)
            return false;
        if (r == Reply::Ok) {
            *headerBytes = reader.takeData();
            return true;
        }
        // -ERR: TOP not implemented, or no such message. RETR tells which.
        if (!m_capaSupported)
            m_topFailed = true;
        else
            return fail(ErrorKind::ServerError,
                        QStringLiteral("メール %1 のヘッダーを受信できません（%2）").arg(number).arg(serverSaid(reader)),
                        false);
    }
    QByteArray whole;
    if (!retrieve(number, &whole))
        return false;
    *headerBytes = whole;
    return true;
}

void Pop3Client::quit()
{
    if (isConnected() && !m_broken) {
        Pop3ReplyReader reader;
        // The whole wait, not only each silence: a reply that trickles in
        // would otherwise hold the window up to the whole-reply bound.
        const Pop3Timeouts saved = m_timeouts;
        m_timeouts.replyMs = std::min(saved.replyMs, kQuitWaitMs);
        m_timeouts.wholeReplyMs = std::min(saved.wholeReplyMs, kQuitWaitMs);
        const ErrorKind kind = m_errorKind;
        const QString text = m_errorText;
        command("QUIT", reader, false, 0);
        // QUIT's own trouble is no news to the user: keep the last real error.
        m_errorKind = kind;
        m_errorText = text;
        m_timeouts = saved;
    } else if (isConnected() && (m_fd >= 0 || m_tls->isEncrypted())) {
        // The stream is out of step (a reply timed out half-way): say QUIT
        // anyway so the server ends the session, without waiting for it.
        if (m_fd >= 0) {
            ::send(m_fd, "QUIT\r\n", 6, MSG_NOSIGNAL | MSG_DONTWAIT);
        } else {
            m_tls->write("QUIT\r\n");
            m_tls->flush();
            m_tls->waitForBytesWritten(1000);
        }
    }
    if (m_tls && m_tls->state() != QAbstractSocket::UnconnectedState) {
        m_tls->disconnectFromHost();
        if (m_tls->state() != QAbstractSocket::UnconnectedState)
            m_tls->waitForDisconnected(1000);
    }
    closeTransport();
    m_peerClosed = true;
}

} // namespace qp
