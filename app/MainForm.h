#pragma once
#include "actions/MailerChoice.h"
#include "check/CheckHost.h"
#include "check/Scheduler.h"
#include "settings/AutoCheckDisplay.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QMessageBox>
#include <QWindow>
#include <QPixmap>
#include <memory>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPushButton;
class QTimer;

namespace qp {

struct AppServices;
class Alert;
class TrayIcon;
class BannerStrip;
class WindowBlit;
class CheckMail;
struct CheckOutcome;
class PicturePane;

// The main window: the program's start-up object and the only window that
// lives for the whole run. It holds the controls that double as live settings
// (Text7, Check2, Check4, the counters) and forwards every trigger to the
// operation it names; the work itself lives in the subsystems.
class MainForm : public QMainWindow, public CheckHost, public AutoCheckDisplay {
    Q_OBJECT
public:
    explicit MainForm(AppServices& services, QWidget* parent = nullptr);
    ~MainForm() override;

    // Start-up: runs once, after construction, before the event loop.
    void Form_Load();

    // --- Triggers (menu items forward to buttons, buttons to operations) ---
    void mcheck_Click();
    void mset_Click();
    void mtask_Click();
    void mset2_Click();
    void mzenmen_Click();
    void mkaijyo_Click();
    void mhp_Click();
    void Command1_Click();  // go to the tray
    void Command2_Click();  // start the alert
    void Command3_Click();  // end the alert
    void Command4_Click();  // keyword window
    void Command5_Click();  // hang up dial-up connections
    void Command7_Click();  // choose the mail program
    void Command8_Click();  // check mail now
    void Command9_Click();  // check settings window
    void Command10_Click(); // homepage prompt
    void Command11_Click(); // asks for a window the program does not have
    void Check4_Click();    // silence the alert
    void Picture1_Click();
    void Picture7_Click();
    void Picture8_MouseMove();
    void Picture10_Click();
    void Label2_DblClick();
    void TrayControl1_MouseEvent(int code);
    void mnu_Popup_Click(int index);

    // Timers: 100 ms check trigger, 100 ms alert end watcher, 1 s counters,
    // 20 ms banner step (its timer takes kBannerStepsPerWake steps at a
    // time), 1 s status lamp.
    static constexpr int kBannerStepMilliseconds = 20;
    static constexpr int kBannerStepsPerWake = 2;
    void Timer1_Timer();
    void Timer2_Timer();
    void Timer3_Timer();
    void Timer4_Timer();
    void Timer5_Timer();

    // --- Controls other windows and the check cycle read or set ---
    QString text7() const;
    void setText7(const QString& text);
    QString text8() const;
    bool check2Value() const;
    void setCheck2Value(bool on);
    bool check4Value() const;
    // Setting the value from code counts as a click when it changes.
    void setCheck4Value(bool on);
    bool check1Value() const;
    void setCheck1Value(bool on);
    bool check3Value() const;
    QString label4Text() const;
    QString text5Text() const;
    QString text1() const;
    QString text4() const;
    QString text3() const;
    QString text6() const;
    QString label1Caption() const;
    int label1LeftTwips() const { return m_label1LeftTwips; }
    QTimer* timer(int number) const;
    TrayIcon* trayIcon() const { return m_tray; }
    QMenu* popupMenu() const { return m_mnuPopup; }
    QMenu* fileMenu() const { return m_mfile; }
    QAction* menuAction(const QString& name) const;
    PicturePane* picturePane() const { return m_webBrowser1; }
    QWidget* control(const QString& name) const;

    // Main window's ON/OFF display of automatic checking, set by the interval
    // box of the check settings window.
    void autoCheckOn(const QString& intervalText) override;
    void autoCheckOff(const QString& intervalText) override;

    // --- What the check cycle reaches through ---
    void putAccountIntoAccountWindow(const QString& id, const QString& password) override;
    void showAccountWindow() override;
    void setMatchWorkBoxes(const QString& text3, const QString& text6, int selStart, int selLength) override;
    bool mailerLaunchTicked() override;
    QString mailerPath() override;
    bool boardAutoCloseTicked() override;
    bool hangUpTicked() override;
    void setBoardTexts(const QString& text1, const QString& text2) override;
    void showBoard() override;
    void unloadBoard() override;
    void after(int milliseconds, std::function<void()> then) override;
    bool automaticCheckingOn() override;
    void showCheckStatus(const QString& text) override;
    void startAlert() override;
    void announceWatchedMessages(const QList<WatchedMessage>& messages) override;
    void startMailProgram(const QString& program) override;
    void hangUp() override;
    void showLoginError(const QString& text) override;
    void showWaitNotice(const QString& text) override;

    Alert& alert() const { return *m_alert; }
    qp::CheckMail& checkMail() const { return *m_checkMail; }
    Scheduler& scheduler() { return m_scheduler; }

    // Where no system tray exists, going to the tray minimises instead.
    static void setTrayAvailabilityOverride(int available); // -1 = ask the system

