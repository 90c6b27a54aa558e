// The six counts of a direction's traffic that every output shows: groups
// sent, groups whole, frames missing, frames damaged, frames nobody sent and
// DMA blocks held back by a full queue. One type, added and taken apart as
// intervals and totals need, and one table of their names for the outputs.
#ifndef CHECK_TRAFFICCOUNTS_H
#define CHECK_TRAFFICCOUNTS_H

#include <array>
#include <cstdint>

struct TrafficCounts {
    uint64_t sent = 0;
    uint64_t whole = 0;
    uint64_t missing = 0;
    uint64_t damaged = 0;
    uint64_t nobodySent = 0;
    uint64_t overrunBlocks = 0;

    // Something went wrong in them: a frame lost, damaged or nobody's, or
    // the host fell behind.
    bool fault() const { return missing || damaged || nobodySent || overrunBlocks; }

    TrafficCounts &operator+=(const TrafficCounts &o)
    {
        for (const Field &f : fields())
            this->*f.member += o.*f.member;
        return *this;
    }
    // Counts only grow: what an interval added is the later less the earlier.
    friend TrafficCounts operator-(TrafficCounts a, const TrafficCounts &b)
    {
        for (const Field &f : fields())
            a.*f.member -= b.*f.member;
        return a;
    }
    friend TrafficCounts operator+(TrafficCounts a, const TrafficCounts &b) { return a += b; }
    friend bool operator==(const TrafficCounts &a, const TrafficCounts &b)
    {
        for (const Field &f : fields()) {
            if (a.*f.member != b.*f.member)
                return false;
        }
        return true;
    }

    // Each count's names: in an interval record (and its totals), in a
    // direction's summary (JSON and JUnit), and as people read it.
    struct Field {
        const char *record;
        const char *summary;
        const char *words;
        uint64_t TrafficCounts::*member;
    };
    static const std::array<Field, 6> &fields()
    {
        static const std::array<Field, 6> table = {{
            {"sent", "sent", "groups sent", &TrafficCounts::sent},
            {"whole", "groupsWhole", "groups whole", &TrafficCounts::whole},
            {"missing", "framesMissing", "frames missing", &TrafficCounts::missing},
            {"damaged", "framesDamaged", "frames damaged", &TrafficCounts::damaged},
            {"nobodySent", "framesNobodySent", "frames nobody sent", &TrafficCounts::nobodySent},
            {"overrunBlocks", "overrunBlocks", "DMA blocks held back", &TrafficCounts::overrunBlocks},
        }};
        return table;
    }
};

#endif
