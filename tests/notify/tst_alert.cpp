#include "notify/Alert.h"
#include "notify/DesktopNotifier.h"
#include "notify/MciSound.h"
#include "notify/MidiFileCheck.h"
#include "notify/PicturePane.h"
#include "platform/ProgramFolder.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ProgramFolderFixture.h"
#include "tests/support/SoundServerFixture.h"
#include "TestTune.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QProcess>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <vector>

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
        qp::FluidTunePlayer::Sink sink; // after the command
    };
    qp::MciSound real;
    QList<Entry> log;
    QElapsedTimer clock;

    explicit RecordingSound(qp::FluidTunePlayer::Output output)
        : real(output)
    {
        clock.start();
    }

    int mciSendString(const QString& command, QString* reply) override
    {
        const int result = real.mciSendString(command, reply);
        log.append({command, result, reply ? *reply : QString(), clock.elapsed(), real.player().sink()});
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

// A recording as the mean loudness of each 2 ms.
constexpr int kWindowMs = 2;
std::vector<double> loudness(const std::vector<qint16>& samples)
{
    const std::size_t window = qp::test::SoundServerFixture::kRate * kWindowMs / 1000;
    std::vector<double> out(samples.size() / window);
    for (std::size_t i = 0; i < out.size(); ++i) {
        double sum = 0;
        for (std::size_t j = 0; j < window; ++j)
            sum += std::abs(int(samples[i * window + j]));
        out[i] = sum / double(window);
    }
    return out;
}

double loudest(const std::vector<double>& env, qint64 fromMs, qint64 toMs)
{
    double peak = 0;
    for (qint64 i = std::max<qint64>(0, fromMs / kWindowMs); i < qint64(env.size()) && i < toMs / kWindowMs; ++i)
        peak = std::max(peak, env[std::size_t(i)]);
    return peak;
}

// The first window from `from` that starts at least `ms` of windows no
// louder than `quiet`; env.size() when there is none.
std::size_t silentRun(const std::vector<double>& env, std::size_t from, double quiet, int ms)
{
    std::size_t run = 0;
    for (std::size_t i = from; i < env.size(); ++i) {
        run = env[i] <= quiet ? run + 1 : 0;
        if (run * kWindowMs >= std::size_t(ms))
            return i + 1 - run;
    }
    return env.size();
}

// How well env[at..] matches env[from..from+length), from -1 to 1.
double likeness(const std::vector<double>& env, std::size_t from, std::size_t at, std::size_t length)
{
    double ma = 0, mb = 0;
    for (std::size_t i = 0; i < length; ++i) {
        ma += env[from + i];
        mb += env[at + i];
    }
    ma /= double(length);
    mb /= double(length);
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const double a = env[from + i] - ma, b = env[at + i] - mb;
        ab += a * b;
        aa += a * a;
        bb += b * b;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

} // namespace

// A stand-in desktop notification service whose capabilities can change
// between checks, as when the user's service restarts with other settings.
class StandInNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList capabilities;
    QStringList shown; // "summary|body" of each Notify
public slots:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body, const QStringList&,
                const QVariantMap&, int)
    {
        shown << summary + u'|' + body;
        return uint(shown.size());
    }
};

class AlertTest : public QObject {
    Q_OBJECT
    qp::test::ProgramFolder m_folder{qp::test::ProgramFolder::NoDataFolder};

    // One main window's worth of alert controls.
    struct Rig {
        RecordingSound sound;
        QWidget mainWindow;
        qp::PicturePane* pane = new qp::PicturePane(&mainWindow);
        QTimer timer2;
        QCheckBox check1;
        qp::Alert alert{sound, *pane, timer2, check1, &mainWindow};

        explicit Rig(qp::FluidTunePlayer::Output output = qp::FluidTunePlayer::Output::SilentClock)
            : sound(output)
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
        QVERIFY(m_folder.isValid());
        QDir program(m_folder.root());
        QVERIFY(program.mkpath(QStringLiteral("Sound")));
        QVERIFY(program.mkpath(kGifDir));
        QVERIFY(testtune::write(program.filePath(QStringLiteral("Sound/Kouka.mid")), testtune::tune(1, 200)));
        const QDir assets(QStringLiteral(QP_SOURCE_DIR "/assets/") + kGifDir);
        for (const QString& name : assets.entryList(QDir::Files))
            QVERIFY(QFile::copy(assets.filePath(name), program.filePath(kGifDir + QLatin1Char('/') + name)));
        QVERIFY(QFileInfo::exists(program.filePath(kGifDir + QStringLiteral("/ShintyakuMove.gif"))));
    }

