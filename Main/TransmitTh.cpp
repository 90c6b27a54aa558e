#include "TransmitTh.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

namespace {

// The four numbers of every test group; the fifth frame carries their sum.
const quint32 kNumber1 = 41;
const quint32 kNumber2 = 18467;
const quint32 kNumber3 = 6334;
const quint32 kNumber4 = 1930;
const unsigned int kPolls = 1500;
// After a stop request a wait goes on only for a frame that is on its way:
// pending without an error flag, on a controller in normal mode, and for at
// most this long. Three frames of ours need 3 ms at 125 kbit/s; counted in
// time, not polls, since a poll's cost depends on the driver.
const qint64 kGraceAfterStopMs = 1000;
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

    if (!m_Device.IsOpen()) {
        qDebug() << "Send error: device is not open";
        return;
    }
    if (!m_Device.ClearDMA()) {
        qDebug() << "Send error: Can't clear DMA";
        return;
    }
    while (!stopRequested()) {
        if (m_bCh1State && !sendGroupCh1(groupSumCh1))
            break;
        if (m_bCh2State && !sendGroupCh2(groupSumCh2))
            break;
    }
    withdrawPending();
}

// The buffer's transmit request is set (whatever its error flags say); a
// failed read counts as pending.
bool CTransmitTh::requestPending(unsigned int channel, unsigned int buffer)
{
    unsigned char ctrl = 0;
    return m_Device.ReadCanReg(channel, CAN_REG_TXB0CTRL + 0x10 * buffer, 1, &ctrl) != 1 ||
           (ctrl & CAN_TXB_TXREQ) != 0;
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
            m_bRequested[channel - 1][buffer] = false;
            // After an abort the buffer is not read first: withdrawing a
            // frame that has already left changes nothing.
            if (!aborted() && !requestPending(channel, buffer))
                continue;
            const int code = m_Device.EndTransmit(channel, buffer);
            if (code != 1) {
                qDebug() << "Can't end transmit. Code = " << static_cast<quint16>(code);
                continue;
            }
            if (aborted())
                continue;
            // A frame already on the wire ends within its own frame time.
            for (unsigned int poll = 0; poll < kPolls && requestPending(channel, buffer); ++poll) {
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
    m_bRequested[channel - 1][buffer].store(true, std::memory_order_relaxed);
    const int code = m_Device.SendData(channel, buffer, priority, m_StdId, m_ExtId, data, 4);
    if (code != 1) {
        qDebug() << "SendData I/O error. Code = " << static_cast<quint16>(code);
        return false;
    }
    return true;
}

bool CTransmitTh::sendGroupCh1(quint32 &groupSum)
{
    if (!send(1, 0, kNumber1) || !send(1, 1, kNumber2) || !send(1, 2, kNumber3))
        return false;
    if (!checkTransmit(1, 0)) {
        if (!m_bAbandoned)
            qDebug() << "check transmit error 1 : 0";
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
        if (!m_bAbandoned)
            qDebug() << "check transmit error 1 : 0";
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
        if (status == 1) {
            m_bRequested[channel - 1][buffer].store(false, std::memory_order_relaxed);
            return true;
        }
        if (stopRequested() && !worthWaitingAfterStop(channel, status, sinceStop)) {
            // A read that failed is said, as it would be after the polls.
            if (status == kStatusReadFailed)
                qDebug() << "CheckTransmit I/O error. Code = " << static_cast<quint16>(status);
            m_bAbandoned = true;
            return false;
        }
    }
    if (buffer != 0)
        return true;
    qDebug() << "CheckTransmit I/O error. Code = " << static_cast<quint16>(status);
    const int code = m_Device.EndTransmit(channel, buffer);
    if (code != 1)
        qDebug() << "Can't end transmit. Code = " << static_cast<quint16>(code);
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
