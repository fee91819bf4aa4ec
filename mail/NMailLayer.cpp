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
    for (auto& [handle, client] : m_connections)
        client->quit();
    for (auto& [handle, client] : m_imapConnections)
        client->logout();
}

const Pop3Client* NMail::client(int handle) const
{
    const auto it = m_connections.find(handle);
    return it == m_connections.end() ? nullptr : it->second.get();
}

const ImapClient* NMail::imapClient(int handle) const
{
    const auto it = m_imapConnections.find(handle);
    return it == m_imapConnections.end() ? nullptr : it->second.get();
}

ImapClient* NMail::findImap(int handle)
{
    const auto it = m_imapConnections.find(handle);
    return it == m_imapConnections.end() ? nullptr : it->second.get();
}

int NMail::newHandle()
{
    // Handles count up and are not reused, so a stale handle never reaches
    // another connection. Far past any real use, wrap to 1.
    const int handle = m_nextHandle;
    m_nextHandle = m_nextHandle == INT_MAX ? 1 : m_nextHandle + 1;
    return handle;
}

Pop3Client* NMail::find(int handle)
{
    const auto it = m_connections.find(handle);
    return it == m_connections.end() ? nullptr : it->second.get();
}

int NMail::failed(const QString& text)
{
    m_lastError = text;
    return -1;
}

