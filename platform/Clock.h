#pragma once
#include <cstdint>

namespace qp {

// A 32-bit millisecond clock that wraps, like the Windows multimedia clock.
// Differences are taken modulo 2^32 by the callers.
std::uint32_t milliseconds32();

} // namespace qp
