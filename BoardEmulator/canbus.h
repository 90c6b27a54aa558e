// The CAN bus: the nodes attached to it and how one frame at a time wins
// arbitration, travels for its exact bit count and ends in success or in an
// error frame.
#ifndef BOARDEMULATOR_CANBUS_H
#define BOARDEMULATOR_CANBUS_H

#include "canframe.h"
#include "clock.h"

#include <cstdio>
#include <optional>
#include <string>
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
    // Earliest time a start of frame could come from this node, if it has a
    // frame to send.
    virtual std::optional<Time> transmitReadyAt() const = 0;
    // The frame this node would send at a start of frame now.
    virtual CanFrame frameToTransmit() const = 0;
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
    // Every frame or error frame on the bus ends here, for every node.
    virtual void frameBoundary(Time end) = 0;
};

// Receivers must share the transmitter's nominal rate within the oscillator
// tolerance to decode a frame.
bool sameNominalRate(Time bitTimeA, Time bitTimeB);

// Where a failing frame ends, in bits from its start of frame (choice: a
// receiver at another rate flags the error within the arbitration field).
constexpr unsigned kMismatchErrorBit = 20;
// Error flag, error delimiter and intermission after an error.
constexpr unsigned kErrorFrameBits = 6 + 8 + 3;

struct CompletedFrame {
    Time end;
    std::string busName;
    CanFrame frame;
};

class CanBus
{
public:
    void attach(BusNode *node);
    void detach(BusNode *node);
    bool idle(Time t) const { return !m_busy || t >= m_frameEnd; }
    bool busy() const { return m_busy; }
    Time frameEnd() const { return m_busy ? m_frameEnd : m_freeAt; }

    // Time of the next thing the bus does by itself (a start or an end of a
    // frame), or kNever.
    Time nextEvent() const;
    // Carries out the event due at time t (t == nextEvent()).
    void process(Time t);

    // Frames that ended successfully since the last call.
    std::vector<CompletedFrame> takeCompleted();
    const CanFrame *frameOnWire() const { return m_busy ? &m_frame : nullptr; }
    BusNode *transmitter() const { return m_busy ? m_transmitter : nullptr; }

private:
    void startFrame(Time sof);
    void endFrame(Time end);

    std::vector<BusNode *> m_nodes;
    bool m_busy = false;
    Time m_freeAt = 0;
    Time m_frameEnd = 0;
    CanFrame m_frame;
    BusNode *m_transmitter = nullptr;
    enum class Outcome { Success, NoAcknowledge, ErrorFlags } m_outcome = Outcome::Success;
    std::vector<BusNode *> m_receivers;   // decode the frame
    std::vector<BusNode *> m_misreaders;  // listen at another rate
    std::vector<BusNode *> m_collisions;  // same identifier, other data: bit error
    std::vector<BusNode *> m_sameFrame;   // transmitters of the frame on the wire
    std::vector<CompletedFrame> m_completed;
};

} // namespace boardemu

#endif
