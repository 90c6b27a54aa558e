// The tool's test group as frames on the emulated bus, for the tests and
// benchmarks that put it there or count its bits.
#ifndef BOARDEMULATOR_TESTGROUPFRAMES_H
#define BOARDEMULATOR_TESTGROUPFRAMES_H

#include "canframe.h"
#include "testgroup.h"

namespace testgroup {

inline boardemu::CanFrame frame(uint32_t number)
{
    boardemu::CanFrame frame;
    frame.extended = true;
    frame.id = (kStdId << 18) | kExtId;
    frame.dlc = kLength;
    encode(number, frame.data.data());
    return frame;
}

// The group's bits on the wire, counted by the emulated bus.
inline unsigned bits()
{
    unsigned bits = 0;
    for (uint32_t number : kNumbers)
        bits += boardemu::frameBitCount(frame(number));
    return bits;
}

} // namespace testgroup

#endif
