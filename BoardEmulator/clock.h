// Time of the emulated board, in nanoseconds. The board reads the clock at
// every driver request; tests replace the real clock with a virtual one.
#ifndef BOARDEMULATOR_CLOCK_H
#define BOARDEMULATOR_CLOCK_H

#include <atomic>
#include <cstdint>

namespace boardemu {

using Time = int64_t; // nanoseconds

constexpr Time kMicrosecond = 1000;
constexpr Time kMillisecond = 1000 * kMicrosecond;
constexpr Time kNever = INT64_MAX;

class Clock
{
public:
    virtual ~Clock() = default;
    virtual Time now() = 0;
    // Returns once now() has reached the given time.
    virtual void waitUntil(Time t) = 0;
};

// Monotonic real time from the first use of the clock.
class RealClock : public Clock
{
public:
    RealClock();
    Time now() override;
    void waitUntil(Time t) override;

private:
    int64_t m_origin;
};

// Time that moves only when somebody waits: waitUntil jumps to its target.
class VirtualClock : public Clock
{
public:
    Time now() override { return m_now.load(); }
    void waitUntil(Time t) override;
    void advance(Time duration) { waitUntil(now() + duration); }

private:
    std::atomic<Time> m_now{0};
};

} // namespace boardemu

#endif
