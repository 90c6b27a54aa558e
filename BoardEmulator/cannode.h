// What every node on the CAN bus shares, whoever built it: fault confinement
// as ISO 11898-1 has it (transmit and receive error counters, error-passive,
// bus-off and its recovery) and the suspend transmission of an error-passive
// node that has just transmitted.
#ifndef BOARDEMULATOR_CANNODE_H
#define BOARDEMULATOR_CANNODE_H

#include "canbus.h"

namespace boardemu {

class CanNode : public BusNode
{
public:
    // TEC as the node keeps it inside: up to 256 when bus-off.
    int transmitErrorCounter() const { return m_tec; }
    int receiveErrorCounter() const { return m_rec; }
    bool busOff() const { return m_busOff; }
    bool errorPassive() const { return !m_busOff && (m_tec >= 128 || m_rec >= 128); }
    bool errorActive() const { return !m_busOff && m_tec < 128 && m_rec < 128; }
    // Faults of a real board's controller: a transmit error counter that
    // never counts up, a bus-off that never ends.
    void setConfinementFaults(bool tecFrozen, bool neverRecovers)
    {
        m_tecFrozen = tecFrozen;
        m_neverRecovers = neverRecovers;
    }

    // Bus-off recovery is the node's own timer, pushed back by bus traffic.
    Time nextEvent() const override { return m_busOff && !m_neverRecovers ? m_recoveryAt : kNever; }
    void process(Time t) override;
    void busActivity(Time sof) override;
    void frameBoundary(Time end, Time busFreeAt) override;
    void saveCycleState(CycleState &state) const override;
    void shiftCycleTimes(Time now, Time delta) override;

protected:
    // The earliest start of frame that suspend transmission allows.
    Time suspendedUntil() const { return m_suspendUntil; }
    // Counting: every change of the counters ends in errorStateChanged().
    void countTransmitSuccess(Time t);
    void countTransmitError(TransmitError error, Time t);
    void countReceiveSuccess(Time t);
    void countReceiveError(Time t);
    void clearErrorCounters(Time t);
    virtual void errorStateChanged(Time) {}
    // Called once bus-off recovery has cleared the counters.
    virtual void recoveredFromBusOff(Time) {}

private:
    int m_tec = 0;
    int m_rec = 0;
    bool m_busOff = false;
    Time m_recoveryAt = kNever;
    int m_recoverySequences = 0; // stretches of 11 recessive bits seen while bus-off
    Time m_recessiveSince = 0;   // start of the recessive stretch now running
    Time m_suspendUntil = 0;
    bool m_transmittedThisFrame = false;
    bool m_tecFrozen = false;
    bool m_neverRecovers = false;
};

} // namespace boardemu

#endif
