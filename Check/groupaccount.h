// The headless runner's own account of one direction's traffic, frame by
// frame: every frame the transmitter saw leave is matched with a frame the
// receiver read that carries the same number, whatever the order on the bus
// (the controller sends pending buffers by priority, so the order depends on
// when each was loaded) and whichever side told first. What one side saw
// and the other did not is counted once, where it belongs: a frame sent
// that never arrived is missing, a frame that arrived that nobody sent is
// nobody's, and neither costs a group beyond its own. (The workers group
// frames five at a time in arrival order, as the window's counters do.)
//
// The transmitter tells of each frame it loaded: surely sent (its buffer
// showed it sent), or perhaps (withdrawn, or its wait ended without seeing
// it). A frame perhaps sent that never arrived is not missing; one that
// arrived is matched as any other. Groups are the transmitter's frames five
// by five, in the order it saw them leave; the groups it reported are the
// first ones, and the frames of a group it abandoned at a stop are shown
// apart.
#ifndef CHECK_GROUPACCOUNT_H
#define CHECK_GROUPACCOUNT_H

#include <cstdint>
#include <deque>
#include <vector>

class GroupAccount
{
public:
    // The transmitter: a frame left (surely or perhaps), and a group reported.
    void frameLeft(uint32_t number, bool surely);
    void groupReported();
    // The receiver: a frame read, with the test group's identifier or
    // another, and its content. A frame with the test identifier that
    // carries none of the group's numbers in four data bytes is damaged.
    void frameRead(bool testIdentifier, bool remote, int length, uint32_t number);
    // Once both sides are done: test frames nobody sent are counted, and
    // frames sent that never arrived are missing.
    void finish();

    // Frames surely sent that have not arrived (yet): at 0 the receiver has
    // caught up with the transmitter.
    uint64_t framesOutstanding() const { return m_outstanding; }

    uint64_t groupsReported() const { return m_reported; }
    // Reported groups all five frames of which arrived.
    uint64_t groupsWhole() const { return m_whole; }
    // Before finish(): the reported groups already known to be whole, the
    // oldest ones (a frame lost on the way keeps the groups after it open
    // until the end).
    uint64_t groupsWholeSoFar() const { return m_wholeSettled; }
    // Frames surely sent that never arrived. A damaged frame is counted on
    // its own: it may be one of them, or a frame of another sender.
    uint64_t framesMissing() const { return m_missing; }
    uint64_t framesDamaged() const { return m_damaged; }
    // Frames of other identifiers, and test frames beyond those sent.
    uint64_t framesNobodySent() const { return m_nobodySent; }
    // Test frames that arrived and were matched with a frame sent.
    uint64_t testFrames() const { return m_testFrames; }
    // Of those, the frames of groups the transmitter did not report: the
    // group a stop abandoned.
    uint64_t framesAbandoned() const { return m_abandoned; }
    // Frames the transmitter told of, surely or perhaps.
    uint64_t framesSent() const { return m_sent; }
    // Groups still kept because they may change: the account's memory.
    uint64_t groupsKept() const { return m_arrivedInGroup.size(); }

private:
    struct Sent {
        uint64_t index; // in the order the transmitter told
        bool surely;
    };
    void arrived(uint64_t index);
    void settle();

    std::deque<Sent> m_waiting[5]; // sent, not yet arrived, per number
    uint64_t m_early[5] = {0, 0, 0, 0, 0}; // arrived before the transmitter told
    // Frames arrived in each group from m_firstGroup on; the groups before
    // it were whole and reported.
    std::deque<uint8_t> m_arrivedInGroup;
    uint64_t m_firstGroup = 0;
    uint64_t m_wholeSettled = 0;
    uint64_t m_sent = 0;
    uint64_t m_reported = 0;
    uint64_t m_outstanding = 0;
    uint64_t m_whole = 0;
    uint64_t m_missing = 0;
    uint64_t m_damaged = 0;
    uint64_t m_nobodySent = 0;
    uint64_t m_testFrames = 0;
    uint64_t m_abandoned = 0;
};

#endif
