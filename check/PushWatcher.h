#pragma once
#include "mail/ImapIdle.h"
#include "mail/MailSession.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QTimer>

#include <memory>

namespace qp {

// New mail pushed by the server: while automatic checking is on and the
// server is IMAP with IDLE, a connection of its own, on a thread of its own,
// waits for the server to report a change of the inbox, and then asks for a
// check (checkWanted); the check itself is the usual one. The interval goes
// on beside it as a safety net.
//
//   PushWatcher push;
//   push.setSetup(setup);                // bounds, trust, the TLS memory file
//   connect(&push, &PushWatcher::checkWanted, ...start the check...);
//   push.watch({server, id, password});  // again on every change of these
//   push.stop();                         // interval 0, or a POP3 server
//
// The connection is kept: IDLE is renewed every ImapIdle::kReIdleMs, a
// silent connection is tried after ImapIdle::kSilenceMs, and a lost one is
// opened again after a pause that grows with each failure in a row
// (kBackoffMs). Resume from suspend and a network that comes back (logind,
// NetworkManager on the system bus) reconnect at once.
class PushWatcher : public QObject {
    Q_OBJECT
public:
    // A burst of changes (a delivery of several messages, a mailer marking
    // many read) gives one check, this long after the first of them.
    static constexpr int kCoalesceMs = 300;
    // Pauses before the next try after failures in a row: Dovecot itself
    // slows every failed login from an address by 2, 6, 10, 17 s..., and a
    // server that is down should not be called more than every 5 minutes.
    static constexpr int kBackoffMs[] = {2000, 6000, 10000, 17000, 30000, 60000, 120000, 300000};
    // A session that lasted this long was no failure: the next pause
    // starts from the first again.
    static constexpr int kSteadyMs = 60000;

    struct Account {
        QString server;
        QString id;
        QString password;
        bool operator==(const Account&) const = default;
    };
    enum class State { Off, Connecting, Watching, Pausing, Unsupported };

    explicit PushWatcher(QObject* parent = nullptr);
    // Stops every watch and waits for their threads (tests; the program
    // itself ends through shutdown()).
    ~PushWatcher() override;

    // Taken by each new watch.
    void setSetup(const MailSessionSetup& setup) { m_setup = setup; }
    // Shorter periods for tests.
    void setTiming(int reIdleMs, int silenceMs)
    {
        m_reIdleMs = reIdleMs;
        m_silenceMs = silenceMs;
    }

    // Watches the account's inbox, when its server is IMAP; any other server
    // stops the watch. The same account again changes nothing; another one
    // ends the watch (without waiting for it) and starts anew.
    void watch(const Account& account);
    void stop();
    // The connection may be gone (resume, the network back): open it again
    // now instead of at the next time-out.
    void reconnectNow();
    // The end of the program: LOGOUT goes out best-effort; waits at most
    // kGoodbyeMs for it.
    static constexpr int kGoodbyeMs = 100;
    void shutdown();
    // A check could not start now (one runs): ask again after the pause.
    void deferCheck() { m_coalesce.start(); }
    // Reconnect on logind's resume and NetworkManager's "connected".
    void followSystemEvents();

    bool isWatching() const { return m_run != nullptr; }
    State state() const;
    // Sessions opened by the current watch so far.
    int sessions() const;

signals:
    void checkWanted();
    // The server refused the login or TLS: told once per account until a
    // login works again.
    void loginRefused(const QString& text);

private slots:
    void prepareForSleep(bool sleeping);
    void networkStateChanged(uint state);

private:
    struct Run;
    static void work(const std::shared_ptr<Run>& run);
    void changed();

    MailSessionSetup m_setup;
    int m_reIdleMs = ImapIdle::kReIdleMs;
    int m_silenceMs = ImapIdle::kSilenceMs;
    std::shared_ptr<Run> m_run;
    QList<QPointer<QThread>> m_threads;
    QTimer m_coalesce;
};

} // namespace qp
