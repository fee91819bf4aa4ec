#include "AppFakes.h"

#include "actions/ActionsUi.h"
#include "app/AppServices.h"
#include "app/MainForm.h"
#include "app/TrayIcon.h"
#include "check/CheckMail.h"
#include "notify/Alert.h"
#include "notify/PicturePane.h"
#include "platform/Cp932.h"
#include "platform/MessageBoxes.h"
#include "platform/Numbers.h"
#include "platform/ProgramFolder.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ProgramFolderFixture.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDBusArgument>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QLabel>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMutex>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QThread>
#include <QTimer>
#include <QElapsedTimer>
#include <QtTest>

#include <cmath>
#include <tuple>

using namespace qp;

namespace {

struct Program {
    test::ProgramFolder folder{test::ProgramFolder::OwnWorkingFolder};
    test::Journal journal;
    AppServices services;
    std::unique_ptr<MainForm> form;
    QList<MessageRequest> messages;
    QMessageBox::StandardButton answer = QMessageBox::No;
    int exits = 0;

    explicit Program(bool withPush = false)
    {
        test::writeFile(QDir(folder.workingFolder()).filePath("ferrule.ini"),
                        "SMTP=\r\nPOP3=pop.example.jp\r\nMAIL=\r\nAPOP=0\r\n");
        test::writeFile(folder.file(QStringLiteral("iniIdPass.ini")), "[EXEINI]\r\nNAME=user\r\nNAME2=pw\r\n");
        services.mail = std::make_unique<InlineMailWorker>(std::make_unique<test::FakeMailLibrary>(journal.entries));
        services.sound = std::make_unique<test::RecordingSound>(journal);
        setMessageHandler([this](QWidget*, const MessageRequest& r) {
            messages << r;
            return answer;
        });
        MainForm::setProcessExit([this](int) { ++exits; });
        if (withPush)
            services.push = std::make_unique<PushWatcher>();
        form = std::make_unique<MainForm>(services);
        form->Form_Load();
        journal.entries.clear();
    }
    ~Program()
    {
        form.reset();
        services.forms.unloadAll();
        setMessageHandler({});
        MainForm::setProcessExit({});
        MainForm::setTrayAvailabilityOverride(-1);
    }
    test::FakeMailLibrary& mail() { return static_cast<test::FakeMailLibrary&>(static_cast<InlineMailWorker&>(*services.mail).library()); }
    void trigger(const char* name)
    {
        QAction* a = form->menuAction(QString::fromLatin1(name));
        QVERIFY2(a, name);
        a->trigger();
    }
    void click(const char* name)
    {
        auto* b = qobject_cast<QAbstractButton*>(form->control(QString::fromLatin1(name)));
        QVERIFY2(b, name);
        b->click();
    }
};

// The contrast ratio of two colours as WCAG defines it (1 to 21).
double contrast(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A panel's side of the tray: a StatusNotifierWatcher that has a host. It
// answers on a thread of its own, as another process would.
class StandInWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
public:
    bool hostRegistered() const { return true; }
    QStringList items() const { const QMutexLocker lock(&m_lock); return m_items; }
    QStringList statuses() const { const QMutexLocker lock(&m_lock); return m_statuses; }
public slots:
    void RegisterStatusNotifierItem(const QString& service) { const QMutexLocker lock(&m_lock); m_items << service; }
    void newStatus(const QString& status) { const QMutexLocker lock(&m_lock); m_statuses << status; } // each NewStatus sent
private:
    mutable QMutex m_lock;
    QStringList m_items, m_statuses;
};

} // namespace

