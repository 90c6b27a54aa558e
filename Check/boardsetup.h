// The board as the window sets it up at start-up, on the runner's own board
// object, and the controllers' error state at the end of a run.
#ifndef CHECK_BOARDSETUP_H
#define CHECK_BOARDSETUP_H

#include "candeviceex.h"
#include "verdict.h"

#include <QString>

#include <functional>

namespace boardsetup {

// Both controllers to configuration mode, both bit rates, both back to
// normal mode, DMA on, filters off. Between steps it stops when stop() says
// so (a signal). On failure, *reason says which step on which channel.
// *slowestStepNs is the longest any step took: how slow the driver is.
enum Result { Ready, Failed, Stopped };
Result setUp(CCANDeviceEx &device, const unsigned int kbps[2], const std::function<bool()> &stop, QString *reason,
             qint64 *slowestStepNs);

// TEC, REC and EFLG of a channel's controller.
verdict::Controller health(CCANDeviceEx &device, unsigned int channel);

} // namespace boardsetup

#endif
