#ifndef RECEIVETH_H
#define RECEIVETH_H

#include "candeviceex.h"
#include "workerreport.h"

#include <QObject>

#include <atomic>

// Reads every channel whose receive flag is set, groups its frames in fives
// and reports whether each group's fifth frame carried the sum of the first four.
class CReceiveTh : public QObject
{
    Q_OBJECT

public:
    // Told of every DMA block the loop reads, in the worker's thread, before
    // the block is grouped (the headless runner checks and logs frames so).
    class FrameObserver
    {
    public:
        virtual void blockRead(unsigned int channel, const unsigned char *block) = 0;
        // A read of the channel found its DMA queue empty.
        virtual void nothingRead(unsigned int channel) = 0;
        // The loop has ended, and why: its last call.
        virtual void loopEnded(const WorkerReport &report) = 0;

    protected:
        ~FrameObserver() = default;
    };

    // On board 0, as the window uses it; or on the board of that index.
    CReceiveTh();
    explicit CReceiveTh(int board);
    ~CReceiveTh() override;

    // Set only while the worker's thread is stopped; nullptr for none.
    void SetFrameObserver(FrameObserver *observer) { m_pObserver = observer; }

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

public slots:
    void work();
    void StopWork();
    void SetCh1State(bool flag);
    void SetCh2State(bool flag);

private:
    bool stopRequested() const;
    bool setUpDma();
    void ended(WorkerReport::Cause cause, unsigned int channel, int code);
    struct ChannelState;
    void groupStep(ChannelState &state, unsigned int channel);

    CCANDeviceEx m_Device;
    void OpenBoard(int board);

    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bCh1State{false};
    std::atomic<bool> m_bCh2State{false};
    std::atomic<bool> m_bReady{false};
    FrameObserver *m_pObserver = nullptr;
};

#endif
