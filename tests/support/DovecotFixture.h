#pragma once
#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSslCertificate>
#include <QString>
#include <QTemporaryDir>

#include "TestCertificates.h"

namespace qp::test {

// A private Dovecot POP3 and IMAP server on loopback for integration tests.
//
// Everything lives in a temp folder of its own (mode 0755, so Dovecot's
// auth process can read the passwd file): config, passwd-file, homes with
// Maildirs, base_dir, state_dir, log, and a CA plus a server certificate made
// with openssl at construction. Dovecot listens on 127.0.0.1 only, on two
// free high ports each: plain POP3 (STLS offered when TLS is on) and POP3S,
// plain IMAP (STARTTLS offered when TLS is on) and IMAPS. The
// system's mail setup is never read or touched. Needs the dovecot binary and
// root (Dovecot drops to nobody for the mail processes); see available().
//
//   qp::test::DovecotFixture dovecot;
//   if (!qp::test::DovecotFixture::available()) QSKIP("no dovecot");
//   QVERIFY(dovecot.addUser("alice", "secret"));
//   QVERIFY(dovecot.addMessage("alice", "From: a@example.com\r\n\r\nbody\r\n"));
//   QVERIFY2(dovecot.start(), qPrintable(dovecot.errorString()));
//   ... connect to dovecot.host():dovecot.pop3Port(), trust dovecot.caCertificates() ...
//   QVERIFY(dovecot.waitForLog("top=1/"));    // the session's summary line
//
// Users and messages may be added before or after start(). Messages are
// numbered by the server in the order they were added. The destructor stops
// the server by its own master.pid (also when a test failed) and removes the
// folder.
//
// Dovecot delays every login from an address that just failed one by several
// seconds (even a correct one). A test of a wrong password either uses an
// instance of its own or connects from another loopback address.
class DovecotFixture {
public:
    struct Options {
        bool tls = true;           // false: no STLS/STARTTLS, no POP3S/IMAPS listener
        QString extraConfig;       // appended to dovecot.conf verbatim
    };

    DovecotFixture();
    explicit DovecotFixture(const Options& options);
    ~DovecotFixture();
    DovecotFixture(const DovecotFixture&) = delete;
    DovecotFixture& operator=(const DovecotFixture&) = delete;

    // True when dovecot can be started here (binary found, running as root).
    static bool available();

    // Adds (or replaces) a user with a plain password (APOP needs plain).
    bool addUser(const QString& name, const QString& password);
    // Delivers one raw RFC 822 message into the user's Maildir/new.
    bool addMessage(const QString& user, const QByteArray& message);
    // The same, already seen by a mail program: into Maildir/cur with the
    // given Maildir flag letters ("S" seen, "F" flagged, "R" answered, ...).
    bool addMessage(const QString& user, const QByteArray& message, const QString& flags);
    // Every message's flag letters by its file's unique name ("" for mail
    // still in new/), as the server left them on disk.
    QMap<QString, QString> maildirFlags(const QString& user) const;

    // Before start(): XOAUTH2 and OAUTHBEARER too, each token checked by a
    // POST to this introspection URL (RFC 7662); any user it names may log in.
    void setOAuthIntrospectionUrl(const QString& url) { m_oauthIntrospectionUrl = url; }

    // Writes the config, starts Dovecot and waits for its "+OK" greeting.
    bool start();
    // Stops Dovecot (TERM by master.pid, then KILL after 5 s). Idempotent.
    void stop();
    bool isRunning() const { return m_running; }

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 pop3Port() const { return m_pop3Port; }
    quint16 pop3sPort() const { return m_pop3sPort; }
    quint16 imapPort() const { return m_imapPort; }
    quint16 imapsPort() const { return m_imapsPort; }
    // "127.0.0.1:<port>" of the plain or the TLS listener.
    QString serverText(bool implicitTls = false) const;
    // "imap://127.0.0.1:<port>" or "imaps://127.0.0.1:<port>".
    QString imapServerText(bool implicitTls = false) const;

    // The CA that signed the server certificate (names: localhost, 127.0.0.1).
    QString caCertificatePath() const { return m_ca.caPath(); }
    QList<QSslCertificate> caCertificates() const;

    // The whole Dovecot log so far (info level: logins, "top=N/bytes, retr=N/bytes,
    // del=N/total" summaries of finished sessions, errors).
    QString logText() const;
    // Waits (polling the log) until it contains needle; false on time-out.
    bool waitForLog(const QString& needle, int timeoutMs = 5000) const;

    // The live mail processes (imap, pop3) of this server that took the
    // user's logins, by the mpid of the login lines: a test kills one to
    // cut a session off.
    QList<int> mailProcesses(const QString& user) const;

    QString folder() const { return m_dir.path(); }
    QString maildir(const QString& user) const;
    QString errorString() const { return m_error; }

private:
    bool prepare();
    bool writeConfig();
    bool ensureHome(const QString& user);
    bool waitForGreeting(int timeoutMs);
    bool writePasswd();
    int masterPid() const;
    void chownToMailUser(const QString& path) const;

    Options m_options;
    QString m_oauthIntrospectionUrl;
    QTemporaryDir m_dir;
    TestCa m_ca;
    QList<QPair<QString, QString>> m_users;
    quint16 m_pop3Port = 0;
    quint16 m_pop3sPort = 0;
    quint16 m_imapPort = 0;
    quint16 m_imapsPort = 0;
    bool m_running = false;
    bool m_prepared = false;
    int m_messageCounter = 0;
    QString m_error;
};

} // namespace qp::test
