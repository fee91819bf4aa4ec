// The main window's operations: start-up, shutdown, the timers and what the
// check cycle reaches through. Each handler hands plain values to the
// subsystem that does the work.
#include "app/AppServices.h"
#include "app/BannerStrip.h"
#include "app/MainForm.h"
#include "app/TrayIcon.h"

#include "actions/ActionsUi.h"
#include "actions/MailerLaunch.h"
#include "check/CheckMail.h"
#include "check/Reentry.h"
#include "notify/Alert.h"
#include "notify/PicturePane.h"
#include "platform/Cp932.h"
#include "platform/MessageBoxes.h"
#include "platform/ProcessEnd.h"
#include "settings/IniFile.h"
#include "settings/OAuthAccount.h"
#include "settings/OAuthSettings.h"
#include "settings/ServerFile.h"
#include "settings/SettingsPaths.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QSessionManager>
#include <QScreen>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <cstdlib>

namespace qp {

void MainForm::installFormFactories()
{
    Forms& forms = m_services.forms;
    forms.setForm.setFactory([this] {
        auto* form = new SetForm(*this, [this] { m_services.forms.idPassForm.show(); },
                                 [this] { m_services.forms.optionForm.show(); });
        // Timer1's next tick loads the window again, hidden, from the file.
        connect(form, &QObject::destroyed, m_timer1, [timer = m_timer1] {
            if (!timer->isActive())
                timer->start();
        });
        return form;
    });
    // The account and the server windows apply their values as they close.
    forms.idPassForm.setFactory([this] {
        auto* form = new IdPassForm(m_services.settings);
        connect(form, &QObject::destroyed, this, &MainForm::updatePush, Qt::QueuedConnection);
        return form;
    });
    forms.optionForm.setFactory([this] {
        auto* form = new OptionForm(m_services.settings);
        connect(form, &QObject::destroyed, this, &MainForm::updatePush, Qt::QueuedConnection);
        return form;
    });
    forms.gekitaiForm.setFactory([this] { return new GekitaiForm(check1Value() ? 1 : 0); });
    forms.msgForm.setFactory([] { return new MsgForm(); });

    m_alert = std::make_unique<Alert>(*m_services.sound, *m_webBrowser1, *m_timer2, *m_check1, this);
    // A tray that can ask for the user's eye does so while an alert runs.
    connect(m_alert.get(), &Alert::alertingChanged, this, [this](bool on) {
        if (m_tray)
            m_tray->setNeedsAttention(on);
    });
    m_checkMail = std::make_unique<qp::CheckMail>(*m_services.mail, m_services.settings, *this);
    m_checkMail->setFinishedHandler([this](const CheckOutcome& outcome) {
        noteWaitingCount(outcome);
        if (outcome.recordsIgnored)
            GekitaiForm::tellOfIgnoredRecordsOnce(this);
    });
    if (PushWatcher* push = m_services.push.get()) {
        connect(push, &PushWatcher::checkWanted, this, &MainForm::pushedCheck);
        connect(push, &PushWatcher::loginRefused, this, &MainForm::showLoginError);
    }
}

// ---------------------------------------------------------------- start-up

void MainForm::Form_Load()
{
    const QString ini = iniPath();

    // 1. Topmost, and shown, centred on the screen the first time.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        adjustSize();
        move(area.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
    }
    setTopmost(true);

    // 2. The hang-up option; the first touch loads the check settings window,
    //    whose own load fills its boxes and switches automatic checking.
    const int number = ReadIniInt(ini, QStringLiteral("NUMBER"));
    SetForm* setForm = m_services.forms.setForm.touch();
    if (number == 1)
        setForm->setCheck1Value(1);
    else if (number == 0)
        setForm->setCheck1Value(0);

    // 3. The server settings, from the working directory.
    LoadServerFile(m_services.settings);

    // 4. The mail library.
    m_services.mail->post([](MailLibrary& library) {
        library.NMailInitializeWinSock();
        library.NMailSetOption(1, 8192);
    });

    // 5. No server: ask for one.
    if (m_services.settings.pop3Server().isEmpty())
        m_services.forms.optionForm.show();

    // 6. No account: ask for one (independent of step 5). An account that
    // signs in with OAuth has no password: its sign-in settings count.
    IdPassForm* idPass = m_services.forms.idPassForm.touch();
    if (!accountCanSignIn(idPass->idText(), idPass->passText(), loadOAuthSettings(ini)))
        m_services.forms.idPassForm.show();

    // 7. The idle picture; 8. the sound device closed.
    m_alert->showIdlePicture();
    m_alert->stopTune();

    // 9. The interval (a different text runs the box's change rule).
    m_services.forms.setForm.touch()->setText2(QString::number(ReadIniInt(ini, QStringLiteral("NUMBER2"))));

    // 10. The mail program.
    setText7(ReadIniText(ini, QStringLiteral("NAME"), kNotSet));

    // 11. Launch the mail program on new mail.
    const int number3 = ReadIniInt(ini, QStringLiteral("NUMBER3"));
    if (number3 == 1)
        setCheck2Value(true);
    else if (number3 == 0)
        setCheck2Value(false);

    // 12. Silence; a change of value counts as a click.
    const int number5 = ReadIniInt(ini, QStringLiteral("NUMBER5"));
    if (number5 == 1)
        setCheck4Value(true);
    else if (number5 == 0)
        setCheck4Value(false);

    // The server is known only now.
    updatePush();
}

// ---------------------------------------------------------------- shutdown

QStringList MainForm::rememberedValues() const
{
    return {text7(), check2Value() ? QStringLiteral("1") : QStringLiteral("0"),
            check4Value() ? QStringLiteral("1") : QStringLiteral("0")};
}

void MainForm::writeRememberedValues(const QStringList& values)
{
    const QString ini = iniPath();
    WriteIniText(ini, QStringLiteral("NAME"), values[0]);
    WriteIniText(ini, QStringLiteral("NUMBER3"), values[1]);
    WriteIniText(ini, QStringLiteral("NUMBER5"), values[2]);
}

void MainForm::Form_Unload()
{
    // A second way out (a signal while the window closes) finds it done.
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_alert->stopTune();
    m_alert->stopWatcher();
    const QStringList values = rememberedValues();
    if (values != m_committedValues)
        writeRememberedValues(values);
    if (m_services.push)
        m_services.push->shutdown();
    m_services.mail->end();
    MainForm::exitProcessNow();
}

void MainForm::commitSessionData()
{
    m_committedValues = rememberedValues();
    writeRememberedValues(m_committedValues);
}

namespace {
MainForm* g_endingForm = nullptr;
} // namespace

void MainForm::endWithSession()
{
    deliverTerminationSignals([this](int) { Form_Unload(); });
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { commitSessionData(); });
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { Form_Unload(); });
    // Qt's X11 plugin ends the process with exit() when the X server goes
    // away (at the end of an X session it can go first), past the handlers
    // above; the unload runs then too. Registered after the load, so that it
    // runs before the destructors of what the load set up.
    static const bool registered = std::atexit([] {
        if (g_endingForm)
            g_endingForm->Form_Unload();
    }) == 0;
    Q_UNUSED(registered);
    g_endingForm = this;
    connect(this, &QObject::destroyed, [this] {
        if (g_endingForm == this)
            g_endingForm = nullptr;
    });
}

