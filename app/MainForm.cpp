#include "app/MainForm.h"

#include "app/AppServices.h"
#include "app/BannerStrip.h"
#include "app/TrayIcon.h"
#include "check/Reentry.h"
#include "check/CheckMail.h"
#include "notify/Alert.h"
#include "notify/PicturePane.h"
#include "platform/AppFont.h"
#include "platform/MessageBoxes.h"
#include "platform/Numbers.h"
#include "platform/ProgramFolder.h"
#include "platform/ProgramIcon.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QDateTime>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QLinearGradient>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindow>

#include <unistd.h>

// The icon lives in a resource of this static library, which the linker
// does not register by itself.
namespace qp {

namespace {

int& trayOverride()
{
    static int value = -1;
    return value;
}

std::function<void(int)>& processExit()
{
    static std::function<void(int)> fn = [](int code) {
        // Ends the process at once: no other window gets its unload work.
        ::_exit(code);
    };
    return fn;
}

const QColor kDarkGrey(64, 64, 64);
const QColor kButtonGrey(192, 192, 192);

QPushButton* greyButton(const QString& caption, const QRect& geometry, QWidget* parent)
{
    auto* b = new QPushButton(caption, parent);
    b->setGeometry(geometry);
    b->setAutoFillBackground(true);
    QPalette p = b->palette();
    p.setColor(QPalette::Button, kButtonGrey);
    p.setColor(QPalette::ButtonText, Qt::black);
    b->setPalette(p);
    b->setFocusPolicy(Qt::TabFocus);
    return b;
}

QLabel* transparentLabel(const QString& text, const QRect& geometry, const QColor& colour, QWidget* parent)
{
    auto* l = new QLabel(text, parent);
    l->setGeometry(geometry);
    l->setAttribute(Qt::WA_TranslucentBackground);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
    return l;
}

} // namespace

MainForm::MainForm(AppServices& services, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                              | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_services(services)
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("ハルカゼ、お待ちしています　Ver 1.0"));
    setWindowIcon(programIcon());
    buildControls();
    buildMenus();
    buildTimers();
    installFormFactories();
    connectDesktopNotifier();
}

MainForm::~MainForm() = default;

