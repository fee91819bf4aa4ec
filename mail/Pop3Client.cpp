#include "Pop3Client.h"

#include "mail/HeaderDecoder.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>

#include <algorithm>
#include <climits>

namespace qp {

namespace {

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

} // namespace

std::optional<MailEndpoint> parsePop3Server(const QString& text)
{
    return MailEndpoint::parse(text, {"pop3", "pop3s", 110, 995});
}

Pop3Client::Pop3Client() = default;

Pop3Client::~Pop3Client() = default;

bool Pop3Client::isConnected() const
{
    return m_transport.isConnected();
}

bool Pop3Client::isEncrypted() const
{
    return m_transport.isEncrypted();
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
    if (breaks)
        m_broken = true;
    return false;
}

// The transport failed: the stream is unusable from here on.
bool Pop3Client::failFromTransport()
{
    ErrorKind kind = ErrorKind::NotConnected;
    switch (m_transport.error()) {
    case MailTransport::Error::None:
    case MailTransport::Error::NotConnected:
        break;
    case MailTransport::Error::Unreachable:
        kind = ErrorKind::Unreachable;
        break;
    case MailTransport::Error::Timeout:
        kind = ErrorKind::Timeout;
        break;
    case MailTransport::Error::Tls:
        kind = ErrorKind::Tls;
        break;
    case MailTransport::Error::Closed:
        kind = ErrorKind::Closed;
        break;
    case MailTransport::Error::Protocol:
        kind = ErrorKind::Protocol;
        break;
    }
    return fail(kind, m_transport.errorText(), true);
}

QString Pop3Client::serverSaid(const Pop3ReplyReader& reader) const
{
    const QString t = printable(reader.statusText());
    return t.isEmpty() ? QStringLiteral("サーバーの説明なし") : t;
}

bool Pop3Client::sendLine(const QByteArray& line)
{
    if (m_broken || !isConnected())
        return fail(m_broken ? m_errorKind : ErrorKind::NotConnected,
                    m_broken ? m_errorText : QStringLiteral("サーバーに接続していません"), false);
    return m_transport.write(line + "\r\n") || failFromTransport();
}

bool Pop3Client::readReply(Pop3ReplyReader& reader)
{
    const QDeadlineTimer whole(m_transport.timeouts().wholeReplyMs);
    for (;;) {
        const QByteArrayView in = m_transport.buffered();
        if (!in.isEmpty()) {
            qsizetype used = 0;
            const auto status = reader.feed(in, &used);
            m_transport.consume(used);
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
        if (!m_transport.receiveMore(whole))
            return failFromTransport();
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

bool Pop3Client::connectToServer(const Pop3Endpoint& endpoint)
{
    m_broken = false;
    m_greeting.clear();
    m_capabilities.clear();
    m_capaSupported = false;
    m_topFailed = false;
    m_lastListed = -1;
    m_lastListedNumber = 0;
    m_errorKind = ErrorKind::None;
    m_errorText.clear();
    m_tlsFailed = false;
    if (!m_transport.connectTo(endpoint)) {
        m_tlsFailed = m_transport.error() == MailTransport::Error::Tls;
        return failFromTransport();
    }
    if (endpoint.implicitTls && m_tlsMemory)
        m_tlsMemory->remember(endpoint.host, endpoint.port);

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
        // Remembered as soon as it is offered: a handshake that fails now
        // must not let a session without STLS through next time.
        if (m_tlsMemory)
            m_tlsMemory->remember(endpoint.host, endpoint.port);
        if (!startTls()) {
            m_tlsFailed = true;
            return false;
        }
        // What was offered before TLS may have been forged on the way.
        if (!readCapabilities())
            return false;
    } else if (!endpoint.implicitTls && m_tlsMemory && m_tlsMemory->knows(endpoint.host, endpoint.port)) {
        m_tlsFailed = true;
        return fail(ErrorKind::TlsLost,
                    QStringLiteral("サーバー「%1」で TLS が使えなくなりました（以前は TLS で接続できました）。"
                                   "通信が途中で書き換えられているおそれがあるため、ログインしません")
                        .arg(shownHost()),
                    true);
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
    return m_transport.startTls(QStringLiteral("STLS")) || failFromTransport();
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
        const MailTimeouts saved = m_transport.timeouts();
        MailTimeouts quick = saved;
        quick.replyMs = std::min(saved.replyMs, kQuitWaitMs);
        quick.wholeReplyMs = std::min(saved.wholeReplyMs, kQuitWaitMs);
        m_transport.setTimeouts(quick);
        const ErrorKind kind = m_errorKind;
        const QString text = m_errorText;
        command("QUIT", reader, false, 0);
        // QUIT's own trouble is no news to the user: keep the last real error.
        m_errorKind = kind;
        m_errorText = text;
        m_transport.setTimeouts(saved);
    } else if (isConnected()) {
        // The stream is out of step (a reply timed out half-way): say QUIT
        // anyway so the server ends the session, without waiting for it.
        m_transport.sendWithoutWaiting("QUIT\r\n");
    }
    m_transport.close();
}

} // namespace qp
