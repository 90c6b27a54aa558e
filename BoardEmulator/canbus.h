// The CAN bus: the nodes attached to it and how one frame at a time wins
// arbitration, travels for its exact bit count and ends in success or in an
// error frame.
#ifndef BOARDEMULATOR_CANBUS_H
#define BOARDEMULATOR_CANBUS_H

#include "canframe.h"
#include "clock.h"
#include "cyclestate.h"

#include <optional>
#include <string>
#include <array>
#include <vector>

namespace boardemu {

enum class TransmitError {
    NoAcknowledge, // nobody acknowledged; the error counter may stay put if passive
    BitError,      // an error flag or a recessive bit overwritten: always counted
};

class BusNode
{
public:
    virtual ~BusNode() = default;
    virtual std::string busName() const = 0;
    // Nominal bit time in nanoseconds.
    virtual Time bitTime() const = 0;
    // Whether that bit time is in force: not while a controller is in
    // configuration mode, where its timing is being set.
    virtual bool timingInForce() const { return true; }
    // Earliest time a start of frame could come from this node, if it has a
    // frame to send.
    virtual std::optional<Time> transmitReadyAt() const = 0;
    // The frame this node would send at a start of frame now.
    virtual CanFrame frameToTransmit() const = 0;
    // Whose the frame to transmit is, for a node that sends for others.
    virtual const void *frameOwner() const { return nullptr; }
    virtual void transmissionStarted(Time sof) = 0;
    virtual void transmissionSucceeded(Time end) = 0;
    virtual void transmissionFailed(Time end, TransmitError error) = 0;
    virtual void arbitrationLost(Time sof) = 0;
    // Takes part in the bus at time t: receives, and may acknowledge.
    virtual bool listens(Time t) const = 0;
    virtual bool acknowledges(Time t) const = 0;
    // Sends active error flags when it sees an error.
    virtual bool sendsErrorFlags(Time t) const = 0;
    virtual void frameReceived(const CanFrame &frame, Time end) = 0;
    virtual void receiveError(Time end) = 0;
    // A start of frame that this node does not take part in (it may wake).
    virtual void busActivity(Time) {}
    // Every frame or error frame on the bus ends here, for every node; the
    // bus is free for the next start of frame after the intermission.
    virtual void frameBoundary(Time end, Time busFreeAt) = 0;
    // The node's own timers.
    virtual Time nextEvent() const = 0;
    virtual void process(Time t) = 0;
    // For skipping repeated cycles (see cyclestate.h).
    virtual void saveCycleState(CycleState &state) const = 0;
    virtual void shiftCycleTimes(Time now, Time delta) = 0;
};

// Receivers must share the transmitter's nominal rate within the oscillator
// tolerance to decode a frame.
bool sameNominalRate(Time bitTimeA, Time bitTimeB);

// Choices where the standard leaves the timing open, kept together.
namespace busChoice {
// A receiver at another rate flags the error within the arbitration field:
// its error flag starts after this many bits of the frame.
constexpr unsigned kMismatchErrorBit = 20;
// Nodes at different rates that start together see each other's bits as
// errors from the second bit on.
constexpr unsigned kStartTogetherErrorBit = 2;
// An error flag that the other error-active nodes answer with their own (they
// see it as a stuff error after its sixth bit) stays dominant this long; an
// error flag at another rate lasts in the slower node's bits. A missing
// acknowledgement is flagged by the transmitters alone: 6 bits.
constexpr unsigned kAnsweredErrorFlagBits = 12;
} // namespace busChoice

// ISO 11898-1 frame tail.
constexpr unsigned kErrorFlagBits = 6;
constexpr unsigned kErrorDelimiterBits = 8;
constexpr unsigned kIntermissionBits = 3;

struct CompletedFrame {
    Time end;
    std::string busName;
    CanFrame frame;
    const void *owner = nullptr; // whose it was, where its sender keeps that
};

// An error seen on the bus, as Linux's CAN error frames tell it: the class
// bits of the identifier and the eight data bytes.
struct BusErrorEvent {
    Time end;            // of the error frame
    std::string busName; // the sender of the frame that failed
    uint32_t errorClass;
    std::array<uint8_t, 8> data;
};

class CanBus
{
public:
    void attach(BusNode *node);
    bool idle(Time t) const { return !m_busy || t >= m_end; }
    bool busy() const { return m_busy; }

    // Time of the next thing the bus does by itself (a start or an end of a
    // frame), or kNever.
    Time nextEvent() const;
    // Carries out the event due at time t (t == nextEvent()); true when a
    // frame or error frame ended.
    bool process(Time t);

    // Frames that ended successfully since the last call.
    std::vector<CompletedFrame> takeCompleted();
    // Errors seen since the last call: a frame nobody acknowledged, bit
    // errors of transmitters that collided, flags of a node at another rate.
    std::vector<BusErrorEvent> takeErrors();
    const CanFrame *frameOnWire() const { return m_busy ? &m_frame : nullptr; }

    void saveCycleState(CycleState &state) const;
    void shiftCycleTimes(Time now, Time delta);

private:
    enum class Outcome { Success, NoAcknowledge, ErrorFlags };

    void startFrame(Time sof);
    bool startAtMixedRates(Time sof, const std::vector<BusNode *> &contenders);
    std::vector<BusNode *> arbitrate(Time sof, const std::vector<BusNode *> &contenders);
    unsigned sendTogether(Time sof, const std::vector<BusNode *> &winners);
    Time listen(Time sof, const std::vector<BusNode *> &winners, Time bitTime, bool *acknowledged);
    void endFrame(Time end);
    void endWithError(Time sof, Time bitTime, unsigned flagStart, Time flagBitTime);

    std::vector<BusNode *> m_nodes;
    bool m_busy = false;
    Time m_end = 0;    // end of the frame's end of frame, or of the error delimiter
    Time m_freeAt = 0; // after the intermission
    Outcome m_outcome = Outcome::Success;
    bool m_activeErrorFlag = false; // the failure was signalled with an active error flag
    CanFrame m_frame;
    BusNode *m_sender = nullptr;
    std::vector<BusNode *> m_transmitters; // still sending at the end
    std::vector<BusNode *> m_activeTransmitters; // of those, error-active at the start
    std::vector<BusNode *> m_droppedOut;   // error-passive losers of a data collision
    std::vector<BusNode *> m_receivers;    // decode the frame
    std::vector<BusNode *> m_misreaders;   // listen at another rate
    std::vector<CompletedFrame> m_completed;
    std::vector<BusErrorEvent> m_errors;
    uint8_t m_protocolError = 0; // what the error flags of the frame on the wire are for
};

} // namespace boardemu

#endif
