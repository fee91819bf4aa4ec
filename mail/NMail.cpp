#include "NMail.h"

#include <climits>

#include "mail/HeaderDecoder.h"
#include "mail/ImapSession.h"
#include "mail/Pop3Session.h"

namespace qp {

namespace {

// Bytes the character takes in Shift-JIS (CP932): one for ASCII and the
// half-width katakana, two for the rest. Characters CP932 lacks count as
// two; only the bound matters here, not the exact encoding.
int sjisWidth(char32_t c)
{
    if (c < 0x80 || (c >= 0xFF61 && c <= 0xFF9F))
        return 1;
    return 2;
}

} // namespace

NMail::NMail() = default;

NMail::~NMail()
{
    // Connections left open by the caller still end politely.
    for (auto& [handle, session] : m_sessions)
        session->close();
}

MailSession* NMail::session(int handle) const
{
    const auto it = m_sessions.find(handle);
    return it == m_sessions.end() ? nullptr : it->second.get();
}

const Pop3Client* NMail::client(int handle) const
{
    const auto* pop3 = dynamic_cast<const Pop3Session*>(session(handle));
    return pop3 ? &pop3->client() : nullptr;
}

const ImapClient* NMail::imapClient(int handle) const
{
    const auto* imap = dynamic_cast<const ImapSession*>(session(handle));
    return imap ? &imap->client() : nullptr;
}

int NMail::newHandle()
{
    // Handles count up and are not reused, so a stale handle never reaches
    // another connection. Far past any real use, wrap to 1.
    const int handle = m_nextHandle;
    m_nextHandle = m_nextHandle == INT_MAX ? 1 : m_nextHandle + 1;
    return handle;
}

int NMail::failed(const QString& text)
{
    m_lastError = text;
    return -1;
}

int NMail::notConnected()
{
    return failed(QStringLiteral("サーバーに接続していません"));
}

QString NMail::fitBuffer(const QString& text) const
{
    const int limit = m_textBufferSize - 1; // room for the NUL
    if (text.size() <= limit / 2) // no UTF-16 unit takes more than two bytes
        return text;
    int bytes = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : text.at(i).unicode();
        const int w = sjisWidth(c);
        if (bytes + w > limit)
            return text.left(i);
        bytes += w;
        i += pair ? 2 : 1;
    }
    return text;
}

void NMail::fillHeaderTexts(const QByteArray& headerBlock, QString& subject, QString& date, QString& from,
                            QString& header)
{
    // A check asks for each header twice (status, then the mail): the second
    // time is a comparison.
    if (!m_lastDecoded || headerBlock != m_lastHeaderBlock) {
        m_lastHeaderBlock = headerBlock;
        auto now = m_decodedNow.constFind(headerBlock);
        if (now == m_decodedNow.cend()) {
            const auto before = m_decodedBefore.constFind(headerBlock);
            now = m_decodedNow.insert(headerBlock, before != m_decodedBefore.cend()
                                                       ? *before
                                                       : mailheader::decodeHeader(headerBlock));
        }
        m_lastDecoded = *now;
    }
    const mailheader::DecodedHeader& h = *m_lastDecoded;
    subject = fitBuffer(h.subject);
    date = fitBuffer(h.date);
    from = fitBuffer(h.from);
    header = fitBuffer(h.header);
}

int NMail::NMailInitializeWinSock()
{
    // Nothing to start. The TLS backend is left to the first connection
    // that needs it: loaded here it kept about 4.5 MB resident (OpenSSL)
    // for the whole run of a program that may never use TLS, to save a few
    // milliseconds once.
    return 0;
}

int NMail::NMailEndWinSock()
{
    for (auto& [handle, session] : m_sessions)
        session->close();
    m_sessions.clear();
    m_setup.headerMemory.save();
    return 0;
}

int NMail::NMailSetOption(int option, int value)
{
    if (option == kOptionTextBufferSize) {
        // A buffer needs room for at least one character and the NUL.
        if (value < 3)
            return -1;
        const int previous = m_textBufferSize;
        m_textBufferSize = value;
        return previous;
    }
    return -1;
}

int NMail::NMailPop3Connect(const QString& server)
{
    m_lastConnectTls = false;
    if (!m_caFileProblem.isEmpty()) {
        // The user's own authorities are unusable: no session at all rather
        // than one that trusts less, or more, than the user set up.
        m_lastConnectTls = true;
        return failed(m_caFileProblem);
    }
    // The same field names an IMAP server by its own forms; all others are POP3.
    std::unique_ptr<MailSession> session;
    if (const auto imap = parseImapServer(server))
        session = std::make_unique<ImapSession>(m_setup, *imap);
    else if (const auto pop3 = parsePop3Server(server))
        session = std::make_unique<Pop3Session>(m_setup, *pop3);
    else
        return failed(QStringLiteral("サーバー名「%1」が正しくありません").arg(server.trimmed().left(100)));
    if (!session->connect()) {
        failed(session->errorText());
        m_lastConnectTls = session->tlsFailed();
        session->close();
        return -1;
    }
    const int handle = newHandle();
    m_sessions[handle] = std::move(session);
    return handle;
}

