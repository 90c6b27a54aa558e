#include "clock.h"

#include <chrono>
#include <thread>

namespace boardemu {

namespace {
int64_t steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

RealClock::RealClock() : m_origin(steadyNanoseconds()) {}

Time RealClock::now()
{
    return steadyNanoseconds() - m_origin;
}

// A kernel round trip to the board is a few microseconds: far below what the
// scheduler can sleep, so short waits spin as the processor would in the call.
// They spin without yielding: on a loaded machine a yield hands the core to
// another process for a whole time slice, which turns every 5 us request into
// milliseconds.
void RealClock::waitUntil(Time t)
{
    const Time spinBelow = 200 * kMicrosecond;
    Time remaining = t - now();
    if (remaining > spinBelow)
        std::this_thread::sleep_for(std::chrono::nanoseconds(remaining - spinBelow / 2));
    while (now() < t) {
    }
}

void VirtualClock::waitUntil(Time t)
{
    Time current = m_now.load();
    while (current < t && !m_now.compare_exchange_weak(current, t)) {
    }
}

} // namespace boardemu