    void commandTexts()
    {
        QCOMPARE(qp::Alert::openCommand(),
                 QStringLiteral("open \"") + m_folder.root() + QStringLiteral("\\Sound\\Kouka.mid\" alias bgm"));
        QCOMPARE(qp::Alert::pictureAddress(QStringLiteral("X.gif")),
                 QStringLiteral("file://") + m_folder.root() + QStringLiteral("\\画像データ\\X.gif"));
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
        // The end alert leaves the watcher running; with no tune to watch
        // its next tick puts the timer to sleep until the next alert.
        QVERIFY(rig.alert.watcherRunning());
        QVERIFY(waitFor([&] { return !rig.timer2.isActive(); }, 1000));
        rig.alert.Command2_Click();
        QVERIFY(rig.timer2.isActive());
        rig.alert.Command3_Click();
    }

    // On a real sound server, with the delivered tune and the loop on: the
    // tune is heard, each repeat starts right after the end of the last, and
    // stop and close silence it. A server that dies mid-tune leaves the loop
    // going on the silent clock.
    void realSoundServer()
    {
        qp::test::SoundServerFixture server;
        if (!server.start())
            QSKIP(qPrintable(server.errorString()));
        QFile deliveredFile(QStringLiteral(QP_SOURCE_DIR "/assets/Sound/Kouka.mid"));
        QVERIFY(deliveredFile.open(QIODevice::ReadOnly));
        const QByteArray delivered = deliveredFile.readAll();
        const auto tuneEnd = qp::midiTuneEnd(delivered);
        QVERIFY(tuneEnd && tuneEnd->seconds > 2);
        const qint64 lengthMs = qint64(tuneEnd->seconds * 1000);
        const QString tune = m_folder.programFile(QStringLiteral("Sound/Kouka.mid"));
        struct Restore {
            QString path;
            ~Restore() { testtune::write(path, testtune::tune(1, 200)); }
        } restore{tune};
        QVERIFY(testtune::write(tune, delivered));
        QVERIFY2(server.startRecording(), qPrintable(server.errorString()));

        Rig rig(qp::FluidTunePlayer::Output::Automatic);
        auto restarts = [&] {
            return rig.sound.commandsExceptStatus().count(QStringLiteral("play bgm from 0"));
        };
        rig.alert.Command2_Click();
        QCOMPARE(rig.sound.real.player().sink(), qp::FluidTunePlayer::Sink::AudioDevice);
        QVERIFY(waitFor([&] { return restarts() >= 1; }, int(lengthMs) + 3000));
        // The end found the device still open: the repeat goes on the same stream.
        for (qsizetype i = 1; i < rig.sound.log.size(); ++i) {
            if (rig.sound.log[i].command == QLatin1String("play bgm from 0"))
                QCOMPARE(rig.sound.log[i - 1].sink, qp::FluidTunePlayer::Sink::AudioDevice);
        }

        // The first sound marks the start; each repeat is where the tune's
        // opening comes again, near the end of the playing before.
        const double quiet = 8; // digital silence is 0
        const std::size_t opening = 400 / kWindowMs;
        std::size_t first = 0;
        struct Repeat {
            std::size_t at = 0;
            double likeness = -1;
        };
        auto findRepeat = [&](const std::vector<double>& env, std::size_t previous) {
            Repeat r;
            const std::size_t expected = previous + std::size_t(lengthMs / kWindowMs);
            for (std::size_t at = expected - 300 / kWindowMs; at < expected + 700 / kWindowMs; ++at) {
                if (at + opening >= env.size())
                    break;
                const double l = likeness(env, first, at, opening);
                if (l > r.likeness)
                    r = {at, l};
            }
            return r;
        };
        auto gapMs = [&](const Repeat& r, std::size_t previous) {
            return qint64(r.at - previous) * kWindowMs - lengthMs;
        };
        // One buffer: the 2048 frames the player asks the server to hold.
        const qint64 bound = 100 + 2048 * 1000 / qp::test::SoundServerFixture::kRate;

        QTest::qWait(1000);
        std::vector<double> env = loudness(server.recording());
        while (first < env.size() && env[first] <= quiet)
            ++first;
        QVERIFY2(first < env.size(), "nothing was heard");
        const double peak = loudest(env, qint64(first) * kWindowMs, qint64(first) * kWindowMs + lengthMs);
        QVERIFY2(peak > 300, qPrintable(QString::number(peak)));
        Repeat repeat = findRepeat(env, first);
        qint64 gap = gapMs(repeat, first);
        qInfo("tune %lld ms, first repeat starts %lld ms after its end (likeness %.2f)", lengthMs, gap,
              repeat.likeness);
        QVERIFY2(repeat.likeness > 0.8, qPrintable(QString::number(repeat.likeness)));
        if (gap > bound) {
            // A busy machine can hold up the watcher's tick; the next
            // repeat must then make it.
            QVERIFY(waitFor([&] { return restarts() >= 2; }, int(lengthMs) + 3000));
            QTest::qWait(1000);
            env = loudness(server.recording());
            const Repeat second = findRepeat(env, repeat.at);
            gap = gapMs(second, repeat.at);
            qInfo("second repeat starts %lld ms after its end (likeness %.2f)", gap, second.likeness);
            QVERIFY2(second.likeness > 0.8, qPrintable(QString::number(second.likeness)));
            repeat = second;
        }
        QVERIFY2(gap >= -kWindowMs && gap <= bound, qPrintable(QString::number(gap)));

        QTest::qWait(500);
        rig.timer2.stop(); // a stop alone would be looped by the watcher
        QCOMPARE(rig.sound.mciSendString(QStringLiteral("stop bgm"), nullptr), 0);
        QTest::qWait(1000);
        QCOMPARE(rig.sound.mciSendString(QStringLiteral("play bgm"), nullptr), 0);
        QTest::qWait(2000);
        rig.alert.Command3_Click(); // stop and close
        QTest::qWait(1000);
        env = loudness(server.stopRecording());
        const std::size_t best = repeat.at;

        // Stop, and close, silence the device (digital silence, not just a
        // quiet passage: the tune's reverberation never rests before its
        // end); play after stop goes on.
        const std::size_t stopped = silentRun(env, best + opening, quiet, 300);
        QVERIFY2(stopped < env.size(), "the stop did not silence the tune");
        std::size_t resumed = stopped;
        while (resumed < env.size() && env[resumed] <= quiet)
            ++resumed;
        QVERIFY2(resumed < env.size() && loudest(env, qint64(resumed) * kWindowMs, qint64(resumed) * kWindowMs + 300) > 100,
                 "play after stop was not heard");
        const std::size_t closed = silentRun(env, resumed, quiet, 300);
        QVERIFY2(closed < env.size(), "the close did not silence the tune");
        QVERIFY2(loudest(env, qint64(closed) * kWindowMs, qint64(env.size()) * kWindowMs) <= quiet,
                 "sound after the close");

        // The server dies mid-tune: the end still comes, the loop goes on.
        QVERIFY(testtune::write(tune, testtune::tune(6, 250)));
        rig.timer2.start();
        rig.alert.Command2_Click();
        QCOMPARE(rig.sound.real.player().sink(), qp::FluidTunePlayer::Sink::AudioDevice);
        QVERIFY(waitFor([&] { return rig.sound.real.player().currentTick() > 300; }, 8000));
        server.killServer();
        const qsizetype before = restarts();
        QVERIFY(waitFor([&] { return restarts() > before; }, 6000));
        QCOMPARE(rig.sound.real.player().sink(), qp::FluidTunePlayer::Sink::SilentClock);
        QVERIFY(waitFor([&] { return restarts() > before + 1; }, 4000));
        rig.alert.Command3_Click();
        QCOMPARE(rig.sound.real.player().sink(), qp::FluidTunePlayer::Sink::None);
    }

