#ifndef TRANSMITTH_H
#define TRANSMITTH_H

#include "candeviceex.h"
#include "workerreport.h"

#include <QElapsedTimer>
#include <QObject>

#include <atomic>

// Sends test groups of five frames on every channel whose transmit flag is
// set and reports each completed group.
class CTransmitTh : public QObject
{
    Q_OBJECT

public:
    CTransmitTh();
    ~CTransmitTh() override;

    // Set only while the worker's thread is stopped; nullptr for none.
    void SetObserver(TransmitObserver *observer) { m_pObserver = observer; }
    // Whether a library call of the loop has returned since the last asking:
    // the loop makes progress, however slow the driver.
    bool TakeProgress() { return m_bProgress.exchange(false, std::memory_order_relaxed); }

    void SetCh1State(bool state);
    void SetCh2State(bool state);
    bool checkTransmit(unsigned int channel, unsigned int buffer);
    // A stop that does not finish the group under way: no further frame is
    // loaded or waited for, and what is still pending is withdrawn without
    // waiting for a frame already on the wire (it ends on its own within its
    // frame time). For a caller about to exit; costs at most the rest of the
    // library call under way and one withdrawal per pending buffer.
    void AbortWork();

signals:
    void SetLabelSendedCh1();
    void SetLabelSendedCh2();

public slots:
    void work();
    void StopWork();

private:
    bool stopRequested() const;
    bool sendGroupCh1(quint32 &groupSum);
    bool sendGroupCh2(quint32 &groupSum);
    bool send(unsigned int channel, unsigned int buffer, quint32 number,
              unsigned int priority = 0);
    bool waitCh2(unsigned int buffer);
    bool worthWaitingAfterStop(unsigned int channel, int status, QElapsedTimer &sinceStop);
    void withdrawPending();
    bool aborted() const { return m_bAbort; }
    void failed(WorkerReport::Cause cause, unsigned int channel, int code);
    void frameDone(unsigned int channel, unsigned int buffer, bool surely);

    CCANDeviceEx m_Device;
    std::atomic<bool> m_bStop;
    std::atomic<bool> m_bCh1State;
    std::atomic<bool> m_bCh2State;
    quint32 m_StdId;
    quint32 m_ExtId;
    std::atomic<bool> m_bAbort{false};
    // State of one run of work(). Only the worker's thread uses them, but
    // each start may run on a new thread: atomic like the other flags.
    // A frame was loaded into the buffer (channel 1, 2; buffer 0-2) and has
    // not been seen to complete.
    std::atomic<bool> m_bRequested[2][3] = {{{false}, {false}, {false}}, {{false}, {false}, {false}}};
    std::atomic<bool> m_bAbandoned{false}; // a wait gave its frame up for a stop
    // The number each buffer was last loaded with, and why the loop ended;
    // the worker's thread only.
    quint32 m_Number[2][3] = {{0, 0, 0}, {0, 0, 0}};
    WorkerReport m_End;
    TransmitObserver *m_pObserver = nullptr;
    std::atomic<bool> m_bProgress{false};
};

#endif
