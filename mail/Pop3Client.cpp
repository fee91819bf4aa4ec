#include "Pop3Client.h"

#include "mail/MailText.h"
#include "mail/OAuthSasl.h"
#include "platform/Cp932.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QSet>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <limits>

namespace qp {

namespace {

// QUIT is a courtesy; do not hold the window for long over it.
constexpr int kQuitWaitMs = 5000;

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

// The first two words of each line of a listing ("n word"), without
// copying the lines: a listing may hold half a million of them. Lines with
// fewer words are passed over; exact: no word after the second either.
template <class Take>
void forEachListed(const QByteArray& data, bool exact, Take take)
{
    const char* p = data.constData();
    const char* const end = p + data.size();
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        const char* e = nl ? nl : end;
        QByteArrayView w[3];
        int n = 0;
        for (const char* q = p; q < e && n < 3;) {
            while (q < e && isSpace(*q))
                ++q;
            const char* start = q;
            while (q < e && !isSpace(*q))
                ++q;
            if (q > start)
                w[n++] = QByteArrayView(start, q - start);
        }
        if (n >= 2 && (!exact || n == 2))
            take(w[0], w[1]);
        p = e + 1;
    }
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
    return mailtext::serverSaid(reader.statusText());
}

bool Pop3Client::sendLine(const QByteArray& line)
{
    if (m_broken || !isConnected())
        return fail(m_broken ? m_errorKind : ErrorKind::NotConnected,
                    m_broken ? m_errorText : mailtext::notConnected(), false);
    // A command outside the walk sent ahead: the replies on their way come first.
    if (m_planCount > 0 && !leavePlan())
        return false;
    return m_transport.write(line + "\r\n") || failFromTransport();
}

bool Pop3Client::readReply(Pop3ReplyReader& reader, const QDeadlineTimer& whole, HeaderFieldCollector* fields)
{
    for (;;) {
        if (!m_transport.buffered().isEmpty()) {
            const auto status = m_transport.feedTo(reader);
            if (fields) {
                // Only the fields the check uses stay; the rest goes as it comes.
                fields->feed(reader.data());
                reader.takeData();
            }
            switch (status) {
            case Pop3ReplyReader::Status::Done:
                return true;
            case Pop3ReplyReader::Status::LineTooLong:
                return fail(ErrorKind::Protocol, mailtext::lineTooLong(shownHost()), true);
            case Pop3ReplyReader::Status::TooLarge:
                // Over the bound: the rest is read to its end and dropped,
                // so the session goes on.
                continue;
            case Pop3ReplyReader::Status::NeedMore:
                break;
            }
        }
        if (!m_transport.receiveMore(whole))
            return failFromTransport();
    }
}

Pop3Client::Reply Pop3Client::awaitReply(Pop3ReplyReader& reader, const QDeadlineTimer& whole,
                                          HeaderFieldCollector* fields)
{
    if (!readReply(reader, whole, fields))
        return Reply::Failed;
    if (reader.isErr())
        return Reply::Err;
    if (!reader.isOk()) {
        fail(ErrorKind::Protocol, mailtext::badReply(shownHost(), mailtext::printable(reader.statusLine(), 80)), true);
        return Reply::Failed;
    }
    if (reader.overflowed()) {
        fail(ErrorKind::TooLarge, mailtext::replyTooLarge(shownHost(), reader.dataSize()), false);
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
    return awaitReply(reader, QDeadlineTimer(m_transport.timeouts().wholeReplyMs), nullptr);
}

bool Pop3Client::connectToServer(const Pop3Endpoint& endpoint)
{
    beginConnection();
    m_greeting.clear();
    m_capaSupported = false;
    m_statCount = 0;
    m_mailboxKey.clear();
    m_uidls.clear();
    m_sizes.clear();
    m_known.clear();
    m_mailboxSent = false;
    m_uidlSent = false;
    m_quitSent = false;
    m_pipelineFailed = false;
    m_planCount = 0;
    m_ahead.clear();
    m_aheadBytes = 0;
    m_errorKind = ErrorKind::None;
    m_tlsFailed = false;
    if (!m_transport.connectTo(endpoint)) {
        m_tlsFailed = m_transport.error() == MailTransport::Error::Tls;
        return failFromTransport();
    }
    if (endpoint.implicitTls && !rememberTls(endpoint))
        return false;

    Pop3ReplyReader reader;
    reader.startSingleLine();
    if (!readReply(reader, QDeadlineTimer(m_transport.timeouts().greetingMs), nullptr))
        return false;
    if (reader.isErr())
        return fail(ErrorKind::GreetingRefused, mailtext::greetingRefused(shownHost(), serverSaid(reader)), true);
    if (!reader.isOk())
        return fail(ErrorKind::Protocol,
                    mailtext::notThisProtocol(shownHost(), QStringLiteral("POP3"),
                                              mailtext::printable(reader.statusLine(), 80)),
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
    } else if (!endpoint.implicitTls) {
        return allowedWithoutTls(endpoint);
    }
    return true;
}

bool Pop3Client::refuseWithoutTls(const QString& text)
{
    m_tlsFailed = true;
    return fail(ErrorKind::TlsLost, text, true);
}

bool Pop3Client::readCapabilities()
{
    Pop3ReplyReader reader;
    return takeCapabilities(reader, command("CAPA", reader, true, kMaxListingBytes));
}

bool Pop3Client::takeCapabilities(const Pop3ReplyReader& reader, Reply r)
{
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
                    mailtext::tlsCommandRefused(shownHost(), QStringLiteral("STLS"), serverSaid(reader)), true);
    return m_transport.startTls(QStringLiteral("STLS")) || failFromTransport();
}

// ID and password go out as Shift-JIS bytes, the encoding the account file
// holds them in, so an account with Japanese characters that logs in today
// keeps doing so (ASCII accounts are the same in any case).
bool Pop3Client::encodeCredentials(const QString& user, const QString& password, QByteArray* userBytes,
                                   QByteArray* passwordBytes)
{
    if (!sendableCredentials(user, password))
        return fail(ErrorKind::BadCredentials, mailtext::credentialsWithLineBreak(), false);
    const cp932::Encoded u = cp932::encode(user);
    const cp932::Encoded p = cp932::encode(password);
    if (!u.ok || !p.ok)
        return fail(ErrorKind::BadCredentials, mailtext::credentialsNotEncodable(QStringLiteral("Shift-JIS")), false);
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
    Reply r = Reply::Failed;
    if (m_pipeliningAllowed && hasCapability("PIPELINING")) {
        // Both at once (RFC 2449), and what a check asks next behind them:
        // one round trip for the login and the mailbox.
        if (!sendLine("USER " + userBytes + "\r\nPASS " + passwordBytes + mailboxCommands()))
            return false;
        const QDeadlineTimer whole(m_transport.timeouts().wholeReplyMs);
        Pop3ReplyReader pass;
        reader.startSingleLine();
        pass.startSingleLine();
        r = awaitReply(reader, whole, nullptr);
        const Reply passed = m_broken ? Reply::Failed : awaitReply(pass, whole, nullptr);
        if (m_broken) {
            m_pipelineFailed = true; // perhaps a server that drops what is sent ahead
            return false;
        }
        if (r == Reply::Ok) {
            r = passed;
            reader = pass;
        }
    } else {
        r = command("USER " + userBytes, reader, false, 0);
        if (r == Reply::Ok)
            r = command("PASS " + passwordBytes, reader, false, 0);
    }
    return loginReplies(r, reader) && loggedIn(user);
}

// After a refused login the replies to the mailbox commands sent with it
// are still on their way: the stream is out of step.
bool Pop3Client::loginReplies(Reply r, const Pop3ReplyReader& reader)
{
    if (r == Reply::Failed)
        return false;
    if (r == Reply::Err) {
        loginRefused(reader);
        if (m_mailboxSent)
            m_broken = true;
        return false;
    }
    return true;
}

QByteArray Pop3Client::mailboxCommands()
{
    if (!m_pipeliningAllowed || !hasCapability("PIPELINING"))
        return QByteArray();
    m_mailboxSent = true;
    // With UIDL the sizes too (one LIST): the memory takes a message by
    // both, and the walk then asks no LIST n.
    m_uidlSent = m_memory && hasCapability("UIDL");
    QByteArray batch = m_capaSupported ? "\r\nCAPA\r\nSTAT" : "\r\nSTAT";
    if (m_uidlSent)
        batch += "\r\nUIDL\r\nLIST";
    return batch;
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
    const QByteArray line = "APOP " + userBytes + ' ' + apopDigest(*ts, passwordBytes);
    if (!sendLine(line + mailboxCommands()))
        return false;
    reader.startSingleLine();
    const Reply r = awaitReply(reader, QDeadlineTimer(m_transport.timeouts().wholeReplyMs), nullptr);
    if (m_mailboxSent && m_broken)
        m_pipelineFailed = true;
    return loginReplies(r, reader) && loggedIn(user);
}

// The extended response codes of RFC 2449 and 3206 tell a mailbox that is
// busy for a while (another session holds it, or logins come too close)
// from a wrong password: the caller tries again later instead of alarming
// the user.
bool Pop3Client::loginRefused(const Pop3ReplyReader& reader)
{
    const QByteArray text = reader.statusText().toUpper();
    if (text.startsWith("[IN-USE]"))
        return fail(ErrorKind::LoginBusy,
                    QStringLiteral("メールボックスが使用中のため、ログインできません（%1）").arg(serverSaid(reader)), false);
    if (text.startsWith("[LOGIN-DELAY]"))
        return fail(ErrorKind::LoginBusy,
                    QStringLiteral("前回のログインから間がないため、サーバーがログインを断りました（%1）")
                        .arg(serverSaid(reader)),
                    false);
    return fail(ErrorKind::LoginRefused, mailtext::loginRefused(serverSaid(reader)), false);
}

bool Pop3Client::loggedIn(const QString& user)
{
    m_mailboxKey = m_transport.endpoint().serverKey() + QLatin1Char(' ') + user;
    return true;
}

int Pop3Client::loginDelaySeconds() const
{
    for (const QByteArray& c : m_capabilities) {
        const QList<QByteArray> w = words(c);
        qint64 seconds = 0;
        if (w.size() >= 2 && w.at(0).compare("LOGIN-DELAY", Qt::CaseInsensitive) == 0
            && parseNumber(w.at(1), INT_MAX, &seconds))
            return int(seconds);
    }
    return 0;
}

bool Pop3Client::stat(int* count, qint64* octets)
{
    Pop3ReplyReader reader;
    return takeStat(reader, command("STAT", reader, false, 0), count, octets);
}

bool Pop3Client::takeStat(const Pop3ReplyReader& reader, Reply r, int* count, qint64* octets)
{
    if (r == Reply::Failed)
        return false;
    if (r == Reply::Err)
        return fail(ErrorKind::ServerError,
                    QStringLiteral("メールの数を調べられません（%1）").arg(serverSaid(reader)), false);
    const QList<QByteArray> w = words(reader.statusText());
    qint64 n = 0, size = 0;
    if (w.size() < 2 || !parseNumber(w.at(0), INT_MAX, &n) || !parseNumber(w.at(1), LLONG_MAX / 16, &size))
        return fail(ErrorKind::Protocol,
                    mailtext::badReply(shownHost(), QStringLiteral("STAT: ") + mailtext::printable(reader.statusLine(), 80)),
                    false);
    *count = int(n);
    if (octets)
        *octets = size;
    m_statCount = int(n);
    return true;
}

// --- the walk: the header fields and the size of each message in turn ---

// The UIDL listing, by message number. A server without UIDL, or with a
// listing that cannot be read, leaves it empty: every message is read then.
bool Pop3Client::readMailbox(int* count)
{
    if (!m_mailboxSent && (!m_pipeliningAllowed || !hasCapability("PIPELINING"))) {
        const bool uidl = m_memory && !m_mailboxKey.isEmpty();
        if (!refreshCapabilities() || !stat(count, nullptr))
            return false;
        if (uidl && hasCapability("UIDL") && (!readUidls() || !readSizes()))
            return false;
        settleMemory();
        return true;
    }
    // All in one round trip (RFC 2449): a check of a mailbox with nothing
    // new is little more than this.
    if (!m_mailboxSent) {
        const QByteArray batch = mailboxCommands();
        if (!sendLine(batch.mid(2)))
            return false;
    }
    m_mailboxSent = false;
    Pop3ReplyReader capa, st, ids, sizes;
    capa.startMultiLine(kMaxListingBytes);
    st.startSingleLine();
    ids.startMultiLine(kMaxUidlBytes);
    sizes.startMultiLine(kMaxUidlBytes);
    auto next = [this](Pop3ReplyReader& reader) {
        return m_broken ? Reply::Failed : awaitReply(reader, QDeadlineTimer(m_transport.timeouts().wholeReplyMs), nullptr);
    };
    const Reply rc = m_capaSupported ? next(capa) : Reply::NotSent;
    const Reply rs = next(st);
    const Reply ru = m_uidlSent ? next(ids) : Reply::NotSent;
    const Reply rl = m_uidlSent ? next(sizes) : Reply::NotSent;
    if (m_broken) {
        // Replies lost or stalled: a server that drops what is sent ahead.
        m_pipelineFailed = true;
        return false;
    }
    if (m_capaSupported && !takeCapabilities(capa, rc))
        return false;
    if (!takeStat(st, rs, count, nullptr))
        return false;
    if (m_uidlSent)
        takeUidls(ids, ru);
    takeSizes(sizes, rl);
    settleMemory();
    return true;
}

bool Pop3Client::readUidls()
{
    Pop3ReplyReader reader;
    const Reply r = command("UIDL", reader, true, kMaxUidlBytes);
    if (r == Reply::Failed && m_broken)
        return false;
    takeUidls(reader, r);
    return true;
}

bool Pop3Client::readSizes()
{
    Pop3ReplyReader reader;
    const Reply r = command("LIST", reader, true, kMaxUidlBytes);
    if (r == Reply::Failed && m_broken)
        return false;
    takeSizes(reader, r);
    return true;
}

void Pop3Client::takeUidls(const Pop3ReplyReader& reader, Reply r)
{
    m_uidls.clear();
    if (r != Reply::Ok)
        return;
    std::vector<QByteArray> uidls(size_t(m_statCount) + 1);
    QHash<QByteArray, int> first; // UIDL -> the number it was first given to
    first.reserve(m_statCount);
    bool any = false;
    forEachListed(reader.data(), true, [&](QByteArrayView number, QByteArrayView id) {
        qint64 n = 0;
        if (!parseNumber(number.toByteArray(), m_statCount, &n) || n < 1 || id.size() > 70)
            return;
        const QByteArray uidl = id.toByteArray();
        const auto seen = first.constFind(uidl);
        if (seen != first.cend()) {
            // A UIDL given to two messages names neither of them.
            uidls[size_t(*seen)].clear();
            return;
        }
        first.insert(uidl, int(n));
        uidls[size_t(n)] = uidl;
        any = true;
    });
    if (any)
        m_uidls = std::move(uidls);
}

// The sizes of all messages from one LIST: the walk asks no LIST n then.
void Pop3Client::takeSizes(const Pop3ReplyReader& reader, Reply r)
{
    m_sizes.clear();
    if (r != Reply::Ok)
        return;
    std::vector<qint64> sizes(size_t(m_statCount) + 1, -1);
    bool any = false;
    forEachListed(reader.data(), false, [&](QByteArrayView number, QByteArrayView octets) {
        qint64 n = 0, size = 0;
        if (parseNumber(number.toByteArray(), m_statCount, &n) && n >= 1
            && parseNumber(octets.toByteArray(), LLONG_MAX / 16, &size)) {
            sizes[size_t(n)] = size;
            any = true;
        }
    });
    if (any)
        m_sizes = std::move(sizes);
}

QByteArray Pop3Client::uidlOf(int number) const
{
    return number > 0 && size_t(number) < m_uidls.size() ? m_uidls[size_t(number)] : QByteArray();
}

qint64 Pop3Client::listedSize(int number) const
{
    return number > 0 && size_t(number) < m_sizes.size() ? m_sizes[size_t(number)] : -1;
}

void Pop3Client::settleMemory()
{
    m_known.clear();
    // Without sizes a reused UIDL cannot be told from the message it named
    // before: nothing is taken from the memory then, nor added to it.
    if (!m_memory || m_mailboxKey.isEmpty() || m_uidls.empty() || m_sizes.empty()) {
        m_uidls.clear();
        return;
    }
    m_memory->useMailbox(m_mailboxKey);
    QList<QByteArray> listed;
    listed.reserve(qsizetype(m_uidls.size()));
    for (const QByteArray& id : m_uidls)
        if (!id.isEmpty())
            listed << id;
    m_memory->keepOnly(listed);
    m_known.assign(m_uidls.size(), false);
    for (size_t n = 1; n < m_uidls.size(); ++n) {
        const QByteArray& id = m_uidls[n];
        const Pop3HeaderMemory::Entry* e = id.isEmpty() ? nullptr : m_memory->find(id);
        if (!e)
            continue;
        if (e->size != listedSize(int(n)) || e->size < 0)
            m_memory->forget(id); // a UIDL the server gave to another message
        else
            m_known[n] = e->hasFields;
    }
}

void Pop3Client::planWalk(int count)
{
    if (m_planCount > 0 && !leavePlan())
        return;
    if (count < 1 || m_broken || !isConnected())
        return;
    if (!m_pipeliningAllowed || !hasCapability("PIPELINING"))
        return; // one command at a time
    m_planCount = count;
    m_planNext = stepKey(Verb::Header, 1);
    // The first commands go out now, while the caller starts on what the
    // memory answers.
    sendAhead();
}

const Pop3HeaderMemory::Entry* Pop3Client::remembered(int number) const
{
    if (!m_memory || number < 1 || size_t(number) >= m_known.size() || !m_known[size_t(number)])
        return nullptr;
    return m_memory->find(m_uidls[size_t(number)]);
}

bool Pop3Client::needed(Verb verb, int number) const
{
    if (verb == Verb::List)
        return listedSize(number) < 0;
    // Nothing the server did not offer goes out: without TOP the header
    // call fails without asking.
    if (topMissing())
        return false;
    return size_t(number) >= m_known.size() || !m_known[size_t(number)];
}

QByteArray Pop3Client::walkLine(Verb verb, int number)
{
    const QByteArray n = QByteArray::number(number);
    return verb == Verb::Header ? "TOP " + n + " 0" : "LIST " + n;
}

// Sends the plan's next commands in one write, as far as the bounds allow:
// about kMaxBytesAhead bytes of replies on their way (and at most
// kMaxCommandsAhead commands), so that memory stays flat (the server's
// replies wait in the socket) and a walk that ends early has little to
// drain. Nothing sent ahead depends on a reply still on its way: which
// messages need asking about is settled by the UIDL and LIST listings, read
// whole before the first of them goes. QUIT follows the last command, so
// the walk's last round trip is also the session's.
bool Pop3Client::sendAhead()
{
    if (m_quitSent)
        return true;
    const qint64 end = stepKey(Verb::Header, m_planCount + 1);
    QByteArray batch;
    while (m_planNext < end && int(m_ahead.size()) < kMaxCommandsAhead
           && (m_aheadBytes < kMaxBytesAhead || m_ahead.empty())) {
        const qint64 key = m_planNext++;
        const Verb verb = Verb(key % 2);
        const int number = int(key / 2);
        if (!needed(verb, number))
            continue;
        const qint64 expected = verb == Verb::Header ? (listedSize(number) < 0 ? 2048 : std::clamp<qint64>(listedSize(number), 64, 2048)) : 64;
        batch += walkLine(verb, number) + "\r\n";
        m_ahead.push_back(Ahead{key, expected});
        m_aheadBytes += expected;
    }
    if (m_planNext >= end) {
        batch += "QUIT\r\n";
        m_quitSent = true;
    }
    if (batch.isEmpty() || m_transport.write(batch))
        return true;
    m_pipelineFailed = true;
    return failFromTransport();
}

// The reply of the front command on its way has been read.
void Pop3Client::aheadRead()
{
    m_aheadBytes -= m_ahead.front().expectedBytes;
    m_ahead.pop_front();
}

// Reads the front command's reply and keeps nothing of it.
bool Pop3Client::dropAhead(const QDeadlineTimer& deadline)
{
    Pop3ReplyReader reader;
    if (Verb(m_ahead.front().key % 2) == Verb::List)
        reader.startSingleLine();
    else
        reader.startMultiLine(std::numeric_limits<qsizetype>::max(), 0);
    if (awaitReply(reader, deadline, nullptr) == Reply::Failed && m_broken) {
        m_pipelineFailed = true;
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
    m_aheadBytes = 0;
    // The session's end went out behind the walk: the server takes no more.
    if (m_quitSent)
        return fail(ErrorKind::NotConnected, QStringLiteral("サーバーとのやり取りは終わっています"), false);
    return true;
}

Pop3Client::Planned Pop3Client::fromPlan(Verb verb, int number)
{
    if (m_planCount == 0)
        return Planned::No;
    const qint64 key = stepKey(verb, number);
    // Steps the caller passed over (no size after a failed header): the
    // replies on their way are dropped; what was not sent yet never is.
    while (!m_ahead.empty() && m_ahead.front().key < key)
        if (!dropAhead(QDeadlineTimer(m_transport.timeouts().wholeReplyMs)))
            return Planned::Failed;
    if (m_ahead.empty() && m_planNext <= key) {
        m_planNext = key;
        if (!sendAhead())
            return Planned::Failed;
    }
    if (!m_ahead.empty() && m_ahead.front().key == key)
        return Planned::OnWire;
    // Back behind the plan, or a step it does not hold.
    return leavePlan() ? Planned::No : Planned::Failed;
}

Pop3Client::Reply Pop3Client::walkCommand(Verb verb, int number, Pop3ReplyReader& reader,
                                          HeaderFieldCollector* fields)
{
    const QDeadlineTimer whole(m_transport.timeouts().wholeReplyMs);
    switch (fromPlan(verb, number)) {
    case Planned::Failed:
        return Reply::Failed;
    case Planned::OnWire: {
        const Reply r = awaitReply(reader, whole, fields);
        if (m_broken) {
            // A walk sent ahead that stalls or loses replies (servers that
            // offer PIPELINING and drop what is queued): the caller goes
            // one command at a time with this server from now on.
            m_pipelineFailed = true;
            return Reply::Failed;
        }
        aheadRead();
        // The next commands go out while the caller works on this reply.
        if (!sendAhead())
            return Reply::Failed;
        return r;
    }
    case Planned::No:
        break;
    }
    if (!sendLine(walkLine(verb, number)))
        return Reply::Failed;
    return awaitReply(reader, whole, fields);
}

bool Pop3Client::list(int number, qint64* octets)
{
    if (number < 1)
        return fail(ErrorKind::ServerError, mailtext::noSuchMessage(number), false);
    if (const qint64 listed = listedSize(number); listed >= 0) {
        *octets = listed;
        return true;
    }
    Pop3ReplyReader reader;
    reader.startSingleLine();
    const Reply r = walkCommand(Verb::List, number, reader, nullptr);
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
                    mailtext::badReply(shownHost(), QStringLiteral("LIST: ") + mailtext::printable(reader.statusLine(), 80)),
                    false);
    *octets = size;
    return true;
}

bool Pop3Client::headerFields(int number, QByteArray* fields)
{
    if (number < 1)
        return fail(ErrorKind::ServerError, mailtext::noSuchMessage(number), false);
    if (const Pop3HeaderMemory::Entry* e = remembered(number); e && e->hasFields) {
        *fields = e->fields;
        return true;
    }
    // TOP n 0, never RETR: a notifier needs no body, and RETR makes many
    // servers mark the message read (\Seen) or hand it over as "downloaded"
    // to the user's own mail program.
    if (topMissing())
        return fail(ErrorKind::ServerError,
                    QStringLiteral("サーバー「%1」は TOP に対応していないため、差出人を調べられません").arg(shownHost()),
                    false);
    Pop3ReplyReader reader;
    reader.startMultiLine(std::numeric_limits<qsizetype>::max());
    HeaderFieldCollector collector;
    const Reply r = walkCommand(Verb::Header, number, reader, &collector);
    if (r == Reply::Failed)
        return false;
    if (r == Reply::Err)
        return fail(ErrorKind::ServerError,
                    QStringLiteral("メール %1 のヘッダーを受信できません（%2）").arg(number).arg(serverSaid(reader)), false);
    *fields = collector.fields();
    if (const QByteArray id = uidlOf(number); m_memory && !id.isEmpty() && !m_known.empty()
                                              && listedSize(number) >= 0) {
        m_memory->rememberFields(id, *fields);
        m_memory->rememberSize(id, listedSize(number));
    }
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
            if (m_quitSent || m_transport.write("QUIT\r\n")) {
                while (!m_ahead.empty() && !m_broken)
                    dropAhead(deadline);
                if (!m_broken)
                    awaitReply(reader, deadline, nullptr);
            }
            m_ahead.clear();
            m_planCount = 0;
        } else if (m_quitSent) {
            m_planCount = 0;
            awaitReply(reader, QDeadlineTimer(kQuitWaitMs), nullptr);
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

bool Pop3Client::loginOAuth(const QString& user, const QByteArray& accessToken)
{
    using namespace oauthsasl;
    QList<QByteArray> offered;
    for (const QByteArray& c : m_capabilities) {
        const QList<QByteArray> words = c.simplified().split(' ');
        if (words.value(0).compare("SASL", Qt::CaseInsensitive) == 0)
            offered += words.mid(1);
    }
    const OAuthOpening opening = openOAuth(offered, user, accessToken);
    if (!opening.failure.isEmpty())
        return fail(opening.notOffered ? ErrorKind::OAuthNotOffered : ErrorKind::BadCredentials, opening.failure, false);
    const Mechanism mechanism = opening.mechanism;
    const QByteArray& first = opening.first;
    // RFC 5034 keeps the command within 255 octets; a longer initial
    // response (tokens are long) goes after the server's "+".
    const QByteArray withFirst = "AUTH " + mechanismName(mechanism) + ' ' + first.toBase64();
    const bool firstInline = withFirst.size() + 2 <= 255;
    if (!sendLine(firstInline ? withFirst : "AUTH " + mechanismName(mechanism)))
        return false;
    bool firstSent = firstInline;
    bool errorAnswered = false;
    QByteArray said;
    const QDeadlineTimer whole(m_transport.timeouts().wholeReplyMs);
    Pop3ReplyReader reader;
    for (;;) {
        reader.startSingleLine();
        if (!readReply(reader, whole, nullptr))
            return false;
        if (reader.isOk())
            return loggedIn(user);
        if (reader.isErr()) {
            const QString why = said.isEmpty() ? serverSaid(reader)
                                               : serverSaid(reader) + QStringLiteral("、") + mailtext::printable(said, 80);
            return fail(ErrorKind::TokenRefused, mailtext::tokenRefused(why), false);
        }
        const QByteArray& line = reader.statusLine();
        if (!line.startsWith('+') || errorAnswered)
            return fail(ErrorKind::Protocol, mailtext::badReply(shownHost(), mailtext::printable(line, 80)), true);
        if (!firstSent) {
            firstSent = true;
            if (!sendLine(first.toBase64()))
                return false;
            continue;
        }
        // A refused token: the JSON error comes as a challenge, and the
        // exchange ends after the mechanism's acknowledgement.
        errorAnswered = true;
        const ErrorChallenge e = parseErrorChallenge(QByteArray::fromBase64(line.mid(1).trimmed()));
        said = e.parsed ? e.status.toUtf8() : QByteArray();
        if (!sendLine(errorAcknowledgement(mechanism).toBase64()))
            return false;
    }
}

} // namespace qp
