// What the benchmarks share: the board as start-up leaves it, and the test
// group's frames with their exact time on the bus.
#ifndef BENCH_BENCHSUPPORT_H
#define BENCH_BENCHSUPPORT_H

#include "canframe.h"
#include "candeviceex.h"

#include <cstdint>

// Both channels at one rate in normal mode, DMA on, filters off.
inline void configureBoard(CCANDeviceEx &device, unsigned kbps)
{
    for (unsigned channel = 1; channel <= 2; ++channel) {
        device.SetWorkMode(channel, CAN_MODE_CONFIGURATION);
        device.SetSpeed(channel, kbps);
        device.SetWorkMode(channel, CAN_MODE_NORMAL);
    }
    device.EnableDMA(0);
    const unsigned char receiveAny = 0x60;
    device.WriteCanReg(1, CAN_REG_RXB0CTRL, 1, &receiveAny);
    device.WriteCanReg(2, CAN_REG_RXB0CTRL, 1, &receiveAny);
}

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
