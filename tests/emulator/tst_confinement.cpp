// Bus errors as ISO 11898-1 has them: who sees an error, who counts it, who
// acknowledges, and when a node may send again.
#include "emulatortest.h"

using namespace boardemu;

namespace {

const unsigned char kNumber41[4] = {0x29, 0x00, 0x00, 0x00};
const unsigned char kNumber40[4] = {0x28, 0x00, 0x00, 0x00};

// A third node on the bus that only listens within the tests' time (its
// first frame is an hour away), at the rate of the given channel.
EmulatorSettings withListener(unsigned channel)
{
    EmulatorSettings settings;
    settings.foreign.enabled = true;
    settings.foreign.channel = channel;
    settings.foreign.frame.id = 0x7FF;
    settings.foreign.period = 3600000 * kMillisecond;
    return settings;
}


} // namespace

class Confinement : public EmulatorTest
{
protected:
    explicit Confinement(EmulatorSettings settings = withListener(1)) : EmulatorTest(settings) {}

    int tec(unsigned channel) { return reg(channel, CAN_REG_TEC); }
    int listenerRec()
    {
        return inspect([](Board &b) { return b.foreignNode()->receiveErrorCounter(); });
    }
    // Both channels in normal mode; a test frame (identifier 0xAB/extId)
    // loaded into buffer 0 of each, then requested on both at one instant.
    void startTogether(unsigned kbps1, const unsigned char *data1, unsigned kbps2,
                       const unsigned char *data2, unsigned extId2 = 0xBA, unsigned char canctrl1 = 0)
    {
        configure(1, kbps1);
        configure(2, kbps2);
        setReg(1, CAN_REG_CANCTRL, canctrl1);
        ASSERT_EQ(device.EnableDMA(0), 1);
        setReg(1, CAN_REG_RXB0CTRL, 0x60);
        setReg(2, CAN_REG_RXB0CTRL, 0x60);
        advance(kMillisecond);
        load(1, data1, 0xBA);
        load(2, data2, extId2);
        inspect([this](Board &b) {
            b.controller(1).write(0x30, 0x08, clock->now());
            b.controller(2).write(0x30, 0x08, clock->now());
            return 0;
        });
    }
    void load(unsigned channel, const unsigned char *data, unsigned extId)
    {
        const unsigned char regs[9] = {0x15, uint8_t(0x68 | ((extId >> 16) & 3)), uint8_t(extId >> 8),
                                       uint8_t(extId), 4, data[0], data[1], data[2], data[3]};
        ASSERT_EQ(device.WriteCanReg(channel, 0x31, 9, regs), 1);
    }
    bool sent(unsigned channel)
    {
        return (reg(channel, CAN_REG_TXB0CTRL) & 0x08) == 0 && (reg(channel, CAN_REG_CANINTF) & 0x04);
    }
};

// Same identifier, other data: the node sending recessive (41 ends in a 1
// where 40 ends in a 0) sees a bit error. While it is error-active its error
// flag destroys the frame for everybody: both transmitters count 8, the
// listener counts a receive error, nobody stores anything. After 16 rounds
// both are error-passive: the loser's passive flag disturbs nobody, the
// other frame completes, and the loser's own frame follows.
TEST_F(Confinement, SameIdentifierOtherDataIsABitErrorForEveryNode)
{
    startTogether(125, kNumber41, 125, kNumber40);
    advance(kMillisecond);
    EXPECT_EQ(tec(1), 8);
    EXPECT_EQ(tec(2), 8) << "the winner counts the error flag too";
    EXPECT_EQ(listenerRec(), 1);
    EXPECT_EQ(reg(1, CAN_REG_TXB0CTRL) & 0x20, 0) << "a bit error, not lost arbitration";
    advance(50 * kMillisecond);
    EXPECT_TRUE(sent(1));
    EXPECT_TRUE(sent(2));
    EXPECT_EQ(device.CheckTransmit(1, 0), 6) << "TXERR stays from the failed attempts";
    EXPECT_EQ(tec(1), 128 + 8 - 1);
    EXPECT_EQ(tec(2), 128 - 1);
    EXPECT_EQ(listenerRec(), 16 - 2);
    EXPECT_TRUE(readBlocks(1).empty()) << "the loser was a transmitter, not a receiver";
    const auto blocks = readBlocks(2);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0][10], 0x29);
}

