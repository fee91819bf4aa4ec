#pragma once
#include <cstdint>
#include <functional>

namespace qp {

// A 32-bit millisecond clock; the real one is qp::milliseconds32().
using Clock32 = std::function<std::uint32_t()>;

// Returns once more than `milliseconds` have passed on the clock, handling
// every event (timers, clicks, painting) meanwhile. It sleeps in the event
// loop until the next event or the deadline, so a long wait costs no CPU.
// Elapsed time is the difference of two readings modulo 2^32, so a wrap of
// the clock neither ends nor prolongs the wait. Needs a QCoreApplication.
void WaitWithEvents(std::uint32_t milliseconds);
void WaitWithEvents(std::uint32_t milliseconds, const Clock32& clock);

} // namespace qp
