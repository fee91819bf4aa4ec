// What the alert's sound costs: the first open (SoundFont load), later opens,
// the CPU of a playing tune without a sound device (silent clock), and the
// CPU, threads and memory left behind once the tune is closed: the idle
// program must stay under 0.5 % of a core and 50 MB.
//
// Usage: bench_sound [tune.mid]   (default: the delivered Kouka.mid)

#include "notify/MciSound.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <sys/resource.h>

#include <cstdio>

namespace {

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long rssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

int threads()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

double cpuPercentOver(int ms)
{
    const double before = cpuSeconds();
    QThread::msleep(ulong(ms));
    return (cpuSeconds() - before) * 100.0 * 1000.0 / ms;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString tune = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                  : QStringLiteral(QP_SOURCE_DIR "/assets/Sound/Kouka.mid");
    const QString open = QStringLiteral("open \"") + tune + QStringLiteral("\" alias bgm");
    std::printf("tune: %s\nbefore any tune: rss %ld KiB, threads %d\n", qPrintable(tune), rssKiB(), threads());

    qp::MciSound sound; // automatic: a device if one opens
    QElapsedTimer t;
    t.start();
    int rc = sound.mciSendString(open);
    std::printf("first open (SoundFont load): %lld ms, result %d\n", t.elapsed(), rc);
    t.restart();
    sound.mciSendString(QStringLiteral("play bgm"));
    std::printf("first play (device probe): %lld ms, output %s\n", t.elapsed(),
                sound.player().sink() == qp::FluidTunePlayer::Sink::AudioDevice ? "sound device" : "silent clock");
    std::printf("playing: cpu %.2f %% over 5 s, threads %d, rss %ld KiB\n", cpuPercentOver(5000), threads(), rssKiB());
    sound.mciSendString(QStringLiteral("stop bgm"));
    sound.mciSendString(QStringLiteral("close bgm"));

    t.restart();
    for (int i = 0; i < 20; ++i) {
        sound.mciSendString(open);
        sound.mciSendString(QStringLiteral("close bgm"));
    }
    std::printf("later open + close: %.3f ms each\n", double(t.nsecsElapsed()) / 20.0 / 1e6);
    std::printf("closed (idle): cpu %.3f %% over 5 s, threads %d, rss %ld KiB\n", cpuPercentOver(5000), threads(),
                rssKiB());
    return rc == 0 ? 0 : 1;
}
