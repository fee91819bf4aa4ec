#include "ImapIdle.h"

#include <algorithm>
#include <climits>

#include "mail/MailText.h"

namespace qp {

namespace {

// Bounds of one response while watching: the lines are short (EXISTS,
// FETCH flags, "Still here"); a server's own extensions may add a little.
constexpr qsizetype kMaxText = 64 * 1024;
constexpr qsizetype kMaxLiteral = 64 * 1024;
constexpr qsizetype kMaxResponse = 256 * 1024;

} // namespace

ImapIdle::ImapIdle() = default;
ImapIdle::~ImapIdle() = default;

QString ImapIdle::host()
{
    return m_client.transport().host();
}

QByteArray ImapIdle::nextTag()
{
    // Its own letter: the client's tags ("a1", ...) came before on this connection.
    return 'w' + QByteArray::number(m_nextTag++);
}

QDeadlineTimer ImapIdle::replyDeadline()
{
    return QDeadlineTimer(m_client.transport().timeouts().replyMs);
}

bool ImapIdle::lose(Failure kind, const QString& text)
{
    m_failure = kind;
    m_errorText = text;
    m_idling = false;
    MailTransport& t = m_client.transport();
    if (!t.hasFailed())
        t.fail(MailTransport::Error::Protocol, text);
    return false;
}

bool ImapIdle::loseFromTransport(const QString& when)
{
    const MailTransport& t = m_client.transport();
    if (t.error() == MailTransport::Error::Closed && !m_bye.isEmpty())
        return lose(Failure::Transient, QStringLiteral("サーバー「%1」が接続を切りました（%2）").arg(host(), mailtext::serverSaid(m_bye)));
    if (t.error() == MailTransport::Error::Timeout || t.errorText().isEmpty())
        return lose(Failure::Transient, QStringLiteral("サーバー「%1」の応答がありません（%2）").arg(host(), when));
    return lose(Failure::Transient, t.errorText());
}

bool ImapIdle::isChange(const ImapResponse& r)
{
    return r.kind == ImapResponse::Kind::Untagged
           && (r.name == "EXISTS" || r.name == "EXPUNGE" || r.name == "RECENT" || r.name == "FETCH");
}

ImapIdle::Next ImapIdle::next(const QDeadlineTimer& deadline, int wakeFd, ImapResponse* out)
{
    MailTransport& t = m_client.transport();
    for (;;) {
        if (!t.buffered().isEmpty()) {
            if (!m_reading) {
                m_reader.start(kMaxText, kMaxLiteral, kMaxResponse);
                m_reading = true;
            }
            const auto status = t.feedTo(m_reader);
            if (status == ImapResponseReader::Status::Done) {
                m_reading = false;
                auto r = parseImapResponse(m_reader.raw());
                if (!r) {
                    lose(Failure::Transient, mailtext::badReply(host(), mailtext::printable(m_reader.raw().left(80))));
                    return Next::Failed;
                }
                *out = std::move(*r);
                return Next::Got;
            }
            if (status != ImapResponseReader::Status::NeedMore) {
                lose(Failure::Transient, mailtext::replyTooLarge(host(), kMaxResponse));
                return Next::Failed;
            }
        }
        const qint64 left = deadline.remainingTime(); // -1: forever
        if (left == 0)
            return Next::Quiet;
        switch (t.waitForData(wakeFd, int(left < 0 ? INT_MAX : std::min<qint64>(left, INT_MAX)))) {
        case MailTransport::Waited::Data:
            continue;
        case MailTransport::Waited::Woken:
            return Next::Woken;
        case MailTransport::Waited::Quiet:
            return Next::Quiet;
        case MailTransport::Waited::Failed:
            loseFromTransport(QString());
            return Next::Failed;
        }
    }
}

bool ImapIdle::command(const QByteArray& line, ImapResponse* tagged,
                       const std::function<void(const ImapResponse&)>& onUntagged)
{
    const QByteArray tag = nextTag();
    MailTransport& t = m_client.transport();
    if (!t.write(tag + ' ' + line + "\r\n"))
        return loseFromTransport(QString::fromLatin1(line));
    const QDeadlineTimer deadline = replyDeadline();
    for (;;) {
        ImapResponse r;
        switch (next(deadline, -1, &r)) {
        case Next::Got:
            break;
        case Next::Quiet:
        case Next::Woken:
            return lose(Failure::Transient, QStringLiteral("サーバー「%1」の応答がありません（%2）")
                                                .arg(host(), QString::fromLatin1(line)));
        case Next::Failed:
            return false;
        }
        switch (r.kind) {
        case ImapResponse::Kind::Tagged:
            if (r.tag != tag)
                return lose(Failure::Transient,
                            mailtext::badReply(host(), QStringLiteral("別のコマンドへの応答 %1").arg(mailtext::printable(r.tag.left(20)))));
            *tagged = std::move(r);
            return true;
        case ImapResponse::Kind::Continuation:
            return lose(Failure::Transient,
                        mailtext::badReply(host(), QStringLiteral("求めていない続行要求")));
        case ImapResponse::Kind::Untagged:
            if (r.status == "BYE")
                m_bye = r.text;
            onUntagged(r);
            break;
        }
    }
}

bool ImapIdle::open(const MailEndpoint& endpoint, const QString& user, const QString& password)
{
    m_failure = Failure::None;
    m_errorText.clear();
    m_mailbox = Mailbox();
    m_idling = false;
    m_reading = false;
    m_bye.clear();
    if (!m_client.connectToServer(endpoint) || !m_client.login(user, password)) {
        using Kind = ImapClient::ErrorKind;
        const Kind kind = m_client.errorKind();
        const QByteArray code = m_client.lastResponseCode();
        const bool busy = code == "INUSE" || code == "UNAVAILABLE";
        const bool refused = m_client.tlsFailed() || kind == Kind::LoginDisabled || kind == Kind::BadCredentials
                             || (kind == Kind::LoginRefused && !busy);
        const QString text = m_client.errorText();
        logout();
        return lose(refused ? Failure::Refused : Failure::Transient, text);
    }
    if (!m_client.capabilities().contains("IDLE")) {
        // Servers may offer more once logged in, and not all say so unasked.
        QList<QByteArray> after;
        ImapResponse tagged;
        if (!command("CAPABILITY", &tagged, [&after](const ImapResponse& r) {
                if (r.name == "CAPABILITY")
                    after = r.capabilities();
            }))
            return false;
        if (!after.contains("IDLE"))
            return lose(Failure::Unsupported, QStringLiteral("サーバー「%1」は IDLE に対応していません").arg(host()));
    }
    ImapResponse opened;
    if (!command("EXAMINE INBOX", &opened, [this](const ImapResponse& r) {
            if (r.name == "EXISTS")
                m_mailbox.exists = r.number;
            else if (r.status == "OK" && r.code == "UIDNEXT")
                m_mailbox.uidNext = r.codeText.trimmed().toLongLong();
            else if (r.status == "OK" && r.code == "UIDVALIDITY")
                m_mailbox.uidValidity = r.codeText.trimmed().toLongLong();
        }))
        return false;
    if (opened.status != "OK")
        return lose(Failure::Unsupported, QStringLiteral("受信箱（INBOX）を開けません（%1）").arg(mailtext::serverSaid(opened.text)));
    return true;
}

ImapIdle::Stop ImapIdle::watch(int wakeFd, const std::function<void()>& changed)
{
    MailTransport& t = m_client.transport();
    const auto untagged = [&](const ImapResponse& r) {
        if (r.status == "BYE")
            m_bye = r.text;
        else if (isChange(r))
            changed();
    };
    for (;;) {
        // The bound on a whole session was for the login; a watch lasts.
        t.startSession(INT_MAX);
        const QByteArray tag = nextTag();
        if (!t.write(tag + " IDLE\r\n")) {
            loseFromTransport(QStringLiteral("IDLE"));
            return Stop::Lost;
        }
        m_idling = true;
        const QDeadlineTimer goAhead = replyDeadline();
        for (bool waiting = true; waiting;) {
            ImapResponse r;
            switch (next(goAhead, wakeFd, &r)) {
            case Next::Woken:
                return Stop::Woken;
            case Next::Quiet:
                lose(Failure::Transient, QStringLiteral("サーバー「%1」が IDLE に応じません").arg(host()));
                return Stop::Lost;
            case Next::Failed:
                return Stop::Lost;
            case Next::Got:
                break;
            }
            if (r.kind == ImapResponse::Kind::Continuation) {
                waiting = false;
            } else if (r.kind == ImapResponse::Kind::Tagged) {
                // Refused after all (or some other answer): no watching here.
                lose(r.tag == tag && r.status != "OK" ? Failure::Unsupported : Failure::Transient,
                     QStringLiteral("サーバー「%1」が IDLE を受け付けません（%2）").arg(host(), mailtext::serverSaid(r.text)));
                return Stop::Lost;
            } else {
                untagged(r);
            }
        }

        // Idle until the renewal is due, the server falls silent, or a wake.
        const QDeadlineTimer renew(m_reIdleMs);
        bool endedByServer = false;
        while (!endedByServer && !renew.hasExpired()) {
            ImapResponse r;
            const Next n = next(QDeadlineTimer(std::min<qint64>(renew.remainingTime(), m_silenceMs)), wakeFd, &r);
            if (n == Next::Woken)
                return Stop::Woken;
            if (n == Next::Failed)
                return Stop::Lost;
            if (n == Next::Quiet)
                break;
            if (r.kind == ImapResponse::Kind::Tagged) {
                if (r.tag != tag || r.status != "OK") {
                    lose(Failure::Transient, QStringLiteral("サーバー「%1」が IDLE を終えました（%2）").arg(host(), mailtext::serverSaid(r.text)));
                    return Stop::Lost;
                }
                endedByServer = true; // it may end an IDLE itself: start another
                m_idling = false;
            } else if (r.kind == ImapResponse::Kind::Untagged) {
                untagged(r);
            }
        }
        if (endedByServer)
            continue;

        // DONE ends this IDLE; its answer within the reply time-out shows
        // that the connection still carries.
        if (!t.write("DONE\r\n")) {
            loseFromTransport(QStringLiteral("DONE"));
            return Stop::Lost;
        }
        m_idling = false;
        const QDeadlineTimer answered = replyDeadline();
        for (bool waiting = true; waiting;) {
            ImapResponse r;
            switch (next(answered, wakeFd, &r)) {
            case Next::Woken:
                return Stop::Woken;
            case Next::Quiet:
                lose(Failure::Transient,
                     QStringLiteral("サーバー「%1」の応答がありません（接続が切れたようです）").arg(host()));
                return Stop::Lost;
            case Next::Failed:
                return Stop::Lost;
            case Next::Got:
                break;
            }
            if (r.kind == ImapResponse::Kind::Tagged) {
                if (r.tag != tag || r.status != "OK") {
                    lose(Failure::Transient, QStringLiteral("サーバー「%1」が IDLE を終えられません（%2）").arg(host(), mailtext::serverSaid(r.text)));
                    return Stop::Lost;
                }
                waiting = false;
            } else if (r.kind == ImapResponse::Kind::Untagged) {
                untagged(r);
            }
        }
    }
}

void ImapIdle::logout()
{
    MailTransport& t = m_client.transport();
    if (t.isConnected())
        t.sendWithoutWaiting((m_idling ? QByteArray("DONE\r\n") : QByteArray()) + nextTag() + " LOGOUT\r\n");
    t.abort();
    m_idling = false;
}

} // namespace qp
