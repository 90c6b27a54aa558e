#ifndef TRANSMITTH_H
#define TRANSMITTH_H

#include "candeviceex.h"

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

    void SetCh1State(bool state);
    void SetCh2State(bool state);
    bool checkTransmit(unsigned int channel, unsigned int buffer);

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
    bool requestPending(unsigned int channel, unsigned int buffer);

    CCANDeviceEx m_Device;
    std::atomic<bool> m_bStop;
    std::atomic<bool> m_bCh1State;
    std::atomic<bool> m_bCh2State;
    quint32 m_StdId;
    quint32 m_ExtId;
    // State of one run of work(). Only the worker's thread uses them, but
    // each start may run on a new thread: atomic like the other flags.
    std::atomic<bool> m_bLoaded[2] = {{false}, {false}}; // frames were loaded on channel 1, 2
    std::atomic<bool> m_bAbandoned{false};               // a wait gave its frame up for a stop
};

#endif
