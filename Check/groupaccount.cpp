#include "groupaccount.h"

#include "testgroup.h"

#include <algorithm>
#include <bitset>
#include <iterator>

namespace {

const int kSumIndex = 4;

} // namespace

unsigned GroupAccount::places() const
{
    return unsigned(std::bitset<4>(m_numbersSeen).count()) + m_damagedInGroup;
}

void GroupAccount::frame(bool testIdentifier, bool remote, int length, uint32_t number)
{
    if (!testIdentifier) {
        ++m_nobodySent;
        return;
    }
    using testgroup::kNumbers;
    const auto found = std::find(std::begin(kNumbers), std::end(kNumbers), number);
    if (remote || length != 4 || found == std::end(kNumbers)) {
        // It stands in a place of the group; if that was the last one, the
        // group is complete, though not whole.
        ++m_damaged;
        ++m_damagedInGroup;
        m_last = -1;
        if (places() == 5)
            closeGroup(false);
        return;
    }
    const int index = int(found - std::begin(kNumbers));
    // The frame just received, again: the tool sent it once.
    if (index == m_last) {
        ++m_nobodySent;
        return;
    }
    ++m_testFrames;
    m_last = index;
    if (index == kSumIndex) {
        closeGroup(true);
        return;
    }
    const unsigned bit = 1u << index;
    if (m_numbersSeen & bit) {
        // A new group began before this one was complete.
        closeGroup(false);
    }
    m_numbersSeen |= bit;
    if (places() == 5)
        closeGroup(false);
}

// The group's places that nothing filled are missing frames.
void GroupAccount::closeGroup(bool sumArrived)
{
    const unsigned filled = places() + (sumArrived ? 1 : 0);
    const bool whole = sumArrived && m_numbersSeen == 0xF && m_damagedInGroup == 0;
    m_lastMissing = filled < 5 ? 5 - filled : 0;
    m_lastWhole = whole;
    m_missing += m_lastMissing;
    if (whole)
        ++m_groupsWhole;
    ++m_groupsClosed;
    m_numbersSeen = 0;
    m_damagedInGroup = 0;
}

void GroupAccount::finish(uint64_t groupsSent, bool groupAbandoned)
{
    if (places() > 0)
        closeGroup(false);
    if (groupAbandoned && m_groupsClosed == groupsSent + 1) {
        m_abandoned = 5 - m_lastMissing;
        m_missing -= m_lastMissing;
        m_groupsWhole -= m_lastWhole ? 1 : 0;
        --m_groupsClosed;
    }
    if (m_groupsClosed < groupsSent) {
        m_missing += 5 * (groupsSent - m_groupsClosed);
        m_groupsClosed = groupsSent;
    }
    m_last = -1;
}
