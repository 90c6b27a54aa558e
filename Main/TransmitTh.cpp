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

CTransmitTh::CTransmitTh()
    : QObject(nullptr), m_bStop(false), m_bCh1State(false), m_bCh2State(false), m_StdId(171),
      m_ExtId(186)
{
    qDebug() << Q_FUNC_INFO << "was called";
    if (!m_Device.Open(0))
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
    m_bStop = true;
    // A stop that arrives after the thread was started but before work()
    // cleared the flag would be lost; the thread's own request is not.
    QThread *worker = thread();
    if (worker && worker != QThread::currentThread())
        worker->requestInterruption();
}

void CTransmitTh::AbortWork()
{
    m_bAbort = true;
    StopWork();
}

bool CTransmitTh::stopRequested() const
{
    return m_bStop || QThread::currentThread()->isInterruptionRequested();
}

void CTransmitTh::work()
{
    qDebug() << Q_FUNC_INFO << "was called";
    quint32 groupSumCh1 = 0;
    quint32 groupSumCh2 = 0;
    m_bStop = false;
    m_bAbort = false;
    for (auto &channel : m_bRequested) {
        for (auto &buffer : channel)
            buffer = false;
    }
    m_bAbandoned = false;
    m_End = WorkerReport();

    if (!m_Device.IsOpen()) {
        qDebug() << "Send error: device is not open";
        failed(WorkerReport::DeviceNotOpen, 0, 0);
        if (m_pObserver)
            m_pObserver->loopEnded(m_End);
        return;
    }
    if (!m_Device.ClearDMA()) {
        qDebug() << "Send error: Can't clear DMA";
        failed(WorkerReport::RequestFailed, 0, 0);
        if (m_pObserver)
            m_pObserver->loopEnded(m_End);
        return;
    }
    if (m_pObserver)
        m_pObserver->loading();
    while (!stopRequested()) {
        if (m_bCh1State && !sendGroupCh1(groupSumCh1))
            break;
        if (m_bCh2State && !sendGroupCh2(groupSumCh2))
            break;
    }
    withdrawPending();
    if (m_pObserver)
        m_pObserver->loopEnded(m_End);
}

// The first failure is why the loop ends.
void CTransmitTh::failed(WorkerReport::Cause cause, unsigned int channel, int code)
{
    if (m_End.cause != WorkerReport::Stopped)
        return;
    m_End.cause = cause;
    m_End.channel = channel;
    m_End.code = code;
}

// Each frame loaded is told of once.
void CTransmitTh::frameDone(unsigned int channel, unsigned int buffer, bool surely)
{
    if (m_bRequested[channel - 1][buffer].exchange(false, std::memory_order_relaxed) && m_pObserver)
        m_pObserver->frameDone(channel, m_Number[channel - 1][buffer], surely);
}

// Whatever way the loop ended, no frame of this run stays pending: a frame
// left behind would go out ahead of the next run's first group, and while it
// waits its controller refuses configuration mode. Only buffers whose frame
// was not seen to complete are looked at, so a loop that ended between
// groups costs no request here.
void CTransmitTh::withdrawPending()
{
    for (unsigned int channel = 1; channel <= 2; ++channel) {
        for (unsigned int buffer = 0; buffer < 3; ++buffer) {
            if (!m_bRequested[channel - 1][buffer])
                continue;
            const unsigned int address = CAN_REG_TXB0CTRL + 0x10 * buffer;
            // After an abort the buffer is not read first: withdrawing a
            // frame that has already left changes nothing.
            unsigned char ctrl = CAN_TXB_TXREQ;
            if (!aborted() && m_Device.ReadCanReg(channel, address, 1, &ctrl) == 1 &&
                !(ctrl & CAN_TXB_TXREQ)) {
                frameDone(channel, buffer, !(ctrl & (CAN_TXB_ABTF | CAN_TXB_TXERR)));
                continue;
            }
            const int code = m_Device.EndTransmit(channel, buffer);
            frameDone(channel, buffer, false);
            if (code != 1) {
                qDebug() << "Can't end transmit. Code = " << static_cast<quint16>(code);
                const WorkerReport trouble{causeOfFailure(m_Device, channel), channel, code};
                failed(trouble.cause, channel, code);
                if (m_pObserver)
                    m_pObserver->trouble(trouble);
                continue;
            }
            if (aborted())
                continue;
            // A frame already on the wire ends within its own frame time.
            for (unsigned int poll = 0; poll < kPolls; ++poll) {
                if (m_Device.ReadCanReg(channel, address, 1, &ctrl) == 1 && !(ctrl & CAN_TXB_TXREQ))
                    break;
            }
        }
    }
}

