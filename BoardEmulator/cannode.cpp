#include "cannode.h"

#include <algorithm>

namespace boardemu {

namespace fault {
// ISO 11898-1 fault confinement.
constexpr int kTransmitErrorStep = 8;
constexpr int kErrorPassiveLimit = 128;
constexpr int kBusOffLimit = 256;
constexpr int kRecCeiling = 255;             // choice: REC stops at its 8-bit maximum
constexpr int kRecAfterPassiveSuccess = 119; // "a value between 119 and 127"
constexpr int kRecoverySequences = 128; // of 11 recessive bits each
constexpr int kRecoverySequenceBits = 11;
constexpr int kSuspendTransmissionBits = 8;
} // namespace fault

void CanNode::countTransmitSuccess(Time t)
{
    m_transmittedThisFrame = true;
    if (m_tec > 0)
        --m_tec;
    errorStateChanged(t);
}

void CanNode::countTransmitError(TransmitError error, Time t)
{
    m_transmittedThisFrame = true;
    // An error-passive transmitter whose only error is a missing
    // acknowledgement does not count it.
    if (error == TransmitError::NoAcknowledge && errorPassive())
        return;
    if (!m_tecFrozen)
        m_tec += fault::kTransmitErrorStep;
    if (m_tec >= fault::kBusOffLimit && !m_busOff) {
        m_busOff = true;
        m_tec = fault::kBusOffLimit;
        m_recoverySequences = 0;
        m_recessiveSince = t;
        m_recoveryAt = t + fault::kRecoverySequences * fault::kRecoverySequenceBits * bitTime();
    }
    errorStateChanged(t);
}

void CanNode::countReceiveSuccess(Time t)
{
    if (m_rec >= fault::kErrorPassiveLimit)
        m_rec = fault::kRecAfterPassiveSuccess;
    else if (m_rec > 0)
        --m_rec;
    errorStateChanged(t);
}

void CanNode::countReceiveError(Time t)
{
    m_rec = std::min(m_rec + 1, fault::kRecCeiling);
    errorStateChanged(t);
}

void CanNode::clearErrorCounters(Time t)
{
    m_tec = m_rec = 0;
    m_busOff = false;
    m_recoveryAt = kNever;
    m_suspendUntil = 0;
    errorStateChanged(t);
}

void CanNode::process(Time t)
{
    if (m_busOff && t >= m_recoveryAt && !m_neverRecovers) {
        m_busOff = false;
        m_recoveryAt = kNever;
        m_tec = m_rec = 0;
        errorStateChanged(t);
        recoveredFromBusOff(t);
    }
}

// Bus-off recovery needs 128 stretches of 11 recessive bits: an idle bus
// gives one every 11 bit times, a frame only the one at its end (ACK
// delimiter, end of frame and intermission, or error delimiter and
// intermission).
void CanNode::busActivity(Time sof)
{
    if (!m_busOff)
        return;
    if (sof > m_recessiveSince)
        m_recoverySequences += int((sof - m_recessiveSince) / (fault::kRecoverySequenceBits * bitTime()));
    m_recoveryAt = kNever; // not while the frame lasts
}

// An error-passive node that has just transmitted waits 8 more recessive bits
// after the intermission; a frame that another node starts first cancels the
// wait.
void CanNode::frameBoundary(Time, Time busFreeAt)
{
    if (m_busOff && m_recoveryAt == kNever) {
        ++m_recoverySequences;
        m_recessiveSince = busFreeAt;
        const int left = std::max(0, fault::kRecoverySequences - m_recoverySequences);
        m_recoveryAt = busFreeAt + Time(left) * fault::kRecoverySequenceBits * bitTime();
    }
    m_suspendUntil = m_transmittedThisFrame && errorPassive()
                         ? busFreeAt + fault::kSuspendTransmissionBits * bitTime()
                         : 0;
    m_transmittedThisFrame = false;
}

void CanNode::saveCycleState(CycleState &state) const
{
    state.value(m_tec);
    state.value(m_rec);
    state.value(m_busOff);
    state.deadline(m_recoveryAt);
    state.value(m_recoverySequences);
    state.cycleTime(m_recessiveSince);
    state.cycleTime(m_suspendUntil);
    state.value(m_transmittedThisFrame);
}

void CanNode::shiftCycleTimes(Time now, Time delta)
{
    CycleState::shift(m_suspendUntil, now, delta);
    CycleState::shift(m_recessiveSince, now, delta);
}

} // namespace boardemu
