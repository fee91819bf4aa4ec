#include "check/CheckMail.h"

#include "actions/MailerLaunch.h"
#include "check/AccountTokens.h"
#include "settings/IniFile.h"
#include "settings/OAuthAccount.h"
#include "settings/SettingsPaths.h"

#include <QDeadlineTimer>
#include <QTime>
#include <QElapsedTimer>

#include <algorithm>

namespace qp {

namespace {
constexpr int kBufferSize = 8192;
constexpr std::int64_t kMatchCountMax = 32767;
// The Message-ID field of the decoded header lines; without one, sender,
// date and subject together tell the message apart.
QString messageIdentity(const QString& header, const QString& sender, const QString& date, const QString& subject)
{
    for (QStringView line : QStringView(header).split(u'\n')) {
        line = line.trimmed();
        if (line.startsWith(u"message-id:", Qt::CaseInsensitive) && line.size() > 11)
            return line.mid(11).trimmed().toString();
    }
    return sender + u'\n' + CutAtNul(date) + u'\n' + CutAtNul(subject);
}

} // namespace

QString CutAtNul(const QString& text)
{
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    return nul < 0 ? text : text.left(nul);
}

const QString CheckMail::kBusyNotice = QStringLiteral("確認中です。このチェックが終わってから、もう一度お試しください。");

// What the worker brings back from one session: everything the window's
// side needs to match and report, read in one piece after the login.
struct CheckMail::Session {
    int handle = -1;
    int count = 0;          // NMailPop3Authenticate's result
    bool busy = false;      // a refused login was refused for a busy mailbox
    int loginDelay = 0;     // seconds the server asks between logins
    QString errorText;      // the library's text for a failed login or a broken session
    QString serverNotice;   // what the user must hear of this server once (no sender can be read)
    bool closed = false;    // the session was closed in the same piece
    struct Message {
        bool read = false;  // the header was read
        QString subject, date, sender, header;
    };
    std::vector<Message> messages; // 1 .. lastWalked
    int walkCutAt = 0, abandonedAt = 0, lastRead = 0, sizeFailures = 0, getMailCalls = 0;
};

CheckMail::CheckMail(MailWorker& worker, ProcessSettings& settings, CheckHost& host)
    : m_worker(worker), m_settings(settings), m_host(host)
{
}

CheckMail::~CheckMail() = default;

std::function<void()> CheckMail::later(std::function<void()> step)
{
    return [alive = std::weak_ptr<int>(m_alive), step = std::move(step)] {
        if (alive.lock())
            step();
    };
}

std::function<void()> CheckMail::laterUnlessSuperseded(std::function<void()> step)
{
    return later([this, generation = m_waitGeneration, step = std::move(step)] {
        if (generation == m_waitGeneration)
            step();
    });
}

namespace {
// The library's error text, cut as the user sees it.
QString libraryMessage(MailLibrary& library)
{
    QString buffer;
    int size = kBufferSize;
    library.NMailGetMessage(0, buffer, size);
    return CutAtNul(buffer);
}
} // namespace

bool CheckMail::start(bool scheduled)
{
    if (m_running) {
        if (!scheduled)
            answerWhileRunning();
        return false;
    }
    m_running = true;
    m_scheduled = scheduled;
    m_outcome = CheckOutcome();
    m_outcome.started = true;
    m_watched.clear();
    m_cutWalkText.clear();
    if (m_settings.pop3Server().isEmpty())
        report();
    else
        waitForLoginDelay();
    return true;
}

// The user asked for a check while one runs: say so, and let a wait that
// only keeps the automatic checks' spacing end as soon as the server allows.
void CheckMail::answerWhileRunning()
{
    if (!m_waitingForLoginDelay) {
        m_host.showWaitNotice(kBusyNotice);
        m_busyNoticeShown = true;
        return;
    }
    m_scheduled = false;
    ++m_waitGeneration; // the automatic check's timer is superseded
    waitForLoginDelay();
}

qint64 CheckMail::loginDelayLeft(bool scheduled) const
{
    if (m_loginDelayMs <= 0 || !m_sinceLogin.isValid() || m_loginDelayServer != m_settings.pop3Server())
        return 0;
    return (scheduled ? 2 * m_loginDelayMs : m_loginDelayMs) - m_sinceLogin.elapsed();
}

// A server that asks for a least time between logins (LOGIN-DELAY) refuses
// one that comes sooner, and a refused login is a lost check: so a check
// that comes too soon waits until the server allows it. Automatic checks
// wait for twice that, which leaves every other slot to the user's own mail
// program.
void CheckMail::waitForLoginDelay()
{
    const qint64 left = loginDelayLeft(m_scheduled);
    if (left <= 0) {
        m_waitingForLoginDelay = false;
        m_host.showCheckStatus(QString());
        connect();
        return;
    }
    const qint64 seconds = m_loginDelayMs / 1000;
    const qint64 leftSeconds = (left + 999) / 1000;
    if (!m_scheduled) {
        m_host.showWaitNotice(QStringLiteral("サーバーが前回のログインから %1 秒間は次のログインを受け付けないため、"
                                             "あと %2 秒待ってからチェックします")
                                  .arg(seconds)
                                  .arg(leftSeconds));
    } else if (m_spacingToldFor != m_loginDelayServer) {
        m_spacingToldFor = m_loginDelayServer;
        m_host.showWaitNotice(QStringLiteral("このサーバーは前回のログインから %1 秒間は次のログインを受け付けません。"
                                             "ほかのメールソフトもログインできるよう、自動チェックは %2 秒以上あけて行います。")
                                  .arg(seconds)
                                  .arg(2 * seconds));
    }
    // A time of day stays true while the tooltip is shown; a count would not.
    m_host.showCheckStatus(QStringLiteral("サーバーのログイン間隔（%1 秒）を守るため、次のチェックは %2 ごろです")
                               .arg(m_scheduled ? 2 * seconds : seconds)
                               .arg(QTime::currentTime().addMSecs(left).toString(QStringLiteral("H:mm:ss"))));
    m_waitingForLoginDelay = true;
    m_outcome.loginDelayWaitMs = int(left);
    m_host.after(int(left), laterUnlessSuperseded([this] {
                     m_waitingForLoginDelay = false;
                     m_host.showCheckStatus(QString());
                     if (!m_scheduled)
                         m_host.showWaitNotice(QString());
                     connect();
                 }));
}

void CheckMail::connect()
{
    struct Answer {
        int handle = -1;
        bool tls = false;
        QString errorText;
    };
    auto answer = std::make_shared<Answer>();
    m_worker.post(
        [server = m_settings.pop3Server(), answer](MailLibrary& library) {
            answer->handle = library.NMailPop3Connect(server);
            answer->tls = answer->handle == -1 && library.lastConnectFailureIsTls();
            if (answer->tls)
                answer->errorText = libraryMessage(library);
        },
        later([this, answer] { connected(answer->handle, answer->tls, answer->errorText); }));
}

void CheckMail::connected(int handle, bool tlsFailure, const QString& errorText)
{
    if (handle == -1) {
        // A server that is off stays silent; one whose TLS fails (or is
        // gone) says why, as a refused login does. The library has already
        // closed the connection.
        if (tlsFailure)
            showError(errorText);
        report();
        return;
    }
    m_outcome.connected = true;

    const QString accountFile = idPassIniPath();
    const QString id = ReadIniText(accountFile, QStringLiteral("NAME"), QString());
    const QString password = storedAccountPassword();
    m_host.putAccountIntoAccountWindow(id, password);
    m_settings.setAccountId(id);
    m_settings.setAccountPassword(password);
    // An OAuth account has no password: its sign-in settings count.
    const OAuthSettings signIn = loadOAuthSettings(iniPath());
    if (!accountCanSignIn(m_settings.accountId(), m_settings.accountPassword(), signIn)) {
        m_host.showAccountWindow();
        closeThen(handle, &CheckMail::closed);
        return;
    }
    const std::shared_ptr<AccessTokenProvider> tokens = accountTokenProvider(id, signIn);
    if (tokens && tokens->mustSignIn()) {
        // Told when it happened; no login until the user signs in again.
        closeThen(handle, &CheckMail::closed);
        return;
    }

    // Login, every header, size and message, and the close: one piece on
    // the worker, which stops before the close when the login fails (its
    // box comes first).
    m_outcome.loginTried = true;
    auto session = std::make_shared<Session>();
    session->handle = handle;
    m_worker.post(
        [session, id = m_settings.accountId(), password = m_settings.accountPassword(),
         apop = m_settings.useApop() != 0 ? -1 : 0, walkLimit = m_walkLimit, tokens](MailLibrary& library) {
            Session& s = *session;
            // A token may take a refresh first: on the worker, as the login.
            s.count = tokens ? library.authenticateWithToken(s.handle, id, std::make_shared<AccountTokenSource>(tokens))
                             : library.NMailPop3Authenticate(s.handle, id, password, apop);
            if (s.count < 0) {
                s.busy = library.lastLoginWasBusy();
                s.errorText = libraryMessage(library);
                return;
            }
            s.loginDelay = library.loginDelaySeconds(s.handle);
            s.serverNotice = library.takeServerNotice(s.handle);
            if (s.count > 0) {
                const QDeadlineTimer deadline(walkLimit);
                library.planWalk(s.handle, s.count);
                s.messages.reserve(std::min(s.count, 100000));
                QString body, b1, b2, b3, b4; // GetMail's texts, not used
                for (int m = 1; m <= s.count; ++m) {
                    if (deadline.hasExpired()) {
                        s.walkCutAt = m;
                        break;
                    }
                    Session::Message& message = s.messages.emplace_back();
                    message.read = library.NMailPop3GetMailStatus(s.handle, m, message.subject, message.date,
                                                                  message.sender, message.header, 0)
                                   >= 0;
                    if (message.read)
                        s.lastRead = m;
                    if (library.NMailPop3GetMailSize(s.handle, m) < 0) {
                        // The size query failed: there is nothing sensible to size the body by.
                        ++s.sizeFailures;
                    } else {
                        library.NMailPop3GetMail(s.handle, m, b1, b2, b3, b4, body, 0, 0);
                        body.clear();
                        ++s.getMailCalls;
                    }
                    if (!library.isSessionUsable(s.handle)) {
                        // Every later call would fail at once; going on
                        // through a count of up to two billion is no use.
                        s.abandonedAt = m;
                        break;
                    }
                }
            }
            library.NMailPop3Close(s.handle);
            s.closed = true;
            if (s.abandonedAt > 0 && s.lastRead < s.count)
                s.errorText = libraryMessage(library); // for the box that says the walk was cut
        },
        later([this, session] { loggedIn(*session); }));
}

void CheckMail::loggedIn(const Session& session)
{
    m_outcome.messageCount = session.count;
    if (session.count >= 0) {
        m_busyChecks = 0;
        m_sinceLogin.start();
        m_loginDelayMs = qint64(std::min(session.loginDelay, kMaxLoginDelaySeconds)) * 1000;
        m_loginDelayServer = m_settings.pop3Server();
        // Once a run, per server: the check goes on, but no sender is read.
        if (!session.serverNotice.isEmpty())
            m_host.showLoginError(session.serverNotice);
    }
    if (session.count > 0) {
        m_outcome.walkCutAt = session.walkCutAt;
        m_outcome.abandonedAt = session.abandonedAt;
        m_outcome.sizeFailures = session.sizeFailures;
        m_outcome.getMailCalls = session.getMailCalls;
        m_cutWalkText = session.errorText;
        match(session);
    } else if (session.count < 0 && session.busy) {
        m_outcome.loginBusy = true;
        ++m_busyChecks;
        const bool again = m_host.automaticCheckingOn();
        if (!m_scheduled || m_busyChecks % kBusyChecksBeforeTelling == 0) {
            const QString count = m_busyChecks > 1 ? QStringLiteral("%1 回続けてログインできませんでした。").arg(m_busyChecks)
                                                   : QString();
            showError(session.errorText, again ? QStringLiteral("（%1次のチェックでもう一度試します）").arg(count)
                                               : QStringLiteral("（%1しばらくしてから、もう一度チェックしてください）").arg(count));
        }
    } else if (session.count < 0) {
        m_busyChecks = 0;
        showError(session.errorText);
    }
    if (session.closed)
        closed();
    else
        closeThen(session.handle, &CheckMail::closed);
}

void CheckMail::closeThen(int handle, void (CheckMail::*next)())
{
    m_worker.post([handle](MailLibrary& library) { library.NMailPop3Close(handle); },
                  later([this, next] { (this->*next)(); }));
}

void CheckMail::closed()
{
    // What was read is still reported below, but a watched sender further
    // on was never looked at: the user must know.
    if ((m_outcome.walkCutAt > 0 || m_outcome.abandonedAt > 0) && m_outcome.lastRead < m_outcome.messageCount)
        showCutWalk(m_cutWalkText);
    report();
}

// Each message's sender against every keyword of the store, in order. The
// store is read again whenever its file changed, so one edited while the
// server was being read is seen.
void CheckMail::match(const Session& session)
{
    QElapsedTimer timer;
    timer.start();
    m_matcher.forgetFile();
    std::int64_t matches = 0;
    int recordsAtLast = 0;
    QString lastSender, lastKeyword;
    for (std::size_t i = 0; i < session.messages.size(); ++i) {
        const Session::Message& message = session.messages[i];
        // A failed read matches as an empty sender, never as the previous one.
        const QString sender = message.read ? CutAtNul(message.sender) : QString();
        if (message.read)
            m_outcome.lastRead = int(i) + 1;
        const SenderMatch match = m_matcher.matchUnlessUnchanged(sender);
        matches += match.matchCount;
        m_outcome.recordsIgnored = m_outcome.recordsIgnored || match.status.recordsIgnored;
        if (match.matchCount > 0 && m_watched.size() < kWatchedListMax)
            m_watched.append({messageIdentity(CutAtNul(message.header), sender, message.date, message.subject), sender,
                              CutAtNul(message.subject)});
        recordsAtLast = match.recordCount;
        lastSender = sender;
        lastKeyword = match.lastKeyword;
    }
    m_outcome.matchCount = std::int16_t(std::min<std::int64_t>(kMatchCountMax, matches));
    m_outcome.matchingNanoseconds = timer.nsecsElapsed();
    if (recordsAtLast > 0) {
        // Text3 is refilled for every record, so what stays selected is the
        // last record's keyword, when that one was found.
        const int p = keywordPosition(lastSender, lastKeyword);
        if (p > 0)
            m_host.setMatchWorkBoxes(lastSender, lastKeyword, p - 1, int(lastKeyword.size()));
        else
            m_host.setMatchWorkBoxes(lastSender, lastKeyword, 0, 0);
    }
}

void CheckMail::showError(const QString& libraryText, const QString& addition)
{
    m_host.showLoginError(libraryText + addition);
}

void CheckMail::showCutWalk(const QString& libraryText)
{
    QString reason;
    if (m_outcome.walkCutAt > 0) {
        const int seconds = m_walkLimit / 1000;
        reason = seconds >= 60 && seconds % 60 == 0
                     ? QStringLiteral("確認にかけられる時間（%1 分）を使い切りました。").arg(seconds / 60)
                     : QStringLiteral("確認にかけられる時間（%1 秒）を使い切りました。").arg(seconds);
    } else {
        // The library's own words for what broke the session.
        reason = libraryText;
        if (reason.isEmpty())
            reason = QStringLiteral("サーバーとの接続が途中で切れました。");
    }
    const QString progress = m_outcome.lastRead > 0
                                 ? QStringLiteral("%1 通中 %2 通目まで確認しました。").arg(m_outcome.messageCount).arg(m_outcome.lastRead)
                                 : QStringLiteral("%1 通のうち 1 通も確認できませんでした。").arg(m_outcome.messageCount);
    m_host.showLoginError(QStringLiteral("メールの確認を途中で打ち切りました。%1\n%2\n"
                                         "残りのメールの差出人は調べていません。")
                              .arg(progress, reason));
}

void CheckMail::report()
{
    if (m_outcome.messageCount <= 0) {
        finish();
        return;
    }
    if (!m_host.mailerLaunchTicked()) {
        m_host.setBoardTexts(QStringLiteral("新着メールが有ります"), QString::number(m_outcome.messageCount));
        m_host.showBoard();
        if (m_host.boardAutoCloseTicked()) {
            m_host.after(1000, later([this] {
                             m_host.unloadBoard();
                             boardWaited();
                         }));
            return;
        }
        boardWaited();
        return;
    }
    if (const QString program = mailProgramToStart(m_host.mailerPath()); !program.isEmpty())
        m_host.startMailProgram(program);
    finish();
}

void CheckMail::boardWaited()
{
    if (m_outcome.matchCount > 0) {
        m_host.startAlert();
        m_host.announceWatchedMessages(m_watched);
    }
    finish();
}

void CheckMail::finish()
{
    // After every check, whatever happened before.
    if (m_host.hangUpTicked())
        m_host.hangUp();
    m_watched.clear();
    m_running = false;
    if (m_busyNoticeShown) {
        m_busyNoticeShown = false;
        m_host.showWaitNotice(QString());
    }
    if (m_finished)
        m_finished(m_outcome);
}

} // namespace qp
