// The board as the window sets it up at start-up, the window and the
// headless runner alike, and a controller's error state.
#ifndef BOARDSETUP_H
#define BOARDSETUP_H

#include "candeviceex.h"
#include "controllerhealth.h"

#include <QtGlobal>

#include <functional>

namespace boardsetup {

// The steps, each for channel 1 and then channel 2 (DMA once): both
// controllers to configuration mode, both bit rates, both back to normal
// mode, DMA reception on, the receive filters off.
enum Step { ConfigurationMode, BitRate, NormalMode, Dma, Filters };
struct Failure {
    Step step = ConfigurationMode;
    unsigned int channel = 0;
    int status = 0;
};
enum Result { Ready, Failed, Stopped };

// On an open board object. setSpeed sets a channel's bit rate and returns
// its status (1 for success). Between steps it stops when stop() says so;
// on failure, *failure says which step on which channel. *slowestStepNs,
// when given, is the longest any step took: how slow the driver is.
Result setUp(CCANDeviceEx &device, const std::function<int(unsigned int channel)> &setSpeed,
             const std::function<bool()> &stop, Failure *failure, qint64 *slowestStepNs = nullptr);

// TEC, REC and EFLG of a channel's controller.
ControllerHealth health(CCANDeviceEx &device, unsigned int channel);

} // namespace boardsetup

#endif