void MainForm::buildControls()
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(228, 117);
    client->setAutoFillBackground(true);
    QPalette pal = client->palette();
    pal.setColor(QPalette::Window, kDarkGrey);
    client->setPalette(pal);
    setCentralWidget(client);

    m_picture2 = new QWidget(client);
    m_picture2->setObjectName(QStringLiteral("Picture2"));
    m_picture2->setGeometry(0, 0, 100, 103);
    m_webBrowser1 = new PicturePane(m_picture2);
    m_webBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    m_webBrowser1->setGeometry(0, 0, 100, 103);

    m_label4 = transparentLabel(QString(), QRect(109, 8, 33, 17), Qt::yellow, client);
    m_label4->setObjectName(QStringLiteral("Label4"));

    m_check3 = new QCheckBox(client);
    m_check3->setObjectName(QStringLiteral("Check3"));
    m_check3->setGeometry(144, 8, 17, 12);
    m_check3->setEnabled(false);

    m_text5 = new QLineEdit(client);
    m_text5->setObjectName(QStringLiteral("Text5"));
    m_text5->setGeometry(160, 5, 33, 18);
    m_text5->setEnabled(false);
    m_text5->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    m_label2 = transparentLabel(QStringLiteral("分"), QRect(200, 8, 25, 17), Qt::white, client);
    m_label2->setObjectName(QStringLiteral("Label2"));
    m_label2->installEventFilter(this);

    m_line1 = new QFrame(client);
    m_line1->setObjectName(QStringLiteral("Line1"));
    m_line1->setGeometry(96, 27, 136, 1);
    m_line1->setAutoFillBackground(true);
    QPalette white = m_line1->palette();
    white.setColor(QPalette::Window, Qt::white);
    m_line1->setPalette(white);

    m_command4 = greyButton(QStringLiteral("特定者の設定"), QRect(104, 32, 121, 20), client);
    m_command4->setObjectName(QStringLiteral("Command4"));
    connect(m_command4, &QPushButton::clicked, this, [this] { Command4_Click(); });

    m_label3 = transparentLabel(QStringLiteral("新着有りで設定メーラーを起動"), QRect(112, 53, 88, 25),
                                Qt::cyan, client);
    m_label3->setObjectName(QStringLiteral("Label3"));
    m_label3->setWordWrap(true);
    m_label3->setFont(gothicFont(7.5));

    m_check2 = new QCheckBox(client);
    m_check2->setObjectName(QStringLiteral("Check2"));
    m_check2->setGeometry(200, 60, 17, 17);
    // The boxes sit on the window's fixed dark grey, whatever the desktop's
    // palette: a dark theme's dark box would vanish into it. A white box
    // with a black mark (light grey when disabled) stands out either way.
    for (QCheckBox* box : {m_check2, m_check3}) {
        QPalette p = box->palette();
        p.setColor(QPalette::Base, Qt::white);
        p.setColor(QPalette::Text, Qt::black);
        p.setColor(QPalette::Window, kDarkGrey);
        p.setColor(QPalette::Disabled, QPalette::Base, kButtonGrey);
        p.setColor(QPalette::Disabled, QPalette::Text, QColor(64, 64, 64));
        box->setPalette(p);
    }
    m_label3->setBuddy(m_check2);
    // The label beside these shows a value (ON/OFF, 分), not their purpose.
    m_check3->setAccessibleName(QStringLiteral("自動チェック"));
    m_text5->setAccessibleName(QStringLiteral("チェック間隔（分）"));

    m_command2 = greyButton(QStringLiteral("確認♪"), QRect(104, 80, 65, 20), client);
    m_command2->setObjectName(QStringLiteral("Command2"));
    connect(m_command2, &QPushButton::clicked, this, [this] { Command2_Click(); });

    m_command3 = greyButton(QStringLiteral("戻す"), QRect(168, 80, 57, 20), client);
    m_command3->setObjectName(QStringLiteral("Command3"));
    connect(m_command3, &QPushButton::clicked, this, [this] { Command3_Click(); });

    m_picture5 = new BannerStrip(client);
    m_picture5->setObjectName(QStringLiteral("Picture5"));
    m_picture5->setGeometry(0, 99, 233, 20);
    // Label1 is drawn by the strip itself (first caption, left edge 3240 twips).
    m_picture5->setCaption(QStringLiteral("インターバルチェック"));
    m_picture5->setCaptionLeft(m_label1LeftTwips / 15);
    // So is the status lamp Image1, above the caption at the strip's left.

    // The banner's steps and the picture pane's frames go straight to the
    // window where they can.
    m_blit = new WindowBlit(this);
    m_picture5->setBlit(m_blit);
    m_webBrowser1->setFramePresenter([this](const QImage& frame, const QPoint& at) {
        return m_blit->put(m_webBrowser1, frame, at);
    });

    // The controls the user never sees live in a hidden container: they are
    // named operations and work fields.
    m_outside = new QWidget(this);
    m_outside->setObjectName(QStringLiteral("outside"));
    m_outside->hide();
    auto named = [this](QWidget* w, const char* name) {
        w->setObjectName(QString::fromLatin1(name));
        return w;
    };
    auto button = [&](const QString& caption, const char* name) {
        return static_cast<QPushButton*>(named(new QPushButton(caption, m_outside), name));
    };
    m_command1 = button(QStringLiteral("タスク"), "Command1");
    m_command5 = button(QStringLiteral("切断"), "Command5");
    m_command7 = button(QStringLiteral("メ｜ラ｜設定"), "Command7");
    m_command8 = button(QStringLiteral("メ｜ルチェック"), "Command8");
    m_command9 = button(QStringLiteral("設定"), "Command9");
    m_command10 = button(QStringLiteral("HP"), "Command10");
    m_command11 = button(QStringLiteral("フラッシュ開始"), "Command11");
    connect(m_command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(m_command5, &QPushButton::clicked, this, [this] { Command5_Click(); });
    connect(m_command7, &QPushButton::clicked, this, [this] { Command7_Click(); });
    connect(m_command8, &QPushButton::clicked, this, [this] { Command8_Click(); });
    connect(m_command9, &QPushButton::clicked, this, [this] { Command9_Click(); });
    connect(m_command10, &QPushButton::clicked, this, [this] { Command10_Click(); });
    connect(m_command11, &QPushButton::clicked, this, [this] { Command11_Click(); });

    m_check1 = static_cast<QCheckBox*>(named(new QCheckBox(QStringLiteral("ループ"), m_outside), "Check1"));
    m_check1->setChecked(true);
    m_check4 = static_cast<QCheckBox*>(named(new QCheckBox(QStringLiteral("風鈴を鳴らさない"), m_outside), "Check4"));
    // Only a change of value counts as a click, by the user or by code.
    connect(m_check4, &QCheckBox::toggled, this, [this] { Check4_Click(); });

    auto icon = [&](const char* name) {
        auto* l = static_cast<QLabel*>(named(new QLabel(m_outside), name));
        l->setFixedSize(22, 22);
        l->installEventFilter(this);
        return l;
    };
    m_picture1 = icon("Picture1");
    m_picture7 = icon("Picture7");
    m_picture8 = icon("Picture8");
    m_picture10 = icon("Picture10");
    m_picture8->setMouseTracking(true);

    auto field = [&](const QString& designText, const char* name) {
        return static_cast<QLineEdit*>(named(new QLineEdit(designText, m_outside), name));
    };
    m_text1 = field(QStringLiteral("Text1"), "Text1");
    m_text4 = field(QStringLiteral("Text4"), "Text4");
    m_text2 = field(QString(), "Text2");
    m_text3 = field(QString(), "Text3");
    m_text6 = field(QString(), "Text6");
    m_text7 = field(QString(), "Text7");
    m_text8 = field(QString(), "Text8");
    m_text7->setMaxLength(32767);

    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void MainForm::buildMenus()
{
    m_mfile = menuBar()->addMenu(QStringLiteral("ファイル(&F)"));
    m_mfile->setObjectName(QStringLiteral("mfile"));
    auto item = [this](const QString& text, const char* name, void (MainForm::*handler)()) {
        QAction* a = m_mfile->addAction(text);
        a->setObjectName(QString::fromLatin1(name));
        connect(a, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
        return a;
    };
    auto separator = [this](const char* name) {
        QAction* a = m_mfile->addSeparator();
        a->setObjectName(QString::fromLatin1(name));
    };
    item(QStringLiteral("メールチェック（手動）"), "mcheck", &MainForm::mcheck_Click);
    separator("mline");
    item(QStringLiteral("起動メーラーの設定"), "mset", &MainForm::mset_Click);
    item(QStringLiteral("タスクトレイに常駐"), "mtask", &MainForm::mtask_Click);
    item(QStringLiteral("設定"), "mset2", &MainForm::mset2_Click);
    separator("mline2");
    item(QStringLiteral("常に前面表示"), "mzenmen", &MainForm::mzenmen_Click);
    item(QStringLiteral("前面表示解除"), "mkaijyo", &MainForm::mkaijyo_Click);
    separator("mline4");
    item(QStringLiteral("作者のホームページ"), "mhp", &MainForm::mhp_Click);

    // The tray's pop-up: one control array, index 1 is the separator.
    m_mnuPopup = new QMenu(QStringLiteral("popup"), this);
    m_mnuPopup->setObjectName(QStringLiteral("mnuPopup"));
    const QStringList captions = {QStringLiteral("メイン画面を表示"), QStringLiteral("-"),
                                  QStringLiteral("終了")};
    for (int i = 0; i < captions.size(); ++i) {
        QAction* a = captions[i] == QLatin1String("-") ? m_mnuPopup->addSeparator()
                                                       : m_mnuPopup->addAction(captions[i]);
        a->setObjectName(QStringLiteral("mnu_Popup_%1").arg(i));
        connect(a, &QAction::triggered, this, [this, i] { mnu_Popup_Click(i); });
    }
}

void MainForm::buildTimers()
{
    auto make = [this](const char* name, int interval, void (MainForm::*handler)()) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(name));
        t->setInterval(interval);
        connect(t, &QTimer::timeout, this, [this, handler] { (this->*handler)(); });
        return t;
    };
    // Timer1 compares the minute counter with the interval. The comparison
    // can only change when the counter ticks, the interval is edited or the
    // check settings window is reloaded, so instead of waking the program
    // ten times a second it runs once right after each of those (armTimer1).
    m_timer1 = make("Timer1", 0, &MainForm::Timer1_Timer);
    m_timer1->setSingleShot(true);
    // Timer2 watches the tune; the alert starts it with a tune and it stops
    // itself when it finds none open (see Alert).
    m_timer2 = make("Timer2", 100, &MainForm::Timer2_Timer);
    m_timer3 = make("Timer3", 1000, &MainForm::Timer3_Timer); // runs only while automatic checking is on
    // Timer4 steps the banner every 20 ms. Waking the process 50 times a
    // second costs most of the idle budget by itself, so its timer fires
    // every 40 ms and takes the two steps that fell due (the positions per
    // step are unchanged); the strip shows the caption after each pair.
    // It rests while the window cannot be seen (updateIdleState).
    m_timer4 = make("Timer4", kBannerStepMilliseconds * kBannerStepsPerWake, &MainForm::Timer4_Timer);
    m_timer4->setTimerType(Qt::PreciseTimer);
    m_timer5 = make("Timer5", 1000, &MainForm::Timer5_Timer);
    // The two one-second timers fall on whole seconds, so they share one
    // wake-up instead of two.
    m_timer3->setTimerType(Qt::VeryCoarseTimer);
    m_timer5->setTimerType(Qt::VeryCoarseTimer);
    m_bannerClock.start();
    m_timer4->start();
    m_timer5->start();
}

