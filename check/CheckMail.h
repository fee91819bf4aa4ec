#pragma once
#include "check/CheckHost.h"
#include "mail/NMail.h"
#include "settings/ProcessSettings.h"
#include "watchlist/KeywordMatcher.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <optional>

namespace qp {

// The text before its first NUL character; the whole text when it has none.
QString CutAtNul(const QString& text);

// What one run did, for the caller's tests and measurements; the check
// itself reports to the user through the host only.
struct CheckOutcome {
    bool started = false;      // false: dropped, another check was running
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

// CheckMail: one run of the check cycle. It connects through the mail
// library, logs in with the account read afresh from "iniIdPass.ini",
// matches each waiting message's sender against every keyword of the store
// (read afresh for each message), downloads each message, closes, then
// reports on the board and starts the alert, or starts the mail program,
// and hangs up when so set.
//
// One object lives as long as the main window. Events are handled while
// the library waits for the server (see ThreadedMailLibrary) and during the
// board's wait; a run asked for meanwhile (a timer, a click) is dropped.
class CheckMail {
public:
    CheckMail(MailLibrary& library, ProcessSettings& settings, CheckHost& host);

    // Runs a whole check; returns when it is over. scheduled: started by
    // the interval, not by the user (it then waits for a server's
    // LOGIN-DELAY without a word).
    CheckOutcome run(bool scheduled = false);

    // A login refused because the mailbox is busy ([IN-USE], [LOGIN-DELAY],
    // IMAP's [INUSE]/[UNAVAILABLE]) is no wrong password: the next checks
    // try again quietly, and only this many in a row are told in the
    // "エラー" box (then again every this many while it lasts). A mail
    // program holds a mailbox for seconds; three checks, at least three
    // minutes, is a lock that is not passing.
    static constexpr int kBusyChecksBeforeTelling = 3;
    // The longest LOGIN-DELAY waited for; a server asking more gets this.
    static constexpr int kMaxLoginDelaySeconds = 3600;

    bool isRunning() const { return m_running; }

    // How long the walk through the messages may take. A server that claims
    // two billion messages and answers each call at once would otherwise
    // hold the window for days. Ten minutes is the longest one reply may
    // take (MailTimeouts::wholeReplyMs); a real mailbox, read with
    // pipelining, takes seconds. Past it the check closes the session as
    // usual, tells the user how far it got, and reports what was counted.
    static constexpr int kWalkLimitMs = 10 * 60 * 1000;
    void setWalkLimit(int milliseconds) { m_walkLimit = milliseconds; }

    // The watched messages one check hands to the host, at most.
    static constexpr int kWatchedListMax = 50;

private:
    void walk(int handle, CheckOutcome& outcome);
    void checkMessage(int handle, int number, CheckOutcome& outcome);
    void showError(const QString& addition = QString());
    // A walk that ended before the last message: the "エラー" box says why
    // and how far it got.
    void showCutWalk(const CheckOutcome& outcome);
    void waitForLoginDelay(bool scheduled, CheckOutcome& outcome);
    void loggedIn(int handle, CheckOutcome& outcome);
    void report(const CheckOutcome& outcome);

    MailLibrary& m_library;
    ProcessSettings& m_settings;
    CheckHost& m_host;
    // Reads the store afresh for each message; keeps the keyword automaton
    // while the store's bytes stay the same.
    KeywordMatcher m_matcher;
    bool m_running = false;
    int m_walkLimit = kWalkLimitMs;
    int m_busyChecks = 0;          // checks in a row refused for a busy mailbox
    QElapsedTimer m_sinceLogin;    // since the last successful login
    qint64 m_loginDelayMs = 0;     // what that server asked for between logins
    QString m_loginDelayServer;
    // The four header buffers of one run (buffer 3 holds the sender).
    QString m_buffer[4];
    QString m_body;
    QList<WatchedMessage> m_watched;
};

} // namespace qp
