#pragma once
#include <QHostAddress>
#include <QList>
#include <QSet>
#include <QSslCertificate>
#include <map>
#include <memory>
#include <optional>

#include "mail/HeaderDecoder.h"
#include "mail/ImapClient.h"
#include "mail/NMail.h"
#include "mail/Pop3Client.h"

namespace qp {

// The mail library over our own POP3 and IMAP clients. One object serves the whole
// program (create it at start-up, keep it until shutdown); each connection
// is a handle from NMailPop3Connect until NMailPop3Close.
//
//   qp::NMail mail;
//   mail.NMailInitializeWinSock();
//   mail.NMailSetOption(1, 8192);
//   int h = mail.NMailPop3Connect("pop.example.jp");      // or "host:995", "pop3s://host",
//                                                          // IMAP: "imaps://host", "imap://host", "host:993"
//   int n = mail.NMailPop3Authenticate(h, id, pass, 0);    // -1: APOP
//   ...
//   mail.NMailPop3Close(h);
//
// Tests shorten the time-outs and trust their own CA through the setters;
// there is no environment variable or file for either.
class NMail : public MailLibrary {
public:
    // Option 1: the most bytes (Shift-JIS counting) a returned header text
    // may take, terminating NUL included, so that a hostile header cannot
    // grow without bound. Longer texts are cut at a character boundary.
    static constexpr int kOptionTextBufferSize = 1;
    static constexpr int kDefaultTextBufferSize = 8192;

    NMail();
    ~NMail() override;

    void setTimeouts(const Pop3Timeouts& timeouts) { m_timeouts = timeouts; }
    Pop3Timeouts timeouts() const { return m_timeouts; }
    // The bound on a whole session; 0 = each protocol's own (tests shorten it).
    void setSessionMs(int ms) { m_sessionMs = ms; }
    void setExtraCaCertificates(const QList<QSslCertificate>& certs) { m_extraCas = certs; }
    // A non-empty text makes every connect fail with it, shown in the error
    // box: the user's own certificate file is there but cannot be used.
    void setCaFileProblem(const QString& text) { m_caFileProblem = text; }
    // Connect from this local address (tests use 127.0.0.2 … to stay clear
    // of a server's delay after a failed login).
    void setLocalAddress(const QHostAddress& address) { m_localAddress = address; }
    // The file that remembers which servers were seen with TLS (the program
    // keeps it in its data folder); without one, only for this object's life.
    void setTlsMemoryFile(const QString& path) { m_tlsMemory.setPath(path); }
    // The client behind a handle (null when there is none), for tests.
    const Pop3Client* client(int handle) const;
    const ImapClient* imapClient(int handle) const;

    int NMailInitializeWinSock() override;
    int NMailEndWinSock() override;
    int NMailSetOption(int option, int value) override;
    int NMailPop3Connect(const QString& server) override;
    int NMailPop3Authenticate(int handle, const QString& id, const QString& password, int apop) override;
    int NMailPop3GetMailStatus(int handle, int number, QString& subject, QString& date, QString& from,
                               QString& header, int flag) override;
    int NMailPop3GetMailSize(int handle, int number) override;
    int NMailPop3GetMail(int handle, int number, QString& subject, QString& date, QString& from,
                         QString& header, QString& body, int flag1, int flag2) override;
    int NMailPop3Close(int handle) override;
    int NMailGetMessage(int code, QString& buffer, int& size) override;
    bool lastConnectFailureIsTls() const override { return m_lastConnectTls; }
    void planWalk(int handle, int count) override;
    bool isSessionUsable(int handle) const override;
    bool lastLoginWasBusy() const override { return m_lastLoginBusy; }
    int loginDelaySeconds(int handle) const override;
    // What the POP3 sessions of this run remember of the messages they read.
    const Pop3HeaderMemory& headerMemory() const { return m_headerMemory; }

    // false: one command at a time even when the server offers PIPELINING
    // (tests and the benchmark compare both).
    void setPipelining(bool allowed) { m_pipelining = allowed; }

    // The text NMailGetMessage hands out.
    QString lastError() const { return m_lastError; }

private:
    Pop3Client* find(int handle);
    ImapClient* findImap(int handle);
    int newHandle();
    // Sets up a client of either protocol and connects it; a handle in
    // connections, or -1 with the error kept and the client hung up.
    template <class Client>
    void setUp(Client& client);
    std::unique_ptr<Pop3Client> newPop3Client(const MailEndpoint& endpoint);
    template <class Client>
    int connectClient(std::unique_ptr<Client> client, const MailEndpoint& endpoint, void (Client::*hangUp)(),
                      std::map<int, std::unique_ptr<Client>>& connections);
    // The unseen message behind a number, or null with the error set.
    const ImapMessage* imapMessage(ImapClient& client, int number);
    int failed(const QString& text);
    int failedFrom(const Pop3Client& client);
    int mailStatus(int handle, int number, QString& subject, QString& date, QString& from, QString& header);
    void fillHeaderTexts(const QByteArray& headerBlock, QString& subject, QString& date, QString& from,
                         QString& header);
    QString fitBuffer(const QString& text) const;

    std::map<int, std::unique_ptr<Pop3Client>> m_connections;
    std::map<int, std::unique_ptr<ImapClient>> m_imapConnections;
    int m_nextHandle = 1;
    int m_textBufferSize = kDefaultTextBufferSize;
    Pop3Timeouts m_timeouts;
    int m_sessionMs = 0;
    QList<QSslCertificate> m_extraCas;
    QString m_caFileProblem;
    QHostAddress m_localAddress;
    TlsMemory m_tlsMemory;
    Pop3HeaderMemory m_headerMemory;
    bool m_pipelining = true;
    // Servers whose walk sent ahead stalled or lost replies: one command at
    // a time with them for the rest of the run.
    QSet<QString> m_pipeliningFailed;
    bool m_lastConnectTls = false;
    bool m_lastLoginBusy = false;
    // The last status read: GetMail of the same message is served from it.
    int m_statusHandle = 0;
    int m_statusNumber = 0;
    int m_statusResult = -1;
    QString m_statusError;
    QString m_lastError;
    QByteArray m_lastHeaderBlock;
    std::optional<mailheader::DecodedHeader> m_lastDecoded;
};

} // namespace qp
