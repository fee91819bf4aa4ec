#pragma once
#include <QList>
#include <QString>

#include <functional>

namespace qp {

// A message whose sender matched the watch list, as one check found it.
struct WatchedMessage {
    QString identity; // its Message-ID; sender, date and subject when it has none
    QString sender;   // the From field, decoded
    QString subject;  // decoded
};

// What the check cycle needs from the windows. The main window implements
// it; tests fake it. Each call stands for one control or operation of the
// windows, touched at the moment the check reaches it, so settings changed
// while a check waits are seen as they are at that moment.
class CheckHost {
public:
    virtual ~CheckHost() = default;

    // IdPassForm.IdText and IdPassForm.PassText get the account read from
    // the file (the first touch loads the account window hidden, running its
    // own load first).
    virtual void putAccountIntoAccountWindow(const QString& id, const QString& password) = 0;
    // Shows the account window, modeless; the check goes on at once.
    virtual void showAccountWindow() = 0;

    // MainForm.Text3 (sender) and MainForm.Text6 (keyword) as the matching
    // of the last message read left them, with Text3's selection (start
    // 0-based, length; 0, 0 when the last keyword was not found). Called once
    // per check, after every message was matched (no event runs in between,
    // so the earlier messages' values could never be seen), and only when
    // the keyword store holds a record.
    virtual void setMatchWorkBoxes(const QString& text3, const QString& text6, int selStart, int selLength) = 0;

    // MainForm.Check2 has the value 1: start the mail program instead of the board.
    virtual bool mailerLaunchTicked() = 0;
    // MainForm.Text7: the mail program's path, or "未設定".
    virtual QString mailerPath() = 0;
    // SetForm.Check2 has the value 1: the board closes itself after a second.
    virtual bool boardAutoCloseTicked() = 0;
    // SetForm.Check1 has the value 1: hang up after the check.
    virtual bool hangUpTicked() = 0;

    // MsgForm.Text1 and MsgForm.Text2 (the first touch loads the board).
    virtual void setBoardTexts(const QString& text1, const QString& text2) = 0;
    // Shows the board, modeless.
    virtual void showBoard() = 0;
    // Unloads the board.
    virtual void unloadBoard() = 0;

    // Calls then once the milliseconds have passed, returning at once: the
    // program handles events meanwhile (a timer), so the wait holds nothing
    // up. then is not called after the host is gone.
    virtual void after(int milliseconds, std::function<void()> then) = 0;

    // MainForm.Command2_Click: starts the alert.
    virtual void startAlert() = 0;
    // Right after startAlert: the messages whose senders raised it (at most
    // CheckMail::kWatchedListMax), for the desktop's own notifications.
    virtual void announceWatchedMessages(const QList<WatchedMessage>& messages) { (void)messages; }
    // Starts the mail program: the path as given (already trimmed), no
    // shell, no arguments, not waited for.
    virtual void startMailProgram(const QString& program) = 0;
    // MainForm.Command5_Click: hangs up every dial-up connection.
    virtual void hangUp() = 0;
    // A message box titled "エラー" with a single OK button, for a refused
    // login, a TLS failure at connect and a walk cut short. It returns at
    // once: an open box never holds up checking. While one is open a later
    // failure opens no second box but is told in the open one, first.
    virtual void showLoginError(const QString& text) = 0;
    // Why a check asked for by the user waits (another check is running, or
    // the server's least time between logins), shown without holding the
    // check up; an empty text takes it down again.
    virtual void showWaitNotice(const QString& /*text*/) {}
    // What holds the automatic checks back, for the status lamp's tooltip;
    // empty when nothing does.
    virtual void showCheckStatus(const QString& /*text*/) {}
    // Automatic checking is on (an interval is set): a failure can be tried
    // again by the next check.
    virtual bool automaticCheckingOn() { return true; }
};

} // namespace qp
