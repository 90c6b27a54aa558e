#include "clientnode.h"

#include "cyclestate.h"

#include <algorithm>

namespace boardemu {

bool ClientNode::queue(const CanFrame &frame, Time t)
{
    if (busOff() || m_frames.size() >= kQueueLimit)
        return false;
    // In the order of their times, and of their coming for equal times.
    const auto at = std::upper_bound(m_frames.begin(), m_frames.end(), t,
                                     [](Time time, const Queued &queued) { return time < queued.from; });
    m_frames.insert(at, {frame, t});
    return true;
}

namespace {

bool sameIdentifier(const CanFrame &a, const CanFrame &b)
{
    return a.extended == b.extended && a.id == b.id;
}

} // namespace

void ClientNode::withdraw(const CanFrame &id, Time t)
{
    m_frames.erase(std::remove_if(m_frames.begin(), m_frames.end(),
                                  [&](const Queued &q) { return q.from > t && sameIdentifier(q.frame, id); }),
                   m_frames.end());
}

void ClientNode::replaceData(const CanFrame &frame, Time t)
{
    for (Queued &q : m_frames) {
        if (q.from > t && sameIdentifier(q.frame, frame))
            q.frame = frame;
    }
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
