#include "canbus.h"

#include <algorithm>
#include <cstdlib>

namespace boardemu {

bool sameNominalRate(Time bitTimeA, Time bitTimeB)
{
    // About 1.7 % apart at most.
    return std::llabs(bitTimeA - bitTimeB) * 1000 <= 17 * std::max(bitTimeA, bitTimeB);
}

void CanBus::attach(BusNode *node)
{
    m_nodes.push_back(node);
}

void CanBus::detach(BusNode *node)
{
    m_nodes.erase(std::remove(m_nodes.begin(), m_nodes.end(), node), m_nodes.end());
}

Time CanBus::nextEvent() const
{
    if (m_busy)
        return m_frameEnd;
    Time next = kNever;
    for (BusNode *node : m_nodes) {
        if (auto ready = node->transmitReadyAt())
            next = std::min(next, std::max(*ready, m_freeAt));
    }
    return next;
}

void CanBus::process(Time t)
{
    if (m_busy)
        endFrame(t);
    else
        startFrame(t);
}

void CanBus::startFrame(Time sof)
{
    std::vector<BusNode *> contenders;
    for (BusNode *node : m_nodes) {
        auto ready = node->transmitReadyAt();
        if (ready && *ready <= sof)
            contenders.push_back(node);
    }
    if (contenders.empty())
        return;

    // Arbitration: the lowest key wins; equal keys keep transmitting together.
    uint64_t best = UINT64_MAX;
    for (BusNode *node : contenders)
        best = std::min(best, node->frameToTransmit().arbitrationKey());
    std::vector<BusNode *> winners;
    for (BusNode *node : contenders) {
        if (node->frameToTransmit().arbitrationKey() == best)
            winners.push_back(node);
        else
            node->arbitrationLost(sof);
    }

    // Two nodes sending the same identifier: identical frames are one frame
    // on the wire. Different data: at the first differing bit the node
    // sending recessive sees dominant and takes a bit error (choice: the
    // other node's frame goes on and is acknowledged as usual).
    m_collisions.clear();
    BusNode *transmitter = winners.front();
    for (size_t i = 1; i < winners.size(); ++i) {
        const CanFrame a = transmitter->frameToTransmit();
        const CanFrame b = winners[i]->frameToTransmit();
        if (a.sameOnWire(b))
            continue;
        const std::string bitsA = frameBitsThroughCrc(a);
        const std::string bitsB = frameBitsThroughCrc(b);
        size_t at = 0;
        while (at < bitsA.size() && at < bitsB.size() && bitsA[at] == bitsB[at])
            ++at;
        const bool aRecessive = at < bitsA.size() && bitsA[at] == '1';
        if (aRecessive) {
            m_collisions.push_back(transmitter);
            transmitter = winners[i];
        } else {
            m_collisions.push_back(winners[i]);
        }
    }
    std::vector<BusNode *> sameFrame;
    for (BusNode *node : winners) {
        if (std::find(m_collisions.begin(), m_collisions.end(), node) == m_collisions.end())
            sameFrame.push_back(node);
    }

    m_frame = transmitter->frameToTransmit();
    m_transmitter = transmitter;
    for (BusNode *node : winners)
        node->transmissionStarted(sof);

    const Time bitTime = transmitter->bitTime();
    m_receivers.clear();
    m_misreaders.clear();
    bool acknowledged = sameFrame.size() > 1;
    bool errorFlags = false;
    for (BusNode *node : m_nodes) {
        if (std::find(sameFrame.begin(), sameFrame.end(), node) != sameFrame.end())
            continue;
        const bool isCollision =
            std::find(m_collisions.begin(), m_collisions.end(), node) != m_collisions.end();
        if (!node->listens(sof))
            continue;
        if (sameNominalRate(node->bitTime(), bitTime)) {
            if (node->acknowledges(sof))
                acknowledged = true;
            if (!isCollision)
                m_receivers.push_back(node);
        } else {
            m_misreaders.push_back(node);
            if (node->sendsErrorFlags(sof))
                errorFlags = true;
        }
    }

    unsigned bits = frameBitCount(m_frame);
    if (errorFlags) {
        m_outcome = Outcome::ErrorFlags;
        bits = std::min(kMismatchErrorBit, stuffedBitsThroughCrc(m_frame)) + kErrorFrameBits;
    } else if (!acknowledged) {
        m_outcome = Outcome::NoAcknowledge;
        bits = bitsThroughAckSlot(m_frame) + kErrorFrameBits;
    } else {
        m_outcome = Outcome::Success;
    }
    m_busy = true;
    m_frameEnd = sof + Time(bits) * bitTime;
    m_sameFrame = sameFrame;
}

void CanBus::endFrame(Time end)
{
    m_busy = false;
    m_freeAt = end;
    switch (m_outcome) {
    case Outcome::Success:
        for (BusNode *node : m_sameFrame)
            node->transmissionSucceeded(end);
        for (BusNode *node : m_receivers)
            node->frameReceived(m_frame, end);
        m_completed.push_back({end, m_transmitter->busName(), m_frame});
        break;
    case Outcome::NoAcknowledge:
        for (BusNode *node : m_sameFrame)
            node->transmissionFailed(end, TransmitError::NoAcknowledge);
        break;
    case Outcome::ErrorFlags:
        for (BusNode *node : m_sameFrame)
            node->transmissionFailed(end, TransmitError::BitError);
        break;
    }
    for (BusNode *node : m_collisions)
        node->transmissionFailed(end, TransmitError::BitError);
    for (BusNode *node : m_misreaders)
        node->receiveError(end);
    m_transmitter = nullptr;
    for (BusNode *node : m_nodes)
        node->frameBoundary(end);
}

std::vector<CompletedFrame> CanBus::takeCompleted()
{
    std::vector<CompletedFrame> completed;
    completed.swap(m_completed);
    return completed;
}

} // namespace boardemu
