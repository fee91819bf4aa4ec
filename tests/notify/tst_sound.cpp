#include "notify/MciCommand.h"
#include "notify/MciSound.h"
#include "notify/MidiFileCheck.h"
#include "TestTune.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

using qp::MciSound;
using Verb = qp::MciCommand::Verb;

namespace {

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

QString status(MciSound& sound)
{
    QString reply = QStringLiteral("untouched");
    sound.mciSendString(QStringLiteral("status bgm mode"), &reply);
    return reply;
}

// Polls like the end watcher until the reply starts "stopped".
qint64 msUntilStopped(MciSound& sound, int limitMs)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < limitMs) {
        if (status(sound).left(7) == QLatin1String("stopped"))
            return t.elapsed();
        QTest::qWait(20);
    }
    return -1;
}

} // namespace

class SoundTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_tune;

    QString openCommand(const QString& path) const
    {
        return QStringLiteral("open \"") + path + QStringLiteral("\" alias bgm");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("Sound")));
        m_tune = m_dir.filePath(QStringLiteral("Sound/Kouka.mid"));
        QVERIFY(testtune::write(m_tune, testtune::tune(2, 250)));
    }

    void grammar_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("verb");
        QTest::addColumn<QString>("alias");
        QTest::addColumn<QString>("path");
        QTest::newRow("open") << "open \"C:\\My Apps\\Sound\\Kouka.mid\" alias bgm" << true
                              << int(Verb::Open) << "bgm" << "C:\\My Apps\\Sound\\Kouka.mid";
        QTest::newRow("play") << "play bgm" << true << int(Verb::Play) << "bgm" << "";
        QTest::newRow("from 0") << "play bgm from 0" << true << int(Verb::PlayFromStart) << "bgm" << "";
        QTest::newRow("status") << "status bgm mode" << true << int(Verb::StatusMode) << "bgm" << "";
        QTest::newRow("stop") << "stop bgm" << true << int(Verb::Stop) << "bgm" << "";
        QTest::newRow("close") << "close bgm" << true << int(Verb::Close) << "bgm" << "";
        QTest::newRow("keyword case") << "  STOP   bgm " << true << int(Verb::Stop) << "bgm" << "";
        QTest::newRow("empty") << "" << false << 0 << "" << "";
        QTest::newRow("pause") << "pause bgm" << false << 0 << "" << "";
        QTest::newRow("no alias") << "play" << false << 0 << "" << "";
        QTest::newRow("from 5") << "play bgm from 5" << false << 0 << "" << "";
        QTest::newRow("status other") << "status bgm position" << false << 0 << "" << "";
        QTest::newRow("extra word") << "stop bgm wait" << false << 0 << "" << "";
        QTest::newRow("open unquoted") << "open C:\\a.mid alias bgm" << false << 0 << "" << "";
        QTest::newRow("open no alias") << "open \"C:\\a.mid\"" << false << 0 << "" << "";
        QTest::newRow("open type") << "open \"C:\\a.mid\" type sequencer alias bgm" << false << 0 << "" << "";
        QTest::newRow("open empty path") << "open \"\" alias bgm" << false << 0 << "" << "";
        QTest::newRow("open open quote") << "open \"C:\\a.mid alias bgm" << false << 0 << "" << "";
        QTest::newRow("quoted alias") << "play \"bgm\"" << false << 0 << "" << "";
    }

    void grammar()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        const auto c = qp::parseMciCommand(text);
        QCOMPARE(c.has_value(), accepted);
        if (!c)
            return;
        QFETCH(int, verb);
        QFETCH(QString, alias);
        QFETCH(QString, path);
        QCOMPARE(int(c->verb), verb);
        QCOMPARE(c->alias, alias);
        QCOMPARE(c->path, path);
    }

    void midiFileCheck()
    {
        const QByteArray good = testtune::tune();
        QVERIFY(qp::isWellFormedMidiFile(good));
        QVERIFY(!qp::isWellFormedMidiFile(QByteArray()));
        QVERIFY(!qp::isWellFormedMidiFile("RIFF not a tune at all"));
        // Every truncation of a good file is refused, none crashes.
        for (int n = 0; n < good.size() - 4; ++n)
            QVERIFY2(!qp::isWellFormedMidiFile(good.left(n)), qPrintable(QString::number(n)));
        // A track length pointing past the end of the file.
        QByteArray longTrack = good;
        longTrack[21] = char(0x7F);
        QVERIFY(!qp::isWellFormedMidiFile(longTrack));
        // Two tracks announced, one present.
        QByteArray missingTrack = good;
        missingTrack[9] = 1;
        missingTrack[11] = 2;
        QVERIFY(!qp::isWellFormedMidiFile(missingTrack));
        // A data byte with its top bit set where a note number belongs.
        QByteArray badData = good;
        const int noteOn = badData.indexOf(char(0x90));
        badData[noteOn + 1] = char(0xC8);
        QVERIFY(!qp::isWellFormedMidiFile(badData));
        // Noise after the header, with valid lengths, in place of events.
        QByteArray noise = good;
        for (int i = 22; i < noise.size(); ++i)
            noise[i] = char(0xF3);
        QVERIFY(!qp::isWellFormedMidiFile(noise));

        // The end: the end-of-track tick, timed at the tempos the tune sets.
        QCOMPARE(qp::midiTuneEnd(good)->tick, 500u);
        QCOMPARE(qRound(qp::midiTuneEnd(good)->seconds * 1000), 521); // 120 bpm, 480 ticks a beat
        QByteArray faster = good;
        faster.insert(22, QByteArray::fromHex("00FF51030F4240")); // 1 s a beat, from tick 0
        faster[21] = char(quint8(faster[21]) + 7);
        QCOMPARE(qp::midiTuneEnd(faster)->tick, 500u);
        QCOMPARE(qRound(qp::midiTuneEnd(faster)->seconds * 1000), 1042);
        QVERIFY(!qp::midiTuneEnd(noise));
    }

    // The synthesizer is not loaded until a tune is opened, and no output
    // thread runs while nothing plays.
    void idleCostsNothing()
    {
        MciSound sound(qp::FluidTunePlayer::Output::SilentClock);
        QVERIFY(!sound.player().synthesizerLoaded());
        QCOMPARE(sound.mciSendString(openCommand(m_tune)), 0);
        QVERIFY(sound.player().synthesizerLoaded());
        const int baseline = threadCount();
        QVERIFY(sound.player().soundFontLoaded());
        QCOMPARE(sound.player().sink(), qp::FluidTunePlayer::Sink::None);
        QCOMPARE(sound.mciSendString(QStringLiteral("play bgm")), 0);
        QCOMPARE(sound.player().sink(), qp::FluidTunePlayer::Sink::SilentClock);
        QCOMPARE(threadCount(), baseline + 1);
        sound.mciSendString(QStringLiteral("stop bgm"));
        QCOMPARE(status(sound), QStringLiteral("stopped"));
        QCOMPARE(threadCount(), baseline);
        QCOMPARE(sound.mciSendString(QStringLiteral("close bgm")), 0);
        QCOMPARE(sound.openAlias(), QString());
        QCOMPARE(threadCount(), baseline);
        QVERIFY(sound.player().synthesizerLoaded()); // kept for the next alert
    }

    // The tune takes its real time, reports "stopped" after its end, plays
    // again from the beginning, and its output stops by itself at the end.
    void playsToTheEndAndAgain()
    {
        MciSound sound(qp::FluidTunePlayer::Output::SilentClock);
        QCOMPARE(sound.mciSendString(openCommand(m_tune)), 0);
        const int baseline = threadCount();
        QCOMPARE(status(sound), QStringLiteral("stopped")); // opened, not started
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(sound.mciSendString(QStringLiteral("play bgm")), 0);
        QVERIFY(clock.elapsed() < 300); // returns while the tune plays
        QCOMPARE(status(sound), QStringLiteral("playing"));
        // The end is the tune's last event, not the moment its last note has
        // died away.
        const qint64 lengthMs = qint64(qp::midiTuneEnd(testtune::tune(2, 250))->seconds * 1000);
        QVERIFY(msUntilStopped(sound, 15000) >= 0);
        // The silent clock renders a block (23 ms) ahead.
        QVERIFY2(clock.elapsed() >= lengthMs - 50, "the tune ended before its notes were played");
        QVERIFY2(clock.elapsed() <= lengthMs + 150, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(threadCount(), baseline);

        QCOMPARE(sound.mciSendString(QStringLiteral("play bgm from 0")), 0);
        QCOMPARE(status(sound), QStringLiteral("playing"));
        QTest::qWait(300);
        QCOMPARE(status(sound), QStringLiteral("playing"));
        const qint64 second = msUntilStopped(sound, 15000);
        QVERIFY(second >= 200);

        // After "stop bgm" the tune is not at its end, yet "from 0" still
        // means its beginning.
        QCOMPARE(sound.mciSendString(QStringLiteral("play bgm from 0")), 0);
        QTRY_VERIFY(sound.player().currentTick() >= 300 && sound.player().currentTick() < 1000);
        QCOMPARE(sound.mciSendString(QStringLiteral("stop bgm")), 0);
        const int stoppedAt = sound.player().currentTick();
        QCOMPARE(sound.mciSendString(QStringLiteral("play bgm from 0")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(sound.player().currentTick() < stoppedAt, 1000);
        sound.mciSendString(QStringLiteral("stop bgm"));
        sound.mciSendString(QStringLiteral("close bgm"));
    }

    void secondOpenIsRefusedAndTheTunePlaysOn()
    {
        MciSound sound(qp::FluidTunePlayer::Output::SilentClock);
        QCOMPARE(sound.mciSendString(openCommand(m_tune)), 0);
        QCOMPARE(sound.mciSendString(QStringLiteral("play bgm")), 0);
        QTest::qWait(100);
        QCOMPARE(sound.mciSendString(openCommand(m_tune)), int(MciSound::AliasInUse));
        QCOMPARE(status(sound), QStringLiteral("playing"));
        QCOMPARE(sound.mciSendString(QStringLiteral("play bgm")), 0); // already playing: goes on
        QCOMPARE(status(sound), QStringLiteral("playing"));
        QCOMPARE(sound.openAlias(), QStringLiteral("bgm"));
        sound.mciSendString(QStringLiteral("close bgm")); // close without stop also silences
        QCOMPARE(sound.player().sink(), qp::FluidTunePlayer::Sink::None);
    }

    void commandsOnAClosedAliasDoNothing()
    {
        MciSound sound(qp::FluidTunePlayer::Output::SilentClock);
        for (const char* c : {"stop bgm", "close bgm", "play bgm", "play bgm from 0"})
            QCOMPARE(sound.mciSendString(QLatin1String(c)), int(MciSound::AliasNotOpen));
        QString reply = QStringLiteral("stale");
        QCOMPARE(sound.mciSendString(QStringLiteral("status bgm mode"), &reply), int(MciSound::AliasNotOpen));
        QVERIFY(reply.isEmpty()); // holds no "stopped": the watcher does nothing
        QVERIFY(!sound.player().synthesizerLoaded());

        // Another alias does not reach the open one.
        QCOMPARE(sound.mciSendString(openCommand(m_tune)), 0);
        QCOMPARE(sound.mciSendString(QStringLiteral("play bgm")), 0);
        QCOMPARE(sound.mciSendString(QStringLiteral("stop other")), int(MciSound::AliasNotOpen));
        QCOMPARE(status(sound), QStringLiteral("playing"));
        QCOMPARE(sound.mciSendString(QStringLiteral("stop bgm")), 0);
        QCOMPARE(sound.mciSendString(QStringLiteral("close bgm")), 0);
        QCOMPARE(sound.mciSendString(QStringLiteral("close bgm")), int(MciSound::AliasNotOpen));
        QCOMPARE(sound.mciSendString(QStringLiteral("rewind bgm")), int(MciSound::UnrecognizedCommand));
    }

    void missingOrBrokenTunesAreRefused()
    {
        MciSound sound(qp::FluidTunePlayer::Output::SilentClock);
        QCOMPARE(sound.mciSendString(openCommand(m_dir.filePath(QStringLiteral("Sound/none.mid")))),
                 int(MciSound::FileNotFound));
        const QString broken = m_dir.filePath(QStringLiteral("broken.mid"));
        QVERIFY(testtune::write(broken, testtune::tune().left(30)));
        QCOMPARE(sound.mciSendString(openCommand(broken)), int(MciSound::InvalidFile));
        const QString text = m_dir.filePath(QStringLiteral("text.mid"));
        QVERIFY(testtune::write(text, "this is not music\n"));
        QCOMPARE(sound.mciSendString(openCommand(text)), int(MciSound::InvalidFile));
        QCOMPARE(sound.mciSendString(openCommand(m_dir.path())), int(MciSound::InvalidFile));
        // The alert goes on silently: the play that follows is refused.
        QCOMPARE(sound.mciSendString(QStringLiteral("play bgm")), int(MciSound::AliasNotOpen));
        QCOMPARE(sound.openAlias(), QString());
    }

    // Without a SoundFont the tune is silent but still takes its time and ends.
    void missingSoundFontStillEnds()
    {
        MciSound sound(qp::FluidTunePlayer::Output::SilentClock, m_dir.filePath(QStringLiteral("none.sf2")));
        QCOMPARE(sound.mciSendString(openCommand(m_tune)), 0);
        QVERIFY(!sound.player().soundFontLoaded());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(sound.mciSendString(QStringLiteral("play bgm")), 0);
        QCOMPARE(status(sound), QStringLiteral("playing"));
        QVERIFY(msUntilStopped(sound, 15000) >= 0);
        QVERIFY(clock.elapsed() >= 500);
        sound.mciSendString(QStringLiteral("close bgm"));
    }

    // No sound server and no sound card: the alert falls back to the silent
    // clock without a line from the sound libraries on stderr, while the
    // program's own lines still get through.
    void noSoundDeviceKeepsStderrQuiet()
    {
        const QByteArray none = QFile::encodeName(m_dir.filePath(QStringLiteral("none")));
        const QString clientConf = m_dir.filePath(QStringLiteral("client.conf"));
        QVERIFY(testtune::write(clientConf, "autospawn = no\n"));
        const QList<QPair<const char*, QByteArray>> env = {
            {"ALSA_CARD", "QuillpostNoCard"}, {"PULSE_SERVER", "unix:" + none},
            {"PULSE_CLIENTCONFIG", QFile::encodeName(clientConf)}, {"PIPEWIRE_REMOTE", none},
            {"XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path())}};
        QList<QPair<const char*, std::optional<QByteArray>>> saved;
        for (const auto& [name, value] : env) {
            saved.append({name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt});
            qputenv(name, value);
        }
        const QString captured = m_dir.filePath(QStringLiteral("stderr.txt"));
        std::fflush(stderr);
        const int original = ::dup(2);
        const int file = ::open(QFile::encodeName(captured).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        QVERIFY(original >= 0 && file >= 0);
        ::dup2(file, 2);
        ::close(file);

        MciSound sound;
        const int opened = sound.mciSendString(openCommand(m_tune));
        sound.mciSendString(QStringLiteral("play bgm"));
        const auto sink = sound.player().sink();
        const QString mode = status(sound);
        sound.mciSendString(QStringLiteral("close bgm"));
        std::fprintf(stderr, "ours\n");
        std::fflush(stderr);

        ::dup2(original, 2);
        ::close(original);
        for (const auto& [name, value] : saved) {
            if (value)
                qputenv(name, *value);
            else
                qunsetenv(name);
        }
        QCOMPARE(opened, 0);
        QCOMPARE(sink, qp::FluidTunePlayer::Sink::SilentClock);
        QCOMPARE(mode, QStringLiteral("playing"));
        QFile out(captured);
        QVERIFY(out.open(QIODevice::ReadOnly));
        QCOMPARE(out.readAll(), QByteArray("ours\n"));
    }

    // The program writes "{P}\Sound\Kouka.mid"; components match without case.
    void backslashPathsMapOntoTheProgramFolder()
    {
        MciSound sound(qp::FluidTunePlayer::Output::SilentClock);
        const QString windowsStyle = m_dir.path() + QStringLiteral("\\SOUND\\kouka.MID");
        QCOMPARE(MciSound::localPath(windowsStyle), m_tune);
        QCOMPARE(sound.mciSendString(openCommand(windowsStyle)), 0);
        QCOMPARE(sound.mciSendString(QStringLiteral("close bgm")), 0);
    }
};

QTEST_GUILESS_MAIN(SoundTest)
#include "tst_sound.moc"
