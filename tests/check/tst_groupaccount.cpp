// The runner's frame-level account: every frame the transmitter saw leave is
// matched with a frame the receiver read, so that one frame too many, too few
// or damaged costs one group, never the groups after it, and no two errors
// cancel out.
#include "groupaccount.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

namespace {

// A group as the window's transmitter sees its frames leave, and in the
// order they may cross the bus (buffer priorities).
const uint32_t kSent[5] = {41, 18467, 6334, 1930, 26772};
const uint32_t kOnBus[5] = {41, 6334, 1930, 18467, 26772};

void sendGroups(GroupAccount &a, int count)
{
    for (int i = 0; i < count; ++i) {
        for (uint32_t number : kSent)
            a.frameLeft(number, true);
        a.groupReported();
    }
}

void receive(GroupAccount &a, std::initializer_list<uint32_t> numbers)
{
    for (uint32_t number : numbers)
        a.frameRead(true, false, 4, number);
}

void receiveGroups(GroupAccount &a, int count)
{
    for (int i = 0; i < count; ++i) {
        for (uint32_t number : kOnBus)
            a.frameRead(true, false, 4, number);
    }
}

struct Figures {
    uint64_t whole, missing, damaged, nobodySent, abandoned;
    bool operator==(const Figures &o) const
    {
        return whole == o.whole && missing == o.missing && damaged == o.damaged && nobodySent == o.nobodySent &&
               abandoned == o.abandoned;
    }
};

Figures figures(const GroupAccount &a)
{
    return {a.groupsWhole(), a.framesMissing(), a.framesDamaged(), a.framesNobodySent(), a.framesAbandoned()};
}

std::ostream &operator<<(std::ostream &out, const Figures &f)
{
    return out << "whole " << f.whole << ", missing " << f.missing << ", damaged " << f.damaged
               << ", nobody sent " << f.nobodySent << ", abandoned " << f.abandoned;
}

struct Case {
    const char *name;
    std::function<void(GroupAccount &)> run;
    Figures expected;
};

// Ten groups sent and received around each case.
void check(const Case &c)
{
    GroupAccount account;
    sendGroups(account, 10);
    receiveGroups(account, 10);
    c.run(account);
    account.finish();
    EXPECT_EQ(figures(account), c.expected) << c.name;
}

} // namespace

