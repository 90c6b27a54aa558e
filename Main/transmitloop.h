// What every transmit loop shares, the window's sequence and full load
// alike: how it is stopped or aborted, whether its driver calls progress, its
// first failure (why it ended), the frames it has loaded and not yet seen
// leave, each told to the observer once, and their withdrawal when the loop
// ends. The loop's own sequence (which buffer gets which frame when) is the
// worker's.
#ifndef TRANSMITLOOP_H
#define TRANSMITLOOP_H

#include "candeviceex.h"
#include "workerreport.h"
#include "workerstop.h"

#include <QObject>

#include <atomic>

class TransmitLoop
{
public:
    // The worker's own stop flag and board object.
    TransmitLoop(std::atomic<bool> &stop, CCANDeviceEx &device) : m_stop(stop), m_device(device) {}

    // Set only while the worker's thread is stopped; nullptr for none.
    void setObserver(TransmitObserver *observer) { m_observer = observer; }

    // From any thread. An abort is a stop that does not finish the group
    // under way: nothing more is loaded or waited for, and what is pending
    // is withdrawn without waiting for a frame already on the wire.
    void abort(const QObject &worker)
    {
        m_abort = true;
        workerstop::request(m_stop, worker);
    }
    // From any thread: both controllers' error state is read at the loop's
    // next point between frames and told to the observer.
    void askControllers() { m_controllersAsked.store(true, std::memory_order_relaxed); }
    // Whether a driver call of the loop has returned since the last asking.
    bool takeProgress() { return m_progress.exchange(false, std::memory_order_relaxed); }

    // The loop's thread from here on. begin() starts a run: nothing loaded,
    // no failure, no abort; the caller clears its stop flag.
    void begin();
    bool stopRequested() const { return workerstop::requested(m_stop); }
    bool aborted() const { return m_abort; }
    void progressed() { m_progress.store(true, std::memory_order_relaxed); }
    // Reads and tells both controllers' error state if it was asked for;
    // true if it read (the channels' SPI bridges were used).
    bool controllersIfAsked();

    // The first failure is why the loop ends; later ones change nothing.
    void failed(WorkerReport::Cause cause, unsigned int channel, int code);
    bool hasFailed() const { return m_end.cause != WorkerReport::Stopped; }
    // A failure of a library call on the channel: the board's if its SPI
    // bridge reads busy, else the request's.
    void requestFailed(unsigned int channel, int code) { failed(causeOfFailure(m_device, channel), channel, code); }
    // Something failed that the loop goes on after.
    void trouble(const WorkerReport &report);
    // The first frame comes next; the loop has ended (after withdrawing).
    void loading();
    void finish();

    // A frame loaded into a buffer, and its leaving: surely (its buffer
    // showed it sent) or perhaps. Each frame loaded is told of once.
    void loaded(unsigned int channel, unsigned int buffer, quint32 number);
    void left(unsigned int channel, unsigned int buffer, bool surely);

    // Withdraws a buffer's request (EndTransmit); a failure is said, is
    // trouble, and is why the loop ends unless it already ended for another
    // reason. The frame is told of as perhaps sent.
    bool withdraw(unsigned int channel, unsigned int buffer);
    // Whatever way the loop ended, no frame of this run stays pending: a
    // frame left behind would go out ahead of the next run's first group,
    // and while it waits its controller refuses configuration mode. Only
    // buffers whose frame was not seen to leave are looked at, so a loop
    // that ended between groups costs no request here.
    void withdrawPending();

private:
    std::atomic<bool> &m_stop;
    CCANDeviceEx &m_device;
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_progress{false};
    std::atomic<bool> m_controllersAsked{false};
    TransmitObserver *m_observer = nullptr;
    // State of one run: the loop's thread only, but each start may run on a
    // new thread, so the flags a run leaves are atomic.
    std::atomic<bool> m_requested[2][3] = {{{false}, {false}, {false}}, {{false}, {false}, {false}}};
    quint32 m_number[2][3] = {{0, 0, 0}, {0, 0, 0}};
    WorkerReport m_end;
};

#endif