// -------------------------------------------------------------- operations

void MainForm::Command2_Click() { m_alert->Command2_Click(); }
void MainForm::Command3_Click() { m_alert->Command3_Click(); }
void MainForm::Check4_Click() { m_alert->Check4_Click(); }
void MainForm::Command4_Click() { m_services.forms.gekitaiForm.show(); }
void MainForm::Command9_Click() { m_services.forms.setForm.show(); }

void MainForm::Command5_Click()
{
    if (m_services.hangUpDialUp)
        m_services.hangUpDialUp();
}

void MainForm::Command7_Click()
{
    const MailerChooser::Choice choice = chooseMailProgram(this, m_chooser);
    setText7(choice.mailProgramPath);
    m_text8->setText(choice.mailProgramTitle);
    // The path is stored in Shift-JIS at shutdown; one it cannot hold would
    // be lost without a word then, so say so now, while the user can act.
    if (!cp932::canEncode(choice.mailProgramPath))
        notifyNonBlocking(this, QStringLiteral("このメーラーのパスには Shift-JIS で保存できない文字が含まれているため、"
                                               "今回の起動中だけ使われ、次回の起動時には残りません。"));
    // The file gives back at most 255 bytes; a longer path is not written.
    else if (cp932::byteLength(choice.mailProgramPath) > kMaxIniValueBytes)
        notifyNonBlocking(this, QStringLiteral("このメーラーのパスは長すぎるため (Shift-JIS で %1 バイトまで)、"
                                               "今回の起動中だけ使われ、次回の起動時には残りません。")
                                    .arg(kMaxIniValueBytes));
}

void MainForm::Picture10_Click()
{
    showHomepagePrompt(this);
}

void MainForm::Command8_Click() { CheckMail(); }
void MainForm::Picture7_Click() { CheckMail(); }