int NMail::NMailPop3Authenticate(int handle, const QString& id, const QString& password, int apop)
{
    m_lastLoginBusy = false;
    m_lastTokenRefused = false;
    MailSession* s = session(handle);
    if (!s)
        return notConnected();
    const int count = s->authenticate(id, password, apop != 0);
    if (count < 0) {
        m_lastLoginBusy = s->loginBusy();
        return failed(s->errorText());
    }
    return count;
}

int NMail::authenticateWithToken(int handle, const QString& id, std::shared_ptr<OAuthTokenSource> source)
{
    m_lastLoginBusy = false;
    m_lastTokenRefused = false;
    MailSession* s = session(handle);
    if (!s)
        return notConnected();
    const int count = s->authenticateWithToken(id, *source);
    if (count < 0) {
        m_lastTokenRefused = s->tokenRefused();
        return failed(s->errorText());
    }
    return count;
}

int NMail::NMailPop3GetMailStatus(int handle, int number, QString& subject, QString& date, QString& from,
                                  QString& header, int /*flag*/)
{
    m_statusHandle = handle;
    m_statusNumber = number;
    m_statusResult = mailStatus(handle, number, subject, date, from, header);
    m_statusError = m_lastError;
    return m_statusResult;
}

int NMail::mailStatus(int handle, int number, QString& subject, QString& date, QString& from, QString& header)
{
    subject.clear();
    date.clear();
    from.clear();
    header.clear();
    MailSession* s = session(handle);
    if (!s)
        return notConnected();
    QByteArray fields;
    if (!s->headerFields(number, &fields))
        return failed(s->errorText());
    fillHeaderTexts(fields, subject, date, from, header);
    return 0;
}

int NMail::NMailPop3GetMailSize(int handle, int number)
{
    MailSession* s = session(handle);
    if (!s)
        return notConnected();
    qint64 size = 0;
    if (!s->size(number, &size))
        return failed(s->errorText());
    if (size > INT_MAX)
        return failed(QStringLiteral("メール %1 は大きすぎます（%2 バイト）").arg(number).arg(size));
    return int(size);
}

int NMail::NMailPop3GetMail(int handle, int number, QString& subject, QString& date, QString& from,
                            QString& header, QString& body, int /*flag1*/, int /*flag2*/)
{
    // Served from the header the status call read: the body is never
    // downloaded. Nothing uses it; downloading it cost the user's bandwidth
    // at every check (mail stays on the server), and POP3's RETR makes many
    // servers mark the message read for every other mail program.
    body.clear();
    if (handle == m_statusHandle && number == m_statusNumber && m_statusResult < 0) {
        subject.clear();
        date.clear();
        from.clear();
        header.clear();
        return failed(m_statusError);
    }
    if (handle == m_statusHandle && number == m_statusNumber && m_lastDecoded) {
        const mailheader::DecodedHeader& h = *m_lastDecoded;
        subject = fitBuffer(h.subject);
        date = fitBuffer(h.date);
        from = fitBuffer(h.from);
        header = fitBuffer(h.header);
        return 0;
    }
    return NMailPop3GetMailStatus(handle, number, subject, date, from, header, 0);
}

int NMail::NMailPop3Close(int handle)
{
    const auto it = m_sessions.find(handle);
    if (it == m_sessions.end())
        return notConnected();
    it->second->close();
    m_sessions.erase(it);
    if (m_sessions.empty()) {
        m_decodedBefore = std::move(m_decodedNow);
        m_decodedNow.clear();
    }
    // What the session read is kept for the next start; a file that cannot
    // be written costs the next start a full read, nothing more.
    m_setup.headerMemory.save();
    return 0;
}

QString NMail::takeServerNotice(int handle)
{
    const MailSession* s = session(handle);
    if (!s)
        return QString();
    const QString text = s->headersUnreadable();
    if (text.isEmpty() || m_noticesGiven.contains(s->serverKey()))
        return QString();
    m_noticesGiven.insert(s->serverKey());
    return text;
}

void NMail::planWalk(int handle, int count)
{
    if (MailSession* s = session(handle))
        s->planWalk(count);
}

int NMail::loginDelaySeconds(int handle) const
{
    const MailSession* s = session(handle);
    return s ? s->loginDelaySeconds() : 0;
}

bool NMail::isSessionUsable(int handle) const
{
    const MailSession* s = session(handle);
    return s && s->isUsable();
}

int NMail::NMailGetMessage(int /*code*/, QString& buffer, int& size)
{
    buffer = size > 0 ? m_lastError.left(size) : QString();
    size = int(buffer.size());
    return size;
}

} // namespace qp
