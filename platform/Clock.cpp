#include "platform/Clock.h"

#include <chrono>

namespace qp {

std::uint32_t milliseconds32()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

} // namespace qp
