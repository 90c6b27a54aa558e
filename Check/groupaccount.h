// The headless runner's own account of one direction's traffic, frame by
// frame and aligned on the test group's content, so that one frame too many
// or too few costs one group, not every later one. (The workers group frames
// five at a time in arrival order, as the window's counters do.)
//
// A group is the four test numbers in any order (the controller sends
// pending buffers by priority, so the order on the bus depends on when each
// was loaded), then their sum, which always leaves last.
#ifndef CHECK_GROUPACCOUNT_H
#define CHECK_GROUPACCOUNT_H

#include <cstdint>

class GroupAccount
{
public:
    // A received frame: the test group's identifier or another, and its
    // content. A frame with the test identifier that carries none of the
    // group's numbers in four data bytes arrived damaged.
    void frame(bool testIdentifier, bool remote, int length, uint32_t number);
    // Once the transmitter has reported its last group: frames of reported
    // groups that never arrived are missing. After a stop that abandoned the
    // group under way, the frames of that one group, whole or not, are set
    // apart instead of being counted.
    void finish(uint64_t groupsSent, bool groupAbandoned = false);

    // Test-frame places accounted for, arrived or known to be missing: the
    // receiver has caught up once this reaches five per group sent.
    uint64_t framesAccounted() const { return m_groupsClosed * 5 + places(); }

    uint64_t groupsWhole() const { return m_groupsWhole; }
    uint64_t groupsSeen() const { return m_groupsClosed; }
    uint64_t framesMissing() const { return m_missing; }
    uint64_t framesDamaged() const { return m_damaged; }
    uint64_t framesNobodySent() const { return m_nobodySent; }
    uint64_t testFrames() const { return m_testFrames; }
    uint64_t framesAbandoned() const { return m_abandoned; }

private:
    unsigned places() const;
    void closeGroup(bool sumArrived);

    unsigned m_numbersSeen = 0;    // bit n: the group's n-th number has arrived
    unsigned m_damagedInGroup = 0;
    int m_last = -1;               // index of the last test frame's number, for repeats
    uint64_t m_groupsClosed = 0;
    uint64_t m_groupsWhole = 0;
    uint64_t m_missing = 0;
    uint64_t m_damaged = 0;
    uint64_t m_nobodySent = 0;
    uint64_t m_testFrames = 0;
    uint64_t m_abandoned = 0;
    // The last group closed: whether whole, and the frames missing from it.
    bool m_lastWhole = false;
    unsigned m_lastMissing = 0;
};

#endif