class MainFormTest : public QObject {
    Q_OBJECT
private slots:
    void layoutAndCaptions()
    {
        Program p;
        QCOMPARE(p.form->windowTitle(), QStringLiteral("ハルカゼ、お待ちしています　Ver 1.0"));
        QCOMPARE(p.form->windowFlags().testFlag(Qt::WindowMaximizeButtonHint), false);
        QVERIFY(p.form->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!p.form->control("Check3")->isEnabled());
        QVERIFY(!p.form->control("Text5")->isEnabled());
        // The named operations exist but are never seen.
        for (const char* hidden : {"Command1", "Command5", "Command7", "Command8", "Command9", "Command10",
                                   "Command11", "Check1", "Check4", "Text7", "Text1", "Text4"}) {
            QWidget* w = p.form->control(QString::fromLatin1(hidden));
            QVERIFY2(w && !w->isVisible(), hidden);
        }
        QVERIFY(p.form->check1Value()); // the loop switch starts ticked
        QCOMPARE(p.form->fileMenu()->title(), QStringLiteral("ファイル(&F)"));
        QStringList items;
        for (QAction* a : p.form->fileMenu()->actions())
            items << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(items, QStringList({"メールチェック（手動）", "-", "起動メーラーの設定", "タスクトレイに常駐", "設定", "-",
                                     "常に前面表示", "前面表示解除", "-", "作者のホームページ"}));
    }

    void checkBoxesStandOutOnADarkPalette()
    {
        // A dark desktop theme: its dark boxes would vanish into the window's grey.
        const QPalette light = QApplication::palette();
        QPalette dark(QColor(53, 53, 53), QColor(35, 35, 35));
        dark.setColor(QPalette::Base, QColor(42, 42, 42));
        dark.setColor(QPalette::Text, Qt::white);
        QApplication::setPalette(dark);
        {
            Program p;
            for (const char* name : {"Check2", "Check3"}) {
                auto* box = qobject_cast<QCheckBox*>(p.form->control(QString::fromLatin1(name)));
                box->setChecked(false);
                QStyleOptionButton option;
                option.initFrom(box);
                const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
                const QImage shot = box->grab().toImage();
                double best = 0;
                for (int y = indicator.top(); y <= indicator.bottom(); ++y)
                    for (int x = indicator.left(); x <= indicator.right(); ++x)
                        best = std::max(best, contrast(shot.pixelColor(x, y), QColor(64, 64, 64)));
                QVERIFY2(best >= 3.0, qPrintable(QStringLiteral("%1: %2:1").arg(QLatin1String(name)).arg(best)));
            }
        }
        QApplication::setPalette(light);
    }

    void manualCheckRunsTheCycle()
    {
        Program p;
        p.mail().setMessageCount(2);
        p.trigger("mcheck");
        const QString log = p.journal.entries.join('\n');
        QVERIFY2(log.contains("connect:pop.example.jp"), qPrintable(log));
        QVERIFY(log.contains("get:2"));
        QVERIFY(log.contains("close:1"));
        MsgForm* board = p.services.forms.msgForm.ifLoaded();
        QVERIFY(board && board->isVisible());
        QCOMPARE(board->text1(), QStringLiteral("新着メールが有ります"));
        QCOMPARE(board->text2(), QStringLiteral("2"));
        // Picture7 is the same entry (and the scheduler's).
        p.journal.entries.clear();
        p.form->Picture7_Click();
        QVERIFY(p.journal.entries.join('\n').contains("connect:"));
    }

    // The "エラー" box is not waited for: checks go on under it, with their
    // board; a later failure opens no second box but is told in it, first;
    // a check asked for during another is answered.
    void anOpenErrorBoxNeverStopsChecking()
    {
        Program p;
        setMessageHandler({}); // real boxes, to count them
        const auto errorBoxes = [] {
            int n = 0;
            for (QWidget* w : QApplication::topLevelWidgets())
                n += qobject_cast<QMessageBox*>(w) && w->isVisible() && w->windowTitle() == QStringLiteral("エラー");
            return n;
        };
        p.mail().setMessageCount(-1);
        p.trigger("mcheck");
        QCOMPARE(errorBoxes(), 1);
        QVERIFY(!p.form->checkMail().isRunning());
        p.mail().setMessageCount(3);
        p.trigger("mcheck");
        MsgForm* board = p.services.forms.msgForm.ifLoaded();
        QVERIFY(board && board->isVisible());
        QCOMPARE(board->text2(), QStringLiteral("3"));
        p.mail().setMessageCount(-1);
        p.trigger("mcheck");
        QCOMPARE(p.journal.entries.count(QStringLiteral("connect:pop.example.jp")), 3);
        QCOMPARE(errorBoxes(), 1);
        p.mail().errorText = QStringLiteral("パスワードが違います");
        p.trigger("mcheck");
        QCOMPARE(errorBoxes(), 1);
        const auto boxWith = [](const QString& start) {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible() && box->text().startsWith(start))
                    return box;
            return static_cast<QMessageBox*>(nullptr);
        };
        QMessageBox* box = boxWith(QStringLiteral("パスワードが違います"));
        QVERIFY(box && box->text().contains(QStringLiteral("ログインに失敗しました")));