void MainForm::armTimer1()
{
    if (!m_timer1->isActive())
        m_timer1->start();
}

bool MainForm::canBeSeen() const
{
    const QWindow* handle = windowHandle();
    return isVisible() && !isMinimized() && handle && handle->isExposed();
}

void MainForm::updateIdleState()
{
    const bool seen = canBeSeen();
    m_webBrowser1->setResting(!seen);
    if (!seen) {
        if (m_timer4->isActive()) {
            m_timer4->stop();
            m_bannerRestingSinceMs = m_bannerClock.elapsed();
        }
        return;
    }
    if (m_timer4->isActive())
        return;
    // Where the banner would stand had it gone on stepping every 20 ms.
    m_bannerOwedMs += m_bannerClock.elapsed() - m_bannerRestingSinceMs;
    const qint64 steps = m_bannerOwedMs / kBannerStepMilliseconds;
    m_bannerOwedMs -= steps * kBannerStepMilliseconds;
    if (steps > 0) {
        ReentryGuard guard(m_timer4Busy);
        const BannerState state = m_scheduler.bannerAdvance(text7(), std::uint64_t(steps));
        if (m_text8->text() != state.text8)
            m_text8->setText(state.text8);
        m_label1LeftTwips = state.leftTwips;
        m_picture5->setCaption(state.caption);
    }
    m_picture5->setCaptionLeft(m_label1LeftTwips / 15);
    m_timer4->start();
}

void MainForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // The native window is made anew when always-on-top is switched.
    if (QWindow* handle = windowHandle(); handle && handle != m_watchedWindow) {
        if (m_watchedWindow)
            m_watchedWindow->removeEventFilter(this);
        m_watchedWindow = handle;
        handle->installEventFilter(this);
    }
    updateIdleState();
}

void MainForm::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    updateIdleState();
}

void MainForm::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        updateIdleState();
}

// ---------------------------------------------------------------- triggers

void MainForm::mcheck_Click() { Command8_Click(); }
void MainForm::mset_Click() { Command7_Click(); }
void MainForm::mtask_Click() { Command1_Click(); }
void MainForm::mset2_Click() { Command9_Click(); }
void MainForm::mzenmen_Click() { setTopmost(true); }
void MainForm::mkaijyo_Click() { setTopmost(false); }
void MainForm::mhp_Click() { Command10_Click(); }
void MainForm::Command10_Click() { Picture10_Click(); }
void MainForm::Picture1_Click() { Command9_Click(); }

void MainForm::Command11_Click()
{
    // It asks for a window the program does not contain; doing nothing keeps
    // the running program undisturbed.
}

void MainForm::Label2_DblClick()
{
    // As Command11: nothing to show.
}

void MainForm::Picture8_MouseMove()
{
    setWindowTitle(QStringLiteral("常に手前表示"));
}

