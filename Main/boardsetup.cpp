#include "boardsetup.h"

#include <QElapsedTimer>

namespace boardsetup {

Result setUp(CCANDeviceEx &device, const std::function<int(unsigned int channel)> &setSpeed,
             const std::function<bool()> &stop, Failure *failure, qint64 *slowestStepNs)
{
    const unsigned char receiveAny = 0x60;
    const auto run = [&](Step step, unsigned int channel) {
        switch (step) {
        case ConfigurationMode:
            return device.SetWorkMode(channel, CAN_MODE_CONFIGURATION);
        case BitRate:
            return setSpeed(channel);
        case NormalMode:
            return device.SetWorkMode(channel, CAN_MODE_NORMAL);
        case Dma:
            return device.EnableDMA(0);
        case Filters:
            return device.WriteCanReg(channel, CAN_REG_RXB0CTRL, 1, &receiveAny);
        }
        return 0;
    };
    if (slowestStepNs)
        *slowestStepNs = 0;
    for (Step step : {ConfigurationMode, BitRate, NormalMode, Dma, Filters}) {
        for (unsigned int channel = 1; channel <= (step == Dma ? 1u : 2u); ++channel) {
            if (stop && stop())
                return Stopped;
            QElapsedTimer timer;
            timer.start();
            const int status = run(step, channel);
            if (slowestStepNs)
                *slowestStepNs = qMax(*slowestStepNs, timer.nsecsElapsed());
            if (status != CAN_OK) {
                *failure = Failure{step, step == Dma ? 0u : channel, status};
                return Failed;
            }
        }
    }
    return Ready;
}

ControllerHealth health(CCANDeviceEx &device, unsigned int channel)
{
    ControllerHealth controller;
    unsigned char counters[2] = {0, 0}; // TEC, REC
    unsigned char eflg = 0;
    if (!device.IsOpen() || device.ReadCanReg(channel, CAN_REG_TEC, 2, counters) != 1 ||
        device.ReadCanReg(channel, CAN_REG_EFLG, 1, &eflg) != 1)
        return controller;
    controller.read = true;
    controller.tec = counters[0];
    controller.rec = counters[1];
    controller.eflg = eflg;
    return controller;
}

} // namespace boardsetup
