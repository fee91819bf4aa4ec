#pragma once
#include <QHash>
#include <map>
#include <memory>
#include <optional>

#include "mail/HeaderDecoder.h"
#include "mail/ImapClient.h"
#include "mail/MailSession.h"
#include "mail/MailLibrary.h"
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

    void setTimeouts(const MailTimeouts& timeouts) { m_setup.timeouts = timeouts; }
    MailTimeouts timeouts() const { return m_setup.timeouts; }
    // The bound on a whole session; 0 = each protocol's own (tests shorten it).
    void setSessionMs(int ms) { m_setup.sessionMs = ms; }
    void setExtraCaCertificates(const QList<QSslCertificate>& certs) { m_setup.extraCas = certs; }
    // A non-empty text makes every connect fail with it, shown in the error
    // box: the user's own certificate file is there but cannot be used.
    void setCaFileProblem(const QString& text) { m_caFileProblem = text; }
    // Connect from this local address (tests use 127.0.0.2 … to stay clear
    // of a server's delay after a failed login).
    void setLocalAddress(const QHostAddress& address) { m_setup.localAddress = address; }
    // The file that remembers which servers were seen with TLS (the program
    // keeps it in its data folder); without one, only for this object's life.
    void setTlsMemoryFile(const QString& path) { m_setup.tlsMemory.setPath(path); }
    // The file that keeps what checks read of each message between runs
    // (the program keeps it in its data folder, owner-only); without one,
    // only for this object's life. Written when a session that changed it
    // closes.
    void setHeaderMemoryFile(const QString& path) { m_setup.headerMemory.setPath(path); }
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
    int authenticateWithToken(int handle, const QString& id, std::shared_ptr<OAuthTokenSource> source) override;
    bool lastLoginTokenRefused() const override { return m_lastTokenRefused; }
    int loginDelaySeconds(int handle) const override;
    QString takeServerNotice(int handle) override;
    // What the sessions of this run remember of the messages they read.
    const Pop3HeaderMemory& headerMemory() const { return m_setup.headerMemory; }

    // false: one command at a time even when the server offers PIPELINING
    // (tests and the benchmark compare both).
    void setPipelining(bool allowed) { m_setup.pipelining = allowed; }

    // The text NMailGetMessage hands out.
    QString lastError() const { return m_lastError; }

private:
    // The session behind a handle, or null.
    MailSession* session(int handle) const;
    int newHandle();
    int failed(const QString& text);
    int notConnected();
    int mailStatus(int handle, int number, QString& subject, QString& date, QString& from, QString& header);
    void fillHeaderTexts(const QByteArray& headerBlock, QString& subject, QString& date, QString& from,
                         QString& header);
    QString fitBuffer(const QString& text) const;

    MailSessionSetup m_setup;
    std::map<int, std::unique_ptr<MailSession>> m_sessions;
    int m_nextHandle = 1;
    int m_textBufferSize = kDefaultTextBufferSize;
    QString m_caFileProblem;
    QSet<QString> m_noticesGiven; // servers whose notice was handed out
    bool m_lastConnectTls = false;
    bool m_lastLoginBusy = false;
    bool m_lastTokenRefused = false;
    // The last status read: GetMail of the same message is served from it.
    int m_statusHandle = 0;
    int m_statusNumber = 0;
    int m_statusResult = -1;
    QString m_statusError;
    QString m_lastError;
    QByteArray m_lastHeaderBlock;
    std::optional<mailheader::DecodedHeader> m_lastDecoded;
    // Decoded texts by the fields they came from, of this session and the
    // one before: a check that finds nothing new answers every message from
    // the header memory, and decoding those again cost most of its time.
    // Bounded by what two sessions read (the header memory's bound).
    QHash<QByteArray, mailheader::DecodedHeader> m_decodedNow, m_decodedBefore;
};

} // namespace qp
