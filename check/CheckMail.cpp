#include "check/CheckMail.h"

#include "actions/MailerLaunch.h"
#include "check/AccountTokens.h"
#include "check/Reentry.h"
#include "settings/IniFile.h"
#include "settings/OAuthAccount.h"
#include "settings/SettingsPaths.h"

#include <QDeadlineTimer>
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

CheckMail::CheckMail(MailLibrary& library, ProcessSettings& settings, CheckHost& host)
    : m_library(library), m_settings(settings), m_host(host)
{
}

CheckOutcome CheckMail::run(bool scheduled)
{
    CheckOutcome outcome;
    ReentryGuard guard(m_running);
    if (!guard.entered())
        return outcome; // a check is already running: this request is dropped
    outcome.started = true;
    for (QString& b : m_buffer)
        b.clear();
    m_watched.clear();

    // 1-7: talk to the server, when one is set.
    if (!m_settings.pop3Server().isEmpty()) {
        waitForLoginDelay(scheduled, outcome);
        const int handle = m_library.NMailPop3Connect(m_settings.pop3Server());
        if (handle == -1 && m_library.lastConnectFailureIsTls()) {
            // A server that is off stays silent; one whose TLS fails (or is
            // gone) says why, as a refused login does. The library has
            // already closed the connection.
            showError();
        } else if (handle != -1) {
            outcome.connected = true;

            const QString accountFile = idPassIniPath();
            const QString id = ReadIniText(accountFile, QStringLiteral("NAME"), QString());
            const QString password = ReadIniText(accountFile, QStringLiteral("NAME2"), QString());
            m_host.putAccountIntoAccountWindow(id, password);
            m_settings.setAccountId(id);
            m_settings.setAccountPassword(password);

            const OAuthSettings signIn = loadOAuthSettings(iniPath());
            const auto tokens = accountTokenProvider(id, signIn);
            if (!accountCanSignIn(m_settings.accountId(), m_settings.accountPassword(), signIn)) {
                m_host.showAccountWindow();
            } else if (tokens && tokens->mustSignIn()) {
                // Told when it happened; no login until the user signs in again.
            } else {
                outcome.loginTried = true;
                const int apop = m_settings.useApop() != 0 ? -1 : 0;
                outcome.messageCount =
                    tokens ? m_library.authenticateWithToken(handle, id, std::make_shared<AccountTokenSource>(tokens))
                           : m_library.NMailPop3Authenticate(handle, m_settings.accountId(),
                                                             m_settings.accountPassword(), apop);
                if (outcome.messageCount >= 0)
                    loggedIn(handle, outcome);
                if (outcome.messageCount > 0) {
                    walk(handle, outcome);
                } else if (outcome.messageCount < 0 && m_library.lastLoginWasBusy()) {
                    outcome.loginBusy = true;
                    if (++m_busyChecks % kBusyChecksBeforeTelling == 0)
                        showError(QStringLiteral("（%1 回続けてログインできませんでした。次のチェックでもう一度試します）")
                                      .arg(m_busyChecks));
                } else if (outcome.messageCount < 0) {
                    m_busyChecks = 0;
                    showError();
                }
            }
            m_library.NMailPop3Close(handle);
            // What was read is still reported below, but a watched sender
            // further on was never looked at: the user must know.
            if ((outcome.walkCutAt > 0 || outcome.abandonedAt > 0) && outcome.lastRead < outcome.messageCount)
                showCutWalk(outcome);
        }
    }

    report(outcome);

    // 9: after every check, whatever happened before.
    if (m_host.hangUpTicked())
        m_host.hangUp();
    m_body.clear();
    m_watched.clear();
    return outcome;
}

void CheckMail::showError(const QString& addition)
{
    int size = kBufferSize;
    m_library.NMailGetMessage(0, m_buffer[0], size);
    m_host.showLoginError(CutAtNul(m_buffer[0]) + addition);
}

void CheckMail::loggedIn(int handle, CheckOutcome& /*outcome*/)
{
    m_busyChecks = 0;
    m_sinceLogin.start();
    m_loginDelayMs = qint64(std::min(m_library.loginDelaySeconds(handle), kMaxLoginDelaySeconds)) * 1000;
    m_loginDelayServer = m_settings.pop3Server();
}

// A server that asks for a least time between logins (LOGIN-DELAY) refuses
// one that comes sooner, and a refused login is a lost check: so a check
// that comes too soon waits until the server allows it.
void CheckMail::waitForLoginDelay(bool scheduled, CheckOutcome& outcome)
{
    if (m_loginDelayMs <= 0 || !m_sinceLogin.isValid() || m_loginDelayServer != m_settings.pop3Server())
        return;
    const qint64 left = m_loginDelayMs - m_sinceLogin.elapsed();
    if (left <= 0)
        return;
    if (!scheduled)
        m_host.showWaitNotice(QStringLiteral("サーバーが前回のログインから %1 秒間は次のログインを受け付けないため、"
                                             "あと %2 秒待ってからチェックします")
                                  .arg(m_loginDelayMs / 1000)
                                  .arg((left + 999) / 1000));
    m_host.waitWithEvents(int(left));
    outcome.loginDelayWaitMs = int(left);
    if (!scheduled)
        m_host.showWaitNotice(QString());
}

