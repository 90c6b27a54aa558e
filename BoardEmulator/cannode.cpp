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
constexpr int kBusOffRecoveryBits = 128 * 11;
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
    m_tec += fault::kTransmitErrorStep;
    if (m_tec >= fault::kBusOffLimit && !m_busOff) {
        m_busOff = true;
        m_tec = fault::kBusOffLimit;
        m_recoveryAt = t + fault::kBusOffRecoveryBits * bitTime();
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
    if (m_busOff && t >= m_recoveryAt) {
        m_busOff = false;
        m_recoveryAt = kNever;
        m_tec = m_rec = 0;
        errorStateChanged(t);
        recoveredFromBusOff(t);
    }
}

// An error-passive node that has just transmitted waits 8 more recessive bits
// after the intermission; a frame that another node starts first cancels the
// wait.
void CanNode::frameBoundary(Time, Time busFreeAt)
{
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
    state.cycleTime(m_suspendUntil);
    state.value(m_transmittedThisFrame);
}

void CanNode::shiftCycleTimes(Time now, Time delta)
{
    CycleState::shift(m_suspendUntil, now, delta);
}

} // namespace boardemu
