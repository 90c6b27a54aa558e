#include "TransmitTh.h"

#include <QDebug>
#include <QThread>

namespace {

// The four numbers of every test group; the fifth frame carries their sum.
const quint32 kNumber1 = 41;
const quint32 kNumber2 = 18467;
const quint32 kNumber3 = 6334;
const quint32 kNumber4 = 1930;
const unsigned int kPolls = 1500;

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
            return;
        if (m_bCh2State && !sendGroupCh2(groupSumCh2))
            return;
    }
}

bool CTransmitTh::send(unsigned int channel, unsigned int buffer, quint32 number,
                       unsigned int priority)
{
    const unsigned char data[4] = {
        static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
        static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)};
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
        qDebug() << "check transmit error 1 : 0";
        return false;
    }
    if (!send(1, 0, kNumber4, kFourthFramePriority))
        return false;
    groupSum += kNumber1 + kNumber2 + kNumber3 + kNumber4;
    checkTransmit(1, 1);
    if (!send(1, 1, groupSum))
        return false;
    checkTransmit(1, 2);
    if (!checkTransmit(1, 0)) {
        qDebug() << "check transmit error 1 : 0";
        return false;
    }
    checkTransmit(1, 1);
    emit SetLabelSendedCh1();
    groupSum = 0;
    return true;
}

// Waits for a channel-2 buffer; a buffer that never completes is given up
// when a stop is requested, so that the loop always reaches its end.
bool CTransmitTh::waitCh2(unsigned int buffer)
{
    while (!checkTransmit(2, buffer)) {
        if (stopRequested())
            return false;
    }
    return true;
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
    for (unsigned int poll = 0; poll < kPolls; ++poll) {
        status = m_Device.CheckTransmit(channel, buffer);
        if (status == 1)
            return true;
    }
    if (buffer != 0)
        return true;
    qDebug() << "CheckTransmit I/O error. Code = " << static_cast<quint16>(status);
    const int code = m_Device.EndTransmit(channel, buffer);
    if (code != 1)
        qDebug() << "Can't end transmit. Code = " << static_cast<quint16>(code);
    return false;
}