// A transmitter never acknowledges, not even the identical frame: with the
// listener the two identical frames are one frame and succeed together.
TEST_F(Confinement, IdenticalFramesAreAcknowledgedByTheThirdNode)
{
    startTogether(125, kNumber41, 125, kNumber41);
    advance(5 * kMillisecond);
    EXPECT_EQ(device.CheckTransmit(1, 0), 1);
    EXPECT_EQ(device.CheckTransmit(2, 0), 1);
    EXPECT_EQ(tec(1) + tec(2), 0);
    EXPECT_EQ(listenerRec(), 0);
    EXPECT_TRUE(readBlocks(1).empty());
    EXPECT_TRUE(readBlocks(2).empty());
}

// A receiver at the transmitter's rate counts the error flags that a
// receiver at another rate raises (one per attempt while that one is
// error-active), and stores nothing.
TEST_F(Confinement, EveryReceiverCountsAnErrorFlag)
{
    configure(1, 125);
    configure(2, 250);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(3 * kMillisecond);
    const int attempts = tec(1) / 8;
    EXPECT_GE(attempts, 2);
    EXPECT_EQ(listenerRec(), attempts);
    EXPECT_EQ(reg(2, CAN_REG_REC), attempts);
}

class TwoNodes : public Confinement
{
protected:
    TwoNodes() : Confinement(EmulatorSettings()) {}
};

TEST_F(TwoNodes, IdenticalFramesWithNobodyElseSeeNoAcknowledgement)
{
    startTogether(125, kNumber41, 125, kNumber41);
    advance(30 * kMillisecond);
    EXPECT_EQ(tec(1), 128);
    EXPECT_EQ(tec(2), 128);
    EXPECT_EQ(device.CheckTransmit(1, 0), 6);
    EXPECT_EQ(device.CheckTransmit(2, 0), 6);
}

// Nodes at different rates that start together are not arbitrated against
// each other: both see errors, neither lost arbitration.
TEST_F(TwoNodes, DifferentRatesStartingTogetherBothSeeErrors)
{
    startTogether(125, kNumber41, 250, kNumber41, 0xB9);
    advance(200 * kMicrosecond); // one attempt: 16 bits at 8 us
    EXPECT_EQ(tec(1), 8);
    EXPECT_EQ(tec(2), 8);
    EXPECT_EQ((reg(1, CAN_REG_TXB0CTRL) | reg(2, CAN_REG_TXB0CTRL)) & 0x20, 0);
}

// Success flags (and the DMA fetch) come at the end of the end-of-frame
// field, three bits before the intermission ends; the block's header holds
// that time in microseconds.
TEST_F(TwoNodes, SuccessAtTheEndOfEndOfFrame)
{
    configureBoth(1000);
    const Time start = clock->now();
    inspect([start](Board &b) {
        Mcp2515 &c = b.controller(1);
        const uint8_t regs[] = {0x15, 0x68, 0x00, 0xBA, 0x04, 0x29, 0, 0, 0};
        for (uint8_t i = 0; i < sizeof regs; ++i)
            c.write(uint8_t(0x31 + i), regs[i], start);
        c.write(0x30, 0x08, start);
        return 0;
    });
    const Time success = start + Time(frameBitCount(testFrame(kNumber41)) - 3) * kMicrosecond;
    auto tx0if = [this] { return inspect([](Board &b) { return b.controller(1).read(0x2C) & 0x04; }); };
    advance(success - 1 - clock->now());
    EXPECT_EQ(tx0if(), 0);
    advance(1);
    EXPECT_NE(tx0if(), 0);
    advance(20 * kMicrosecond); // the DMA engine reads the buffer over SPI
    const auto blocks = readBlocks(2);
    ASSERT_EQ(blocks.size(), 1u);
    const unsigned header = blocks[0][1] | blocks[0][2] << 8 | blocks[0][3] << 16;
    EXPECT_EQ(header, unsigned(success / kMicrosecond) & 0xFFFFFF);
}

