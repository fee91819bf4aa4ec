#include "AppFakes.h"

#include "app/AppServices.h"
#include "app/MainForm.h"
#include "app/SingleInstance.h"
#include "notify/Alert.h"
#include "notify/PicturePane.h"
#include "platform/Cp932.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace qp;

namespace {

// A program folder of its own, a working directory of its own, and the
// main window built on fakes for the mail library and the sound device.
struct StartedProgram {
    QTemporaryDir programDir;
    QTemporaryDir workDir;
    QString oldCwd = QDir::currentPath();
    test::Journal journal;
    AppServices services;
    std::unique_ptr<MainForm> form;

    explicit StartedProgram(bool withDataFolder = true)
    {
        setProgramFolderOverride(programDir.path());
        if (withDataFolder)
            QDir(programDir.path()).mkdir(QStringLiteral("★MailData"));
        QDir::setCurrent(workDir.path());
        services.mail = std::make_unique<InlineMailWorker>(std::make_unique<test::ScriptedMail>(journal));
        services.sound = std::make_unique<test::RecordingSound>(journal);
    }
    ~StartedProgram()
    {
        form.reset();
        services.forms.unloadAll();
        QDir::setCurrent(oldCwd);
        setProgramFolderOverride({});
    }
    void writeData(const QString& name, const QString& text)
    {
        QFile f(QDir(programDir.path()).filePath(QStringLiteral("★MailData/") + name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(cp932::encode(text).bytes);
    }
    void writeServerFile(const QString& folder, const QByteArray& bytes)
    {
        QFile f(QDir(folder).filePath(QStringLiteral("ferrule.ini")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    void start()
    {
        form = std::make_unique<MainForm>(services);
        form->Form_Load();
    }
    bool shown(QWidget* w) const { return w && w->isVisible(); }
};

const QByteArray kServer = "SMTP=smtp.example.jp\r\nPOP3=pop.example.jp\r\nMAIL=a@example.jp\r\nAPOP=0\r\n";

} // namespace

class StartupTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        setMessageHandler([](QWidget*, const MessageRequest&) { return QMessageBox::Ok; });
    }

    void freshInstallAsksForServerAndAccountAndStaysIdle()
    {
        StartedProgram p;
        p.start();
        QVERIFY(p.form->isVisible());
        QVERIFY(p.form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(p.shown(p.services.forms.optionForm.ifLoaded()));
        QVERIFY(p.shown(p.services.forms.idPassForm.ifLoaded()));
        // The check settings window is loaded, hidden.
        QVERIFY(p.services.forms.setForm.isLoaded());
        QVERIFY(!p.services.forms.setForm.ifLoaded()->isVisible());
        // Interval 0: automatic checking off, the counter timer stopped.
        QCOMPARE(p.services.forms.setForm.ifLoaded()->text2(), QStringLiteral("0"));
        QCOMPARE(p.form->label4Text(), QStringLiteral("OFF"));
        QVERIFY(!p.form->timer(3)->isActive());
        QVERIFY(!p.form->check2Value());
        QVERIFY(!p.form->check4Value());
        QCOMPARE(p.form->text7(), QStringLiteral("未設定"));
        // The idle picture, the device closed, the mail library set up.
        QVERIFY(p.form->picturePane()->address().endsWith(QStringLiteral("TanabataMove.gif")));
        QVERIFY(p.journal.entries.contains("sound: stop bgm"));
        QVERIFY(p.journal.entries.contains("sound: close bgm"));
        QCOMPARE(p.journal.entries.mid(0, 2), QStringList({"mail: init", "mail: option 1 8192"}));
        // No check at start-up.
        QVERIFY(!p.journal.entries.join('\n').contains("connect"));
        // The banner and the lamp run from the window's creation; the alert
        // watcher runs but sleeps until an alert opens a tune, and the
        // check trigger wakes only when the counters or the interval move.
        QVERIFY(p.form->timer(5)->isActive());
        QTRY_VERIFY(p.form->timer(4)->isActive());
        QVERIFY(p.form->alert().watcherRunning());
        QTRY_VERIFY(!p.form->timer(2)->isActive() && !p.form->timer(1)->isActive());
    }

    void storedSettingsFillTheControls()
    {
        StartedProgram p;
        p.writeData("ini.ini", QStringLiteral("[EXEINI]\r\nNUMBER=1\r\nNUMBER2=5\r\nNUMBER3=1\r\nNUMBER4=1\r\n"
                                              "NUMBER5=1\r\nNAME=/usr/bin/メーラー\r\n"));
        p.writeData("iniIdPass.ini", QStringLiteral("[EXEINI]\r\nNAME=user\r\nNAME2=pw\r\n"));
        p.writeServerFile(p.workDir.path(), kServer);
        p.start();
        // Nothing is missing, so neither settings window opens.
        QVERIFY(!p.shown(p.services.forms.optionForm.ifLoaded()));
        QVERIFY(!p.shown(p.services.forms.idPassForm.ifLoaded()));
        SetForm* setForm = p.services.forms.setForm.ifLoaded();
        QCOMPARE(setForm->check1Value(), 1);
        QCOMPARE(setForm->check2Value(), 1);
        QCOMPARE(setForm->text2(), QStringLiteral("5"));
        QCOMPARE(p.form->label4Text(), QStringLiteral("ON"));
        QVERIFY(p.form->check3Value());
        QCOMPARE(p.form->text5Text(), QStringLiteral("5"));
        QVERIFY(p.form->timer(3)->isActive());
        QCOMPARE(p.form->text7(), QStringLiteral("/usr/bin/メーラー"));
        QVERIFY(p.form->check2Value());
        QVERIFY(p.form->check4Value());
        QCOMPARE(p.services.settings.pop3Server(), QStringLiteral("pop.example.jp"));
        // Ticking "風鈴を鳴らさない" at start-up counts as a click: stop, close again.
        QCOMPARE(p.journal.entries.count("sound: stop bgm"), 2);
    }

    void flagsOtherThanZeroOrOneLeaveBoxesUnticked()
    {
        StartedProgram p;
        p.writeData("ini.ini", QStringLiteral("[EXEINI]\r\nNUMBER3=2\r\nNUMBER5=abc\r\nNAME=\r\nNUMBER2=x\r\n"));
        p.start();
        QVERIFY(!p.form->check2Value());
        QVERIFY(!p.form->check4Value());
        QCOMPARE(p.form->text7(), QStringLiteral("未設定")); // present but empty
        QCOMPARE(p.services.forms.setForm.ifLoaded()->text2(), QStringLiteral("0"));
        QVERIFY(!p.form->timer(3)->isActive());
    }

    void accountWithEmptyPasswordOpensTheAccountWindow()
    {
        StartedProgram p;
        p.writeData("iniIdPass.ini", QStringLiteral("[EXEINI]\r\nNAME=user\r\nNAME2=\r\n"));
        p.writeServerFile(p.workDir.path(), kServer);
        p.start();
        QVERIFY(!p.shown(p.services.forms.optionForm.ifLoaded()));
        QVERIFY(p.shown(p.services.forms.idPassForm.ifLoaded()));
        QCOMPARE(p.services.forms.idPassForm.ifLoaded()->idText(), QStringLiteral("user"));
    }

    void serverFileIsLookedUpInTheWorkingDirectoryOnly()
    {
        StartedProgram p;
        p.writeServerFile(p.programDir.path(), kServer); // beside the program: not read
        p.start();
        QVERIFY(p.services.settings.pop3Server().isEmpty());
        QVERIFY(p.shown(p.services.forms.optionForm.ifLoaded()));
    }

    void missingDataFolderStartsWithEveryDefault()
    {
        StartedProgram p(false);
        p.start();
        QCOMPARE(p.form->text7(), QStringLiteral("未設定"));
        QCOMPARE(p.services.forms.setForm.ifLoaded()->text2(), QStringLiteral("0"));
        QVERIFY(p.shown(p.services.forms.idPassForm.ifLoaded()));
        // The program never creates the data folder.
        QVERIFY(!QDir(p.programDir.path()).exists(QStringLiteral("★MailData")));
    }

    void theDataFolderIsFoundInAnySpelling()
    {
        StartedProgram p(false);
        QDir(p.programDir.path()).mkdir(QStringLiteral("★MAILDATA"));
        QFile f(QDir(p.programDir.path()).filePath(QStringLiteral("★MAILDATA/INI.INI")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[exeini]\r\nnumber2=3\r\n");
        f.close();
        p.start();
        QCOMPARE(p.services.forms.setForm.ifLoaded()->text2(), QStringLiteral("3"));
    }

    // Without a runtime folder, a lock planted in the shared temp folder
    // under the name once used there stops nothing.
    void aPlantedLockStopsNothing()
    {
        QTemporaryDir data;
        qunsetenv("XDG_RUNTIME_DIR");
        QLockFile planted(QDir::temp().filePath(SingleInstance::nameFor(data.path()) + QStringLiteral(".lock")));
        QVERIFY(planted.tryLock(0));
        QCOMPARE(SingleInstance(data.path()).claim(), SingleInstance::Claim::First);
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
