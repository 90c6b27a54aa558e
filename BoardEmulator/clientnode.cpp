#include "clientnode.h"

#include "cyclestate.h"

#include <algorithm>

namespace boardemu {

bool ClientNode::queue(const CanFrame &frame, Time t, const void *owner)
{
    if (busOff() || m_frames.size() >= kQueueLimit)
        return false;
    // In the order of their times, and of their coming for equal times; a
    // frame being sent stays first.
    auto at = std::upper_bound(m_frames.begin() + (m_onWire ? 1 : 0), m_frames.end(), t,
                               [](Time time, const Queued &queued) { return time < queued.from; });
    m_frames.insert(at, {frame, t, owner});
    return true;
}

namespace {

bool sameIdentifier(const CanFrame &a, const CanFrame &b)
{
    return a.extended == b.extended && a.id == b.id;
}

} // namespace

void ClientNode::withdraw(const CanFrame &id, Time t, const void *owner)
{
    const auto from = m_frames.begin() + (m_onWire ? 1 : 0);
    m_frames.erase(std::remove_if(from, m_frames.end(),
                                  [&](const Queued &q) {
                                      return q.owner == owner && q.from > t && sameIdentifier(q.frame, id);
                                  }),
                   m_frames.end());
}

void ClientNode::replaceData(const CanFrame &frame, Time t, const void *owner)
{
    for (auto it = m_frames.begin() + (m_onWire ? 1 : 0); it != m_frames.end(); ++it) {
        if (it->owner == owner && it->from > t && sameIdentifier(it->frame, frame))
            it->frame = frame;
    }
}

// While its segment's controller is in configuration mode (as from power-up
// until a program sets the bit timing) there is no rate to send at: the
// frames wait, as they do for a bus-off node.
std::optional<Time> ClientNode::transmitReadyAt() const
{
    if (busOff() || m_frames.empty() || !m_rateSource->timingInForce())
        return std::nullopt;
    return std::max(m_frames.front().from, suspendedUntil());
}

void ClientNode::transmissionSucceeded(Time end)
{
    m_onWire = false;
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
