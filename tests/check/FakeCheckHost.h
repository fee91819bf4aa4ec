#pragma once
// A host that records every call of the check cycle in order, in one log
// shared with the fake mail library, and answers the option reads.
#include "check/CheckMail.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <utility>

#include <QStringList>

#include <functional>

namespace qp::test {

class FakeCheckHost : public CheckHost {
public:
    explicit FakeCheckHost(QStringList& log) : m_log(log) {}

    bool mailerTicked = false;
    QString text7 = QStringLiteral("未設定");
    bool autoClose = false;
    bool hangUpOn = false;
    // Runs inside a wait (after), as events would.
    std::function<void()> duringWait;

    QString idText, passText, text3, text6, boardText1, boardText2;
    int selStart = -1, selLength = -1;
    bool boardLoaded = false;

    void putAccountIntoAccountWindow(const QString& id, const QString& password) override
    {
        idText = id;
        passText = password;
        m_log << QStringLiteral("account:%1/%2").arg(id, password);
    }
    void showAccountWindow() override { m_log << QStringLiteral("showAccountWindow"); }
    void setMatchWorkBoxes(const QString& t3, const QString& t6, int start, int length) override
    {
        text3 = t3;
        text6 = t6;
        selStart = start;
        selLength = length;
    }
    bool mailerLaunchTicked() override { return mailerTicked; }
    QString mailerPath() override { return text7; }
    bool boardAutoCloseTicked() override { return autoClose; }
    bool hangUpTicked() override { return hangUpOn; }
    void setBoardTexts(const QString& t1, const QString& t2) override
    {
        boardLoaded = true;
        boardText1 = t1;
        boardText2 = t2;
        m_log << QStringLiteral("board:%1/%2").arg(t1, t2);
    }
    void showBoard() override { m_log << QStringLiteral("showBoard"); }
    void unloadBoard() override
    {
        boardLoaded = false;
        m_log << QStringLiteral("unloadBoard");
    }
    // A wait ends at once, after duringWait, unless waits are held: then it
    // ends when the test calls endHeldWait().
    void after(int ms, std::function<void()> then) override
    {
        m_log << QStringLiteral("wait:%1").arg(ms);
        if (duringWait)
            duringWait();
        if (holdWaits)
            held = std::move(then);
        else
            then();
    }
    bool holdWaits = false;
    std::function<void()> held;
    void endHeldWait() { std::exchange(held, nullptr)(); }
    bool autoCheckOn = true;
    bool automaticCheckingOn() override { return autoCheckOn; }
    void startAlert() override { m_log << QStringLiteral("alert"); }
    void announceWatchedMessages(const QList<WatchedMessage>& messages) override { announced = messages; }
    QList<WatchedMessage> announced;
    void startMailProgram(const QString& program) override { m_log << QStringLiteral("start:") + program; }
    void hangUp() override { m_log << QStringLiteral("hangUp"); }
    void showWaitNotice(const QString& text) override { m_log << QStringLiteral("notice:") + text; }
    void showLoginError(const QString& text) override
    {
        m_log << QStringLiteral("error:") + text;
    }

private:
    QStringList& m_log;
};

// Starts a check and lets the event loop run until it is over (at most a
// minute); started false when another check was running.
inline CheckOutcome runCheck(CheckMail& check, bool scheduled = false)
{
    CheckOutcome outcome;
    bool over = false;
    check.setFinishedHandler([&](const CheckOutcome& o) {
        outcome = o;
        over = true;
    });
    if (check.start(scheduled)) {
        QDeadlineTimer limit(60000);
        while (!over && !limit.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    check.setFinishedHandler(nullptr);
    return outcome;
}

} // namespace qp::test
