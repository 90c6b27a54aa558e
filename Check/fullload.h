// The full-load transmitter of korvane-check: the tool's test group sent back
// to back at the bus limit. It keeps all three transmit buffers of its
// channel loaded and refills each as soon as it is free, with as few driver
// requests as the controller allows: the frame's nine registers in one SPI
// WRITE, its request in another, and one READ STATUS that shows which
// buffers are free. (The window's sequence, CTransmitTh, writes every
// register byte on its own and waits for each group.) Every few frames, while
// the bus has frames queued, it reads the controller's transmit error
// counter: a frame that failed on the bus and went out on a retry ends the
// loop, as the window's sequence ends on a buffer's error flag.
#ifndef CHECK_FULLLOAD_H
#define CHECK_FULLLOAD_H

#include "candeviceex.h"
#include "transmitloop.h"
#include "workerreport.h"

#include <QElapsedTimer>
#include <QObject>

#include <atomic>
#include <cstdint>
#include <deque>

class CFullLoadTh : public QObject
{
    Q_OBJECT

public:
    explicit CFullLoadTh(int board = 0);
    ~CFullLoadTh() override;

    // The transmitting channel, 1 or 2; set only while the thread is stopped.
    void SetChannel(unsigned int channel) { m_channel = channel; }
    // Groups to send before the loop ends by itself (0: no limit); likewise.
    // Frames are loaded ahead, so a stop at the last report would be late.
    void SetGroupLimit(uint64_t groups) { m_groupLimit = groups; }
    // As CTransmitTh::AbortWork: nothing more is loaded or waited for, what
    // is pending is withdrawn.
    void AbortWork() { m_loop.abort(*this); }
    // As CTransmitTh's.
    void SetObserver(TransmitObserver *observer) { m_loop.setObserver(observer); }
    bool TakeProgress() { return m_loop.takeProgress(); }
    void AskControllers() { m_loop.askControllers(); }

signals:
    // Every five frames that have left, in the order they were loaded.
    void GroupSent();

public slots:
    void work();
    void StopWork();

private:
    struct Pending {
        unsigned int buffer;
        int rank;
        uint64_t sequence;
    };
    bool writeRegisters(unsigned int address, const unsigned char *bytes, unsigned int count);
    bool readStatus(unsigned char *status);
    bool writeFrame(unsigned int buffer, uint64_t sequence, int priority = -1);
    bool requestPrepared(std::deque<Pending> &pending);
    bool load(unsigned int buffer, int priority, uint64_t sequence);
    bool takeFinished(std::deque<Pending> &pending, unsigned char status);
    bool refill(std::deque<Pending> &pending);
    bool transmitErrorsDue(size_t pending) const;
    bool transmitErrorsRose();

    CCANDeviceEx m_Device;
    std::atomic<bool> m_bStop{false};
    unsigned int m_channel = 1;
    uint64_t m_groupLimit = 0;
    // Abort, progress, the first failure and the frames still pending.
    TransmitLoop m_loop{m_bStop, m_Device};
    // State of one run; used by the worker's thread only.
    int m_tec = -1; // the transmit error counter as last read
    // The loop's last transaction on the bridge was seen to end: the next
    // need not wait for it. Full load alone uses its channel's bridge while
    // it runs, so its writes do not wait for their end either.
    bool m_bridgeIdle = false;
    uint64_t m_loaded = 0;
    uint64_t m_finished = 0;
    uint64_t m_finishedAtReading = 0; // m_finished when TEC was last read
    // The frame (by its place in the sequence) whose registers a free buffer
    // already holds, written while the buffers drained; -1: none.
    int64_t m_prepared[3] = {-1, -1, -1};
    // Its control register holds the priority it goes with: an RTS sends it.
    bool m_preparedForRts[3] = {false, false, false};
};

#endif