void MainForm::setTopmost(bool on)
{
    // Changing the hint re-creates the native window, which hides it; the
    // menu item must leave the window on screen, so show it again.
    const bool was = windowFlags().testFlag(Qt::WindowStaysOnTopHint);
    if (was != on)
        setWindowFlag(Qt::WindowStaysOnTopHint, on);
    show();
}

void MainForm::setTrayAvailabilityOverride(int available)
{
    trayOverride() = available;
}

void MainForm::setProcessExit(std::function<void(int)> exitFn)
{
    processExit() = exitFn ? std::move(exitFn) : [](int code) { ::_exit(code); };
}

void MainForm::exitProcessNow()
{
    processExit()(0);
}

QString MainForm::tipTimeText() const
{
    return generalDateText(QDateTime::currentDateTime());
}

void MainForm::Command1_Click()
{
    const QDBusConnection bus = m_services.desktopBus.value_or(QDBusConnection::sessionBus());
    const bool trayAvailable = trayOverride() >= 0 ? trayOverride() > 0 : TrayIcon::isAvailable(bus);
    if (!m_tray) {
        // The pop-up is exported to StatusNotifierItem hosts, which show only
        // a menu of the program's own; the icon-in-a-tray kind pops it up on
        // the right button itself.
        m_tray = new TrayIcon(m_mnuPopup, bus, this);
        m_tray->setObjectName(QStringLiteral("TrayControl1"));
        m_tray->setNeedsAttention(m_alert->alerting());
        connect(m_tray, &TrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            switch (reason) {
            case QSystemTrayIcon::Trigger:
                TrayControl1_MouseEvent(0);
                break;
            case QSystemTrayIcon::Context:
                TrayControl1_MouseEvent(1);
                break;
            case QSystemTrayIcon::DoubleClick:
                TrayControl1_MouseEvent(2);
                break;
            default:
                TrayControl1_MouseEvent(3);
                break;
            }
        });
    }
    m_tray->setIcon(windowIcon());
    m_trayTime = tipTimeText();
    m_tray->setToolTip(trayToolTip());
    if (!trayAvailable) {
        // Hiding the window with no tray to bring it back would strand the
        // user: minimise instead and say why.
        showMinimized();
        notifyNonBlocking(this, QStringLiteral("システムトレイが見つからないため、タスクトレイに常駐する代わりに最小化しました。"));
        return;
    }
    m_tray->show();
    hide();
}

void MainForm::TrayControl1_MouseEvent(int code)
{
    switch (code) {
    case 0:
        showMessage(this, {QMessageBox::Warning, kProgramTitle, QStringLiteral("Clicked!"),
                           QMessageBox::Ok, QMessageBox::Ok});
        break;
    case 1:
        if (!m_mnuPopup->isVisible()) // the tray may have opened it already
            m_mnuPopup->popup(QCursor::pos());
        break;
    default:
        break;
    }
}

