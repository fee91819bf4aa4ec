#include "Pop3Client.h"

#include "mail/HeaderDecoder.h"
#include "platform/Cp932.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>

#include <algorithm>
#include <climits>
#include <limits>

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

// Where the header of a message ends (just past its empty line), looking
// for line ends from offset from on; -1 while it has not come in yet.
qsizetype headerEnd(const QByteArray& data, qsizetype from)
{
    if (data.startsWith("\r\n"))
        return 2;
    if (data.startsWith('\n'))
        return 1;
    for (qsizetype i = data.indexOf('\n', from); i >= 0 && i + 1 < data.size(); i = data.indexOf('\n', i + 1)) {
        if (data.at(i + 1) == '\n')
            return i + 2;
        if (data.at(i + 1) == '\r' && i + 2 < data.size() && data.at(i + 2) == '\n')
            return i + 3;
    }
    return -1;
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
    return fail(errorKindOf<ErrorKind>(m_transport.error()), m_transport.errorText(), true);
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
    // A command outside the walk sent ahead: the replies on their way come first.
    if (m_planCount > 0 && !leavePlan())
        return false;
    return m_transport.write(line + "\r\n") || failFromTransport();
}

bool Pop3Client::readReply(Pop3ReplyReader& reader, const QDeadlineTimer& whole, bool headerOnly)
{
    qsizetype searched = 0;
    for (;;) {
        const QByteArrayView in = m_transport.buffered();
        if (!in.isEmpty()) {
            qsizetype used = 0;
            const auto status = reader.feed(in, &used);
            m_transport.consume(used);
            if (headerOnly && searched >= 0) {
                // Only the header is wanted: once its end is in, keep no more.
                const qsizetype end = headerEnd(reader.data(), searched);
                if (end >= 0) {
                    reader.setKeepLimit(end);
                    searched = -1;
                } else {
                    searched = std::max<qsizetype>(0, reader.data().size() - 3);
                }
            }
            switch (status) {
            case Pop3ReplyReader::Status::Done:
                return true;
            case Pop3ReplyReader::Status::LineTooLong:
                return fail(ErrorKind::Protocol,
                            QStringLiteral("サーバー「%1」の応答が不正です（行が長すぎます）").arg(shownHost()), true);
            case Pop3ReplyReader::Status::TooLarge:
                // Over the bound: the rest is read to its end and dropped,
                // so the session goes on with the next message.
                continue;
            case Pop3ReplyReader::Status::NeedMore:
                break;
            }
        }
        if (!m_transport.receiveMore(whole))
            return failFromTransport();
    }
}

Pop3Client::Reply Pop3Client::awaitReply(Pop3ReplyReader& reader, const QDeadlineTimer& whole, bool headerOnly)
{
    if (!readReply(reader, whole, headerOnly))
        return Reply::Failed;
    if (reader.isErr())
        return Reply::Err;
    if (!reader.isOk()) {
        fail(ErrorKind::Protocol,
             QStringLiteral("サーバー「%1」の応答が不正です（%2）").arg(shownHost(), printable(reader.statusLine(), 80)), true);
        return Reply::Failed;
    }
    if (reader.overflowed()) {
        fail(ErrorKind::TooLarge,
             QStringLiteral("サーバー「%1」の応答が大きすぎます（%2 バイトを超えました）").arg(shownHost()).arg(reader.dataSize()),
             false);
        return Reply::Failed;
    }
    return Reply::Ok;
}