void CheckMail::showCutWalk(const CheckOutcome& outcome)
{
    QString reason;
    if (outcome.walkCutAt > 0) {
        const int seconds = m_walkLimit / 1000;
        reason = seconds >= 60 && seconds % 60 == 0
                     ? QStringLiteral("確認にかけられる時間（%1 分）を使い切りました。").arg(seconds / 60)
                     : QStringLiteral("確認にかけられる時間（%1 秒）を使い切りました。").arg(seconds);
    } else {
        // The library's own words for what broke the session.
        int size = kBufferSize;
        m_library.NMailGetMessage(0, m_buffer[0], size);
        reason = CutAtNul(m_buffer[0]);
        if (reason.isEmpty())
            reason = QStringLiteral("サーバーとの接続が途中で切れました。");
    }
    const QString progress = outcome.lastRead > 0
                                 ? QStringLiteral("%1 通中 %2 通目まで確認しました。").arg(outcome.messageCount).arg(outcome.lastRead)
                                 : QStringLiteral("%1 通のうち 1 通も確認できませんでした。").arg(outcome.messageCount);
    m_host.showLoginError(QStringLiteral("メールの確認を途中で打ち切りました。%1\n%2\n"
                                         "残りのメールの差出人は調べていません。")
                              .arg(progress, reason));
}

// Step 6 for the messages 1 to MessageCount, within the walk's time limit.
void CheckMail::walk(int handle, CheckOutcome& outcome)
{
    const QDeadlineTimer deadline(m_walkLimit);
    m_library.planWalk(handle, outcome.messageCount);
    for (int m = 1; m <= outcome.messageCount; ++m) {
        if (deadline.hasExpired()) {
            outcome.walkCutAt = m;
            return;
        }
        checkMessage(handle, m, outcome);
        if (!m_library.isSessionUsable(handle)) {
            // Every later call would fail at once; going on through a count
            // of up to two billion would only keep the window frozen.
            outcome.abandonedAt = m;
            return;
        }
    }
}

void CheckMail::checkMessage(int handle, int number, CheckOutcome& outcome)
{
    // Cleared first, so a failed status read can never match the previous
    // message's sender a second time.
    for (QString& b : m_buffer)
        b.clear();
    if (m_library.NMailPop3GetMailStatus(handle, number, m_buffer[0], m_buffer[1], m_buffer[2], m_buffer[3], 0) >= 0)
        outcome.lastRead = number;

    // The store is read again for every message (a missing one is created
    // empty); the keyword set behind the matcher is rebuilt only when its
    // bytes changed. A store that cannot be read holds no keywords.
    QElapsedTimer timer;
    timer.start();
    const QString sender = CutAtNul(m_buffer[2]);
    const SenderMatch match = m_matcher.match(sender);
    outcome.matchCount = std::int16_t(std::min<std::int64_t>(kMatchCountMax, std::int64_t(outcome.matchCount) + match.matchCount));
    outcome.matchingNanoseconds += timer.nsecsElapsed();
    outcome.recordsIgnored = outcome.recordsIgnored || match.status.recordsIgnored;
    if (match.matchCount > 0 && m_watched.size() < kWatchedListMax)
        m_watched.append({messageIdentity(CutAtNul(m_buffer[3]), sender, m_buffer[1], m_buffer[0]), sender,
                          CutAtNul(m_buffer[0])});
    if (match.recordCount > 0) {
        // Text3 is refilled for every record, so what stays selected is the
        // last record's keyword, when that one was found.
        const int p = keywordPosition(sender, match.lastKeyword);
        if (p > 0)
            m_host.setMatchWorkBoxes(sender, match.lastKeyword, p - 1, int(match.lastKeyword.size()));
        else
            m_host.setMatchWorkBoxes(sender, match.lastKeyword, 0, 0);
    }

    const int size = m_library.NMailPop3GetMailSize(handle, number);
    if (size < 0) {
        // The size query failed: there is nothing sensible to size the body by.
        ++outcome.sizeFailures;
        return;
    }
    m_library.NMailPop3GetMail(handle, number, m_buffer[0], m_buffer[1], m_buffer[2], m_buffer[3], m_body, 0, 0);
    m_body.clear();
    ++outcome.getMailCalls;
}

void CheckMail::report(const CheckOutcome& outcome)
{
    if (outcome.messageCount <= 0)
        return;
    if (!m_host.mailerLaunchTicked()) {
        m_host.setBoardTexts(QStringLiteral("新着メールが有ります"), QString::number(outcome.messageCount));
        if (m_host.boardAutoCloseTicked()) {
            m_host.showBoard();
            m_host.waitWithEvents(1000);
            m_host.unloadBoard();
        } else {
            m_host.showBoard();
        }
        if (outcome.matchCount > 0) {
            m_host.startAlert();
            m_host.announceWatchedMessages(m_watched);
        }
    } else if (const QString program = mailProgramToStart(m_host.mailerPath()); !program.isEmpty()) {
        m_host.startMailProgram(program);
    }
}

} // namespace qp