void MainForm::CheckMail()
{
    // Returns at once; the check goes on from each answer. One asked for
    // while another runs is answered there (the user's) or held back by the
    // scheduler (the interval's).
    m_checkMail->start(m_timer1Busy);
}

void MainForm::updatePush()
{
    PushWatcher* push = m_services.push.get();
    if (!push)
        return;
    // Interval 0 means checks by hand only: nothing pushed either. The
    // account is the one each check reads from the file.
    const QString server = m_services.settings.pop3Server();
    if (!check3Value() || m_unloaded || server.isEmpty()) {
        push->stop();
        return;
    }
    const QString accountFile = idPassIniPath();
    push->watch({server, ReadIniText(accountFile, QStringLiteral("NAME"), QString()), storedAccountPassword()});
}

void MainForm::pushedCheck()
{
    // As Timer1 starts it; while a check runs, the watcher asks again later.
    if (m_timer1Busy || m_checkMail->isRunning()) {
        m_services.push->deferCheck();
        return;
    }
    ReentryGuard guard(m_timer1Busy);
    Picture7_Click();
}

// ------------------------------------------------------------------ timers

void MainForm::Timer1_Timer()
{
    // Reading the interval box loads the check settings window if the user
    // has closed it, which refills it from the file.
    const QString interval = m_services.forms.setForm.touch()->text2();
    // A check that falls due while one runs waits for it to end.
    const bool checkRunning = m_checkMail->isRunning();
    if (!m_scheduler.checkDue(interval, checkRunning))
        return;
    ReentryGuard guard(m_timer1Busy);
    Picture7_Click();
}

void MainForm::Timer2_Timer()
{
    ReentryGuard guard(m_timer2Busy);
    if (!guard.entered())
        return;
    m_alert->Timer2_Timer();
}

void MainForm::Timer3_Timer()
{
    ReentryGuard guard(m_timer3Busy);
    if (!guard.entered())
        return;
    m_scheduler.secondTick(m_services.forms.setForm.touch()->text2());
    m_text1->setText(m_scheduler.minuteCounter());
    m_text4->setText(m_scheduler.secondCounter());
    armTimer1(); // the counter moved
}

void MainForm::Timer4_Timer()
{
    ReentryGuard guard(m_timer4Busy);
    if (!guard.entered())
        return;
    BannerState state;
    for (int i = 0; i < kBannerStepsPerWake; ++i)
        state = bannerStep();
    showBanner(state);
}

BannerState MainForm::bannerStep()
{
    BannerState state = m_scheduler.bannerTick(text7());
    if (m_text8->text() != state.text8)
        m_text8->setText(state.text8);
    m_label1LeftTwips = state.leftTwips;
    return state;
}

void MainForm::showBanner(const BannerState& state)
{
    m_picture5->setCaption(state.caption);
    // A hidden window costs nothing: the strip catches up when shown.
    if (isVisible() && !isMinimized())
        m_picture5->setCaptionLeft(state.leftTwips / 15);
}

void MainForm::Timer5_Timer()
{
    // The two-second wait is a timer, not a nested event loop, which would
    // hold up a check waiting for its server in an outer one. The scheduler
    // drops the ticks that fall due meanwhile.
    const auto autoCheckOn = [this] { return check3Value(); };
    const auto show = [this](Lamp lamp) { showLamp(lamp); };
    if (m_scheduler.lampBegin(autoCheckOn, show))
        QTimer::singleShot(Scheduler::kLampWaitMilliseconds, this,
                           [this, autoCheckOn, show] { m_scheduler.lampFinish(autoCheckOn, show); });
}

void MainForm::showLamp(Lamp lamp)
{
    QPixmap& pm = m_lampPixmaps[lamp == Lamp::Green ? 0 : 1];
    if (pm.isNull())
        pm.load(lampPicturePath(lamp)); // loaded once; a missing picture leaves the lamp empty
    m_picture5->setLamp(pm);
}

// ------------------------------------------------------ the check's reach

void MainForm::putAccountIntoAccountWindow(const QString& id, const QString& password)
{
    IdPassForm* form = m_services.forms.idPassForm.touch();
    form->setIdText(id);
    form->setPassText(password);
}

void MainForm::showAccountWindow() { m_services.forms.idPassForm.show(); }

void MainForm::setMatchWorkBoxes(const QString& text3, const QString& text6, int selStart, int selLength)
{
    m_text3->setText(text3);
    m_text6->setText(text6);
    m_text3->setSelection(selStart, selLength);
}