void MainForm::mnu_Popup_Click(int index)
{
    switch (index) {
    case 0:
        showNormal();
        raise();
        activateWindow();
        break;
    case 2:
        close();
        break;
    default:
        break;
    }
}

bool MainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_watchedWindow && event->type() == QEvent::Expose) {
        // Handled first, so the state is known when the expose is painted.
        const bool result = QMainWindow::eventFilter(watched, event);
        QTimer::singleShot(0, this, [this] { updateIdleState(); });
        return result;
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* me = static_cast<QMouseEvent*>(event);
        if (me->button() == Qt::LeftButton) {
            if (watched == m_picture1)
                Picture1_Click();
            else if (watched == m_picture7)
                Picture7_Click();
            else if (watched == m_picture10)
                Picture10_Click();
        }
    } else if (event->type() == QEvent::MouseMove && watched == m_picture8) {
        Picture8_MouseMove();
    } else if (event->type() == QEvent::MouseButtonDblClick && watched == m_label2) {
        Label2_DblClick();
    }
    return QMainWindow::eventFilter(watched, event);
}

// ------------------------------------------------------ control accessors

QString MainForm::text7() const { return m_text7->text(); }
void MainForm::setText7(const QString& text) { m_text7->setText(text); }
QString MainForm::text8() const { return m_text8->text(); }
bool MainForm::check2Value() const { return m_check2->isChecked(); }
void MainForm::setCheck2Value(bool on) { m_check2->setChecked(on); }
bool MainForm::check4Value() const { return m_check4->isChecked(); }
void MainForm::setCheck4Value(bool on) { m_check4->setChecked(on); }
bool MainForm::check1Value() const { return m_check1->isChecked(); }
void MainForm::setCheck1Value(bool on) { m_check1->setChecked(on); }
bool MainForm::check3Value() const { return m_check3->isChecked(); }
QString MainForm::label4Text() const { return m_label4->text(); }
QString MainForm::text5Text() const { return m_text5->text(); }
QString MainForm::text1() const { return m_text1->text(); }
QString MainForm::text4() const { return m_text4->text(); }
QString MainForm::text3() const { return m_text3->text(); }
QString MainForm::text6() const { return m_text6->text(); }
QString MainForm::label1Caption() const { return m_picture5->caption(); }

QTimer* MainForm::timer(int number) const
{
    switch (number) {
    case 1: return m_timer1;
    case 2: return m_timer2;
    case 3: return m_timer3;
    case 4: return m_timer4;
    case 5: return m_timer5;
    default: return nullptr;
    }
}

QAction* MainForm::menuAction(const QString& name) const
{
    for (QAction* a : m_mfile->actions()) {
        if (a->objectName() == name)
            return a;
    }
    for (QAction* a : m_mnuPopup->actions()) {
        if (a->objectName() == name)
            return a;
    }
    return nullptr;
}

QWidget* MainForm::control(const QString& name) const
{
    return findChild<QWidget*>(name);
}

void MainForm::autoCheckOn(const QString& intervalText)
{
    m_label4->setText(QStringLiteral("ON"));
    m_check3->setChecked(true);
    m_text5->setText(intervalText);
    // Reloading the check settings window re-runs this; a running counter
    // timer keeps its phase.
    if (!m_timer3->isActive() || m_timer3->interval() != 1000) {
        m_timer3->setInterval(1000);
        m_timer3->start();
    }
    armTimer1(); // the interval changed
    updatePush();
}

void MainForm::autoCheckOff(const QString& intervalText)
{
    m_label4->setText(QStringLiteral("OFF"));
    m_check3->setChecked(false);
    m_text5->setText(intervalText);
    m_timer3->stop(); // the counters freeze where they are
    armTimer1();
    updatePush();
}

// ----------------------------------------------------------------- closing

void MainForm::closeEvent(QCloseEvent* event)
{
    // The unload always goes through.
    event->accept();
    Form_Unload();
}

} // namespace qp