    // Loop switch off: the first tune that ends is closed and the watcher
    // stops for good; a later alert plays once and stays open.
    void loopOffStopsTheWatcherForGood()
    {
        Rig rig;
        rig.check1.setChecked(false);
        rig.alert.Command2_Click();
        QVERIFY(waitFor([&] { return !rig.alert.watcherRunning(); }, 20000));
        QVERIFY(!rig.timer2.isActive());
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
        QVERIFY(!rig.timer2.isActive()); // not started again

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
        QVERIFY(rig.alert.watcherRunning());
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
        QTest::qWait(300); // the watcher finds no tune and sleeps
        QVERIFY(!rig.timer2.isActive());
        QVERIFY(rig.alert.watcherRunning());
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
        const QString tune = m_folder.programFile(QStringLiteral("Sound/Kouka.mid"));
        const QString aside = tune + QStringLiteral(".aside");
        QVERIFY(QFile::rename(tune, aside));
        Rig rig;
        rig.alert.Command2_Click();
        QCOMPARE(rig.sound.log[0].result, int(qp::MciSound::FileNotFound));
        QCOMPARE(rig.picture(), QStringLiteral("ShintyakuMove.gif"));
        QVERIFY(rig.alert.form1().isLoaded());
        QTest::qWait(350);
        QVERIFY(!rig.timer2.isActive()); // nothing to watch
        QVERIFY(rig.alert.watcherRunning());
        rig.alert.Command3_Click();
        QVERIFY(QFile::rename(aside, tune));
    }

