#include "notify/Alert.h"
#include "notify/MciSound.h"
#include "notify/PicturePane.h"
#include "platform/ProgramFolder.h"
#include "TestTune.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// The real sound interface, with every command, its result, its reply and
// the moment it was sent written down.
class RecordingSound : public qp::SoundInterface {
public:
    struct Entry {
        QString command;
        int result;
        QString reply;
        qint64 atMs;
    };
    qp::MciSound real{qp::FluidTunePlayer::Output::SilentClock};
    QList<Entry> log;
    QElapsedTimer clock;

    RecordingSound() { clock.start(); }

    int mciSendString(const QString& command, QString* reply) override
    {
        const int result = real.mciSendString(command, reply);
        log.append({command, result, reply ? *reply : QString(), clock.elapsed()});
        return result;
    }

    QStringList commandsExceptStatus(qsizetype from = 0) const
    {
        QStringList out;
        for (qsizetype i = from; i < log.size(); ++i)
            if (!log[i].command.startsWith(QLatin1String("status")))
                out << log[i].command;
        return out;
    }
};

const QString kGifDir = QStringLiteral("画像データ");

} // namespace

class AlertTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

    // One main window's worth of alert controls.
    struct Rig {
        RecordingSound sound;
        QWidget mainWindow;
        qp::PicturePane* pane = new qp::PicturePane(&mainWindow);
        QTimer timer2;
        QCheckBox check1;
        qp::Alert alert{sound, *pane, timer2, check1, &mainWindow};

        Rig()
        {
            check1.setChecked(true);
            timer2.setInterval(100);
            QObject::connect(&timer2, &QTimer::timeout, &alert, &qp::Alert::Timer2_Timer);
            timer2.start();
            mainWindow.move(50, 40);
        }
        QString picture() const { return QFileInfo(pane->shownFile()).fileName(); }
    };

    bool waitFor(const std::function<bool()>& condition, int limitMs)
    {
        QElapsedTimer t;
        t.start();
        while (!condition()) {
            if (t.elapsed() > limitMs)
                return false;
            QTest::qWait(20);
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QDir program(m_dir.path());
        QVERIFY(program.mkpath(QStringLiteral("Sound")));
        QVERIFY(program.mkpath(kGifDir));
        QVERIFY(testtune::write(program.filePath(QStringLiteral("Sound/Kouka.mid")), testtune::tune(1, 200)));
        const QDir assets(QStringLiteral(QP_SOURCE_DIR "/assets/") + kGifDir);
        for (const QString& name : assets.entryList(QDir::Files))
            QVERIFY(QFile::copy(assets.filePath(name), program.filePath(kGifDir + QLatin1Char('/') + name)));
        QVERIFY(QFileInfo::exists(program.filePath(kGifDir + QStringLiteral("/ShintyakuMove.gif"))));
        qp::setProgramFolderOverride(m_dir.path());
    }

    void commandTexts()
    {
        QCOMPARE(qp::Alert::openCommand(),
                 QStringLiteral("open \"") + m_dir.path() + QStringLiteral("\\Sound\\Kouka.mid\" alias bgm"));
        QCOMPARE(qp::Alert::pictureAddress(QStringLiteral("X.gif")),
                 QStringLiteral("file://") + m_dir.path() + QStringLiteral("\\画像データ\\X.gif"));
    }

    // Loop switch on: the tune starts again at the first tick after its end,
    // again and again, until "戻す".
    void loopOnRestartsTheTuneAtItsEnd()
    {
        Rig rig;
        rig.alert.Command2_Click();
        QCOMPARE(rig.sound.commandsExceptStatus(),
                 QStringList({qp::Alert::openCommand(), QStringLiteral("play bgm")}));
        QCOMPARE(rig.sound.log[0].result, 0);
        QCOMPARE(rig.picture(), QStringLiteral("ShintyakuMove.gif"));
        QVERIFY(rig.alert.form1().isLoaded());
        QVERIFY(rig.alert.form1().ifLoaded()->isVisible());

        auto restarts = [&] {
            return rig.sound.commandsExceptStatus().count(QStringLiteral("play bgm from 0"));
        };
        QVERIFY(waitFor([&] { return restarts() >= 2; }, 20000));
        // Each restart follows the status reply that first said "stopped",
        // and the status before it still said "playing" at most a tick earlier.
        for (qsizetype i = 0; i < rig.sound.log.size(); ++i) {
            if (rig.sound.log[i].command != QLatin1String("play bgm from 0"))
                continue;
            const auto& stopped = rig.sound.log[i - 1];
            QCOMPARE(stopped.reply.left(7), QStringLiteral("stopped"));
            const auto& playing = rig.sound.log[i - 2];
            QCOMPARE(playing.reply, QStringLiteral("playing"));
            QVERIFY2(rig.sound.log[i].atMs - playing.atMs <= 150,
                     qPrintable(QString::number(rig.sound.log[i].atMs - playing.atMs)));
        }
        QVERIFY(rig.timer2.isActive());
        QCOMPARE(rig.sound.real.openAlias(), QStringLiteral("bgm"));

        const qsizetype before = rig.sound.log.size();
        rig.alert.Command3_Click();
        QCOMPARE(rig.sound.commandsExceptStatus(before), QStringList({"stop bgm", "close bgm"}));
        QCOMPARE(rig.sound.real.openAlias(), QString());
        QCOMPARE(rig.picture(), QStringLiteral("TanabataMove.gif"));
        QVERIFY(!rig.alert.form1().isLoaded());
        QVERIFY(rig.timer2.isActive()); // the end alert leaves the watcher alone
    }

    // Loop switch off: the first tune that ends is closed and the watcher
    // stops for good; a later alert plays once and stays open.
    void loopOffStopsTheWatcherForGood()
    {
        Rig rig;
        rig.check1.setChecked(false);
        rig.alert.Command2_Click();
        QVERIFY(waitFor([&] { return !rig.timer2.isActive(); }, 20000));
        QCOMPARE(rig.sound.commandsExceptStatus().mid(2), QStringList({"stop bgm", "close bgm"}));
        QCOMPARE(rig.sound.real.openAlias(), QString());
        // Alert, silent: picture and Form1 stay.
        QCOMPARE(rig.picture(), QStringLiteral("ShintyakuMove.gif"));
        QVERIFY(rig.alert.form1().isLoaded());

        // A later alert plays its tune once; nobody closes it after its end.
        rig.alert.Command2_Click();
        QCOMPARE(rig.sound.real.openAlias(), QStringLiteral("bgm"));
        QVERIFY(rig.sound.real.player().isPlaying());
        QVERIFY(waitFor([&] { return !rig.sound.real.player().isPlaying(); }, 20000));
        QTest::qWait(300);
        QCOMPARE(rig.sound.real.openAlias(), QStringLiteral("bgm"));
        QVERIFY(!rig.timer2.isActive());

        // The next alert finds the alias taken and plays the open tune again.
        const qsizetype before = rig.sound.log.size();
        rig.alert.Command2_Click();
        QCOMPARE(rig.sound.log[before].result, int(qp::MciSound::AliasInUse));
        QVERIFY(rig.sound.real.player().isPlaying());
        rig.alert.Command3_Click();
        QCOMPARE(rig.sound.real.openAlias(), QString());
        QVERIFY(!rig.timer2.isActive());
    }

    void endWithNoAlertShowsTheIdlePictureOnly()
    {
        Rig rig;
        rig.pane->Navigate(QString()); // empty pane to start from
        rig.alert.Command3_Click();
        QCOMPARE(rig.picture(), QStringLiteral("TanabataMove.gif"));
        QVERIFY(rig.pane->address().startsWith(QStringLiteral("file://")));
        QVERIFY(!rig.alert.form1().isLoaded());
        for (const auto& e : rig.sound.log)
            QCOMPARE(e.result, int(qp::MciSound::AliasNotOpen)); // stop and close refused
        QVERIFY(rig.timer2.isActive());
        QCOMPARE(rig.sound.real.openAlias(), QString());
    }

    void silenceKeepsPictureAndWindow()
    {
        Rig rig;
        rig.alert.Check4_Click(); // no alert on: nothing changes
        QVERIFY(!rig.alert.form1().isLoaded());
        QCOMPARE(rig.pane->shownFile(), QString());

        rig.alert.Command2_Click();
        qp::Form1* form = rig.alert.form1().ifLoaded();
        QVERIFY(form);
        QVERIFY(rig.sound.real.player().isPlaying());
        rig.alert.Check4_Click();
        QCOMPARE(rig.sound.real.openAlias(), QString());
        QVERIFY(!rig.sound.real.player().isPlaying());
        QCOMPARE(rig.picture(), QStringLiteral("ShintyakuMove.gif"));
        QCOMPARE(rig.alert.form1().ifLoaded(), form);
        QVERIFY(form->isVisible());
        QTest::qWait(300); // the watcher finds no tune and does nothing
        QVERIFY(rig.timer2.isActive());
        QCOMPARE(rig.sound.real.openAlias(), QString());
    }

    // "確認♪" twice: the second open is refused, the tune plays on, and the
    // loaded Form1 is shown again without being loaded or moved again.
    void startingTwiceKeepsTheTuneAndTheWindow()
    {
        Rig rig;
        rig.alert.Command2_Click();
        qp::Form1* form = rig.alert.form1().ifLoaded();
        form->move(300, 200);
        QTest::qWait(150);
        const qsizetype before = rig.sound.log.size();
        rig.alert.Command2_Click();
        QCOMPARE(rig.sound.log[before].result, int(qp::MciSound::AliasInUse));
        QVERIFY(rig.sound.real.player().isPlaying());
        QCOMPARE(rig.alert.form1().ifLoaded(), form);
        QCOMPARE(form->pos(), QPoint(300, 200));
        QCOMPARE(rig.picture(), QStringLiteral("ShintyakuMove.gif"));
        rig.alert.Command3_Click();
    }

    void missingTuneGivesASilentAlert()
    {
        const QString tune = m_dir.filePath(QStringLiteral("Sound/Kouka.mid"));
        const QString aside = tune + QStringLiteral(".aside");
        QVERIFY(QFile::rename(tune, aside));
        Rig rig;
        rig.alert.Command2_Click();
        QCOMPARE(rig.sound.log[0].result, int(qp::MciSound::FileNotFound));
        QCOMPARE(rig.picture(), QStringLiteral("ShintyakuMove.gif"));
        QVERIFY(rig.alert.form1().isLoaded());
        QTest::qWait(350);
        QVERIFY(rig.timer2.isActive());
        rig.alert.Command3_Click();
        QVERIFY(QFile::rename(aside, tune));
    }

    void pictureAddressesMapOntoFiles()
    {
        const QString gif = m_dir.filePath(kGifDir + QStringLiteral("/TanabataMove.gif"));
        // Components match without regard to case.
        QCOMPARE(qp::PicturePane::localFileFor(QStringLiteral("file://") + m_dir.path()
                                               + QStringLiteral("\\画像データ\\tanabatamove.GIF")),
                 gif);
        QCOMPARE(qp::PicturePane::localFileFor(QStringLiteral("http://example.com/a.gif")), QString());
        QCOMPARE(qp::PicturePane::localFileFor(QStringLiteral("file://relative\\a.gif")), QString());

        qp::PicturePane pane;
        QCOMPARE(pane.size(), QSize(100, 103));
        pane.show();
        pane.Navigate(qp::Alert::pictureAddress(QStringLiteral("TanabataMove.gif")));
        QCOMPARE(pane.shownFile(), gif);
        QVERIFY(pane.isAnimating());
        pane.hide(); // rests while hidden
        QVERIFY(!pane.isAnimating());
        pane.show();
        QVERIFY(pane.isAnimating());

        pane.Navigate(qp::Alert::pictureAddress(QStringLiteral("Missing.gif")));
        QCOMPARE(pane.shownFile(), QString());
        QVERIFY(!pane.isAnimating());
        const QString notGif = m_dir.filePath(QStringLiteral("Sound/Kouka.mid"));
        pane.Navigate(QStringLiteral("file://") + notGif);
        QCOMPARE(pane.shownFile(), QString());
    }
};

QTEST_MAIN(AlertTest)
#include "tst_alert.moc"