    // Every orderly end of the session runs the unload: SIGTERM, SIGHUP and
    // SIGINT (handed to the event loop), and the session manager's quit.
    // Its request to save stores the remembered values at once (the logout
    // may still be cancelled); the unload that follows does not write them
    // again unless they changed. Called once, after Form_Load.
    void endWithSession();
    // What the session manager's request to save does.
    void commitSessionData();

    // Ends the process at once (tests replace it).
    static void setProcessExit(std::function<void(int)> exitFn);
    static void exitProcessNow();

    // Whether the window can be seen now: shown, not minimised and, where
    // the platform says so, not covered. While it cannot, the banner and the
    // picture pane rest (see updateIdleState).
    bool canBeSeen() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildControls();
    void buildMenus();
    void buildTimers();
    void installFormFactories();
    void showLamp(Lamp lamp);
    void armTimer1();
    void updateIdleState();
    BannerState bannerStep();
    void showBanner(const BannerState& state);
    void Form_Unload();
    QStringList rememberedValues() const;
    void writeRememberedValues(const QStringList& values);
    void setTopmost(bool on);
    void CheckMail();
    // Starts, restarts or stops the push watcher after the interval, the
    // server or the account changed.
    void updatePush();
    // The watcher saw the inbox change: the check the interval starts.
    void pushedCheck();
    QString tipTimeText() const;
    QString trayToolTip() const;
    void noteWaitingCount(const CheckOutcome& outcome);
    void connectDesktopNotifier();

    AppServices& m_services;

    // Visible controls.
    QWidget* m_picture2 = nullptr;
    PicturePane* m_webBrowser1 = nullptr;
    QLabel* m_label4 = nullptr;
    QCheckBox* m_check3 = nullptr;
    QLineEdit* m_text5 = nullptr;
    QLabel* m_label2 = nullptr;
    QFrame* m_line1 = nullptr;
    QPushButton* m_command4 = nullptr;
    QLabel* m_label3 = nullptr;
    QCheckBox* m_check2 = nullptr;
    QPushButton* m_command2 = nullptr;
    QPushButton* m_command3 = nullptr;
    BannerStrip* m_picture5 = nullptr;
    WindowBlit* m_blit = nullptr;

    // Controls outside the visible area: named operations and work fields.
    QWidget* m_outside = nullptr;
    QPushButton* m_command1 = nullptr;
    QPushButton* m_command5 = nullptr;
    QPushButton* m_command7 = nullptr;
    QPushButton* m_command8 = nullptr;
    QPushButton* m_command9 = nullptr;
    QPushButton* m_command10 = nullptr;
    QPushButton* m_command11 = nullptr;
    QCheckBox* m_check1 = nullptr;
    QCheckBox* m_check4 = nullptr;
    QLabel* m_picture1 = nullptr;
    QLabel* m_picture7 = nullptr;
    QLabel* m_picture8 = nullptr;
    QLabel* m_picture10 = nullptr;
    QLineEdit* m_text1 = nullptr;
    QLineEdit* m_text2 = nullptr;
    QLineEdit* m_text3 = nullptr;
    QLineEdit* m_text4 = nullptr;
    QLineEdit* m_text6 = nullptr;
    QLineEdit* m_text7 = nullptr;
    QLineEdit* m_text8 = nullptr;

    QMenu* m_mfile = nullptr;
    QMenu* m_mnuPopup = nullptr;
    TrayIcon* m_tray = nullptr;
    QString m_trayTime;     // when the window last went to the tray
    int m_waitingCount = -1; // messages the last check that logged in counted; -1 before any

    QTimer* m_timer1 = nullptr;
    QTimer* m_timer2 = nullptr;
    QTimer* m_timer3 = nullptr;
    QTimer* m_timer4 = nullptr;
    QTimer* m_timer5 = nullptr;

    std::unique_ptr<Alert> m_alert;
    std::unique_ptr<qp::CheckMail> m_checkMail;
    Scheduler m_scheduler;
    MailerChooser m_chooser;
    QPixmap m_lampPixmaps[2];

    int m_label1LeftTwips = Scheduler::kBannerStartTwips;
    // The banner's clock while it rests: its steps are made up when shown.
    QElapsedTimer m_bannerClock;
    qint64 m_bannerRestingSinceMs = 0;
    qint64 m_bannerOwedMs = 0;
    QPointer<QWindow> m_watchedWindow;
    QPointer<QMessageBox> m_waitNotice; // why a manual check waits (LOGIN-DELAY)
    bool m_unloaded = false;
    QPointer<QMessageBox> m_errorBox; // the "エラー" box while it is open
    QStringList m_errorTexts;         // what it tells, newest first
    static constexpr int kErrorTextsShown = 3;
    QStringList m_committedValues; // NAME, NUMBER3, NUMBER5 as the last save request wrote them
    bool m_timer1Busy = false;
    bool m_timer2Busy = false;
    bool m_timer3Busy = false;
    bool m_timer4Busy = false;
};

} // namespace qp
