#include "check/WaitWithEvents.h"

#include "platform/Clock.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace qp {

void WaitWithEvents(std::uint32_t milliseconds)
{
    WaitWithEvents(milliseconds, [] { return milliseconds32(); });
}

void WaitWithEvents(std::uint32_t milliseconds, const Clock32& clock)
{
    const std::uint32_t start = clock();
    for (;;) {
        const std::uint32_t elapsed = clock() - start; // modulo 2^32
        if (elapsed > milliseconds)
            return;
        // Sleep in a nested event loop until the deadline; events that
        // arrive meanwhile are handled by it. The clock is read again
        // afterwards, so a timer that fires a little early only costs one
        // more round, never a busy loop.
        const std::uint32_t remaining = milliseconds - elapsed + 1;
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(static_cast<int>(std::min<std::uint32_t>(remaining, 0x7fffffff)));
        loop.exec();
        // The loop ended before the deadline only when the application is
        // quitting; every new loop would then return at once, so waiting on
        // would spin.
        if (deadline.isActive())
            return;
    }
}

} // namespace qp