        p.mail().setMessageCount(1);
        p.services.forms.setForm.touch()->setCheck2Value(1); // the board waits a second
        p.trigger("mcheck");
        QVERIFY(p.form->checkMail().isRunning());
        p.trigger("mcheck");
        QVERIFY(boxWith(CheckMail::kBusyNotice));
        QTRY_VERIFY(!p.form->checkMail().isRunning());
        QTRY_VERIFY(!boxWith(CheckMail::kBusyNotice));
        QCOMPARE(p.journal.entries.count(QStringLiteral("connect:pop.example.jp")), 5);
    }

    void serverTextInTheErrorBoxIsPlainText()
    {
        // Markup a man in the middle put into "-ERR": no heading, no link.
        Program p;
        setMessageHandler({});
        const QString said = QStringLiteral("-ERR <a href=\"https://phish.example/\">確認</a><h1>要確認</h1>");
        Qt::TextFormat format = Qt::RichText;
        p.form->showLoginError(said); // shown, not waited for
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox*>(w) && w->isVisible())
                for (QLabel* l : w->findChildren<QLabel*>())
                    format = l->text() == said ? l->textFormat() : format;
        QCOMPARE(format, Qt::PlainText);
    }

    void menuItemsReachTheirWindowsAndOperations()
    {
        Program p;
        p.trigger("mset2");
        QVERIFY(p.services.forms.setForm.ifLoaded()->isVisible());
        p.services.forms.setForm.ifLoaded()->hide();
        p.form->Picture1_Click();
        QVERIFY(p.services.forms.setForm.ifLoaded()->isVisible());

        p.click("Command4");
        QVERIFY(p.services.forms.gekitaiForm.isLoaded());
        QVERIFY(p.services.forms.gekitaiForm.ifLoaded()->isVisible());

        // The mail program: the dialog answers a path; Text7 and Text8 follow.
        QString offered;
        setOpenFileDialogHandler([&](QWidget*, const QString& current) -> std::optional<QString> {
            offered = current;
            return QStringLiteral("/usr/bin/thunderbird");
        });
        p.trigger("mset");
        QCOMPARE(p.form->text7(), QStringLiteral("/usr/bin/thunderbird"));
        QCOMPARE(p.form->text8(), QStringLiteral("thunderbird"));
        QVERIFY(p.messages.isEmpty());
        // A path Shift-JIS cannot hold is used, but the user hears it will
        // not be kept.
        setOpenFileDialogHandler([&](QWidget*, const QString&) -> std::optional<QString> {
            return QStringLiteral("/opt/café/mailer");
        });
        p.trigger("mset");
        QCOMPARE(p.form->text7(), QStringLiteral("/opt/café/mailer"));
        QCOMPARE(p.messages.size(), 1);
        QVERIFY(p.messages.last().text.contains(QStringLiteral("Shift-JIS")));
        // So is one longer than the 255 bytes the settings file gives back;
        // 255 exactly is kept without a word.
        const QString longest = QStringLiteral("/opt/") + QString(124, QChar(u'表')) + QStringLiteral("/m");
        for (const QString& path : {longest, longest + QLatin1Char('x')}) {
            setOpenFileDialogHandler([&](QWidget*, const QString&) -> std::optional<QString> { return path; });
            p.trigger("mset");
            QCOMPARE(p.form->text7(), path);
        }
        QCOMPARE(p.messages.size(), 2);
        QVERIFY(p.messages.last().text.contains(QStringLiteral("255")));
        p.messages.clear();
        setOpenFileDialogHandler({});

        // The homepage prompt: "No" opens nothing.
        int opened = 0;
        setUrlOpener([&](const QUrl&) { ++opened; return true; });
        p.trigger("mhp");
        QCOMPARE(p.messages.size(), 1);
        QCOMPARE(p.messages.last().title, QStringLiteral("確認"));
        QCOMPARE(opened, 0);
        // "Yes" opens the user's page of the program folder.
        QVERIFY(QDir(p.folder.root()).mkpath(QStringLiteral("help")));
        QFile page(p.folder.root() + QStringLiteral("/help/index.html"));
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.close();
        p.answer = QMessageBox::Yes;
        p.form->Picture10_Click();
        QCOMPARE(opened, 1);
        setUrlOpener({});
    }

    void hangUpRunsFromItsButtonAndAfterACheckWhenTicked()
    {
        Program p;
        int hangUps = 0;
        p.services.hangUpDialUp = [&] { ++hangUps; };
        p.click("Command5");
        QCOMPARE(hangUps, 1);
        // The check hangs up last, also with an empty mailbox, when ticked.
        p.form->Command8_Click();
        QCOMPARE(hangUps, 1);
        p.services.forms.setForm.touch()->setCheck1Value(1);
        p.form->Command8_Click();
        QCOMPARE(hangUps, 2);
        QVERIFY(p.journal.entries.last() == QStringLiteral("close:1"));
    }

    void alertButtonsDriveTheSoundAndPictures()
    {
        Program p;
        p.click("Command2");
        QVERIFY(p.journal.entries.first().startsWith("sound: open \""));
        QVERIFY(p.journal.entries.first().endsWith("Kouka.mid\" alias bgm"));
        QCOMPARE(p.journal.entries.at(1), QStringLiteral("sound: play bgm"));
        QVERIFY(p.form->picturePane()->address().endsWith(QStringLiteral("ShintyakuMove.gif")));
        QVERIFY(p.form->alert().form1().isLoaded());

        // Silence: the tune closes, picture and shaped window stay.
        p.journal.entries.clear();
        p.click("Check4");
        QCOMPARE(p.journal.entries, QStringList({"sound: stop bgm", "sound: close bgm"}));
        QVERIFY(p.form->alert().form1().isLoaded());

        p.journal.entries.clear();
        p.click("Command3");
        QCOMPARE(p.journal.entries, QStringList({"sound: stop bgm", "sound: close bgm"}));
        QVERIFY(p.form->picturePane()->address().endsWith(QStringLiteral("TanabataMove.gif")));
        QVERIFY(!p.form->alert().form1().isLoaded());
    }

    void alwaysOnTopKeepsNoState()
    {
        Program p;
        p.trigger("mzenmen");
        p.trigger("mzenmen");
        QVERIFY(p.form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(p.form->isVisible());
        p.trigger("mkaijyo");
        QVERIFY(!p.form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        p.trigger("mkaijyo");
        QVERIFY(!p.form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(p.form->isVisible());
    }

    void harmlessControls()
    {
        Program p;
        const QString title = p.form->windowTitle();
        p.click("Command11");
        QTest::mouseDClick(p.form->control("Label2"), Qt::LeftButton);
        QCOMPARE(p.form->windowTitle(), title);
        QVERIFY(p.form->isVisible());
        QCOMPARE(p.exits, 0);
        p.form->Picture8_MouseMove();
        QCOMPARE(p.form->windowTitle(), QStringLiteral("常に手前表示"));
    }

    void goingToTheTrayAndBack()
    {
        Program p;
        MainForm::setTrayAvailabilityOverride(1);
        p.form->picturePane()->Navigate(QStringLiteral("file://" QP_SOURCE_DIR "/assets/画像データ/TanabataMove.gif"));
        QTRY_VERIFY(p.form->timer(4)->isActive() && p.form->picturePane()->isAnimating());
        const Scheduler banner = p.form->scheduler();
        QElapsedTimer hidden;
        hidden.start();
        const QTime before = QTime::currentTime();
        p.trigger("mtask");
        const qint64 hiddenFrom = hidden.elapsed();
        QVERIFY(!p.form->isVisible());
        // In the tray nothing moves: no banner steps, no animation, no watcher.
        QVERIFY(!p.form->timer(4)->isActive());
        QVERIFY(!p.form->picturePane()->isAnimating());
        QVERIFY(!p.form->timer(1)->isActive() && !p.form->timer(2)->isActive());
        TrayIcon* tray = p.form->trayIcon();
        QVERIFY(tray);
        QVERIFY(tray->isVisible());
        QCOMPARE(tray->contextMenu(), p.form->popupMenu()); // exported to StatusNotifierItem hosts
        QVERIFY(tray->icon().availableSizes().contains(QSize(32, 32)));
        const QString tip = tray->toolTip();
        // The tip tells when the window went to the tray, not the time now.
        QVERIFY(tip.contains(generalDateText(QDateTime::currentDateTime()).section(QLatin1Char(' '), 0, 0)));
        QTest::qWait(1100);
        QCOMPARE(tray->toolTip(), tip);
        QVERIFY(before.secsTo(QTime::currentTime()) >= 1);
        // A check adds what it counted; one that cannot log in leaves it.
        p.mail().setMessageCount(3);
        p.form->Command8_Click();
        QTRY_COMPARE(tray->toolTip(), tip + QStringLiteral("\n新着メール 3 通"));
        QTRY_VERIFY(!p.form->checkMail().isRunning());
        p.mail().setMessageCount(-1);
        p.form->Command8_Click();
        QTRY_VERIFY(!p.form->checkMail().isRunning());
        QCOMPARE(tray->toolTip(), tip + QStringLiteral("\n新着メール 3 通"));
        p.services.forms.msgForm.unload();
        p.messages.clear();

        // Code 0: "Clicked!"; 1: the pop-up; others: nothing.
        p.form->TrayControl1_MouseEvent(0);
        QCOMPARE(p.messages.size(), 1);
        QCOMPARE(p.messages.last().text, QStringLiteral("Clicked!"));
        QCOMPARE(p.messages.last().title, QStringLiteral("Quillpost"));
        p.form->TrayControl1_MouseEvent(7);
        p.form->TrayControl1_MouseEvent(-1);
        QCOMPARE(p.messages.size(), 1);
        p.form->TrayControl1_MouseEvent(1);
        QVERIFY(p.form->popupMenu()->isVisible());
        p.form->popupMenu()->hide();

        // The separator does nothing; "メイン画面を表示" shows the window,
        // and the tray icon stays.
        p.form->mnu_Popup_Click(1);
        QVERIFY(!p.form->isVisible());
        const qint64 shownAt = hidden.elapsed();
        p.form->mnu_Popup_Click(0);
        QVERIFY(p.form->isVisible());
        QVERIFY(tray->isVisible());
        // Shown again, the banner stands where 20 ms steps would have put it.
        QTRY_VERIFY(p.form->timer(4)->isActive() && p.form->picturePane()->isAnimating());
        const qint64 steps = p.form->scheduler().bannerLeftTwips() == banner.bannerLeftTwips() ? 0 : [&] {
            Scheduler replay = banner;
            qint64 n = 0;
            while (replay.bannerLeftTwips() != p.form->scheduler().bannerLeftTwips() && n < 100000)
                replay.bannerTick(QString()), ++n;
            return n;
        }();
        QVERIFY2(steps >= (shownAt - hiddenFrom) / 20 - 1 && steps <= hidden.elapsed() / 20 + 2,
                 qPrintable(QStringLiteral("%1 steps in %2..%3 ms").arg(steps).arg(shownAt - hiddenFrom).arg(hidden.elapsed())));
        p.form->mnu_Popup_Click(0); // already visible: nothing changes
        QVERIFY(p.form->isVisible());
        QCOMPARE(p.exits, 0);

        // "終了" unloads the main window, which ends the program.
        p.form->mnu_Popup_Click(2);
        QCOMPARE(p.exits, 1);
    }

    // Where the panel hosts StatusNotifierItems the tray is one: the panel
    // sees the icon and the tip, the item asks for the user's eye while an
    // alert runs, and the menu and a click work from the panel.
    void trayAsAStatusNotifierItem()
    {
        test::PrivateBus bus;
        if (!bus.start())
            QSKIP("needs dbus-daemon");
        QDBusConnection panel = QDBusConnection::connectToBus(bus.address, QStringLiteral("panel"));
        QThread panelThread;
        StandInWatcher watcher;
        watcher.moveToThread(&panelThread);
        panelThread.start();
        const auto stopPanel = qScopeGuard([&] {
            panelThread.quit();
            panelThread.wait();
        });
        QVERIFY(panel.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                                     QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties));
        QVERIFY(panel.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));
        {
            Program p;
            p.services.desktopBus = QDBusConnection::connectToBus(bus.address, QStringLiteral("program"));
            p.mail().setMessageCount(2);
            p.form->Command8_Click();
            QTRY_VERIFY(!p.form->checkMail().isRunning());
            p.trigger("mtask");
            QVERIFY(!p.form->isVisible());
            QTRY_COMPARE(watcher.items().size(), 1);
            const QString item = watcher.items()[0];
            QVERIFY(panel.connect(item, QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.kde.StatusNotifierItem"),
                                  QStringLiteral("NewStatus"), &watcher, SLOT(newStatus(QString))));
            // The item answers on this thread: ask without blocking it.
            const auto ask = [&](const QString& path, const QString& interface, const QString& method, const QVariantList& args) {
                QDBusMessage m = QDBusMessage::createMethodCall(item, path, interface, method);
                m.setArguments(args);
                QDBusPendingCall call = panel.asyncCall(m);
                (void)QTest::qWaitFor([&] { return call.isFinished(); }, 5000);
                return call.reply();
            };
            const auto get = [&](const char* name) {
                return ask(QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                           {QStringLiteral("org.kde.StatusNotifierItem"), QString::fromLatin1(name)})
                    .arguments().value(0).value<QDBusVariant>().variant();
            };
            QCOMPARE(get("Status").toString(), QStringLiteral("Active"));

            // The icon as the panel draws it: ARGB, most significant byte first.
            const QImage drawn = p.form->windowIcon().pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
            bool found = false;
            const QDBusArgument pixmaps = get("IconPixmap").value<QDBusArgument>();
            pixmaps.beginArray();
            while (!pixmaps.atEnd()) {
                int w = 0, h = 0;
                QByteArray argb;
                pixmaps.beginStructure();
                pixmaps >> w >> h >> argb;
                pixmaps.endStructure();
                for (int i = 0; w == 32 && h == 32 && argb.size() == 32 * 32 * 4 && i < 32 * 32 && !found; ++i) {
                    const QRgb px = drawn.pixel(i % 32, i / 32);
                    const QList<int> channels{qAlpha(px), qRed(px), qGreen(px), qBlue(px)};
                    if (QSet<int>(channels.begin(), channels.end()).size() < 4)
                        continue; // a pixel that tells the byte order
                    const auto* b = reinterpret_cast<const uchar*>(argb.constData()) + i * 4;
                    QCOMPARE((QList<int>{b[0], b[1], b[2], b[3]}), channels);
                    found = true;
                }
            }
            pixmaps.endArray();
            QVERIFY(found);
            const QDBusArgument tip = get("ToolTip").value<QDBusArgument>();
            QString iconName, title, text;
            tip.beginStructure();
            tip >> iconName;
            tip.beginArray();
            tip.endArray();
            tip >> title >> text;
            tip.endStructure();
            QCOMPARE(text, p.form->trayIcon()->toolTip());
            QVERIFY(text.endsWith(QStringLiteral("\n新着メール 2 通")));

            p.form->Command2_Click();
            QTRY_COMPARE(watcher.statuses(), QStringList{QStringLiteral("NeedsAttention")});
            QCOMPARE(get("Status").toString(), QStringLiteral("NeedsAttention"));
            p.form->Command3_Click();
            QTRY_COMPARE(watcher.statuses().size(), 2);
            QCOMPARE(get("Status").toString(), QStringLiteral("Active"));

            // The pop-up as the panel shows it; its first item brings the
            // window back, and a click on the icon is the tray's left click.
            const QString menu = QStringLiteral("com.canonical.dbusmenu");
            const QDBusMessage layout = ask(QStringLiteral("/MenuBar"), menu, QStringLiteral("GetLayout"), {0, -1, QStringList()});
            QCOMPARE(layout.type(), QDBusMessage::ReplyMessage);
            const QDBusArgument root = layout.arguments().value(1).value<QDBusArgument>();
            int rootId = -1;
            QVariantMap props;
            QStringList shown;
            root.beginStructure();
            root >> rootId >> props;
            root.beginArray();
            while (!root.atEnd()) {
                QDBusVariant v;
                root >> v;
                const QDBusArgument child = v.variant().value<QDBusArgument>();
                int id = 0;
                child.beginStructure();
                child >> id >> props;
                child.endStructure();
                shown << QStringLiteral("%1:%2").arg(id).arg(props.value(QStringLiteral("label"), props.value(QStringLiteral("type"))).toString());
            }
            QCOMPARE(shown, (QStringList{QStringLiteral("1:メイン画面を表示"), QStringLiteral("2:separator"), QStringLiteral("3:終了")}));
            // Every method a host may call is there (a slot whose types D-Bus
            // cannot name is left out without a word).
            const QString described = ask(QStringLiteral("/MenuBar"), QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                          QStringLiteral("Introspect"), {}).arguments().value(0).toString();
            for (const char* method : {"GetLayout", "GetGroupProperties", "GetProperty", "Event", "EventGroup", "AboutToShow", "AboutToShowGroup"})
                QVERIFY2(described.contains(QStringLiteral("<method name=\"%1\"").arg(QLatin1String(method))), method);
            ask(QStringLiteral("/MenuBar"), menu, QStringLiteral("Event"),
                {1, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
            QTRY_VERIFY(p.form->isVisible());
            p.messages.clear();
            ask(QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"), {0, 0});
            QTRY_COMPARE(p.messages.size(), 1);
            QCOMPARE(p.messages[0].text, QStringLiteral("Clicked!"));
        }
        QDBusConnection::disconnectFromBus(QStringLiteral("program"));
        QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
    }

    // Screen readers hear each input control by the name its label shows
    // (never a code name), and text in a fixed colour stays readable on a
    // dark palette.
    void controlsAreNamedAndFixedColoursReadable()
    {
        const QPalette light = qApp->palette();
        qApp->setPalette(QPalette(QColor(60, 60, 60), QColor(30, 30, 30))); // button, window
        Program p;
        QWidget* form1 = p.form->alert().form1().touch();
        const QList<QWidget*> windows = {p.form.get(), p.services.forms.setForm.touch(), p.services.forms.idPassForm.touch(),
                                         p.services.forms.msgForm.touch(), form1};
        const auto name = [](QObject* o) { return QAccessible::queryAccessibleInterface(o)->text(QAccessible::Name); };
        const QRegularExpression codeName(QStringLiteral("^$|^[A-Za-z_]+[0-9]+$")); // empty, or "Text5", "Form1"
        int inputs = 0;
        for (QWidget* window : windows)
            for (QWidget* c : window->findChildren<QWidget*>())
                if ((qobject_cast<QAbstractButton*>(c) || qobject_cast<QLineEdit*>(c)) && c->isVisibleTo(window) && ++inputs)
                    QVERIFY2(!codeName.match(name(c)).hasMatch(), qPrintable(c->objectName()));
        QCOMPARE(inputs, 6 + 5 + 7 + 2);
        QVERIFY(!codeName.match(name(form1)).hasMatch());

        for (auto [w, fg, bg] : {std::tuple{windows[3]->findChild<QWidget*>("Text1"), QPalette::Text, QPalette::Base},
                                 {windows[2]->findChild<QWidget*>("Label2_1"), QPalette::WindowText, QPalette::Window},
                                 {windows[1]->findChild<QWidget*>("Check2"), QPalette::WindowText, QPalette::Window}})
            QVERIFY2(qGray(w->palette().color(bg).rgb()) - qGray(w->palette().color(fg).rgb()) > 100, qPrintable(w->objectName()));
        qApp->setPalette(light);
    }

    void withoutASystemTrayTheWindowIsMinimisedNotLost()
    {
        Program p;
        MainForm::setTrayAvailabilityOverride(0);
        p.trigger("mtask");
        QVERIFY(p.form->isMinimized() || p.form->windowState().testFlag(Qt::WindowMinimized));
        QVERIFY(!p.form->timer(4)->isActive()); // minimised, the banner rests
        QCOMPARE(p.messages.size(), 1);
        QVERIFY(p.messages.last().text.contains(QStringLiteral("最小化")));
    }

    void scheduledCheckComesOncePerStep()
    {
        Program p;
        p.mail().setMessageCount(1);
        SetForm* setForm = p.services.forms.setForm.touch();
        setForm->setCheck2Value(1); // the board closes itself
        setForm->setText2(QStringLiteral("1"));
        QVERIFY(p.form->timer(3)->isActive());
        // Drive the counters by hand: 61 ticks make one minute step.
        for (int i = 0; i < 61; ++i)
            p.form->Timer3_Timer();
        QCOMPARE(p.form->text1(), QStringLiteral("1"));
        // The counter's tick itself brings Timer1's comparison, once.
        p.journal.entries.clear();
        QTRY_COMPARE(p.journal.entries.count(QStringLiteral("connect:pop.example.jp")), 1);
        for (int i = 0; i < 10; ++i)
            p.form->Timer1_Timer(); // more ticks in the same second
        QCOMPARE(p.journal.entries.count(QStringLiteral("connect:pop.example.jp")), 1);
        p.form->Timer3_Timer();
        QCOMPARE(p.form->text1(), QStringLiteral("0"));
        QTest::qWait(50);

        // So does an edit of the interval that meets the counter.
        setForm->setText2(QStringLiteral("3"));
        for (int i = 0; i < 200 && p.form->text1() != QLatin1String("1"); ++i)
            p.form->Timer3_Timer();
        QCOMPARE(p.form->text1(), QStringLiteral("1"));
        QTest::qWait(50);
        p.journal.entries.clear();
        setForm->setText2(QStringLiteral("1"));
        QTRY_COMPARE(p.journal.entries.count(QStringLiteral("connect:pop.example.jp")), 1);

        // A closed check settings window is loaded again, hidden.
        setForm->close();
        QTRY_VERIFY(p.services.forms.setForm.isLoaded());
        QVERIFY(!p.services.forms.setForm.ifLoaded()->isVisible());
    }

    // A watcher only while automatic checking is on and the server is IMAP;
    // the interval box and the server window switch it at once.
    void pushFollowsTheIntervalAndTheServer()
    {
        Program p(true);
        p.services.settings.setPop3Server(QStringLiteral("imap://127.0.0.1:1"));
        SetForm* setForm = p.services.forms.setForm.touch();
        setForm->setText2(QStringLiteral("5"));
        QVERIFY(p.services.push->isWatching());
        // What it saw starts the interval's check.
        emit p.services.push->checkWanted();
        QTRY_COMPARE(p.journal.entries.count(QStringLiteral("connect:imap://127.0.0.1:1")), 1);
        setForm->setText2(QStringLiteral("0"));
        QVERIFY(!p.services.push->isWatching());
        setForm->setText2(QStringLiteral("5"));
        QVERIFY(p.services.push->isWatching());
        p.services.settings.setPop3Server(QStringLiteral("pop.example.jp"));
        p.services.forms.optionForm.show()->close();
        QTRY_VERIFY(!p.services.push->isWatching());
    }

    void bannerScrollsTheMailProgramName()
    {
        Program p;
        p.form->setText7(QStringLiteral("/opt/mail/sylpheed"));
        p.form->Timer4_Timer();
        QCOMPARE(p.form->text8(), QStringLiteral("sylpheed"));
        QCOMPARE(p.form->label1Caption(), QStringLiteral("sylpheed"));
        QVERIFY(p.form->label1LeftTwips() < Scheduler::kBannerStartTwips); // moving left
        p.form->setText7(QString());
        p.form->Timer4_Timer();
        QCOMPARE(p.form->label1Caption(), QStringLiteral("設定されていません。"));
    }
};

QTEST_MAIN(MainFormTest)
#include "tst_mainform.moc"