Pop3Client::Reply Pop3Client::command(const QByteArray& line, Pop3ReplyReader& reader, bool multiLine, qsizetype maxData)
{
    if (!sendLine(line))
        return Reply::Failed;
    if (multiLine)
        reader.startMultiLine(maxData);
    else
        reader.startSingleLine();
    return awaitReply(reader, QDeadlineTimer(m_transport.timeouts().wholeReplyMs), false);
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
    m_statCount = 0;
    m_statOctets = -1;
    m_keepBodies = true;
    m_planCount = 0;
    m_planRead = m_planSent = 0;
    m_ahead.clear();
    m_aheadCommands = 0;
    m_aheadBytes = 0;
    m_errorKind = ErrorKind::None;
    m_errorText.clear();
    m_tlsFailed = false;
    if (!m_transport.connectTo(endpoint)) {
        m_tlsFailed = m_transport.error() == MailTransport::Error::Tls;
        return failFromTransport();
    }
    if (endpoint.implicitTls && !rememberTls(endpoint))
        return false;

    Pop3ReplyReader reader;
    reader.startSingleLine();
    if (!readReply(reader, QDeadlineTimer(m_transport.timeouts().wholeReplyMs), false))
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
        if (!startTls()) {
            m_tlsFailed = true;
            return false;
        }
        // Remembered once TLS works, not when it is merely offered: a
        // handshake that fails must not lock the user out later.
        if (!rememberTls(endpoint))
            return false;
        // What was offered before TLS may have been forged on the way.
        if (!readCapabilities())
            return false;
    } else if (!endpoint.implicitTls && m_tlsMemory) {
        const TlsMemory::Answer seen = m_tlsMemory->lookUp(endpoint.host);
        if (seen == TlsMemory::Answer::Unreadable) {
            m_tlsFailed = true;
            return fail(ErrorKind::TlsLost,
                        m_tlsMemory->errorText()
                            + QStringLiteral("。TLS が外されていても気づけないため、TLS を使わないサーバー「%1」には"
                                             "ログインしません")
                                  .arg(shownHost()),
                        true);
        }
        if (seen == TlsMemory::Answer::Known) {
            m_tlsFailed = true;
            return fail(ErrorKind::TlsLost,
                        QStringLiteral("サーバー「%1」で TLS が使えなくなりました（以前は TLS で接続できました）。"
                                       "通信が途中で書き換えられているおそれがあるため、ログインしません")
                            .arg(shownHost()),
                        true);
        }
    }
    return true;
}

bool Pop3Client::rememberTls(const Pop3Endpoint& endpoint)
{
    if (!m_tlsMemory || m_tlsMemory->remember(endpoint.host))
        return true;
    // Not remembered, a later stripped session would go through unnoticed:
    // the user hears of it now, and nothing is sent in this session.
    m_tlsFailed = true;
    return fail(ErrorKind::TlsLost, m_tlsMemory->errorText() + QStringLiteral("。ログインしません"), true);
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

// ID and password go out as Shift-JIS bytes, the encoding the account file
// holds them in, so an account with Japanese characters that logs in today
// keeps doing so (ASCII accounts are the same in any case).
bool Pop3Client::encodeCredentials(const QString& user, const QString& password, QByteArray* userBytes,
                                   QByteArray* passwordBytes)
{
    for (const QString* s : {&user, &password})
        for (QChar c : *s)
            if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0))
                return fail(ErrorKind::BadCredentials,
                            QStringLiteral("ID かパスワードに使えない文字（改行など）が含まれています"), false);
    const cp932::Encoded u = cp932::encode(user);
    const cp932::Encoded p = cp932::encode(password);
    if (!u.ok || !p.ok)
        return fail(ErrorKind::BadCredentials,
                    QStringLiteral("ID かパスワードに Shift-JIS で表せない文字が含まれています"), false);
    *userBytes = u.bytes;
    *passwordBytes = p.bytes;
    return true;
}

bool Pop3Client::loginUserPass(const QString& user, const QString& password)
{
    QByteArray userBytes, passwordBytes;
    if (!encodeCredentials(user, password, &userBytes, &passwordBytes))
        return false;
    Pop3ReplyReader reader;
    Reply r = command("USER " + userBytes, reader, false, 0);
    if (r == Reply::Ok)
        r = command("PASS " + passwordBytes, reader, false, 0);
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
    QByteArray userBytes, passwordBytes;
    if (!encodeCredentials(user, password, &userBytes, &passwordBytes))
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
    const Reply r = command("APOP " + userBytes + ' ' + apopDigest(*ts, passwordBytes), reader, false, 0);
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
    m_statCount = int(n);
    m_statOctets = size;
    return true;
}

// --- the walk: header, size and message of each message in turn ---

void Pop3Client::planWalk(int count, bool keepBodies)
{
    m_keepBodies = keepBodies;
    if (m_planCount > 0 && !leavePlan())
        return;
    if (count < 1 || !m_pipeliningAllowed || m_broken || !isConnected() || !hasCapability("PIPELINING"))
        return; // one command at a time
    m_planCount = count;
    m_planRead = m_planSent = 0;
    m_listedOctets = 0;
}

QByteArray Pop3Client::headerCommand(int number) const
{
    if (!m_topFailed && (!m_capaSupported || hasCapability("TOP")))
        return "TOP " + QByteArray::number(number) + " 0";
    return "RETR " + QByteArray::number(number);
}

