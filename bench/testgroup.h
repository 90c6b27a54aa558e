// The test group's frames and its exact time on the bus.
#ifndef BENCH_TESTGROUP_H
#define BENCH_TESTGROUP_H

#include "canframe.h"

#include <cstdint>

inline boardemu::CanFrame testGroupFrame(uint32_t number)
{
    boardemu::CanFrame frame;
    frame.extended = true;
    frame.id = (171u << 18) | 186u;
    frame.dlc = 4;
    for (int i = 0; i < 4; ++i)
        frame.data[i] = uint8_t(number >> (8 * i));
    return frame;
}

inline unsigned testGroupBits()
{
    unsigned bits = 0;
    for (uint32_t number : {41u, 18467u, 6334u, 1930u, 26772u})
        bits += boardemu::frameBitCount(testGroupFrame(number));
    return bits;
}

#endif