// An error-passive node that has just transmitted waits 8 recessive bits
// after the intermission before its next start of frame.
TEST_F(TwoNodes, ErrorPassiveTransmitterSuspendsTransmission)
{
    configure(1, 1000);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(10 * kMillisecond);
    ASSERT_EQ(tec(1), 128);
    Time waited = 0;
    for (int step = 0; step < 1000 && waited == 0; ++step) {
        advance(250);
        const auto ready = inspect([](Board &b) { return b.controller(1).transmitReadyAt(); });
        if (ready && *ready > clock->now())
            waited = *ready - clock->now();
    }
    EXPECT_GT(waited, Time(11 - 1) * kMicrosecond - 250) << "intermission and suspension";
    EXPECT_LE(waited, Time(11) * kMicrosecond);
}

// The foreign node at another rate than the bus destroys frames only while
// it is error-active: it goes error-passive, then bus-off, and the channels'
// traffic gets through.
class MismatchedForeignNode : public Confinement
{
protected:
    static EmulatorSettings settings()
    {
        EmulatorSettings settings = withListener(2);
        settings.foreign.period = kMillisecond;
        settings.foreign.kbps = 125;
        return settings;
    }
    MismatchedForeignNode() : Confinement(settings()) {}
};

TEST_F(MismatchedForeignNode, GoesBusOffAndTrafficGetsThrough)
{
    configureBoth(250);
    // Once the foreign node has started failing, channel 1 sends too.
    while (inspect([](Board &b) { return b.foreignNode()->transmitErrorCounter(); }) == 0)
        advance(50 * kMicrosecond);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    bool passive = false, busOff = false;
    for (int step = 0; step < 2000 && !(sent(1) && busOff); ++step) {
        advance(50 * kMicrosecond);
        inspect([&](Board &b) {
            passive = passive || b.foreignNode()->errorPassive();
            busOff = busOff || b.foreignNode()->busOff();
            return 0;
        });
    }
    EXPECT_TRUE(sent(1));
    EXPECT_TRUE(passive);
    EXPECT_TRUE(busOff);
    advance(20 * kMicrosecond);
    EXPECT_EQ(readBlocks(2).size(), 1u);
}

// One-shot mode: one attempt, whatever ends it; a lost arbitration too.
TEST_F(TwoNodes, OneShotFrameThatLosesArbitrationIsNotRetried)
{
    // Channel 2's identifier is lower; channel 1 is in one-shot mode.
    startTogether(125, kNumber41, 125, kNumber41, 0xB9, 0x08);
    advance(5 * kMillisecond);
    EXPECT_EQ(reg(1, CAN_REG_TXB0CTRL) & 0x68, 0x60) << "ABTF and MLOA, and no request left";
    EXPECT_TRUE(sent(2));
    EXPECT_TRUE(readBlocks(2).empty()) << "channel 1's frame never went";
    EXPECT_EQ(readBlocks(1).size(), 1u);
}

