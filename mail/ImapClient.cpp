#include "ImapClient.h"

#include <QHash>
#include <QStringEncoder>

#include <algorithm>
#include <climits>

#include "mail/MailText.h"
#include "mail/OAuthSasl.h"

namespace qp {

namespace {

// The header fields a check reads: the sender for the keywords, subject and
// date for the other two buffers.
constexpr char kFetchItems[] = "(UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE)])";
// LOGOUT is a courtesy; do not hold the window for long over it.
constexpr int kLogoutWaitMs = 5000;

using mailtext::printable;

// An IMAP string argument: quoted when that can carry it (printable ASCII),
// else a literal. nonSyncLiteral: the server takes "{n+}" (LITERAL+), so the
// literal goes without waiting for its go-ahead.
struct Argument {
    QByteArray head; // what goes on the line (quoted string or "{n}")
    QByteArray literal;
    bool isLiteral = false;
};

Argument argument(const QByteArray& bytes, bool nonSyncLiteral)
{
    Argument a;
    const bool plain = std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
    if (plain) {
        a.head = '"' + QByteArray(bytes).replace('\\', "\\\\").replace('"', "\\\"") + '"';
        return a;
    }
    a.isLiteral = true;
    a.literal = bytes;
    a.head = '{' + QByteArray::number(bytes.size()) + (nonSyncLiteral ? "+}" : "}");
    return a;
}

// "3:7,9,12:13" for ascending UIDs.
QByteArray uidSet(const QList<qint64>& uids)
{
    QByteArray set;
    for (qsizetype i = 0; i < uids.size();) {
        qsizetype j = i;
        while (j + 1 < uids.size() && uids.at(j + 1) == uids.at(j) + 1)
            ++j;
        if (!set.isEmpty())
            set += ',';
        set += QByteArray::number(uids.at(i));
        if (j > i)
            set += ':' + QByteArray::number(uids.at(j));
        i = j + 1;
    }
    return set;
}

} // namespace

std::optional<MailEndpoint> parseImapServer(const QString& text)
{
    static const MailEndpoint::Schemes imap{"imap", "imaps", 143, 993};
    const QString t = text.trimmed();
    if (t.startsWith(QLatin1String("imap://"), Qt::CaseInsensitive)
        || t.startsWith(QLatin1String("imaps://"), Qt::CaseInsensitive))
        return MailEndpoint::parse(t, imap);
    // Without a scheme only the IMAPS port means IMAP.
    if (t.contains(QLatin1String("://")))
        return std::nullopt;
    const auto e = MailEndpoint::parse(t, imap);
    if (!e || e->port != 993)
        return std::nullopt;
    return e;
}

ImapClient::ImapClient() = default;
ImapClient::~ImapClient() = default;

bool ImapClient::tlsFailed() const
{
    return m_errorKind == ErrorKind::Tls || m_errorKind == ErrorKind::TlsLost
           || m_errorKind == ErrorKind::StartTlsRefused;
}

bool ImapClient::fail(ErrorKind kind, const QString& text, bool breaks)
{
    m_errorKind = kind;
    m_errorText = text;
    if (breaks) {
        m_broken = true;
        if (!m_transport.hasFailed())
            m_transport.fail(MailTransport::Error::Protocol, text);
    }
    return false;
}

bool ImapClient::failFromTransport()
{
    const ErrorKind kind = errorKindOf<ErrorKind>(m_transport.error());
    // A server that said why it hangs up: say it too.
    if (kind == ErrorKind::Closed && !m_bye.isEmpty())
        return fail(kind, QStringLiteral("サーバー「%1」が接続を切りました（%2）").arg(host(), printable(m_bye)), true);
    const QString text = m_transport.errorText().isEmpty() ? mailtext::notConnected() : m_transport.errorText();
    return fail(kind, text, true);
}

QDeadlineTimer ImapClient::replyDeadline() const
{
    const QDeadlineTimer whole(m_transport.timeouts().wholeReplyMs);
    return whole.deadline() < m_session.deadline() ? whole : m_session;
}

// A tagged reply that answers another command than the one waited for.
QString ImapClient::otherCommandsReply(const ImapResponse& r) const
{
    return mailtext::badReply(host(), QStringLiteral("別のコマンドへの応答 ") + printable(r.tag.left(20)));
}

QString ImapClient::serverSaid(const ImapResponse& r) const
{
    return mailtext::serverSaid(r.text);
}

QByteArray ImapClient::nextTag()
{
    return 'a' + QByteArray::number(m_nextTag++);
}

bool ImapClient::send(const QByteArray& bytes)
{
    if (m_broken)
        return fail(m_errorKind, m_errorText, false);
    if (!m_transport.isConnected() || m_transport.hasFailed())
        return failFromTransport();
    return m_transport.write(bytes) || failFromTransport();
}

bool ImapClient::readResponse(const Expect& expect, const QDeadlineTimer& deadline, qsizetype* budget,
                              ImapResponse* out)
{
    // One response holds its text and at most a couple of literals; what a
    // command brings back in all is bounded by the budget.
    const qsizetype perResponse = expect.maxText + 2 * expect.maxLiteral + 1024;
    const bool budgetBinds = *budget < perResponse;
    m_reader.start(expect.maxText, expect.maxLiteral, std::min(*budget, perResponse));
    for (;;) {
        if (!m_transport.buffered().isEmpty()) {
            qsizetype used = 0;
            const auto status = m_transport.feedTo(m_reader, &used);
            *budget -= used;
            switch (status) {
            case ImapResponseReader::Status::NeedMore:
                break;
            case ImapResponseReader::Status::Done: {
                auto r = parseImapResponse(m_reader.raw());
                if (!r)
                    return fail(ErrorKind::Protocol, mailtext::badReply(host(), printable(m_reader.raw().left(80))), true);
                *out = std::move(*r);
                if (out->kind == ImapResponse::Kind::Tagged)
                    m_lastCode = out->code;
                return true;
            }
            case ImapResponseReader::Status::LineTooLong:
                return fail(ErrorKind::Protocol, mailtext::lineTooLong(host()), true);
            case ImapResponseReader::Status::LiteralTooLarge:
            case ImapResponseReader::Status::TooLarge:
                if (budgetBinds || *budget < 0)
                    return failEndless(expect);
                return fail(ErrorKind::TooLarge,
                            mailtext::replyTooLarge(host(), status == ImapResponseReader::Status::LiteralTooLarge
                                                                ? expect.maxLiteral
                                                                : perResponse),
                            true);
            }
        }
        if (*budget < 0)
            return failEndless(expect);
        if (!m_transport.receiveMore(deadline)) {
            if (m_session.hasExpired())
                return fail(ErrorKind::Timeout, mailtext::sessionTooLong(host(), m_sessionMs / 1000), true);
            return failFromTransport();
        }
    }
}

bool ImapClient::failEndless(const Expect& expect)
{
    return fail(ErrorKind::TooLarge,
                QStringLiteral("サーバー「%1」の応答が終わりません（%2 バイトを超えました）").arg(host()).arg(expect.budget),
                true);
}

template <typename OnData>
bool ImapClient::readUntilTagged(const QByteArray& tag, const Expect& expect, ImapResponse* tagged, OnData onData)
{
    const QDeadlineTimer deadline = replyDeadline();
    qsizetype budget = expect.budget;
    for (;;) {
        ImapResponse r;
        if (!readResponse(expect, deadline, &budget, &r))
            return false;
        switch (r.kind) {
        case ImapResponse::Kind::Continuation:
            return fail(ErrorKind::Protocol, mailtext::badReply(host(), QStringLiteral("求めていない続行要求")), true);
        case ImapResponse::Kind::Untagged:
            if (r.status == "BYE")
                m_bye = r.text;
            else if (!onData(r))
                return false;
            continue;
        case ImapResponse::Kind::Tagged:
            if (r.tag != tag)
                return fail(ErrorKind::Protocol, otherCommandsReply(r), true);
            if (r.code == "CAPABILITY")
                m_capabilities = r.capabilities();
            *tagged = std::move(r);
            return true;
        }
    }
}

bool ImapClient::simpleCommand(const QByteArray& command, ImapResponse* tagged)
{
    const QByteArray tag = nextTag();
    if (!send(tag + ' ' + command + "\r\n"))
        return false;
    return readUntilTagged(tag, Expect{}, tagged, [this](const ImapResponse& r) {
        if (r.name == "CAPABILITY")
            m_capabilities = r.capabilities();
        return true;
    });
}

bool ImapClient::refreshCapabilities()
{
    m_capabilities.clear();
    ImapResponse tagged;
    if (!simpleCommand("CAPABILITY", &tagged))
        return false;
    if (tagged.status != "OK")
        return fail(ErrorKind::Protocol, mailtext::badReply(host(), QStringLiteral("CAPABILITY: ") + serverSaid(tagged)),
                    true);
    return true;
}

bool ImapClient::connectToServer(const MailEndpoint& endpoint)
{
    m_session = QDeadlineTimer(m_sessionMs);
    beginConnection(); // the transport's bound: writes and the connect too
    m_loggedIn = false;
    m_bye.clear();
    m_lastCode.clear();
    m_unseen.clear();
    m_batch.clear();
    m_uidValidity = -1;
    m_errorKind = ErrorKind::None;
    if (!m_transport.connectTo(endpoint))
        return failFromTransport();
    if (endpoint.implicitTls && !rememberTls(endpoint))
        return false;

    ImapResponse greeting;
    qsizetype budget = kMaxText;
    const QDeadlineTimer greetingDeadline(m_transport.timeouts().greetingMs);
    if (!readResponse(Expect{}, std::min(greetingDeadline, replyDeadline()), &budget, &greeting))
        return false;
    if (greeting.kind == ImapResponse::Kind::Untagged && greeting.status == "BYE")
        return fail(ErrorKind::GreetingRefused, mailtext::greetingRefused(host(), serverSaid(greeting)), true);
    if (greeting.kind != ImapResponse::Kind::Untagged || (greeting.status != "OK" && greeting.status != "PREAUTH"))
        return fail(ErrorKind::Protocol,
                    mailtext::notThisProtocol(host(), QStringLiteral("IMAP"), printable(m_reader.raw().left(80))), true);
    m_loggedIn = greeting.status == "PREAUTH";
    m_capabilities = greeting.capabilities();
    if (m_capabilities.isEmpty() && !refreshCapabilities())
        return false;

    if (endpoint.implicitTls)
        return true;
    if (hasCapability("STARTTLS") && !m_loggedIn) {
        // Remembered once TLS works, not when it is merely offered: a
        // handshake that fails must not lock the user out later.
        // What was offered before TLS may have been forged on the way: ask again.
        return startTls() && rememberTls(endpoint) && refreshCapabilities();
    }
    return allowedWithoutTls(endpoint);
}

bool ImapClient::refuseWithoutTls(const QString& text)
{
    return fail(ErrorKind::TlsLost, text, true);
}

bool ImapClient::startTls()
{
    ImapResponse tagged;
    if (!simpleCommand("STARTTLS", &tagged))
        return false;
    // Once TLS was offered, plain text is not an option any more.
    if (tagged.status != "OK")
        return fail(ErrorKind::StartTlsRefused,
                    mailtext::tlsCommandRefused(host(), QStringLiteral("STARTTLS"), serverSaid(tagged)), true);
    return m_transport.startTls(QStringLiteral("STARTTLS")) || failFromTransport();
}

bool ImapClient::login(const QString& user, const QString& password)
{
    if (m_broken)
        return fail(m_errorKind, m_errorText, false);
    if (m_loggedIn)
        return true;
    if (!sendableCredentials(user, password))
        return fail(ErrorKind::BadCredentials, mailtext::credentialsWithLineBreak(), false);
    // UTF-8, unlike POP3: SASL PLAIN requires it (RFC 4616), and IMAP
    // servers compare LOGIN arguments as UTF-8 too.
    QStringEncoder toUtf8(QStringConverter::Utf8);
    const QByteArray id = toUtf8(user);
    const QByteArray pass = toUtf8(password);
    if (toUtf8.hasError())
        return fail(ErrorKind::BadCredentials, mailtext::credentialsNotEncodable(QStringLiteral("UTF-8")), false);

    const bool plainOffered = hasCapability("AUTH=PLAIN");
    // The password never goes out in the clear to a server that asks not to.
    if (hasCapability("LOGINDISABLED") && (!plainOffered || !m_transport.isEncrypted()))
        return fail(ErrorKind::LoginDisabled,
                    QStringLiteral("サーバー「%1」は暗号化されていない接続でのログインを受け付けません（LOGINDISABLED）")
                        .arg(host()),
                    false);

    const QByteArray tag = nextTag();
    if (plainOffered) {
        const QByteArray sasl = (QByteArray(1, '\0') + id + QByteArray(1, '\0') + pass).toBase64();
        if (hasCapability("SASL-IR")) {
            if (!send(tag + " AUTHENTICATE PLAIN " + sasl + "\r\n"))
                return false;
        } else {
            if (!send(tag + " AUTHENTICATE PLAIN\r\n"))
                return false;
            if (!waitForGoAhead(tag) || !send(sasl + "\r\n"))
                return false;
        }
    } else {
        const bool nonSync = hasCapability("LITERAL+");
        const Argument args[] = {argument(id, nonSync), argument(pass, nonSync)};
        QByteArray line = tag + " LOGIN";
        for (const Argument& a : args) {
            line += ' ' + a.head;
            if (!a.isLiteral)
                continue;
            line += "\r\n";
            if (!nonSync) {
                if (!send(line))
                    return false;
                line.clear();
                if (!waitForGoAhead(tag))
                    return false;
            }
            line += a.literal;
        }
        if (!send(line + "\r\n"))
            return false;
    }
    ImapResponse tagged;
    if (!readUntilTagged(tag, Expect{}, &tagged, [](const ImapResponse&) { return true; }))
        return false;
    if (tagged.status != "OK")
        return fail(ErrorKind::LoginRefused, mailtext::loginRefused(serverSaid(tagged)), false);
    m_loggedIn = true;
    m_user = user;
    return true;
}

bool ImapClient::waitForGoAhead(const QByteArray& tag)
{
    qsizetype budget = kMaxCommandBytes;
    const QDeadlineTimer deadline = replyDeadline();
    for (;;) {
        ImapResponse r;
        if (!readResponse(Expect{}, deadline, &budget, &r))
            return false;
        if (r.kind == ImapResponse::Kind::Continuation)
            return true;
        if (r.kind == ImapResponse::Kind::Tagged && r.tag != tag)
            return fail(ErrorKind::Protocol, otherCommandsReply(r), true);
        if (r.kind == ImapResponse::Kind::Tagged)
            return fail(ErrorKind::LoginRefused, mailtext::loginRefused(serverSaid(r)), false);
        if (r.status == "BYE")
            m_bye = r.text;
    }
}

bool ImapClient::openInbox(int* count)
{
    if (!m_loggedIn)
        return fail(ErrorKind::NotConnected, QStringLiteral("ログインしていません"), false);
    // Both at once: one round trip. EXAMINE opens read-only, so no later
    // command of this session can change a flag.
    const QByteArray examine = nextTag();
    const QByteArray search = nextTag();
    if (!send(examine + " EXAMINE INBOX\r\n" + search + " UID SEARCH UNSEEN UNDELETED\r\n"))
        return false;
    ImapResponse opened;
    m_uidValidity = -1;
    if (!readUntilTagged(examine, Expect{}, &opened, [this](const ImapResponse& r) {
            if (r.status == "OK" && r.code == "UIDVALIDITY") {
                bool ok = false;
                const qint64 v = r.codeText.trimmed().toLongLong(&ok);
                if (ok && v > 0)
                    m_uidValidity = v;
            }
            return true;
        }))
        return false;
    QList<qint64> uids;
    bool badSearch = false;
    bool tooMany = false;
    ImapResponse searched;
    const Expect searchBounds{kMaxSearchText, 0, kMaxSearchText + kMaxCommandBytes};
    if (!readUntilTagged(search, searchBounds, &searched, [&](const ImapResponse& r) {
            if (r.name != "SEARCH")
                return true;
            const auto numbers = r.searchNumbers();
            if (r.searchTooMany() || (numbers && uids.size() + numbers->size() > ImapResponse::kMaxSearchNumbers))
                tooMany = true;
            else if (!numbers)
                badSearch = true;
            else
                uids += *numbers;
            return true;
        }))
        return false;
    if (tooMany)
        return fail(ErrorKind::TooLarge,
                    QStringLiteral("サーバー「%1」の未読メールが多すぎます（%2 通を超えています）")
                        .arg(host())
                        .arg(ImapResponse::kMaxSearchNumbers),
                    true);
    if (opened.status != "OK")
        return fail(ErrorKind::ServerError, QStringLiteral("受信箱（INBOX）を開けません（%1）").arg(serverSaid(opened)),
                    false);
    if (searched.status != "OK")
        return fail(ErrorKind::ServerError, QStringLiteral("未読メールを調べられません（%1）").arg(serverSaid(searched)),
                    false);
    if (badSearch)
        return fail(ErrorKind::Protocol, mailtext::badReply(host(), QStringLiteral("SEARCH")), true);
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    if (uids.size() > INT_MAX)
        uids.resize(INT_MAX);
    m_unseen = std::move(uids);
    m_batch.clear();
    // A UID names one message for good within one UIDVALIDITY (RFC 3501),
    // so the mailbox key holds it: a new UIDVALIDITY starts afresh. The
    // memory holds the unseen messages only.
    if (m_memory && m_uidValidity > 0) {
        m_memory->useMailbox(QStringLiteral("imap %1 %2 %3").arg(m_transport.endpoint().serverKey(), m_user).arg(m_uidValidity));
        QList<QByteArray> ids;
        ids.reserve(m_unseen.size());
        for (qint64 uid : std::as_const(m_unseen))
            ids << QByteArray::number(uid);
        m_memory->keepOnly(ids);
    }
    *count = int(m_unseen.size());
    return true;
}

const Pop3HeaderMemory::Entry* ImapClient::remembered(qint64 uid) const
{
    if (!m_memory || m_uidValidity <= 0)
        return nullptr;
    const Pop3HeaderMemory::Entry* e = m_memory->find(QByteArray::number(uid));
    return e && e->hasFields ? e : nullptr;
}

const ImapMessage* ImapClient::message(int number)
{
    if (number < 1 || number > m_unseen.size()) {
        fail(ErrorKind::ServerError, mailtext::noSuchMessage(number), false);
        return nullptr;
    }
    const qint64 uid = m_unseen.at(number - 1);
    if (const auto it = m_batch.constFind(uid); it != m_batch.cend())
        return &*it;
    if (const Pop3HeaderMemory::Entry* e = remembered(uid)) {
        m_fromMemory = ImapMessage{uid, e->size, e->fields, true};
        return &m_fromMemory;
    }
    if (!fetchBatch(number))
        return nullptr;
    return &m_batch[uid];
}

// Fetches the message and the next ones the memory does not hold, up to
// kFetchBatch: a check with nothing new fetches nothing.
bool ImapClient::fetchBatch(int first)
{
    m_batch.clear();
    QList<qint64> uids;
    for (qsizetype i = first - 1; i < m_unseen.size() && uids.size() < kFetchBatch; ++i)
        if (i == first - 1 || !remembered(m_unseen.at(i)))
            uids << m_unseen.at(i);
    QHash<qint64, ImapMessage> batch;
    for (qint64 uid : std::as_const(uids))
        batch.insert(uid, ImapMessage{uid, -1, QByteArray(), false});
    const QByteArray tag = nextTag();
    if (!send(tag + " UID FETCH " + uidSet(uids) + ' ' + kFetchItems + "\r\n"))
        return false;
    const Expect bounds{kMaxText, kMaxFieldsLiteral,
                        uids.size() * (kMaxFieldsLiteral + 1024) + kMaxCommandBytes + kMaxLongHeaderBytes};
    ImapResponse tagged;
    m_reader.setCollectHeaderFields(true, bounds.budget);
    const bool ok = readUntilTagged(tag, bounds, &tagged, [&](const ImapResponse& r) {
        if (r.name != "FETCH")
            return true;
        const auto f = imapFetch(r);
        if (!f)
            return fail(ErrorKind::Protocol, mailtext::badReply(host(), QStringLiteral("FETCH %1").arg(r.number)), true);
        // A FETCH the server adds on its own (another client's flag change) is no answer.
        const auto it = f->uid ? batch.find(*f->uid) : batch.end();
        if (it == batch.end())
            return true;
        ImapMessage& m = *it;
        if (f->size)
            m.size = *f->size;
        if (f->headerFields)
            m.headerFields = *f->headerFields;
        m.found = m.found || f->size || f->headerFields;
        return true;
    });
    m_reader.setCollectHeaderFields(false);
    if (!ok)
        return false;
    if (tagged.status != "OK")
        return fail(ErrorKind::ServerError,
                    QStringLiteral("メールのヘッダーを受信できません（%1）").arg(serverSaid(tagged)), false);
    if (m_memory && m_uidValidity > 0) {
        for (const ImapMessage& m : std::as_const(batch)) {
            if (!m.found || m.size < 0)
                continue;
            const QByteArray id = QByteArray::number(m.uid);
            m_memory->rememberFields(id, m.headerFields);
            m_memory->rememberSize(id, m.size);
        }
    }
    m_batch = std::move(batch);
    return true;
}

void ImapClient::logout()
{
    if (m_transport.isConnected() && !m_broken && !m_transport.hasFailed()) {
        const ErrorKind kind = m_errorKind;
        const QString text = m_errorText;
        const MailTimeouts saved = m_transport.timeouts();
        MailTimeouts brief = saved;
        brief.replyMs = std::min(saved.replyMs, kLogoutWaitMs);
        brief.wholeReplyMs = std::min(saved.wholeReplyMs, kLogoutWaitMs);
        m_transport.setTimeouts(brief);
        ImapResponse tagged;
        simpleCommand("LOGOUT", &tagged);
        m_transport.setTimeouts(saved);
        // LOGOUT's own trouble is no news to the user: keep the last real error.
        m_errorKind = kind;
        m_errorText = text;
    } else if (m_transport.isConnected()) {
        // Out of step (a reply timed out half-way): ask the server to end
        // the session anyway, without waiting for it.
        m_transport.sendWithoutWaiting(nextTag() + " LOGOUT\r\n");
    }
    m_transport.close();
    m_loggedIn = false;
}

bool ImapClient::loginOAuth(const QString& user, const QByteArray& accessToken)
{
    using namespace oauthsasl;
    if (m_broken)
        return fail(m_errorKind, m_errorText, false);
    if (m_loggedIn)
        return true;
    QList<QByteArray> offered;
    for (const QByteArray& c : m_capabilities)
        if (c.startsWith("AUTH="))
            offered.append(c.mid(5));
    const OAuthOpening opening = openOAuth(offered, user, accessToken);
    if (!opening.failure.isEmpty())
        return fail(opening.notOffered ? ErrorKind::OAuthNotOffered : ErrorKind::BadCredentials, opening.failure, false);
    const Mechanism mechanism = opening.mechanism;
    const QByteArray& first = opening.first;

    const QByteArray tag = nextTag();
    const QByteArray command = tag + " AUTHENTICATE " + mechanismName(mechanism);
    const bool initialSent = hasCapability("SASL-IR");
    if (!send(initialSent ? command + ' ' + first.toBase64() + "\r\n" : command + "\r\n"))
        return false;
    bool firstSent = initialSent;
    bool errorAnswered = false;
    QByteArray said; // the JSON error of a refused token, for the user
    const QDeadlineTimer deadline = replyDeadline();
    qsizetype budget = kMaxCommandBytes;
    for (;;) {
        ImapResponse r;
        if (!readResponse(Expect{}, deadline, &budget, &r))
            return false;
        if (r.kind == ImapResponse::Kind::Continuation) {
            if (!firstSent) {
                firstSent = true;
                if (!send(first.toBase64() + "\r\n"))
                    return false;
                continue;
            }
            if (errorAnswered)
                return fail(ErrorKind::Protocol, mailtext::badReply(host(), QStringLiteral("求めていない続行要求")), true);
            // The error comes as a challenge; the exchange ends only after
            // the mechanism's acknowledgement (RFC 7628 3.2.3).
            errorAnswered = true;
            const ErrorChallenge e = parseErrorChallenge(QByteArray::fromBase64(r.text.trimmed()));
            said = e.parsed ? e.status.toUtf8() : QByteArray();
            if (!send(errorAcknowledgement(mechanism).toBase64() + "\r\n"))
                return false;
            continue;
        }
        if (r.kind == ImapResponse::Kind::Untagged) {
            if (r.status == "BYE")
                m_bye = r.text;
            continue;
        }
        if (r.tag != tag)
            return fail(ErrorKind::Protocol, otherCommandsReply(r), true);
        if (r.code == "CAPABILITY")
            m_capabilities = r.capabilities();
        if (r.status == "OK") {
            m_loggedIn = true;
            m_user = user; // the memory of read messages is the user's
            return true;
        }
        const QString why = said.isEmpty() ? serverSaid(r) : serverSaid(r) + QStringLiteral("、") + printable(said);
        return fail(ErrorKind::TokenRefused, mailtext::tokenRefused(why), false);
    }
}

} // namespace qp
