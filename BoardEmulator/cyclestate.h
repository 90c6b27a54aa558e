// A picture of the board's state at an instant, for finding a repeating
// cycle (a frame that nobody acknowledges, retried for ever): if the state
// at two frame ends is the same, everything in between repeats until
// something from outside the cycle happens, and whole cycles can be skipped
// in one step instead of being played out event by event.
//
// Times are recorded relative to the instant. A time that has passed
// matters only as "passed". A future time is either part of the cycle
// (recorded relative, and shifted when cycles are skipped) or a deadline of
// its own (a periodic sender's next frame, a bus-off recovery): recorded as
// it is, and no skip may reach it.
#ifndef BOARDEMULATOR_CYCLESTATE_H
#define BOARDEMULATOR_CYCLESTATE_H

#include "clock.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <vector>

namespace boardemu {

class CycleState
{
public:
    explicit CycleState(Time now) : m_now(now) {}

    template <typename T> void value(T v)
    {
        static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T>, "scalars only");
        const size_t at = m_bytes.size();
        m_bytes.resize(at + sizeof v);
        std::memcpy(m_bytes.data() + at, &v, sizeof v);
    }
    void bytes(const void *data, size_t size)
    {
        const auto *p = static_cast<const unsigned char *>(data);
        m_bytes.insert(m_bytes.end(), p, p + size);
    }
    void cycleTime(Time t) { value(t > m_now && t != kNever ? t - m_now : (t == kNever ? -2 : Time(-1))); }
    // A pending deadline is recorded with its value: one that fired within
    // the cycle and was set again must not look unchanged.
    void deadline(Time t)
    {
        const bool pending = t > m_now && t != kNever;
        if (pending)
            m_deadline = std::min(m_deadline, t);
        value(pending ? t : (t == kNever ? Time(-2) : Time(-1)));
    }
    Time now() const { return m_now; }
    // The earliest deadline recorded: skipped cycles must end before it.
    Time earliestDeadline() const { return m_deadline; }
    bool sameAs(const CycleState &other) const { return m_bytes == other.m_bytes; }

    // A cycle time as it is after skipping delta of whole cycles.
    static void shift(Time &t, Time now, Time delta)
    {
        if (t > now && t != kNever)
            t += delta;
    }

private:
    Time m_now;
    Time m_deadline = kNever;
    std::vector<unsigned char> m_bytes;
};

} // namespace boardemu

#endif
