// What the workers tell a caller that acts on their traffic (the headless
// runner), beside the debug lines they write for people: every frame they
// saw leave, and why their loop ended, with whose failure it was.
#ifndef WORKERREPORT_H
#define WORKERREPORT_H

#include "candeviceex.h"
#include "controllerhealth.h"
#include "workercause.h"

#include <QtGlobal>

struct WorkerReport : WorkerCauses {
    WorkerReport() = default;
    WorkerReport(Cause why, unsigned int onChannel = 0, int status = 0) : cause(why), channel(onChannel), code(status) {}

    Cause cause = Stopped;
    unsigned int channel = 0; // 0: not one channel's
    int code = 0;             // the library's status of the call that failed, where there was one

    bool boardFault() const { return faultOf(cause) == Fault::Board; }
    bool hostFault() const { return faultOf(cause) == Fault::Host; }
    const char *causeName() const { return ruleOf(cause).name; }
};

// Told by a transmit loop, in its thread, what it does (the window's
// sequence and full load alike), for a caller that acts on it; the window
// sets none.
class TransmitObserver
{
public:
    // The loop's first frame comes next (the window's sequence has cleared
    // the DMA queues by then).
    virtual void loading() = 0;
    // A frame this run loaded has left its buffer: surely (the buffer showed
    // it sent), or perhaps (it was withdrawn, or its wait ended without
    // seeing it: it either never went out or went out unseen). Each frame
    // loaded is told of once.
    virtual void frameDone(unsigned int channel, quint32 number, bool surely) = 0;
    // Something failed that the loop goes on after.
    virtual void trouble(const WorkerReport &report) = 0;
    // The loop has ended, and why: its last call.
    virtual void loopEnded(const WorkerReport &report) = 0;
    // Both controllers' error state, read by the loop when it was asked to
    // (the loop's thread is the only one that talks to the controllers
    // while it runs).
    virtual void controllersRead(const ControllerHealth &, const ControllerHealth &) {}

protected:
    ~TransmitObserver() = default;
};

// After a library call on a channel failed: a bridge that reads busy is the
// board's failure; a bridge that cannot be read, or reads idle, leaves the
// request itself to blame.
inline WorkerReport::Cause causeOfFailure(CCANDeviceEx &device, unsigned int channel)
{
    unsigned int bridge = 0;
    if (device.ReadReg(channel == 1 ? CAN_BOARD_SPI_BRIDGE_CH1 : CAN_BOARD_SPI_BRIDGE_CH2, &bridge) == 1 &&
        (bridge & CAN_BOARD_SPI_BUSY) != 0)
        return WorkerReport::BridgeStuck;
    return WorkerReport::RequestFailed;
}

// How a transmit loop stops, the window's sequence and full load alike: after
// a stop request a frame that is simply on its way is still waited for, for
// at most this long (three frames of ours need 3 ms at 125 kbit/s; counted in
// time, not polls, since a poll's cost depends on the driver), then what is
// still pending is withdrawn.
namespace transmitstop {
const qint64 kGraceAfterStopMs = 1000;
// Polls of a buffer before a frame is given up, and of a withdrawn frame.
const unsigned int kPolls = 1500;
} // namespace transmitstop

#endif