// Sends the plan's next commands in one write, as far as the bounds allow:
// at most kMaxCommandsAhead replies and about kMaxBytesAhead bytes on their
// way, so that memory stays flat (the server's replies wait in the socket)
// and a walk that ends early has little to drain.
bool Pop3Client::sendAhead()
{
    const qint64 steps = qint64(m_planCount) * 3;
    const qint64 average = m_statCount > 0 && m_statOctets >= 0 ? m_statOctets / m_statCount : 64 * 1024;
    QByteArray batch;
    while (m_planSent < steps && m_aheadCommands < kMaxCommandsAhead
           && (m_aheadBytes < kMaxBytesAhead || m_aheadCommands == 0)) {
        const auto verb = Verb(m_planSent % 3);
        const int number = int(m_planSent / 3) + 1;
        QByteArray line;
        qint64 expected = 64;
        bool onWire = true;
        bool wait = false;
        switch (verb) {
        case Verb::Header:
            line = headerCommand(number);
            expected = line.startsWith("TOP") ? 4096 : average;
            break;
        case Verb::List:
            line = "LIST " + QByteArray::number(number);
            break;
        case Verb::Retrieve:
            line = "RETR " + QByteArray::number(number);
            expected = average;
            if (m_planRead >= m_planSent) { // this message's LIST is done with
                if (m_lastListedNumber == number && m_lastListed >= 0) {
                    expected = m_lastListed;
                    onWire = m_lastListed <= kMaxMessageBytes; // over the bound: never asked for
                }
            } else if (m_statOctets < 0 || m_statOctets - m_listedOctets > kMaxMessageBytes) {
                // This one might be over the bound: ask for it only once its
                // LIST has answered, as the one-at-a-time walk does.
                wait = true;
            }
            break;
        }
        if (wait)
            break;
        if (onWire) {
            batch += line + "\r\n";
            ++m_aheadCommands;
            m_aheadBytes += expected;
        }
        m_ahead.push_back(Ahead{onWire, onWire ? expected : 0});
        ++m_planSent;
    }
    if (batch.isEmpty() || m_transport.write(batch))
        return true;
    return failFromTransport();
}

// The reply of the front command on its way has been read.
void Pop3Client::aheadRead()
{
    const Ahead a = m_ahead.front();
    m_ahead.pop_front();
    ++m_planRead;
    if (a.onWire) {
        --m_aheadCommands;
        m_aheadBytes -= a.expectedBytes;
    }
}

// Reads the front command's reply and keeps nothing of it.
bool Pop3Client::dropAhead(const QDeadlineTimer& deadline)
{
    if (m_ahead.front().onWire) {
        Pop3ReplyReader reader;
        if (Verb(m_planRead % 3) == Verb::List)
            reader.startSingleLine();
        else
            reader.startMultiLine(std::numeric_limits<qsizetype>::max(), 0);
        if (awaitReply(reader, deadline, false) == Reply::Failed && m_broken)
            return false;
    }
    aheadRead();
    return true;
}

// The walk goes elsewhere: every reply on its way is read and dropped, then
// one command at a time again.
bool Pop3Client::leavePlan()
{
    m_planCount = 0;
    while (!m_ahead.empty())
        if (!dropAhead(QDeadlineTimer(m_transport.timeouts().wholeReplyMs)))
            return false;
    m_planRead = m_planSent = 0;
    m_aheadCommands = 0;
    m_aheadBytes = 0;
    return true;
}

Pop3Client::Planned Pop3Client::fromPlan(Verb verb, int number)
{
    if (m_planCount == 0)
        return Planned::No;
    const qint64 step = qint64(number - 1) * 3 + int(verb);
    if (number < 1 || number > m_planCount || step < m_planRead)
        return leavePlan() ? Planned::No : Planned::Failed;
    // Steps the caller passed over (no download after a failed size): the
    // replies on their way are dropped; what was not sent yet never is.
    while (m_planRead < step && !m_ahead.empty())
        if (!dropAhead(QDeadlineTimer(m_transport.timeouts().wholeReplyMs)))
            return Planned::Failed;
    if (m_planRead < step)
        m_planRead = m_planSent = step;
    if (!sendAhead())
        return Planned::Failed;
    if (!m_ahead.front().onWire) {
        aheadRead();
        return Planned::NotSent;
    }
    return Planned::OnWire;
}

Pop3Client::Reply Pop3Client::walkCommand(Verb verb, int number, const QByteArray& line, Pop3ReplyReader& reader,
                                          bool headerOnly, bool send)
{
    switch (fromPlan(verb, number)) {
    case Planned::Failed:
        return Reply::Failed;
    case Planned::NotSent:
        return Reply::NotSent;
    case Planned::OnWire: {
        const Reply r = awaitReply(reader, QDeadlineTimer(m_transport.timeouts().wholeReplyMs), headerOnly);
        if (m_broken)
            return Reply::Failed;
        aheadRead();
        // The next commands go out while the caller works on this reply.
        if (!sendAhead())
            return Reply::Failed;
        return r;
    }
    case Planned::No:
        break;
    }
    if (!send)
        return Reply::NotSent;
    if (!sendLine(line))
        return Reply::Failed;
    return awaitReply(reader, QDeadlineTimer(m_transport.timeouts().wholeReplyMs), headerOnly);
}

