// A node of somebody else's on the bus, sending one frame periodically. It is
// a CAN node like the controllers: it acknowledges what it can decode, sends
// error flags while error-active, and goes error-passive and bus-off after
// its errors.
#ifndef BOARDEMULATOR_FOREIGNNODE_H
#define BOARDEMULATOR_FOREIGNNODE_H

#include "cannode.h"
#include "settings.h"

namespace boardemu {

class ForeignNode : public CanNode
{
public:
    // Without a rate of its own it runs at that of rateSource, the
    // controller of its channel.
    ForeignNode(const ForeignNodeSettings &settings, const BusNode *rateSource);

    unsigned sent() const { return m_sent; }

    std::string busName() const override { return "can2"; }
    Time bitTime() const override;
    std::optional<Time> transmitReadyAt() const override;
    CanFrame frameToTransmit() const override { return m_settings.frame; }
    void transmissionStarted(Time) override {}
    void transmissionSucceeded(Time end) override;
    void transmissionFailed(Time end, TransmitError error) override;
    void arbitrationLost(Time) override {}
    bool listens(Time) const override { return !busOff(); }
    bool acknowledges(Time) const override { return !busOff(); }
    bool sendsErrorFlags(Time) const override { return errorActive(); }
    void frameReceived(const CanFrame &, Time end) override { countReceiveSuccess(end); }
    void receiveError(Time end) override { countReceiveError(end); }
    void saveCycleState(CycleState &state) const override;

private:
    ForeignNodeSettings m_settings;
    const BusNode *m_rateSource;
    Time m_nextAt;
    unsigned m_sent = 0;
};

} // namespace boardemu

#endif
