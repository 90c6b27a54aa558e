#include "ReceiveTh.h"

#include <QDebug>
#include <QThread>
#include <QString>

#include <cstring>

struct CReceiveTh::ChannelState {
    unsigned char block[CAN_DMA_BLOCK_SIZE];
    unsigned int blocksRead = 0;
    qint32 framesInGroup = 0;
    quint32 groupSum = 0;
    unsigned char data[8] = {0, 0, 0, 0, 0, 0, 0, 0};
};

CReceiveTh::CReceiveTh()
    : QObject(nullptr), m_bStop(false), m_bCh1State(false), m_bCh2State(false)
{
    qDebug() << Q_FUNC_INFO << "was called";
    if (!m_Device.Open(0))
        qDebug() << "Can't open device";
}

CReceiveTh::~CReceiveTh()
{
    qDebug() << Q_FUNC_INFO << "was called";
    m_Device.Close();
}

void CReceiveTh::StopWork()
{
    qDebug() << Q_FUNC_INFO << "was called";
    m_bStop = true;
    // A stop that arrives after the thread was started but before work()
    // cleared the flag would be lost; the thread's own request is not.
    QThread *worker = thread();
    if (worker && worker != QThread::currentThread())
        worker->requestInterruption();
}

bool CReceiveTh::stopRequested() const
{
    return m_bStop || QThread::currentThread()->isInterruptionRequested();
}

void CReceiveTh::SetCh1State(bool flag)
{
    qDebug() << Q_FUNC_INFO << "was called";
    m_bCh1State = flag;
}

void CReceiveTh::SetCh2State(bool flag)
{
    qDebug() << Q_FUNC_INFO << "was called";
    m_bCh2State = flag;
}

bool CReceiveTh::setUpDma()
{
    struct Ready {
        std::atomic<bool> &flag;
        ~Ready() { flag = true; }
    } ready{m_bReady};
    if (!m_Device.IsOpen()) {
        qDebug() << "Receive error: device is not open";
        ended(WorkerReport::DeviceNotOpen, 0, 0);
        return false;
    }
    if (!m_Device.ClearDMA()) {
        qDebug() << "Receive error: Can't clear DMA";
        ended(WorkerReport::RequestFailed, 0, 0);
        return false;
    }
    if (!m_Device.SetCanonicalDMA()) {
        qDebug() << "Receive error: Can't set canonical DMA";
        ended(WorkerReport::RequestFailed, 0, 0);
        return false;
    }
    return true;
}

void CReceiveTh::ended(WorkerReport::Cause cause, unsigned int channel, int code)
{
    if (m_pObserver)
        m_pObserver->loopEnded(WorkerReport{cause, channel, code});
}

void CReceiveTh::work()
{
    qDebug() << Q_FUNC_INFO << "was called";
    ChannelState ch1;
    ChannelState ch2;
    m_bStop = false;

    if (!setUpDma())
        return;

    while (!stopRequested()) {
        ch1.blocksRead = 0;
        ch2.blocksRead = 0;
        if (m_bCh1State) {
            const int code = m_Device.ReadDMABlocks(ch1.block, 1, 1, &ch1.blocksRead);
            if (code != 1) {
                qDebug() << QString("Receive error: Can't read DMA data block from ch 1, error = ") +
                                QString::number(code);
                ended(WorkerReport::RequestFailed, 1, code);
                return;
            }
        }
        if (m_bCh2State) {
            const int code = m_Device.ReadDMABlocks(ch2.block, 2, 1, &ch2.blocksRead);
            if (code != 1) {
                qDebug() << QString("Receive error: Can't read DMA data block from ch 2, error = ") +
                                QString::number(code);
                ended(WorkerReport::RequestFailed, 2, code);
                return;
            }
        }
        if (m_pObserver) {
            if (m_bCh1State && !ch1.blocksRead)
                m_pObserver->nothingRead(1);
            if (m_bCh2State && !ch2.blocksRead)
                m_pObserver->nothingRead(2);
        }
        if (ch1.blocksRead) {
            if (ch1.blocksRead > 1) {
                qDebug() << "Receive error: Count of read blocks on Ch1 > 1";
                ended(WorkerReport::TooManyBlocks, 1, int(ch1.blocksRead));
                return;
            }
            groupStep(ch1, 1);
        }
        if (ch2.blocksRead) {
            if (ch2.blocksRead > 1) {
                qDebug() << "Receive error: Count of read blocks on Ch2  > 1";
                ended(WorkerReport::TooManyBlocks, 2, int(ch2.blocksRead));
                return;
            }
            groupStep(ch2, 2);
        }
    }
    ended(WorkerReport::Stopped, 0, 0);
}

// Frames are grouped by arrival order: the fifth of every five must carry,
// as a 64-bit number, the sum of the first four frames' 32-bit numbers.
void CReceiveTh::groupStep(ChannelState &state, unsigned int channel)
{
    if (m_pObserver)
        m_pObserver->blockRead(channel, state.block);
    int flag, frameChannel, stdId, extId, length;
    unsigned int header;
    m_Device.ParseRxRecord(state.block, &flag, &frameChannel, &header, &stdId, &extId, state.data,
                           &length);
    quint64 area = 0;
    for (int i = 7; i >= 0; --i)
        area = (area << 8) | state.data[i];

    if (state.framesInGroup == 4) {
        const bool matched = area == static_cast<quint64>(state.groupSum);
        if (channel == 1) {
            if (matched)
                emit SetLabelNoErrorCh1();
            else
                emit SetLabelWithErrorCh1();
        } else {
            if (matched)
                emit SetLabelNoErrorCh2();
            else
                emit SetLabelWithErrorCh2();
        }
        state.framesInGroup = 0;
        state.groupSum = 0;
    } else {
        state.groupSum += static_cast<quint32>(area & 0xFFFFFFFFu);
        ++state.framesInGroup;
    }
}
