#pragma once
#include "check/CheckHost.h"
#include "check/MailWorker.h"
#include "mail/MailLibrary.h"
#include "settings/ProcessSettings.h"
#include "watchlist/KeywordMatcher.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace qp {

// The text before its first NUL character; the whole text when it has none.
QString CutAtNul(const QString& text);

// What one run did, for the caller's tests and measurements; the check
// itself reports to the user through the host only.
struct CheckOutcome {
    bool started = false;      // false: another check was running
    bool connected = false;    // a connection handle other than -1
    bool loginTried = false;
    bool loginBusy = false;    // refused for a busy mailbox: tried again at the next check
    int loginDelayWaitMs = 0;  // waited before connecting, for the server's LOGIN-DELAY
    int messageCount = 0;      // MessageCount
    std::int16_t matchCount = 0; // MatchCount, stops at 32767
    int getMailCalls = 0;      // GetMail calls made (the library reads no body)
    int sizeFailures = 0;      // messages whose size query failed (GetMail skipped)
    // The message after which the session proved unusable (the library
    // says so) and going through the rest stopped; 0 when it never did.
    int abandonedAt = 0;
    // The first message not gone through because the walk's time limit
    // was up; 0 when it never was.
    int walkCutAt = 0;
    // The last message whose sender was read and matched; 0 for none.
    int lastRead = 0;
    std::int64_t matchingNanoseconds = 0; // reading the store and matching
    bool recordsIgnored = false; // the store holds more records than can be read; the rest were not matched
};

// CheckMail: the check cycle. A check connects through the mail library,
// logs in with the account read afresh from "iniIdPass.ini", reads each
// waiting message's sender and matches it against every keyword of the store
// (read afresh for each check, and again whenever its file changes), closes,
// then reports on the board and starts the alert, or starts the mail
// program, and hangs up when so set.
//
// A check is a chain of steps, each going on from an answer: the worker's
// (see MailWorker; the whole server side of a check takes two or three
// pieces, not one per message) or the host's timer (the board's second, the
// server's LOGIN-DELAY). start() returns at once; the finished handler says
// when the check is over. Nothing the user opens meanwhile holds it.
//
// One object lives as long as the main window.
class CheckMail {
public:
    CheckMail(MailWorker& worker, ProcessSettings& settings, CheckHost& host);
    ~CheckMail();
    CheckMail(const CheckMail&) = delete;
    CheckMail& operator=(const CheckMail&) = delete;

    // Starts a check. scheduled: started by the interval, not by the user.
    // False when a check is running already: a scheduled request is dropped
    // (the scheduler holds it back), the user's is answered (see
    // kBusyNotice), and one that comes while the check waits out the
    // server's LOGIN-DELAY shortens that wait to what the server asks.
    bool start(bool scheduled = false);
    // Called with the outcome when a check is over (after the hang-up).
    void setFinishedHandler(std::function<void(const CheckOutcome&)> handler) { m_finished = std::move(handler); }
    bool isRunning() const { return m_running; }

    // A login refused because the mailbox is busy ([IN-USE], [LOGIN-DELAY],
    // IMAP's [INUSE]/[UNAVAILABLE]) is no wrong password: the next checks
    // try again quietly, and only this many in a row are told in the
    // "エラー" box (then again every this many while it lasts). A mail
    // program holds a mailbox for seconds; three checks, at least three
    // minutes, is a lock that is not passing. A check the user asked for is
    // answered every time.
    static constexpr int kBusyChecksBeforeTelling = 3;
    // The longest LOGIN-DELAY honoured. Automatic checks keep twice the
    // server's delay between logins, so that the user's own mail program
    // finds a free slot; half an hour keeps that spacing within an hour, and
    // a server asking more refuses some logins, which are told as busy.
    static constexpr int kMaxLoginDelaySeconds = 1800;
    // What a check asked for during another one is told.
    static const QString kBusyNotice;

    // How long the walk through the messages may take. A server that claims
    // two billion messages and answers each call at once would otherwise
    // hold the worker for days. Ten minutes is the longest one reply may
    // take (MailTimeouts::wholeReplyMs); a real mailbox, read with
    // pipelining, takes seconds. Past it the check closes the session as
    // usual, tells the user how far it got, and reports what was counted.
    static constexpr int kWalkLimitMs = 10 * 60 * 1000;
    void setWalkLimit(int milliseconds) { m_walkLimit = milliseconds; }

    // The watched messages one check hands to the host, at most.
    static constexpr int kWatchedListMax = 50;

private:
    struct Session;
    // The steps, in order; each ends by starting the next or waiting for it.
    void waitForLoginDelay();
    void connect();
    void connected(int handle, bool tlsFailure, const QString& errorText);
    void loggedIn(const Session& session);
    void closeThen(int handle, void (CheckMail::*next)());
    void closed();
    void report();
    void boardWaited();
    void finish();

    // Runs step unless this object is gone or the step was superseded
    // (a LOGIN-DELAY wait cut short).
    std::function<void()> later(std::function<void()> step);
    std::function<void()> laterUnlessSuperseded(std::function<void()> step);
    void match(const Session& session);
    void showError(const QString& libraryText, const QString& addition = QString());
    void showCutWalk(const QString& libraryText);
    // Milliseconds until a login is allowed: for an automatic check twice
    // the server's delay since the last login, for the user's once.
    qint64 loginDelayLeft(bool scheduled) const;
    void answerWhileRunning();

    MailWorker& m_worker;
    ProcessSettings& m_settings;
    CheckHost& m_host;
    // Reads the store for each message unless its file is unchanged.
    KeywordMatcher m_matcher;
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    std::function<void(const CheckOutcome&)> m_finished;

    // The check in progress.
    bool m_running = false;
    bool m_scheduled = false;
    CheckOutcome m_outcome;
    QList<WatchedMessage> m_watched;
    QString m_cutWalkText; // the library's words when the session broke
    bool m_waitingForLoginDelay = false;
    bool m_busyNoticeShown = false; // kBusyNotice is up, until the check ends
    quint64 m_waitGeneration = 0;

    int m_walkLimit = kWalkLimitMs;
    int m_busyChecks = 0;          // checks in a row refused for a busy mailbox
    QElapsedTimer m_sinceLogin;    // since the last successful login
    qint64 m_loginDelayMs = 0;     // what that server asked for between logins
    QString m_loginDelayServer;
    QString m_spacingToldFor;      // the server whose spacing the user was told of
};

} // namespace qp
