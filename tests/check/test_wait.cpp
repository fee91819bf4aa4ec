// WaitWithEvents in a real event loop.
#include "check/WaitWithEvents.h"
#include "platform/Clock.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <ctime>

using namespace qp;

namespace {
double cpuMilliseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}
} // namespace

class WaitTest : public QObject {
    Q_OBJECT
private slots:
    void handlesEventsAndWaitsMoreThanAsked()
    {
        int ticks = 0;
        QTimer repeating;
        connect(&repeating, &QTimer::timeout, [&] { ++ticks; });
        repeating.start(20);
        bool nestedDone = false;
        // A handler that itself waits, nested inside the outer wait.
        QTimer::singleShot(30, [&] {
            WaitWithEvents(50);
            nestedDone = true;
        });
        QElapsedTimer elapsed;
        elapsed.start();
        const std::uint32_t start = milliseconds32();
        WaitWithEvents(300);
        QVERIFY(std::uint32_t(milliseconds32() - start) > 300);
        QVERIFY(elapsed.elapsed() >= 300);
        QVERIFY(nestedDone);
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    }

    void sleepsInsteadOfSpinning()
    {
        const double cpuBefore = cpuMilliseconds();
        WaitWithEvents(600);
        const double cpu = cpuMilliseconds() - cpuBefore;
        // A busy wait would burn the whole 600 ms.
        QVERIFY2(cpu < 100, qPrintable(QStringLiteral("%1 ms of CPU").arg(cpu)));
    }

    void clockWrapNeitherEndsNorProlongsTheWait()
    {
        // A clock that wraps 150 ms into the wait.
        const std::uint32_t offset = 0xFFFFFFFFu - milliseconds32() - 150u + 1u;
        const Clock32 wrapping = [offset] { return milliseconds32() + offset; };
        QElapsedTimer elapsed;
        elapsed.start();
        WaitWithEvents(400, wrapping);
        QVERIFY(elapsed.elapsed() >= 400);
        QVERIFY2(elapsed.elapsed() < 3000, qPrintable(QString::number(elapsed.elapsed())));
    }

    void zeroWaitStillHandlesPendingEvents()
    {
        bool ran = false;
        QTimer::singleShot(0, [&] { ran = true; });
        WaitWithEvents(0);
        QVERIFY(ran);
    }

    // Last: after a quit, no event loop of this process runs again.
    void quittingEndsTheWaitWithoutSpinning()
    {
        // exit(), as quit() does nothing unless the main loop runs (a test has none).
        QTimer::singleShot(50, qApp, [] { QCoreApplication::exit(0); });
        const double cpuBefore = cpuMilliseconds();
        QElapsedTimer elapsed;
        elapsed.start();
        WaitWithEvents(1500);
        QVERIFY2(elapsed.elapsed() < 1000, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY(cpuMilliseconds() - cpuBefore < 100);
    }
};

QTEST_GUILESS_MAIN(WaitTest)
#include "test_wait.moc"
