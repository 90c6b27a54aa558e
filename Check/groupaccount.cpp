#include "groupaccount.h"

#include "testgroup.h"

using testgroup::indexOf;

// Frames are matched oldest first, so what is still missing lies in the
// newest groups: the oldest groups fill up, and one whole and reported can no
// longer change. Only the groups after it are kept.
void GroupAccount::settle()
{
    while (!m_arrivedInGroup.empty() && m_arrivedInGroup.front() == 5 && m_firstGroup < m_reported) {
        ++m_wholeSettled;
        m_arrivedInGroup.pop_front();
        ++m_firstGroup;
    }
}

void GroupAccount::arrived(uint64_t index)
{
    const uint64_t group = index / 5 - m_firstGroup;
    if (m_arrivedInGroup.size() <= group)
        m_arrivedInGroup.resize(group + 1, 0);
    ++m_arrivedInGroup[group];
    ++m_testFrames;
    settle();
}

void GroupAccount::groupReported()
{
    ++m_reported;
    settle();
}

void GroupAccount::frameLeft(uint32_t number, bool surely)
{
    const uint64_t index = m_sent++;
    if (m_arrivedInGroup.size() <= index / 5 - m_firstGroup)
        m_arrivedInGroup.resize(index / 5 - m_firstGroup + 1, 0);
    const int which = indexOf(number);
    if (which < 0)
        return; // not a number of ours: nothing can arrive for it
    if (m_early[which] > 0) {
        --m_early[which];
        arrived(index);
        return;
    }
    m_waiting[which].push_back({index, surely});
    if (surely)
        ++m_outstanding;
}

void GroupAccount::frameRead(bool testIdentifier, bool remote, int length, uint32_t number)
{
    if (!testIdentifier) {
        ++m_nobodySent;
        return;
    }
    const int which = indexOf(number);
    if (remote || length != int(testgroup::kLength) || which < 0) {
        ++m_damaged;
        return;
    }
    std::deque<Sent> &waiting = m_waiting[which];
    if (waiting.empty()) {
        ++m_early[which];
        return;
    }
    if (waiting.front().surely)
        --m_outstanding;
    arrived(waiting.front().index);
    waiting.pop_front();
}

void GroupAccount::finish()
{
    uint64_t lost = 0;
    for (int which = 0; which < 5; ++which) {
        m_nobodySent += m_early[which];
        m_early[which] = 0;
        for (const Sent &frame : m_waiting[which])
            lost += frame.surely ? 1 : 0;
    }
    m_missing = lost;
    m_whole = m_wholeSettled;
    m_abandoned = 0;
    for (uint64_t i = 0; i < m_arrivedInGroup.size(); ++i) {
        if (m_firstGroup + i < m_reported)
            m_whole += m_arrivedInGroup[i] == 5 ? 1 : 0;
        else
            m_abandoned += m_arrivedInGroup[i];
    }
}
