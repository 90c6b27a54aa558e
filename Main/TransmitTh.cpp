#include "TransmitTh.h"

#include "testgroup.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

namespace {

// The four numbers of every test group; the fifth frame carries their sum.
const quint32 kNumber1 = testgroup::kNumbers[0];
const quint32 kNumber2 = testgroup::kNumbers[1];
const quint32 kNumber3 = testgroup::kNumbers[2];
const quint32 kNumber4 = testgroup::kNumbers[3];
using transmitstop::kGraceAfterStopMs;
using transmitstop::kPolls;
const int kStatusPending = 7; // CheckTransmit: request still pending, no error flag
const int kStatusReadFailed = 4; // CheckTransmit: the buffer could not be read

// Among pending buffers of equal priority the controller sends the highest
// buffer first, so a sum loaded into buffer 1 while the fourth frame still
// waits in buffer 0 would overtake it. The fourth frame therefore goes with
// a higher priority: the sum always leaves last.
const unsigned int kFourthFramePriority = 1;

} // namespace

CTransmitTh::CTransmitTh() : QObject(nullptr)
{
    qDebug() << Q_FUNC_INFO << "was called";
    OpenBoard(0);
}

CTransmitTh::CTransmitTh(int board) : QObject(nullptr)
{
    qDebug() << Q_FUNC_INFO << "was called";
    OpenBoard(board);
}

void CTransmitTh::OpenBoard(int board)
{
    if (!m_Device.Open(board))
        qDebug() << "Can't open device";
}

CTransmitTh::~CTransmitTh()
{
    qDebug() << Q_FUNC_INFO << "was called";
    m_Device.Close();
}

void CTransmitTh::SetCh1State(bool state)
{
    qDebug() << Q_FUNC_INFO << "was called";
    m_bCh1State = state;
}

void CTransmitTh::SetCh2State(bool state)
{
    qDebug() << Q_FUNC_INFO << "was called";
    m_bCh2State = state;
}

void CTransmitTh::StopWork()
{
    qDebug() << Q_FUNC_INFO << "was called";
    workerstop::request(m_bStop, *this);
}

void CTransmitTh::AbortWork()
{
    m_Loop.abort(*this);
}

void CTransmitTh::work()
{
    qDebug() << Q_FUNC_INFO << "was called";
    quint32 groupSumCh1 = 0;
    quint32 groupSumCh2 = 0;
    m_bStop = false;
    m_Loop.begin();
    m_bAbandoned = false;

    if (!m_Device.IsOpen()) {
        qDebug() << "Send error: device is not open";
        m_Loop.failed(WorkerReport::DeviceNotOpen, 0, 0);
        m_Loop.finish();
        return;
    }
    if (!m_Device.ClearDMA()) {
        qDebug() << "Send error: Can't clear DMA";
        m_Loop.failed(WorkerReport::RequestFailed, 0, 0);
        m_Loop.finish();
        return;
    }
    m_Loop.loading();
    while (!m_Loop.stopRequested()) {
        if (m_bCh1State && !sendGroupCh1(groupSumCh1))
            break;
        if (m_bCh2State && !sendGroupCh2(groupSumCh2))
            break;
        m_Loop.controllersIfAsked();
    }
    m_Loop.withdrawPending();
    m_Loop.finish();
}

bool CTransmitTh::send(unsigned int channel, unsigned int buffer, quint32 number,
                       unsigned int priority)
{
    unsigned char data[testgroup::kLength];
    testgroup::encode(number, data);
    if (m_Loop.aborted()) {
        m_bAbandoned = true;
        return false;
    }
    m_Loop.loaded(channel, buffer, number);
    const int code = m_Device.SendData(channel, buffer, priority, m_StdId, m_ExtId, data, testgroup::kLength);
    m_Loop.progressed();
    if (code != CAN_OK) {
        qDebug() << "SendData I/O error. Code = " << static_cast<quint16>(code);
        m_Loop.requestFailed(channel, code);
        return false;
    }
    return true;
}

// Channel 1's buffer 0: a frame that does not leave ends the loop.
bool CTransmitTh::checkBuffer0Ch1()
{
    if (checkTransmit(1, 0))
        return true;
    if (!m_bAbandoned) {
        qDebug() << "check transmit error 1 : 0";
        m_Loop.failed(WorkerReport::FrameNotSent, 1, 0);
    }
    return false;
}

