#include "foreignnode.h"

#include <algorithm>

namespace boardemu {

ForeignNode::ForeignNode(const ForeignNodeSettings &settings, const BusNode *rateSource)
    : m_settings(settings), m_rateSource(rateSource), m_nextAt(settings.period)
{
}

Time ForeignNode::bitTime() const
{
    return m_settings.kbps ? 1000 * kMicrosecond / m_settings.kbps : m_rateSource->bitTime();
}

std::optional<Time> ForeignNode::transmitReadyAt() const
{
    if (busOff() || (m_settings.count != 0 && m_sent >= m_settings.count))
        return std::nullopt;
    return std::max(m_nextAt, suspendedUntil());
}

void ForeignNode::transmissionSucceeded(Time end)
{
    m_nextAt += m_settings.period;
    ++m_sent;
    countTransmitSuccess(end);
}

// A failed frame is sent again at the next chance, as a controller would.
void ForeignNode::transmissionFailed(Time end, TransmitError error)
{
    countTransmitError(error, end);
}

void ForeignNode::saveCycleState(CycleState &state) const
{
    CanNode::saveCycleState(state);
    state.deadline(m_nextAt);
    state.value(m_sent);
}

} // namespace boardemu
