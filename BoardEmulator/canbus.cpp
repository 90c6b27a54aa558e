#include "canbus.h"

#include <algorithm>
#include <cstdlib>

namespace boardemu {

namespace {

bool contains(const std::vector<BusNode *> &nodes, const BusNode *node)
{
    return std::find(nodes.begin(), nodes.end(), node) != nodes.end();
}

// The bit a transmitter sends at a position of its frame: the stuffed frame,
// then recessive (CRC delimiter, its own ACK slot, ACK delimiter, end of frame).
char bitAt(const FrameBits &wire, size_t at)
{
    return at < wire.size() ? wire[at] : '1';
}

} // namespace

bool sameNominalRate(Time bitTimeA, Time bitTimeB)
{
    // About 1.7 % apart at most.
    return std::llabs(bitTimeA - bitTimeB) * 1000 <= 17 * std::max(bitTimeA, bitTimeB);
}

void CanBus::attach(BusNode *node)
{
    m_nodes.push_back(node);
}

Time CanBus::nextEvent() const
{
    if (m_busy)
        return m_end;
    Time next = kNever;
    for (BusNode *node : m_nodes) {
        if (auto ready = node->transmitReadyAt())
            next = std::min(next, std::max(*ready, m_freeAt));
    }
    return next;
}

bool CanBus::process(Time t)
{
    if (m_busy) {
        endFrame(t);
        return true;
    }
    startFrame(t);
    return false;
}

// An error flag starts after flagStart bits of the frame and is answered by
// the others; the error delimiter follows it, then the intermission.
void CanBus::endWithError(Time sof, Time bitTime, unsigned flagStart, Time flagBitTime)
{
    m_outcome = Outcome::ErrorFlags;
    m_end = sof + Time(flagStart) * bitTime +
            Time(busChoice::kAnsweredErrorFlagBits + kErrorDelimiterBits) * flagBitTime;
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

    m_busy = true;
    m_transmitters.clear();
    m_droppedOut.clear();
    m_receivers.clear();
    m_misreaders.clear();
    m_activeErrorFlag = true;
    m_sender = contenders.front();
    m_frame = m_sender->frameToTransmit();
    if (startAtMixedRates(sof, contenders))
        return;
    const std::vector<BusNode *> winners = arbitrate(sof, contenders);
    const unsigned collisionFlagStart = sendTogether(sof, winners);
    const Time bitTime = winners.front()->bitTime();
    bool acknowledged = false;
    const Time mismatchFlagBitTime = listen(sof, winners, bitTime, &acknowledged);
    m_activeTransmitters.clear();
    for (BusNode *node : m_transmitters) {
        if (node->sendsErrorFlags(sof))
            m_activeTransmitters.push_back(node);
    }

    if (collisionFlagStart) {
        m_protocolError = canerror::kBitError;
        endWithError(sof, bitTime, collisionFlagStart, bitTime);
    } else if (mismatchFlagBitTime > 0) {
        m_protocolError = canerror::kStuffError;
        endWithError(sof, bitTime, std::min(busChoice::kMismatchErrorBit, stuffedBitsThroughCrc(m_frame)),
                     std::max(bitTime, mismatchFlagBitTime));
    } else if (!acknowledged) {
        // The transmitters' error flags start after the ACK slot; passive
        // ones are recessive and leave the frame whole for the listeners.
        m_outcome = Outcome::NoAcknowledge;
        m_activeErrorFlag = !m_activeTransmitters.empty();
        m_end = sof + Time(bitsThroughAckSlot(m_frame) + kErrorFlagBits + kErrorDelimiterBits) * bitTime;
    } else {
        m_outcome = Outcome::Success;
        m_end = sof + Time(frameBitCount(m_frame) - kIntermissionBits) * bitTime;
    }
    m_freeAt = m_end + Time(kIntermissionBits) * bitTime;
}

// Nodes at different rates that start together are not arbitrated against
// each other: each sees the other's bits as errors. True when it was so.
bool CanBus::startAtMixedRates(Time sof, const std::vector<BusNode *> &contenders)
{
    Time slowest = 0;
    bool mixedRates = false;
    for (BusNode *node : contenders) {
        mixedRates = mixedRates || !sameNominalRate(node->bitTime(), m_sender->bitTime());
        slowest = std::max(slowest, node->bitTime());
    }
    if (!mixedRates)
        return false;
    m_transmitters = contenders;
    for (BusNode *node : contenders)
        node->transmissionStarted(sof);
    for (BusNode *node : m_nodes) {
        if (contains(contenders, node))
            continue;
        if (node->listens(sof))
            m_misreaders.push_back(node);
        else
            node->busActivity(sof);
    }
    m_protocolError = canerror::kBitError;
    endWithError(sof, slowest, busChoice::kStartTogetherErrorBit, slowest);
    m_freeAt = m_end + Time(kIntermissionBits) * slowest;
    return true;
}

// Arbitration: the lowest key wins; the others become receivers.
std::vector<BusNode *> CanBus::arbitrate(Time sof, const std::vector<BusNode *> &contenders)
{
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
    return winners;
}

// Winners with the same identifier but other bits: at the first bit where
// they differ, the nodes sending recessive see dominant, a bit error. An
// error-active one answers with an error flag that destroys the frame for
// every node (returns the bit after which it starts, else 0); an
// error-passive one drops out and disturbs nobody.
unsigned CanBus::sendTogether(Time sof, const std::vector<BusNode *> &winners)
{
    std::vector<FrameBits> wires;
    if (winners.size() > 1) {
        for (BusNode *node : winners)
            wires.push_back(stuffedBitsThroughCrcOnWire(node->frameToTransmit()));
    }
    std::vector<size_t> active(winners.size());
    for (size_t i = 0; i < winners.size(); ++i)
        active[i] = i;
    size_t length = 0;
    for (const FrameBits &wire : wires)
        length = std::max(length, wire.size());
    unsigned collisionFlagStart = 0;
    for (size_t at = 0; at < length && active.size() > 1 && !collisionFlagStart; ++at) {
        bool dominant = false;
        for (size_t i : active)
            dominant = dominant || bitAt(wires[i], at) == '0';
        if (!dominant)
            continue;
        std::vector<size_t> stillSending;
        for (size_t i : active) {
            if (bitAt(wires[i], at) == '0')
                stillSending.push_back(i);
            else if (winners[i]->sendsErrorFlags(sof))
                collisionFlagStart = unsigned(at + 1);
            else
                m_droppedOut.push_back(winners[i]);
        }
        active = stillSending;
    }
    for (BusNode *node : winners)
        node->transmissionStarted(sof);
    if (collisionFlagStart) {
        m_transmitters = winners;
        m_droppedOut.clear();
    } else {
        for (size_t i : active)
            m_transmitters.push_back(winners[i]);
        m_sender = m_transmitters.front();
        m_frame = m_sender->frameToTransmit();
    }
    return collisionFlagStart;
}

// Everybody else listens. A transmitter never acknowledges, not even an
// identical frame that another node sends at the same time. Returns the bit
// time of the slowest node at another rate that flags the frame (0: none).
Time CanBus::listen(Time sof, const std::vector<BusNode *> &winners, Time bitTime, bool *acknowledged)
{
    Time mismatchFlagBitTime = 0;
    for (BusNode *node : m_nodes) {
        if (contains(winners, node))
            continue;
        if (!node->listens(sof)) {
            node->busActivity(sof);
            continue;
        }
        if (sameNominalRate(node->bitTime(), bitTime)) {
            m_receivers.push_back(node);
            *acknowledged = *acknowledged || node->acknowledges(sof);
        } else {
            m_misreaders.push_back(node);
            if (node->sendsErrorFlags(sof))
                mismatchFlagBitTime = std::max(mismatchFlagBitTime, node->bitTime());
        }
    }
    return mismatchFlagBitTime;
}

// Success flags are set at the end of the end-of-frame field, before the
// intermission.
void CanBus::endFrame(Time end)
{
    m_busy = false;
    switch (m_outcome) {
    case Outcome::Success: {
        const void *owner = m_sender->frameOwner();
        for (BusNode *node : m_transmitters)
            node->transmissionSucceeded(end);
        for (BusNode *node : m_receivers)
            node->frameReceived(m_frame, end);
        m_completed.push_back({end, m_sender->busName(), m_frame, owner});
        break;
    }
    case Outcome::NoAcknowledge:
        m_errors.push_back({end, m_sender->busName(), canerror::kNoAck, {}});
        // An error-passive transmitter is spared only if its own flag met no
        // dominant bit; another transmitter's active flag is one.
        for (BusNode *node : m_transmitters)
            node->transmissionFailed(end, m_activeErrorFlag && !contains(m_activeTransmitters, node)
                                              ? TransmitError::BitError
                                              : TransmitError::NoAcknowledge);
        for (BusNode *node : m_receivers) {
            if (m_activeErrorFlag)
                node->receiveError(end);
            else
                node->frameReceived(m_frame, end);
        }
        break;
    case Outcome::ErrorFlags:
        m_errors.push_back({end, m_sender->busName(), canerror::kProtocol | canerror::kBusError,
                            {0, 0, m_protocolError, 0, 0, 0, 0, 0}});
        for (BusNode *node : m_transmitters)
            node->transmissionFailed(end, TransmitError::BitError);
        for (BusNode *node : m_receivers)
            node->receiveError(end);
        break;
    }
    for (BusNode *node : m_droppedOut)
        node->transmissionFailed(end, TransmitError::BitError);
    for (BusNode *node : m_misreaders)
        node->receiveError(end);
    for (BusNode *node : m_nodes)
        node->frameBoundary(end, m_freeAt);
}

std::vector<BusErrorEvent> CanBus::takeErrors()
{
    std::vector<BusErrorEvent> errors;
    errors.swap(m_errors);
    return errors;
}

std::vector<CompletedFrame> CanBus::takeCompleted()
{
    std::vector<CompletedFrame> completed;
    completed.swap(m_completed);
    return completed;
}

void CanBus::saveCycleState(CycleState &state) const
{
    state.value(m_busy);
    state.cycleTime(m_end);
    state.cycleTime(m_freeAt);
}

void CanBus::shiftCycleTimes(Time now, Time delta)
{
    CycleState::shift(m_end, now, delta);
    CycleState::shift(m_freeAt, now, delta);
}

} // namespace boardemu
