#include "ReceiveTh.h"

#include "workerstop.h"

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

CReceiveTh::CReceiveTh() : QObject(nullptr)
{
    qDebug() << Q_FUNC_INFO << "was called";
    OpenBoard(0);
}

CReceiveTh::CReceiveTh(int board) : QObject(nullptr)
{
    qDebug() << Q_FUNC_INFO << "was called";
    OpenBoard(board);
}

void CReceiveTh::OpenBoard(int board)
{
    if (!m_Device.Open(board))
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
    workerstop::request(m_bStop, *this);
}

bool CReceiveTh::stopRequested() const
{
    return workerstop::requested(m_bStop);
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

    // Each channel's texts, as the loop writes them.
    const char *const readFailed[2] = {"Receive error: Can't read DMA data block from ch 1, error = ",
                                       "Receive error: Can't read DMA data block from ch 2, error = "};
    const char *const tooMany[2] = {"Receive error: Count of read blocks on Ch1 > 1",
                                    "Receive error: Count of read blocks on Ch2  > 1"};
    ChannelState *const states[2] = {&ch1, &ch2};
    const auto reading = [this](unsigned int i) { return i == 0 ? m_bCh1State.load() : m_bCh2State.load(); };
    while (!stopRequested()) {
        for (unsigned int i = 0; i < 2; ++i) {
            states[i]->blocksRead = 0;
            if (!reading(i))
                continue;
            const int code = m_Device.ReadDMABlocks(states[i]->block, i + 1, 1, &states[i]->blocksRead);
            if (code != CAN_OK) {
                qDebug() << QString(readFailed[i]) + QString::number(code);
                ended(WorkerReport::RequestFailed, i + 1, code);
                return;
            }
        }
        for (unsigned int i = 0; m_pObserver && i < 2; ++i) {
            if (reading(i) && !states[i]->blocksRead)
                m_pObserver->nothingRead(i + 1);
        }
        for (unsigned int i = 0; i < 2; ++i) {
            if (!states[i]->blocksRead)
                continue;
            if (states[i]->blocksRead > 1) {
                qDebug() << tooMany[i];
                ended(WorkerReport::TooManyBlocks, i + 1, int(states[i]->blocksRead));
                return;
            }
            groupStep(*states[i], i + 1);
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
