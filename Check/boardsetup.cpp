#include "boardsetup.h"

#include <QElapsedTimer>

namespace boardsetup {

Result setUp(CCANDeviceEx &device, const unsigned int kbps[2], const std::function<bool()> &stop, QString *reason,
             qint64 *slowestStepNs)
{
    *slowestStepNs = 0;
    if (stop())
        return Stopped;
    if (!device.Open(0)) {
        *reason = QStringLiteral("cannot open \\\\.\\CAN0: no board or no driver (system error %1)")
                      .arg(GetLastError());
        return Failed;
    }
    // Each step: what failed, by channel, and the step itself.
    struct Step {
        const char *failure;
        std::function<int(unsigned int)> run;
    };
    const unsigned char receiveAny = 0x60;
    const Step steps[] = {
        {"channel %1's controller would not enter configuration mode",
         [&](unsigned int channel) { return device.SetWorkMode(channel, CAN_MODE_CONFIGURATION); }},
        {"channel %1's bit rate could not be set",
         [&](unsigned int channel) { return device.SetSpeed(channel, kbps[channel - 1]); }},
        {"channel %1's controller would not return to normal mode",
         [&](unsigned int channel) { return device.SetWorkMode(channel, CAN_MODE_NORMAL); }},
        {"DMA reception could not be enabled",
         [&](unsigned int channel) { return channel == 1 ? device.EnableDMA(0) : 1; }},
        {"channel %1's receive filters could not be turned off",
         [&](unsigned int channel) { return device.WriteCanReg(channel, CAN_REG_RXB0CTRL, 1, &receiveAny); }},
    };
    for (const Step &step : steps) {
        for (unsigned int channel = 1; channel <= 2; ++channel) {
            if (stop())
                return Stopped;
            QElapsedTimer timer;
            timer.start();
            const int status = step.run(channel);
            *slowestStepNs = qMax(*slowestStepNs, timer.nsecsElapsed());
            if (status != 1) {
                *reason = QString::fromLatin1(step.failure).arg(channel) + QStringLiteral(" (status %1)").arg(status);
                return Failed;
            }
        }
    }
    return Ready;
}

verdict::Controller health(CCANDeviceEx &device, unsigned int channel)
{
    verdict::Controller controller;
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