bool Pop3Client::list(int number, qint64* octets)
{
    if (number < 1)
        return fail(ErrorKind::ServerError, QStringLiteral("メール番号 %1 はありません").arg(number), false);
    Pop3ReplyReader reader;
    reader.startSingleLine();
    const Reply r = walkCommand(Verb::List, number, "LIST " + QByteArray::number(number), reader, false, true);
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
    m_listedOctets += size;
    *octets = size;
    return true;
}

bool Pop3Client::retrieve(int number, QByteArray* message)
{
    if (number < 1)
        return fail(ErrorKind::ServerError, QStringLiteral("メール番号 %1 はありません").arg(number), false);
    const bool listed = m_lastListedNumber == number && m_lastListed >= 0;
    qsizetype limit = kMaxMessageBytes;
    Pop3ReplyReader reader;
    if (listed)
        limit = qsizetype(std::min<qint64>(kMaxMessageBytes, m_lastListed * 2 + 64 * 1024));
    if (m_keepBodies) {
        reader.startMultiLine(limit);
        if (listed)
            reader.reserveData(qsizetype(std::min<qint64>(m_lastListed + 1024, kMaxMessageBytes)));
    } else {
        reader.startMultiLine(limit, kMaxListingBytes);
    }
    // A message listed over the bound is not asked for at all.
    const bool overBound = listed && m_lastListed > kMaxMessageBytes;
    const Reply r = walkCommand(Verb::Retrieve, number, "RETR " + QByteArray::number(number), reader, !m_keepBodies,
                                !overBound);
    if (r == Reply::NotSent)
        return fail(ErrorKind::TooLarge,
                    QStringLiteral("メール %1 は大きすぎるため受信しません（%2 バイト）").arg(number).arg(m_lastListed),
                    false);
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
    const QByteArray line = headerCommand(number);
    Pop3ReplyReader reader;
    if (line.startsWith("TOP")) {
        reader.startMultiLine(kMaxListingBytes);
        const Reply r = walkCommand(Verb::Header, number, line, reader, false, true);
        if (r == Reply::Failed)
            return false;
        if (r == Reply::Ok) {
            *headerBytes = reader.takeData();
            return true;
        }
        // -ERR: TOP not implemented, or no such message. RETR tells which.
        if (m_capaSupported)
            return fail(ErrorKind::ServerError,
                        QStringLiteral("メール %1 のヘッダーを受信できません（%2）").arg(number).arg(serverSaid(reader)),
                        false);
        m_topFailed = true;
    }
    // The header from the whole message; the body is dropped as it comes.
    reader.startMultiLine(kMaxMessageBytes, kMaxListingBytes);
    const Reply r = walkCommand(Verb::Header, number, "RETR " + QByteArray::number(number), reader, true, true);
    if (r == Reply::Failed)
        return false;
    if (r == Reply::Err)
        return fail(ErrorKind::ServerError,
                    QStringLiteral("メール %1 を受信できません（%2）").arg(number).arg(serverSaid(reader)), false);
    *headerBytes = reader.takeData();
    return true;
}

void Pop3Client::quit()
{
    if (isConnected() && !m_broken) {
        // The whole wait, not only each silence: a reply that trickles in
        // would otherwise hold the window up to the whole-reply bound.
        const MailTimeouts saved = m_transport.timeouts();
        MailTimeouts quick = saved;
        quick.replyMs = std::min(saved.replyMs, kQuitWaitMs);
        quick.wholeReplyMs = std::min(saved.wholeReplyMs, kQuitWaitMs);
        m_transport.setTimeouts(quick);
        const ErrorKind kind = m_errorKind;
        const QString text = m_errorText;
        Pop3ReplyReader reader;
        reader.startSingleLine();
        if (!m_ahead.empty()) {
            // A walk that ended early: QUIT goes after the commands on their
            // way, whose replies are dropped, all within one short wait.
            const QDeadlineTimer deadline(2 * kQuitWaitMs);
            if (m_transport.write("QUIT\r\n")) {
                while (!m_ahead.empty() && !m_broken)
                    dropAhead(deadline);
                if (!m_broken)
                    awaitReply(reader, deadline, false);
            }
            m_ahead.clear();
            m_planCount = 0;
        } else {
            m_planCount = 0;
            command("QUIT", reader, false, 0);
        }
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