// Listen-only mode receives through the filters, like normal mode; and a
// sleeping controller with WAKIE wakes on bus activity into listen-only mode
// without receiving the frame that woke it.
TEST_F(Confinement, ListenOnlyFiltersAndWakeUp)
{
    configure(1, 125);
    ASSERT_EQ(device.SetWorkMode(2, CAN_MODE_CONFIGURATION), 1);
    ASSERT_EQ(device.SetSpeed(2, 125), 1);
    const unsigned char exact[8] = {0xFF, 0xE3, 0xFF, 0xFF, 0xFF, 0xE3, 0xFF, 0xFF};
    ASSERT_EQ(device.WriteCanReg(2, 0x20, 8, exact), 1); // both masks: every bit
    const unsigned char filter0[4] = {0x20, 0x00, 0x00, 0x00}; // standard 0x100
    ASSERT_EQ(device.WriteCanReg(2, 0x00, 4, filter0), 1);
    setReg(2, CAN_REG_RXB0CTRL, 0x00);
    setReg(2, CAN_REG_RXB1CTRL, 0x00);
    auto send = [this](unsigned id) {
        ASSERT_EQ(device.SendData(1, 0, 0, id, CAN_STANDARD_FRAME, nullptr, 0), 1);
        advance(2 * kMillisecond);
        ASSERT_EQ(reg(1, CAN_REG_TXB0CTRL) & 0x08, 0);
    };
    ASSERT_EQ(device.SetWorkMode(2, CAN_MODE_LISTEN_ONLY), 1);
    advance(kMillisecond);
    send(0x200);
    EXPECT_EQ(reg(2, CAN_REG_CANINTF) & 0x03, 0) << "rejected by the filters";
    send(0x100);
    EXPECT_EQ(reg(2, CAN_REG_CANINTF) & 0x03, 0x01);
    setReg(2, CAN_REG_CANINTF, 0x00);

    ASSERT_EQ(device.SetWorkMode(2, CAN_MODE_SLEEP), 1);
    send(0x100);
    EXPECT_EQ(reg(2, CAN_REG_CANSTAT) >> 5, 1) << "without WAKIE it sleeps on";
    setReg(2, CAN_REG_CANINTE, 0x40);
    send(0x100);
    EXPECT_EQ(reg(2, CAN_REG_CANSTAT) >> 5, 3) << "woken into listen-only mode";
    EXPECT_EQ(reg(2, CAN_REG_CANINTF), 0x40) << "WAKIF, and the waking frame not received";
    send(0x100);
    EXPECT_EQ(reg(2, CAN_REG_CANINTF) & 0x01, 0x01);
}

// A controller that a RESET takes out of normal mode during a frame stores
// nothing of it.
TEST_F(TwoNodes, ResetDuringAFrameStoresNothing)
{
    configureBoth(125);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(200 * kMicrosecond);
    spi(2, 0xC0);
    advance(2 * kMillisecond);
    EXPECT_EQ(reg(2, CAN_REG_CANSTAT) >> 5, 4);
    EXPECT_EQ(reg(2, CAN_REG_CANINTF) & 0x03, 0);
}

// Listen-only mode counts no errors, but flags them with MERRF.
TEST_F(Confinement, ListenOnlyAtAnotherRateFlagsMessageErrors)
{
    configure(1, 125);
    configure(2, 250, CAN_MODE_LISTEN_ONLY);
    advance(kMillisecond);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(2 * kMillisecond);
    EXPECT_TRUE(sent(1)) << "the listener acknowledges";
    EXPECT_EQ(reg(2, CAN_REG_CANINTF) & 0x80, 0x80);
    EXPECT_EQ(reg(2, CAN_REG_REC), 0);
}

// Only setting WAKIF wakes a sleeping controller, not a write that leaves
// an old WAKIF set.
TEST_F(TwoNodes, OldWakifDoesNotWake)
{
    setReg(2, CAN_REG_CANINTF, 0x41);
    ASSERT_EQ(device.SetWorkMode(2, CAN_MODE_SLEEP), 1);
    spi(2, (unsigned(CAN_REG_CANINTF) << 24) | 0x05, {0x01, 0x00}); // clear RX0IF only
    EXPECT_EQ(reg(2, CAN_REG_CANINTF), 0x40);
    EXPECT_EQ(reg(2, CAN_REG_CANSTAT) >> 5, 1);
}

// Bus-off recovery needs 128 stretches of 11 recessive bits: traffic on the
// bus, which gives one per frame, makes it take longer than on an idle bus.
TEST_F(MismatchedForeignNode, BusOffRecoveryWaitsForRecessiveStretches)
{
    configure(1, 125);
    configure(2, 250);
    auto foreignBusOff = [this] { return inspect([](Board &b) { return b.foreignNode()->busOff(); }); };
    while (!foreignBusOff())
        advance(10 * kMicrosecond);
    const Time wentOff = clock->now();
    // Channel 1 keeps the bus busy with frames that channel 2 cannot take.
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    while (foreignBusOff())
        advance(10 * kMicrosecond);
    EXPECT_GT(clock->now() - wentOff, Time(128 * 11 * 8) * kMicrosecond + 2 * kMillisecond);
}