    void pictureAddressesMapOntoFiles()
    {
        const QString gif = m_folder.programFile(kGifDir + QStringLiteral("/TanabataMove.gif"));
        // Components match without regard to case.
        QCOMPARE(qp::PicturePane::localFileFor(QStringLiteral("file://") + m_folder.root()
                                               + QStringLiteral("\\画像データ\\tanabatamove.GIF")),
                 gif);
        QCOMPARE(qp::PicturePane::localFileFor(QStringLiteral("http://example.com/a.gif")), QString());
        QCOMPARE(qp::PicturePane::localFileFor(QStringLiteral("file://relative\\a.gif")), QString());

        qp::PicturePane pane;
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
        const QString notGif = m_folder.programFile(QStringLiteral("Sound/Kouka.mid"));
        pane.Navigate(QStringLiteral("file://") + notGif);
        QCOMPARE(pane.shownFile(), QString());
    }

    // A sender's markup never reaches a service that reads markup, even one
    // that starts reading it while the program runs; a message is told once.
    void notificationsFollowTheServiceMarkup()
    {
        qp::test::PrivateBus bus;
        if (!bus.start())
            QSKIP("needs dbus-daemon");
        const QString address = bus.address;
        const QString memory = m_folder.programFile(QStringLiteral("notified.txt"));
        QDBusConnection service = QDBusConnection::connectToBus(address, QStringLiteral("stand-in"));
        StandInNotifications standIn;
        QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &standIn,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(QStringLiteral("org.freedesktop.Notifications")));
        const QString link = QStringLiteral("<a href=\"http://evil.example\">bank.example</a>");
        {
            qp::DesktopNotifier notifier(QDBusConnection::connectToBus(address, QStringLiteral("client")));
            notifier.setMemoryFile(memory);
            notifier.announce({{QStringLiteral("m1"), QStringLiteral("<b>a@x</b>"), link}});
            QTRY_COMPARE(standIn.shown.size(), 1);
            QCOMPARE(standIn.shown[0], QStringLiteral("<b>a@x</b>|") + link);
            standIn.capabilities = {QStringLiteral("body-markup")};
            notifier.announce({{QStringLiteral("m1"), QStringLiteral("<b>a@x</b>"), link},
                               {QStringLiteral("m2"), QStringLiteral("<b>b@x</b>"), link}});
            QTRY_COMPARE(standIn.shown.size(), 2);
            QCOMPARE(standIn.shown[1], QStringLiteral("&lt;b&gt;b@x&lt;/b&gt;|") + link.toHtmlEscaped());
        }
        { // after a restart, what was told stays told
            qp::DesktopNotifier restarted(QDBusConnection::connectToBus(address, QStringLiteral("client")));
            restarted.setMemoryFile(memory);
            restarted.announce({{QStringLiteral("m2"), QStringLiteral("b@x"), link}, {QStringLiteral("m3"), QStringLiteral("c@x"), link}});
            QTRY_COMPARE(standIn.shown.size(), 3);
            QVERIFY(standIn.shown[2].startsWith(QStringLiteral("c@x|")));
            QTest::qWait(200);
            QCOMPARE(standIn.shown.size(), 3);
        }
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        QDBusConnection::disconnectFromBus(QStringLiteral("stand-in"));
    }
};

QTEST_MAIN(AlertTest)
#include "tst_alert.moc"
