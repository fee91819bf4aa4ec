#include "NMailLayer.h"

#include <climits>

#include "mail/HeaderDecoder.h"

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

const Pop3Client* NMail::client(int handle) const
{
    const auto it = m_sessions.find(handle);
    return it == m_sessions.end() ? nullptr : it->second->pop3();
}

const ImapClient* NMail::imapClient(int handle) const
{
    const auto it = m_sessions.find(handle);
    return it == m_sessions.end() ? nullptr : it->second->imap();
}

int NMail::newHandle()
{
    // Handles count up and are not reused, so a stale handle never reaches
    // another connection. Far past any real use, wrap to 1.
    const int handle = m_nextHandle;
    m_nextHandle = m_nextHandle == INT_MAX ? 1 : m_nextHandle + 1;
    return handle;
}

MailSession* NMail::find(int handle)
{
    const auto it = m_sessions.find(handle);
    if (it == m_sessions.end()) {
        failed(QStringLiteral("サーバーに接続していません"));
        return nullptr;
    }
    return it->second.get();
}

int NMail::failed(const QString& text)
{
    m_lastError = text;
    return -1;
}

int NMail::failedFrom(const MailSession& session)
{
    return failed(session.errorText());
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
    // A check decodes each header twice (status, then retrieval): the second
    // time is a comparison.
    if (!m_lastDecoded || headerBlock != m_lastHeaderBlock) {
        m_lastHeaderBlock = headerBlock;
        m_lastDecoded = mailheader::decodeHeader(headerBlock);
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
    QString error;
    std::unique_ptr<MailSession> session = makeMailSession(server, &error);
    if (!session)
        return failed(error);
    if (!session->connect({m_timeouts, m_extraCas, m_localAddress, &m_tlsMemory, m_pipelining})) {
        failedFrom(*session);
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
    MailSession* session = find(handle);
    if (!session)
        return -1;
    const int count = session->login(id, password, apop != 0);
    return count < 0 ? failedFrom(*session) : count;
}

int NMail::NMailPop3GetMailStatus(int handle, int number, QString& subject, QString& date, QString& from,
                                  QString& header, int /*flag*/)
{
    subject.clear();
    date.clear();
    from.clear();
    header.clear();
    MailSession* session = find(handle);
    if (!session)
        return -1;
    QByteArray block;
    if (!session->header(number, &block))
        return failedFrom(*session);
    fillHeaderTexts(block, subject, date, from, header);
    return 0;
}

int NMail::NMailPop3GetMailSize(int handle, int number)
{
    MailSession* session = find(handle);
    if (!session)
        return -1;
    qint64 size = 0;
    if (!session->size(number, &size))
        return failedFrom(*session);
    if (size > INT_MAX)
        return failed(QStringLiteral("メール %1 は大きすぎます（%2 バイト）").arg(number).arg(size));
    return int(size);
}

int NMail::NMailPop3GetMail(int handle, int number, QString& subject, QString& date, QString& from,
                            QString& header, QString& body, int /*flag1*/, int /*flag2*/)
{
    subject.clear();
    date.clear();
    from.clear();
    header.clear();
    body.clear();
    MailSession* session = find(handle);
    if (!session)
        return -1;
    QByteArray block;
    if (!session->message(number, &block, &body))
        return failedFrom(*session);
    fillHeaderTexts(block, subject, date, from, header);
    return 0;
}

int NMail::NMailPop3Close(int handle)
{
    const auto it = m_sessions.find(handle);
    if (it == m_sessions.end())
        return failed(QStringLiteral("サーバーに接続していません"));
    it->second->close();
    m_sessions.erase(it);
    return 0;
}

void NMail::planWalk(int handle, int count)
{
    if (const auto it = m_sessions.find(handle); it != m_sessions.end())
        it->second->planWalk(count);
}

bool NMail::isSessionUsable(int handle) const
{
    const auto it = m_sessions.find(handle);
    return it != m_sessions.end() && it->second->isUsable();
}

int NMail::NMailGetMessage(int /*code*/, QString& buffer, int& size)
{
    buffer = size > 0 ? m_lastError.left(size) : QString();
    size = int(buffer.size());
    return size;
}

} // namespace qp