int NMail::failedFrom(const Pop3Client& client)
{
    return failed(client.errorText());
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
    for (auto& [handle, client] : m_connections)
        client->quit();
    m_connections.clear();
    for (auto& [handle, client] : m_imapConnections)
        client->logout();
    m_imapConnections.clear();
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

template <class Client>
void NMail::setUp(Client& client)
{
    client.setTimeouts(m_timeouts);
    if (m_sessionMs > 0)
        client.setSessionMs(m_sessionMs);
    client.setExtraCaCertificates(m_extraCas);
    client.setLocalAddress(m_localAddress);
    client.setTlsMemory(&m_tlsMemory);
}

std::unique_ptr<Pop3Client> NMail::newPop3Client(const MailEndpoint& endpoint)
{
    auto client = std::make_unique<Pop3Client>();
    setUp(*client);
    client->setPipelining(m_pipelining && !m_pipeliningFailed.contains(endpoint.serverKey()));
    client->setHeaderMemory(&m_headerMemory);
    return client;
}

template <class Client>
int NMail::connectClient(std::unique_ptr<Client> client, const MailEndpoint& endpoint, void (Client::*hangUp)(),
                         std::map<int, std::unique_ptr<Client>>& connections)
{
    setUp(*client);
    if (!client->connectToServer(endpoint)) {
        failed(client->errorText());
        m_lastConnectTls = client->tlsFailed();
        (client.get()->*hangUp)();
        return -1;
    }
    const int handle = newHandle();
    connections[handle] = std::move(client);
    return handle;
}

const ImapMessage* NMail::imapMessage(ImapClient& client, int number)
{
    const ImapMessage* m = client.message(number);
    if (!m) {
        failed(client.errorText());
        return nullptr;
    }
    // Expunged by another client between the search and the fetch.
    if (!m->found) {
        failed(QStringLiteral("メール %1 はサーバーにありません").arg(number));
        return nullptr;
    }
    return m;
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
    if (const auto imap = parseImapServer(server))
        return connectClient(std::make_unique<ImapClient>(), *imap, &ImapClient::logout, m_imapConnections);
    const auto endpoint = parsePop3Server(server);
    if (!endpoint)
        return failed(QStringLiteral("サーバー名「%1」が正しくありません").arg(server.trimmed().left(100)));
    return connectClient(newPop3Client(*endpoint), *endpoint, &Pop3Client::quit, m_connections);
}

int NMail::NMailPop3Authenticate(int handle, const QString& id, const QString& password, int apop)
{
    m_lastLoginBusy = false;
    if (ImapClient* imap = findImap(handle)) {
        // APOP has no meaning on IMAP. The count is the unseen messages.
        int count = 0;
        if (!imap->login(id, password) || !imap->openInbox(&count)) {
            // RFC 5530: another session holds the mailbox, or the server
            // cannot serve it just now.
            const QByteArray code = imap->lastResponseCode();
            m_lastLoginBusy = code == "INUSE" || code == "UNAVAILABLE";
            return failed(imap->errorText());
        }
        return count;
    }
    Pop3Client* c = find(handle);
    if (!c)
        return failed(QStringLiteral("サーバーに接続していません"));
    // The count is the mailbox after login; capabilities may differ now.
    auto login = [&](Pop3Client& client, int* count) {
        return (apop != 0 ? client.loginApop(id, password) : client.loginUserPass(id, password))
               && client.readMailbox(count);
    };
    int count = 0;
    if (login(*c, &count))
        return count;
    if (c->pipelineFailed()) {
        // Replies to what was sent ahead never came (a server that offers
        // PIPELINING and drops what is queued): once more on a new
        // connection, one command at a time, as every later session there.
        const MailEndpoint endpoint = c->endpoint();
        m_pipeliningFailed.insert(endpoint.serverKey());
        auto fresh = newPop3Client(endpoint);
        c = fresh.get();
        m_connections[handle] = std::move(fresh); // the old one goes without QUIT: it is out of step
        if (c->connectToServer(endpoint) && login(*c, &count))
            return count;
    }
    m_lastLoginBusy = c->errorKind() == Pop3Client::ErrorKind::LoginBusy;
    return failedFrom(*c);
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
    if (ImapClient* imap = findImap(handle)) {
        const ImapMessage* m = imapMessage(*imap, number);
        if (!m)
            return -1;
        fillHeaderTexts(m->headerFields, subject, date, from, header);
        return 0;
    }
    Pop3Client* c = find(handle);
    if (!c)
        return failed(QStringLiteral("サーバーに接続していません"));
    QByteArray fields;
    if (!c->headerFields(number, &fields))
        return failedFrom(*c);
    fillHeaderTexts(fields, subject, date, from, header);
    return 0;
}

int NMail::NMailPop3GetMailSize(int handle, int number)
{
    if (ImapClient* imap = findImap(handle)) {
        const ImapMessage* m = imapMessage(*imap, number);
        if (!m)
            return -1;
        if (m->size < 0)
            return failed(QStringLiteral("メール %1 の大きさを調べられません").arg(number));
        if (m->size > INT_MAX)
            return failed(QStringLiteral("メール %1 は大きすぎます（%2 バイト）").arg(number).arg(m->size));
        return int(m->size);
    }
    Pop3Client* c = find(handle);
    if (!c)
        return failed(QStringLiteral("サーバーに接続していません"));
    qint64 size = 0;
    if (!c->list(number, &size))
        return failedFrom(*c);
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
    if (const auto imap = m_imapConnections.find(handle); imap != m_imapConnections.end()) {
        imap->second->logout();
        m_imapConnections.erase(imap);
        return 0;
    }
    const auto it = m_connections.find(handle);
    if (it == m_connections.end())
        return failed(QStringLiteral("サーバーに接続していません"));
    it->second->quit();
    if (it->second->pipelineFailed()) {
        m_pipeliningFailed.insert(it->second->endpoint().serverKey());
    }
    m_connections.erase(it);
    return 0;
}

void NMail::planWalk(int handle, int count)
{
    if (Pop3Client* c = find(handle))
        c->planWalk(count);
}

int NMail::loginDelaySeconds(int handle) const
{
    const Pop3Client* c = client(handle);
    return c ? c->loginDelaySeconds() : 0;
}

bool NMail::isSessionUsable(int handle) const
{
    if (const ImapClient* imap = imapClient(handle))
        return !imap->isBroken();
    const Pop3Client* c = client(handle);
    return c && c->isConnected() && !c->isBroken();
}

int NMail::NMailGetMessage(int /*code*/, QString& buffer, int& size)
{
    buffer = size > 0 ? m_lastError.left(size) : QString();
    size = int(buffer.size());
    return size;
}

} // namespace qp