bool CTransmitTh::sendGroupCh1(quint32 &groupSum)
{
    if (!send(1, 0, kNumber1) || !send(1, 1, kNumber2) || !send(1, 2, kNumber3))
        return false;
    if (!checkBuffer0Ch1())
        return false;
    if (!send(1, 0, kNumber4, kFourthFramePriority))
        return false;
    groupSum += kNumber1 + kNumber2 + kNumber3 + kNumber4;
    checkTransmit(1, 1);
    if (m_bAbandoned || !send(1, 1, groupSum))
        return false;
    checkTransmit(1, 2);
    if (m_bAbandoned || !checkBuffer0Ch1())
        return false;
    checkTransmit(1, 1);
    if (m_bAbandoned)
        return false;
    emit SetLabelSendedCh1();
    groupSum = 0;
    return true;
}

// Waits for a channel-2 buffer. A frame that does not complete is withdrawn
// by checkTransmit and the wait repeats until a stop is requested. A
// withdrawn frame that then shows neither a request nor an error either
// never went out or was already on the wire and completed; the buffer cannot
// tell which, so the group is taken for lost and the loop ends as channel 1's
// does.
bool CTransmitTh::waitCh2(unsigned int buffer)
{
    bool withdrawn = false;
    for (;;) {
        const bool done = checkTransmit(2, buffer);
        if (m_bAbandoned)
            return false;
        if (done && !withdrawn)
            return true;
        if (done) {
            qDebug() << "check transmit error 2 :" << buffer;
            m_Loop.failed(WorkerReport::FrameNotSent, 2, 0);
            return false;
        }
        withdrawn = true;
        if (m_Loop.stopRequested())
            return false;
    }
}

bool CTransmitTh::sendGroupCh2(quint32 &groupSum)
{
    if (!send(2, 0, kNumber1) || !send(2, 1, kNumber2) || !send(2, 2, kNumber3))
        return false;
    if (!waitCh2(0))
        return false;
    if (!send(2, 0, kNumber4, kFourthFramePriority))
        return false;
    groupSum += kNumber1 + kNumber2 + kNumber3 + kNumber4;
    if (!waitCh2(1))
        return false;
    if (!send(2, 1, groupSum))
        return false;
    // The group is complete only when its last two frames have left:
    // otherwise the next group's first sends would overwrite them.
    if (!waitCh2(2) || !waitCh2(0) || !waitCh2(1))
        return false;
    emit SetLabelSendedCh2();
    groupSum = 0;
    return true;
}

bool CTransmitTh::checkTransmit(unsigned int channel, unsigned int buffer)
{
    qDebug() << Q_FUNC_INFO << "was called";
    int status = 0;
    QElapsedTimer sinceStop;
    for (unsigned int poll = 0; poll < kPolls; ++poll) {
        if (m_Loop.aborted()) {
            m_bAbandoned = true;
            return false;
        }
        status = m_Device.CheckTransmit(channel, buffer);
        m_Loop.progressed();
        if (status == CAN_OK) {
            m_Loop.left(channel, buffer, true);
            return true;
        }
        if (m_Loop.stopRequested() && !worthWaitingAfterStop(channel, status, sinceStop)) {
            // A read that failed is said, as it would be after the polls.
            if (status == kStatusReadFailed) {
                qDebug() << "CheckTransmit I/O error. Code = " << static_cast<quint16>(status);
                m_Loop.requestFailed(channel, status);
            }
            m_bAbandoned = true;
            return false;
        }
    }
    // Buffers 1 and 2 are not waited for longer: the frame may still leave.
    if (buffer != 0)
        return true;
    qDebug() << "CheckTransmit I/O error. Code = " << static_cast<quint16>(status);
    // The loop ends here on channel 1; on channel 2 the wait goes on.
    const WorkerReport trouble{status == kStatusReadFailed ? causeOfFailure(m_Device, channel)
                                                            : WorkerReport::FrameNotSent,
                               channel, status};
    if (channel == 1)
        m_Loop.failed(trouble.cause, channel, status);
    else
        m_Loop.trouble(trouble);
    m_Loop.withdraw(channel, buffer);
    return false;
}

// A stop ends a wait at once unless the frame is simply on its way, so that
// a stop in the middle of a healthy group still finishes it while a frame
// that fails, or a controller that cannot send, never holds the stop up.
bool CTransmitTh::worthWaitingAfterStop(unsigned int channel, int status, QElapsedTimer &sinceStop)
{
    if (status != kStatusPending)
        return false;
    if (sinceStop.isValid())
        return sinceStop.elapsed() < kGraceAfterStopMs;
    sinceStop.start();
    // A mode that cannot be read is no reason to give a frame up: the grace
    // bounds the wait, and the polls say whether the reads keep failing.
    unsigned char canstat = 0;
    return m_Device.ReadCanReg(channel, CAN_REG_CANSTAT, 1, &canstat) != 1 ||
           (canstat & CAN_MODE_MASK) == (CAN_MODE_NORMAL << 5);
}
