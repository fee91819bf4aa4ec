#pragma once
#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <functional>

#include "mail/ImapClient.h"
#include "mail/ImapResponse.h"

namespace qp {

// Watches a mailbox for changes on a connection of its own (IMAP IDLE,
// RFC 2177), blocking, on the caller's (worker) thread. It opens INBOX with
// EXAMINE, so nothing it does can change a flag; it only says that
// something changed, and the check looks at what.
//
//   ImapIdle idle;
//   setup.applyTo(idle.client());
//   if (!idle.open(endpoint, id, password)) ... idle.failure(), idle.errorText() ...
//   switch (idle.watch(wakeFd, [] { changed(); })) { ... }   // until woken or lost
//   idle.logout();
//
// Login and TLS are the IMAP client's; after login the watcher talks on the
// client's connection itself.
class ImapIdle {
public:
    // IDLE is ended and sent again this often. Servers may log a client
    // out after 30 minutes without a command (RFC 2177 asks for less than
    // 29); home routers and mobile networks forget quiet connections far
    // sooner, so 10 minutes.
    static constexpr int kReIdleMs = 10 * 60 * 1000;
    // Silence after which the connection is tried (DONE, whose answer must
    // come within the reply time-out). Dovecot says "Still here" every
    // 120 s; 150 s leaves it a 30 s margin, and a server that says nothing
    // while idling gets this small round trip instead, which also keeps
    // the connection known to the routers on the way. A dead connection is
    // thus found within 150 s plus the reply time-out.
    static constexpr int kSilenceMs = 150 * 1000;

    enum class Failure {
        None,
        Transient,    // unreachable, time-out, closed, busy mailbox: try again later
        Refused,      // login refused, or TLS could not be had: the user must act
        Unsupported,  // no IDLE, or no INBOX to watch: the interval does the work
    };
    enum class Stop {
        Woken,   // wakeFd became readable; the session is still open
        Lost,    // the connection failed or the server left; errorText says how
    };

    // What EXAMINE said of the mailbox, to tell whether it changed while
    // no session watched it; -1 for what the server did not say.
    struct Mailbox {
        qint64 uidValidity = -1;
        qint64 uidNext = -1;
        qint64 exists = -1;
        bool operator==(const Mailbox&) const = default;
    };

    ImapIdle();
    ~ImapIdle();

    // Bounds, trust and TLS memory go on the client before open().
    ImapClient& client() { return m_client; }
    // Shorter periods for tests.
    void setTiming(int reIdleMs, int silenceMs)
    {
        m_reIdleMs = reIdleMs;
        m_silenceMs = silenceMs;
    }

    // Connects, logs in, makes sure of IDLE and opens INBOX read-only.
    bool open(const MailEndpoint& endpoint, const QString& user, const QString& password);
    const Mailbox& mailbox() const { return m_mailbox; }

    // Idles until woken or lost; changed() runs for every change the server
    // reports (new, expunged or re-flagged messages), on this thread.
    Stop watch(int wakeFd, const std::function<void()>& changed);

    // LOGOUT without waiting for an answer (and DONE first while idling),
    // then closed. For the end of the program, or a watch given up.
    void logout();

    Failure failure() const { return m_failure; }
    QString errorText() const { return m_errorText; }

private:
    enum class Next { Got, Woken, Quiet, Failed };
    // The next whole response, waiting at most until deadline.
    Next next(const QDeadlineTimer& deadline, int wakeFd, ImapResponse* out);
    // Reads until the response tagged tag, within the reply bound; untagged
    // ones go to onUntagged. False: failed or not answered in time.
    bool command(const QByteArray& line, ImapResponse* tagged, const std::function<void(const ImapResponse&)>& onUntagged);
    bool lose(Failure kind, const QString& text);
    bool loseFromTransport(const QString& when);
    // True when the response reports a change of the mailbox.
    static bool isChange(const ImapResponse& r);
    QByteArray nextTag();
    QDeadlineTimer replyDeadline();
    QString host();

    ImapClient m_client;
    ImapResponseReader m_reader;
    Mailbox m_mailbox;
    int m_reIdleMs = kReIdleMs;
    int m_silenceMs = kSilenceMs;
    int m_nextTag = 1;
    bool m_idling = false;
    bool m_reading = false; // a response is half read
    QByteArray m_bye;
    Failure m_failure = Failure::None;
    QString m_errorText;
};

} // namespace qp
