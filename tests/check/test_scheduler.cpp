// Scheduling on a fake clock: the main window's timers are simulated in
// 100 ms steps; Timer3 runs only while the interval is above 0, as the
// interval box switches it.
#include "check/Scheduler.h"
#include "platform/Numbers.h"

#include <QtTest>

using namespace qp;

namespace {
struct Simulation {
    Scheduler scheduler;
    QString interval = QStringLiteral("0");
    qint64 now = 0; // milliseconds since the window opened
    QList<qint64> checks;
    qint64 busyUntil = 0; // a check runs until then

    bool timer3Runs() const { return leadingNumber(interval) > 0; }
    void runUntil(qint64 end)
    {
        while (now < end) {
            now += 100;
            if (now % 1000 == 0 && timer3Runs())
                scheduler.secondTick(interval);
            if (scheduler.checkDue(interval, now < busyUntil))
                checks << now;
        }
    }
};
} // namespace

class SchedulerTest : public QObject {
    Q_OBJECT
private slots:
    void intervalOneChecksOncePerMinuteStep()
    {
        Simulation sim;
        sim.interval = QStringLiteral("1");
        QCOMPARE(sim.scheduler.minuteCounter(), QStringLiteral("Text1"));
        sim.runUntil(60'900);
        QVERIFY(sim.checks.isEmpty());
        QCOMPARE(sim.scheduler.secondCounter(), QStringLiteral("60"));
        // The first check 61 s after start, then one every 61 s, once each
        // although the counter holds the interval for a whole second.
        sim.runUntil(200'000);
        QCOMPARE(sim.checks, QList<qint64>({61'000, 122'000, 183'000}));
        QCOMPARE(sim.scheduler.minuteCounter(), QStringLiteral("0"));
    }

    // A check that falls due while another one runs (a long check, the
    // user's, one held by its error box) runs right after it, not a whole
    // interval later; several steps due meanwhile give one check.
    void aCheckDueWhileAnotherRunsWaitsForIt()
    {
        Simulation sim;
        sim.interval = QStringLiteral("1");
        sim.busyUntil = 70'000;
        sim.runUntil(130'000);
        QCOMPARE(sim.checks, QList<qint64>({70'000, 122'000}));

        sim.busyUntil = 300'000; // steps at 183 s and 244 s fall due meanwhile
        sim.runUntil(310'000);
        QCOMPARE(sim.checks, QList<qint64>({70'000, 122'000, 300'000, 305'000}));

        // Switched off while it waits: it is dropped.
        sim.busyUntil = 370'000;
        sim.runUntil(366'500);
        sim.interval = QStringLiteral("0");
        sim.runUntil(380'000);
        QCOMPARE(sim.checks.size(), 4);
    }

    void counterTexts()
    {
        Scheduler s;
        s.secondTick(QStringLiteral("3"));
        QCOMPARE(s.secondCounter(), QStringLiteral("1"));
        QCOMPARE(s.minuteCounter(), QStringLiteral("Text1")); // untouched until a step
        s.setSecondCounter(QStringLiteral("60"));
        s.secondTick(QStringLiteral("3"));
        QCOMPARE(s.secondCounter(), QStringLiteral("0"));
        QCOMPARE(s.minuteCounter(), QStringLiteral("1"));
        // The interval is rounded halves to even for the reset: 2.5 -> 2.
        s.setMinuteCounter(QStringLiteral("2"));
        s.secondTick(QStringLiteral("2.5"));
        QCOMPARE(s.minuteCounter(), QStringLiteral("0"));
        s.setMinuteCounter(QStringLiteral("2"));
        s.secondTick(QStringLiteral("3.5"));
        QCOMPARE(s.minuteCounter(), QStringLiteral("2"));
    }

    void intervalZeroNeverChecksAFractionIsRounded()
    {
        Simulation sim;
        sim.interval = QStringLiteral("0");
        sim.runUntil(400'000);
        QVERIFY(sim.checks.isEmpty());
        QCOMPARE(sim.scheduler.minuteCounter(), QStringLiteral("Text1"));
        QCOMPARE(sim.scheduler.secondCounter(), QStringLiteral("Text4"));

        // Turned off mid-count: the counters freeze where they are.
        Simulation off;
        off.interval = QStringLiteral("5");
        off.runUntil(130'000);
        const QString minute = off.scheduler.minuteCounter();
        const QString second = off.scheduler.secondCounter();
        off.interval = QStringLiteral("0");
        off.runUntil(400'000);
        QCOMPARE(off.scheduler.minuteCounter(), minute);
        QCOMPARE(off.scheduler.secondCounter(), second);
        QVERIFY(off.checks.isEmpty());

        // 2.5 counts as 2 minutes, for the reset and the comparison alike.
        Simulation half;
        half.interval = QStringLiteral("2.5");
        half.runUntil(61'000 * 8);
        QCOMPARE(half.checks.size(), 4);
    }

    void intervalLoweredBelowTheCounterChecksAgain()
    {
        Simulation sim;
        sim.interval = QStringLiteral("10");
        sim.runUntil(305'000);
        QCOMPARE(sim.scheduler.minuteCounter(), QStringLiteral("5"));
        sim.interval = QStringLiteral("3");
        sim.runUntil(305'500);
        // The next tick starts the count over, and three steps later it checks.
        sim.runUntil(306'000);
        QCOMPARE(sim.scheduler.minuteCounter(), QStringLiteral("0"));
        sim.runUntil(700'000);
        QCOMPARE(sim.checks, QList<qint64>({488'000, 488'000 + 3 * 61'000}));

        // Lowered to exactly the counter: it checks at once, once.
        Simulation equal;
        equal.interval = QStringLiteral("10");
        equal.runUntil(122'500);
        equal.interval = QStringLiteral("2");
        equal.runUntil(123'000);
        QCOMPARE(equal.checks, QList<qint64>({122'600}));
    }

    void bannerScrollsAndJumps()
    {
        Scheduler s;
        QCOMPARE(s.bannerLeftTwips(), 3240);
        BannerState b;
        for (int i = 0; i < 237; ++i)
            b = s.bannerTick(QStringLiteral("/usr/bin/sylpheed"));
        QCOMPARE(b.leftTwips, -1500);
        QCOMPARE(b.caption, QStringLiteral("sylpheed"));
        QCOMPARE(b.text8, QStringLiteral("sylpheed"));
        QCOMPARE(s.bannerTick(QString()).leftTwips, 2760);
        for (int i = 0; i < 212; ++i)
            s.bannerTick(QString());
        QCOMPARE(s.bannerTick(QString()).leftTwips, -1500);
        QCOMPARE(s.bannerTick(QString()).leftTwips, 2760);

        // Captions: empty Text7, "未設定" as itself, the file-name part of a path.
        QCOMPARE(s.bannerTick(QString()).caption, QStringLiteral("設定されていません。"));
        QCOMPARE(s.bannerTick(QStringLiteral("未設定")).caption, QStringLiteral("未設定"));
        QCOMPARE(s.bannerTick(QStringLiteral("C:\\Program Files\\Becky\\B2.exe")).caption, QStringLiteral("B2.exe"));
        QCOMPARE(s.bannerTick(QStringLiteral("/opt/mail/")).caption, QString());
        QCOMPARE(bannerFileTitle(QString(250, QLatin1Char('x'))), QString());
        QCOMPARE(bannerFileTitle(QString(249, QLatin1Char('x'))).size(), 249);

        // Many steps at once land where as many single steps do, across the
        // first jump and across many loops.
        for (std::uint64_t n : {1, 236, 237, 238, 450, 451, 452, 665, 100'003}) {
            Scheduler one, many;
            BannerState single;
            for (std::uint64_t i = 0; i < n; ++i)
                single = one.bannerTick(QStringLiteral("/usr/bin/mutt"));
            const BannerState jumped = many.bannerAdvance(QStringLiteral("/usr/bin/mutt"), n);
            QCOMPARE(jumped.leftTwips, single.leftTwips);
            QCOMPARE(many.bannerLeftTwips(), single.leftTwips);
            QCOMPARE(jumped.caption, QStringLiteral("mutt"));
        }
    }

    void lampBlinksAndIsNotEnteredAgain()
    {
        Scheduler s;
        QList<Lamp> shown;
        auto show = [&](Lamp l) { shown << l; };
        bool on = true;
        auto check3 = [&] { return on; };
        QVERIFY(s.lampBegin(check3, show));
        // Two ticks of the one-second timer fall due during the wait.
        QVERIFY(!s.lampBegin(check3, show));
        QVERIFY(!s.lampBegin(check3, show));
        s.lampFinish(check3, show);
        QCOMPARE(shown, QList<Lamp>({Lamp::Green, Lamp::Red}));

        // Off: green, no wait.
        shown.clear();
        on = false;
        QVERIFY(!s.lampBegin(check3, show));
        QCOMPARE(shown, QList<Lamp>({Lamp::Green}));

        // Switched off during the wait: the tick ends green, not red.
        shown.clear();
        on = true;
        QVERIFY(s.lampBegin(check3, show));
        on = false;
        s.lampFinish(check3, show);
        QCOMPARE(shown, QList<Lamp>({Lamp::Green, Lamp::Red, Lamp::Green}));
    }
};

QTEST_GUILESS_MAIN(SchedulerTest)
#include "test_scheduler.moc"