TEST(GroupAccount, EachFaultCountsOnceWhereItBelongs)
{
    const Case cases[] = {
        {"whole", [](GroupAccount &a) { sendGroups(a, 1), receiveGroups(a, 1); }, {11, 0, 0, 0, 0}},
        {"another order on the bus",
         [](GroupAccount &a) { sendGroups(a, 1), receive(a, {26772, 1930, 41, 6334, 18467}); },
         {11, 0, 0, 0, 0}},
        {"a foreign frame mid-group",
         [](GroupAccount &a) {
             sendGroups(a, 1);
             receive(a, {41, 6334});
             a.frameRead(false, false, 1, 5);
             receive(a, {1930, 18467, 26772});
         },
         {11, 0, 0, 1, 0}},
        {"a frame lost", [](GroupAccount &a) { sendGroups(a, 1), receive(a, {41, 6334, 1930, 26772}); }, {10, 1, 0, 0, 0}},
        // A damaged frame in place of one sent: the frame sent never arrived,
        // and a frame arrived that is none of ours. Each is counted by itself.
        {"a damaged frame", [](GroupAccount &a) { sendGroups(a, 1), receive(a, {41, 6335, 1930, 18467, 26772}); },
         {10, 1, 1, 0, 0}},
        {"a frame lost, and a damaged frame in another group",
         [](GroupAccount &a) {
             sendGroups(a, 2);
             receive(a, {6334, 1930, 18467, 26772});
             receive(a, {41, 6335, 1930, 18467, 26772});
         },
         {11, 2, 1, 0, 0}},
        {"a remote frame with the test identifier",
         [](GroupAccount &a) {
             sendGroups(a, 1);
             receive(a, {41, 6334});
             a.frameRead(true, true, 0, 0);
             receive(a, {18467, 26772});
         },
         {10, 1, 1, 0, 0}},
        {"a frame repeated", [](GroupAccount &a) { sendGroups(a, 1), receive(a, {41, 6334, 6334, 1930, 18467, 26772}); },
         {11, 0, 0, 1, 0}},
        // Counted in whole groups, a lost group and an abandoned one that
        // arrived whole made every group whole and nothing missing. Frames
        // alike cannot tell which of the two was lost: five are missing.
        {"a lost group beside an abandoned group that arrived whole",
         [](GroupAccount &a) {
             sendGroups(a, 1);
             for (uint32_t number : kSent)
                 a.frameLeft(number, true); // a stop came before it was reported
             receiveGroups(a, 1);
         },
         {11, 5, 0, 0, 0}},
        // Aligned on content alone, a sum without its numbers was a frame
        // nobody sent.
        {"the four numbers of a group lost", [](GroupAccount &a) { sendGroups(a, 1), receive(a, {26772}); },
         {10, 4, 0, 0, 0}},
        // In arrival order, a next group's frame ahead of a sum broke two groups.
        {"the next group's frame overtakes a sum",
         [](GroupAccount &a) {
             sendGroups(a, 2);
             receive(a, {41, 6334, 1930, 18467, 41, 26772, 6334, 1930, 18467, 26772});
         },
         {12, 0, 0, 0, 0}},
        {"the receiver told before the transmitter",
         [](GroupAccount &a) {
             receiveGroups(a, 1);
             sendGroups(a, 1);
         },
         {11, 0, 0, 0, 0}},
        {"frames withdrawn at a stop that never left",
         [](GroupAccount &a) {
             a.frameLeft(41, true);
             a.frameLeft(18467, false);
             a.frameLeft(6334, false);
             receive(a, {41});
         },
         {10, 0, 0, 0, 1}},
        {"a frame withdrawn at a stop that had left", [](GroupAccount &a) { a.frameLeft(41, false), receive(a, {41}); },
         {10, 0, 0, 0, 1}},
        {"a test frame beyond those sent", [](GroupAccount &a) { receive(a, {1930}); }, {10, 0, 0, 1, 0}},
        {"a group reported whose frames never came", [](GroupAccount &a) { sendGroups(a, 1); }, {10, 5, 0, 0, 0}},
    };
    for (const Case &c : cases)
        check(c);
}

// The drain waits until every frame surely sent has arrived; frames perhaps
// sent (withdrawn) are not waited for.
TEST(GroupAccount, OutstandingCountsOnlyFramesSurelySent)
{
    GroupAccount account;
    sendGroups(account, 2);
    account.frameLeft(41, false);
    EXPECT_EQ(account.framesOutstanding(), 10u);
    receiveGroups(account, 1);
    receive(account, {41, 6334});
    EXPECT_EQ(account.framesOutstanding(), 3u);
    receive(account, {1930, 18467, 26772});
    EXPECT_EQ(account.framesOutstanding(), 0u);
}

// A long run keeps only the groups that can still change: memory does not
// grow with the run's length, and the figures are those of keeping them all,
// a lost frame and a group abandoned at the end included.
TEST(GroupAccount, LongRunsKeepOnlyWhatCanStillChange)
{
    GroupAccount account;
    uint64_t most = 0;
    for (int group = 0; group < 200000; ++group) {
        for (uint32_t number : kSent)
            account.frameLeft(number, true);
        if (group == 1000)
            receive(account, {41, 6334, 1930, 26772});
        else
            receiveGroups(account, 1);
        account.groupReported();
        most = std::max(most, account.groupsKept());
    }
    for (uint32_t number : kSent)
        account.frameLeft(number, true); // abandoned at the stop, arrived
    receiveGroups(account, 1);
    EXPECT_LE(most, 2u);
    account.finish();
    // Matched oldest first, the frame lost shows in the newest group.
    EXPECT_EQ(figures(account), (Figures{200000, 1, 0, 0, 4}));
}
