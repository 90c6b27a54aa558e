// What the benchmarks share: the board as start-up leaves it.
#ifndef BENCH_BENCHSUPPORT_H
#define BENCH_BENCHSUPPORT_H

#include "testgroupframes.h"
#include "candeviceex.h"


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

#endif
