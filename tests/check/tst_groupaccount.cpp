// The runner's frame-level account: one frame too many, too few or damaged
// costs one group, never the groups after it.
#include "groupaccount.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>

namespace {

// As the transmit worker's groups leave the controller.
const uint32_t kGroup[5] = {41, 6334, 1930, 18467, 26772};

void groups(GroupAccount &account, int count)
{
    for (int i = 0; i < count; ++i) {
        for (uint32_t number : kGroup)
            account.frame(true, false, 4, number);
    }
}

void frames(GroupAccount &account, std::initializer_list<uint32_t> numbers)
{
    for (uint32_t number : numbers)
        account.frame(true, false, 4, number);
}

struct Figures {
    uint64_t whole, seen, missing, damaged, nobodySent;
    bool operator==(const Figures &o) const
    {
        return whole == o.whole && seen == o.seen && missing == o.missing && damaged == o.damaged &&
               nobodySent == o.nobodySent;
    }
};

Figures figures(const GroupAccount &a)
{
    return {a.groupsWhole(), a.groupsSeen(), a.framesMissing(), a.framesDamaged(), a.framesNobodySent()};
}

std::ostream &operator<<(std::ostream &out, const Figures &f)
{
    return out << "whole " << f.whole << ", seen " << f.seen << ", missing " << f.missing << ", damaged "
               << f.damaged << ", nobody sent " << f.nobodySent;
}

} // namespace

TEST(GroupAccount, OneBadFrameCostsOneGroup)
{
    struct Case {
        const char *name;
        void (*damage)(GroupAccount &);
        Figures expected;
    };
    const Case cases[] = {
        {"whole", [](GroupAccount &a) { groups(a, 1); }, {20, 20, 0, 0, 0}},
        {"foreign frame mid-group",
         [](GroupAccount &a) {
             frames(a, {41, 6334});
             a.frame(false, false, 1, 5);
             frames(a, {1930, 18467, 26772});
         },
         {20, 20, 0, 0, 1}},
        {"another order", [](GroupAccount &a) { frames(a, {18467, 1930, 41, 6334, 26772}); }, {20, 20, 0, 0, 0}},
        {"frame lost", [](GroupAccount &a) { frames(a, {41, 6334, 1930, 26772}); }, {19, 20, 1, 0, 0}},
        {"sum lost", [](GroupAccount &a) { frames(a, {41, 18467, 6334, 1930}); }, {19, 20, 1, 0, 0}},
        {"damaged", [](GroupAccount &a) { frames(a, {41, 6335, 1930, 18467, 26772}); }, {19, 20, 0, 1, 0}},
        {"damaged sum", [](GroupAccount &a) { frames(a, {41, 6334, 1930, 18467, 26773}); }, {19, 20, 0, 1, 0}},
        {"remote with the test identifier",
         [](GroupAccount &a) {
             frames(a, {41});
             a.frame(true, true, 0, 0);
             frames(a, {1930, 18467, 26772});
         },
         {19, 20, 0, 1, 0}},
        {"repeated", [](GroupAccount &a) { frames(a, {41, 6334, 6334, 1930, 18467, 26772}); }, {20, 20, 0, 0, 1}},
    };
    for (const Case &c : cases) {
        GroupAccount account;
        groups(account, 10);
        c.damage(account);
        groups(account, 9);
        EXPECT_EQ(account.framesAccounted(), 100u) << c.name;
        account.finish(20);
        EXPECT_EQ(figures(account), c.expected) << c.name;
    }
}

// Groups reported sent whose frames never came are missing, and the drain
// counts a group's places only as its frames arrive.
TEST(GroupAccount, UnarrivedFramesAreMissing)
{
    GroupAccount account;
    groups(account, 3);
    frames(account, {41, 6334});
    EXPECT_EQ(account.framesAccounted(), 17u);
    account.finish(5);
    EXPECT_EQ(figures(account), (Figures{3, 5, 8, 0, 0}));
}
