// The tool's test group as it travels on the bus: five extended frames,
// identifier 171/186, carrying 41, 18467, 6334, 1930 and their sum. For the
// figures that depend on its exact bits (bus load, benchmarks).
#ifndef BOARDEMULATOR_TESTGROUP_H
#define BOARDEMULATOR_TESTGROUP_H

#include "canframe.h"

#include <cstdint>

namespace testgroup {

constexpr unsigned kStdId = 171;
constexpr unsigned kExtId = 186;
constexpr uint32_t kNumbers[5] = {41, 18467, 6334, 1930, 26772};

inline boardemu::CanFrame frame(uint32_t number)
{
    boardemu::CanFrame frame;
    frame.extended = true;
    frame.id = (kStdId << 18) | kExtId;
    frame.dlc = 4;
    for (int i = 0; i < 4; ++i)
        frame.data[i] = uint8_t(number >> (8 * i));
    return frame;
}

// The group's bits on the wire, stuffing and intermissions included.
inline unsigned bits()
{
    unsigned bits = 0;
    for (uint32_t number : kNumbers)
        bits += boardemu::frameBitCount(frame(number));
    return bits;
}

} // namespace testgroup

#endif
