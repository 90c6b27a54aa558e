#ifndef RECEIVETH_H
#define RECEIVETH_H

#include "candeviceex.h"

#include <QByteArray>
#include <QObject>

#include <atomic>

// Reads every channel whose receive flag is set, groups its frames in fives
// and reports whether each group's fifth frame carried the sum of the first four.
class CReceiveTh : public QObject
{
    Q_OBJECT

public:
    CReceiveTh();
    ~CReceiveTh() override;

    // For a caller that starts both workers: true once work() has cleared and
    // set up DMA, or given up trying, since ClearReady(). ClearReady() is called
    // only while the worker's thread is stopped.
    void ClearReady() { m_bReady = false; }
    bool IsReady() const { return m_bReady; }

signals:
    void SetLabelNoErrorCh1();
    void SetLabelNoErrorCh2();
    void SetLabelWithErrorCh1();
    void SetLabelWithErrorCh2();
    // Every DMA block the loop reads, before it is grouped; emitted only
    // while something is connected (the headless runner logs frames with it).
    void FrameReceived(unsigned int channel, QByteArray block);

public slots:
    void work();
    void StopWork();
    void SetCh1State(bool flag);
    void SetCh2State(bool flag);

private:
    bool stopRequested() const;
    bool setUpDma();
    struct ChannelState;
    void groupStep(ChannelState &state, unsigned int channel, bool tap);

    CCANDeviceEx m_Device;
    std::atomic<bool> m_bStop;
    std::atomic<bool> m_bCh1State;
    std::atomic<bool> m_bCh2State;
    std::atomic<bool> m_bReady{false};
};

#endif
