#ifndef TRANSMITTH_H
#define TRANSMITTH_H

#include "candeviceex.h"
#include "transmitloop.h"
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
    // On board 0, as the window uses it; or on the board of that index.
    CTransmitTh();
    explicit CTransmitTh(int board);
    ~CTransmitTh() override;

    // Set only while the worker's thread is stopped; nullptr for none.
    void SetObserver(TransmitObserver *observer) { m_Loop.setObserver(observer); }
    // Whether a library call of the loop has returned since the last asking:
    // the loop makes progress, however slow the driver.
    bool TakeProgress() { return m_Loop.takeProgress(); }
    // The controllers' error state, read between groups and told to the
    // observer (the headless runner's records; the window never asks).
    void AskControllers() { m_Loop.askControllers(); }

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
    bool sendGroupCh1(quint32 &groupSum);
    bool sendGroupCh2(quint32 &groupSum);
    bool send(unsigned int channel, unsigned int buffer, quint32 number,
              unsigned int priority = 0);
    bool checkBuffer0Ch1();
    bool waitCh2(unsigned int buffer);
    bool worthWaitingAfterStop(unsigned int channel, int status, QElapsedTimer &sinceStop);

    CCANDeviceEx m_Device;
    void OpenBoard(int board);

    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bCh1State{false};
    std::atomic<bool> m_bCh2State{false};
    quint32 m_StdId = 171;
    quint32 m_ExtId = 186;
    // Abort, progress, the first failure and the frames still pending.
    TransmitLoop m_Loop{m_bStop, m_Device};
    // A wait gave its frame up for a stop. State of one run of work(): only
    // the worker's thread uses it, but each start may run on a new thread.
    std::atomic<bool> m_bAbandoned{false};
};

#endif
