#include "transmitloop.h"

#include "boardsetup.h"

#include <QDebug>

void TransmitLoop::begin()
{
    m_abort = false;
    for (auto &channel : m_requested) {
        for (auto &buffer : channel)
            buffer = false;
    }
    m_end = WorkerReport();
}

void TransmitLoop::failed(WorkerReport::Cause cause, unsigned int channel, int code)
{
    if (!hasFailed())
        m_end = WorkerReport{cause, channel, code};
}

void TransmitLoop::trouble(const WorkerReport &report)
{
    if (m_observer)
        m_observer->trouble(report);
}

void TransmitLoop::loading()
{
    if (m_observer)
        m_observer->loading();
}

bool TransmitLoop::controllersIfAsked()
{
    if (!m_controllersAsked.exchange(false, std::memory_order_relaxed))
        return false;
    const ControllerHealth first = boardsetup::health(m_device, 1);
    const ControllerHealth second = boardsetup::health(m_device, 2);
    progressed();
    if (m_observer)
        m_observer->controllersRead(first, second);
    return true;
}

void TransmitLoop::finish()
{
    if (m_observer)
        m_observer->loopEnded(m_end);
}

void TransmitLoop::loaded(unsigned int channel, unsigned int buffer, quint32 number)
{
    // A frame the loop gave up waiting for may have left meanwhile.
    left(channel, buffer, false);
    m_requested[channel - 1][buffer].store(true, std::memory_order_relaxed);
    m_number[channel - 1][buffer] = number;
}

void TransmitLoop::left(unsigned int channel, unsigned int buffer, bool surely)
{
    if (m_requested[channel - 1][buffer].exchange(false, std::memory_order_relaxed) && m_observer)
        m_observer->frameDone(channel, m_number[channel - 1][buffer], surely);
}

bool TransmitLoop::withdraw(unsigned int channel, unsigned int buffer)
{
    const int code = m_device.EndTransmit(channel, buffer);
    progressed();
    left(channel, buffer, false);
    if (code == CAN_OK)
        return true;
    qDebug() << "Can't end transmit. Code = " << static_cast<quint16>(code);
    const WorkerReport report{causeOfFailure(m_device, channel), channel, code};
    failed(report.cause, channel, code);
    trouble(report);
    return false;
}

void TransmitLoop::withdrawPending()
{
    for (unsigned int channel = 1; channel <= 2; ++channel) {
        for (unsigned int buffer = 0; buffer < 3; ++buffer) {
            if (!m_requested[channel - 1][buffer])
                continue;
            const unsigned int address = CAN_REG_TXB0CTRL + 0x10 * buffer;
            // After an abort the buffer is not read first: withdrawing a
            // frame that has already left changes nothing.
            unsigned char ctrl = CAN_TXB_TXREQ;
            if (!aborted() && m_device.ReadCanReg(channel, address, 1, &ctrl) == 1 && !(ctrl & CAN_TXB_TXREQ)) {
                left(channel, buffer, !(ctrl & (CAN_TXB_ABTF | CAN_TXB_TXERR)));
                continue;
            }
            if (!withdraw(channel, buffer) || aborted())
                continue;
            // A frame already on the wire ends within its own frame time.
            for (unsigned int poll = 0; poll < transmitstop::kPolls; ++poll) {
                if (m_device.ReadCanReg(channel, address, 1, &ctrl) == 1 && !(ctrl & CAN_TXB_TXREQ))
                    break;
            }
        }
    }
}