bool CTransmitTh::send(unsigned int channel, unsigned int buffer, quint32 number,
                       unsigned int priority)
{
    const unsigned char data[4] = {
        static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
        static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)};
    if (aborted()) {
        m_bAbandoned = true;
        return false;
    }
    // A frame its wait gave up on (buffers 1 and 2 of channel 1) may have
    // left meanwhile.
    frameDone(channel, buffer, false);
    m_bRequested[channel - 1][buffer].store(true, std::memory_order_relaxed);
    m_Number[channel - 1][buffer] = number;
    const int code = m_Device.SendData(channel, buffer, priority, m_StdId, m_ExtId, data, 4);
    m_bProgress.store(true, std::memory_order_relaxed);
    if (code != 1) {
        qDebug() << "SendData I/O error. Code = " << static_cast<quint16>(code);
        failed(causeOfFailure(m_Device, channel), channel, code);
        return false;
    }
    return true;
}

bool CTransmitTh::sendGroupCh1(quint32 &groupSum)
{
    if (!send(1, 0, kNumber1) || !send(1, 1, kNumber2) || !send(1, 2, kNumber3))
        return false;
    if (!checkTransmit(1, 0)) {
        if (!m_bAbandoned) {
            qDebug() << "check transmit error 1 : 0";
            failed(WorkerReport::FrameNotSent, 1, 0);
        }
        return false;
    }
    if (!send(1, 0, kNumber4, kFourthFramePriority))
        return false;
    groupSum += kNumber1 + kNumber2 + kNumber3 + kNumber4;
    checkTransmit(1, 1);
    if (m_bAbandoned || !send(1, 1, groupSum))
        return false;
    checkTransmit(1, 2);
    if (m_bAbandoned)
        return false;
    if (!checkTransmit(1, 0)) {
        if (!m_bAbandoned) {
            qDebug() << "check transmit error 1 : 0";
            failed(WorkerReport::FrameNotSent, 1, 0);
        }
        return false;
    }
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
            failed(WorkerReport::FrameNotSent, 2, 0);
            return false;
        }
        withdrawn = true;
        if (stopRequested())
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
        if (aborted()) {
            m_bAbandoned = true;
            return false;
        }
        status = m_Device.CheckTransmit(channel, buffer);
        m_bProgress.store(true, std::memory_order_relaxed);
        if (status == 1) {
            frameDone(channel, buffer, true);
            return true;
        }
        if (stopRequested() && !worthWaitingAfterStop(channel, status, sinceStop)) {
            // A read that failed is said, as it would be after the polls.
            if (status == kStatusReadFailed) {
                qDebug() << "CheckTransmit I/O error. Code = " << static_cast<quint16>(status);
                failed(causeOfFailure(m_Device, channel), channel, status);
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
        failed(trouble.cause, channel, status);
    else if (m_pObserver)
        m_pObserver->trouble(trouble);
    const int code = m_Device.EndTransmit(channel, buffer);
    frameDone(channel, buffer, false);
    if (code != 1) {
        qDebug() << "Can't end transmit. Code = " << static_cast<quint16>(code);
        const WorkerReport endFailed{causeOfFailure(m_Device, channel), channel, code};
        failed(endFailed.cause, channel, code);
        if (m_pObserver)
            m_pObserver->trouble(endFailed);
    }
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
