// The node through which clients of the socketcand bridge put frames on the
// bus: like a foreign node, it arbitrates, is acknowledged or not, counts its
// errors and retries, at the rate of its segment's controller (and not while that
// controller is in configuration mode: its frames wait). It sends what
// it is given, in order, each as soon as the bus lets it.
//
// It takes part in the bus only with frames of its own: it neither
// acknowledges other nodes' frames nor flags them, so that turning the
// bridge on to watch a run changes nothing in it (a lone channel still
// misses its acknowledgement, a channel at another rate is still flagged
// only by the controllers). Frames may be given ahead of their time (cyclic
// jobs): they go out in the order of their times.
#ifndef BOARDEMULATOR_CLIENTNODE_H
#define BOARDEMULATOR_CLIENTNODE_H

#include "cannode.h"

#include <deque>

namespace boardemu {

class ClientNode : public CanNode
{
public:
    // Frames waiting to be sent, at most; a client's frame beyond them is
    // refused.
    static constexpr size_t kQueueLimit = 64;

    explicit ClientNode(const BusNode *rateSource) : m_rateSource(rateSource) {}

    // Queued to go out from time t on; false when the queue is full or the
    // node is bus-off.
    bool queue(const CanFrame &frame, Time t, const void *owner = nullptr);
    size_t queued() const { return m_frames.size(); }
    // Frames with the identifier queued to go out after time t: taken back,
    // or given new data (a frame due by then may be on the wire).
    void withdraw(const CanFrame &id, Time t, const void *owner);
    void replaceData(const CanFrame &frame, Time t, const void *owner);
    unsigned sent() const { return m_sent; }

    std::string busName() const override { return "can3"; }
    Time bitTime() const override { return m_rateSource->bitTime(); }
    std::optional<Time> transmitReadyAt() const override;
    CanFrame frameToTransmit() const override { return m_frames.front().frame; }
    const void *frameOwner() const override { return m_frames.empty() ? nullptr : m_frames.front().owner; }
    void transmissionStarted(Time) override { m_onWire = true; }
    void transmissionSucceeded(Time end) override;
    void transmissionFailed(Time end, TransmitError error) override
    {
        m_onWire = false;
        countTransmitError(error, end);
    }
    void arbitrationLost(Time) override { m_onWire = false; }
    bool listens(Time) const override { return false; }
    bool acknowledges(Time) const override { return false; }
    bool sendsErrorFlags(Time) const override { return errorActive(); }
    void frameReceived(const CanFrame &, Time) override {}
    void receiveError(Time) override {}
    void saveCycleState(CycleState &state) const override;

private:
    struct Queued {
        CanFrame frame;
        Time from;
        const void *owner;
    };
    const BusNode *m_rateSource;
    std::deque<Queued> m_frames;
    bool m_onWire = false; // the first frame is being sent: it stays first
    unsigned m_sent = 0;
};

} // namespace boardemu

#endif