bool MainForm::mailerLaunchTicked() { return check2Value(); }
QString MainForm::mailerPath() { return text7(); }
bool MainForm::boardAutoCloseTicked() { return m_services.forms.setForm.touch()->check2Value() == 1; }
bool MainForm::hangUpTicked() { return m_services.forms.setForm.touch()->check1Value() == 1; }

void MainForm::setBoardTexts(const QString& text1, const QString& text2)
{
    MsgForm* board = m_services.forms.msgForm.touch();
    board->setText1(text1);
    board->setText2(text2);
}

void MainForm::showBoard()
{
    m_services.forms.msgForm.show();
    // The board stays on top and opens in the middle of the screen, where
    // an open "エラー" box is: the box's text must stay readable.
    if (m_errorBox)
        m_errorBox->raise();
}
void MainForm::unloadBoard() { m_services.forms.msgForm.unload(); }
void MainForm::after(int milliseconds, std::function<void()> then)
{
    QTimer::singleShot(milliseconds, this, std::move(then));
}

bool MainForm::automaticCheckingOn() { return check3Value(); }

void MainForm::showCheckStatus(const QString& text)
{
    m_picture5->setToolTip(text);
}
void MainForm::startAlert() { Command2_Click(); }

void MainForm::announceWatchedMessages(const QList<WatchedMessage>& messages)
{
    if (!m_services.notifier)
        return;
    QList<DesktopNotifier::Message> list;
    for (const WatchedMessage& m : messages)
        list.append({m.identity, m.sender, m.subject});
    m_services.notifier->announce(list, !mailProgramToStart(text7()).isEmpty());
}

void MainForm::connectDesktopNotifier()
{
    if (!m_services.notifier)
        return;
    connect(m_services.notifier.get(), &DesktopNotifier::showRequested, this, [this] { mnu_Popup_Click(0); });
    // The path of the moment, as a launch after a check would take it.
    connect(m_services.notifier.get(), &DesktopNotifier::mailProgramRequested, this,
            [this] { launchMailProgramOrNotify(this, text7()); });
}

void MainForm::noteWaitingCount(const CheckOutcome& outcome)
{
    // Only a check that logged in knows the count; a failed one leaves the
    // last known count standing.
    if (!outcome.started || !outcome.loginTried || outcome.messageCount < 0)
        return;
    m_waitingCount = outcome.messageCount;
    if (m_tray)
        m_tray->setToolTip(trayToolTip());
}

QString MainForm::trayToolTip() const
{
    // The time the window went to the tray, then what the last check counted.
    if (m_waitingCount < 0)
        return m_trayTime;
    return QStringLiteral("%1\n新着メール %2 通").arg(m_trayTime).arg(m_waitingCount);
}

void MainForm::startMailProgram(const QString& program) { launchMailProgramOrNotify(this, program); }
void MainForm::hangUp() { Command5_Click(); }

void MainForm::showLoginError(const QString& text)
{
    // Not waited for: checks go on while the user has not read it yet (a
    // wrong password or a passing lock must not silence the program). One
    // box at a time: a later, different failure goes on top of its text,
    // and the earlier ones stay below it (a few), so none is lost unread.
    if (m_errorBox) {
        if (m_errorTexts.first() == text)
            return;
        m_errorTexts.removeAll(text);
        m_errorTexts.prepend(text);
        while (m_errorTexts.size() > kErrorTextsShown)
            m_errorTexts.removeLast();
        m_errorBox->setText(m_errorTexts.join(QStringLiteral("\n\n")));
        m_errorBox->raise();
        return;
    }
    m_errorTexts = QStringList{text};
    m_errorBox = openMessage(this, {QMessageBox::NoIcon, QStringLiteral("エラー"), text, QMessageBox::Ok,
                                    QMessageBox::Ok});
    if (m_errorBox)
    {
        // Above the board, which stays on top (setting a flag hides the box).
        m_errorBox->setWindowFlag(Qt::WindowStaysOnTopHint);
        m_errorBox->show();
    }
}

void MainForm::showWaitNotice(const QString& text)
{
    if (text.isEmpty()) {
        if (m_waitNotice)
            m_waitNotice->close();
        return;
    }
    if (!m_waitNotice) {
        m_waitNotice = new QMessageBox(QMessageBox::Information, QStringLiteral("Quillpost"), text, QMessageBox::Ok, this);
        m_waitNotice->setTextFormat(Qt::PlainText);
        m_waitNotice->setAttribute(Qt::WA_DeleteOnClose);
        m_waitNotice->setModal(false);
    }
    m_waitNotice->setText(text);
    m_waitNotice->show();
}

} // namespace qp
