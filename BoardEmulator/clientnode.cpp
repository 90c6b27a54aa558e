#include "clientnode.h"

#include "cyclestate.h"

#include <algorithm>

namespace boardemu {

bool ClientNode::queue(const CanFrame &frame, Time t)
{
    if (busOff() || m_frames.size() >= kQueueLimit)
        return false;
    m_frames.push_back({frame, t});
    return true;
}

std::optional<Time> ClientNode::transmitReadyAt() const
{
    if (busOff() || m_frames.empty())
        return std::nullopt;
    return std::max(m_frames.front().from, suspendedUntil());
}

void ClientNode::transmissionSucceeded(Time end)
{
    m_frames.pop_front();
    ++m_sent;
    countTransmitSuccess(end);
}

void ClientNode::saveCycleState(CycleState &state) const
{
    CanNode::saveCycleState(state);
    state.value(m_frames.size());
    state.value(m_sent);
}

} // namespace boardemu
