#include "emulatortest.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <atomic>

using namespace boardemu;

namespace {

const unsigned char kNumber41[4] = {0x29, 0x00, 0x00, 0x00};

} // namespace

using Bus = EmulatorTest;

TEST_F(Bus, TestFrameArrivesAsDmaBlockOnTheOtherChannel)
{
    configureBoth();
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(2 * kMillisecond);
    EXPECT_EQ(device.CheckTransmit(1, 0), 1);
    auto blocks = readBlocks(2);
    ASSERT_EQ(blocks.size(), 1u);
    const auto &block = blocks[0];
    EXPECT_EQ(block[0] & 0x02, 0x02) << "channel bit";
    EXPECT_EQ(block[4] & 0x60, 0x60) << "RXB0CTRL as configured";
    EXPECT_EQ(block[5], 0x15);
    EXPECT_EQ(block[6], 0x68) << "SID2..0 and IDE";
    EXPECT_EQ(block[7], 0x00);
    EXPECT_EQ(block[8], 0xBA);
    EXPECT_EQ(block[9], 0x04);
    EXPECT_EQ(block[10], 0x29);
    int flag, channel, stdId, extId, length;
    unsigned header;
    unsigned char data[8] = {};
    device.ParseRxRecord(block.data(), &flag, &channel, &header, &stdId, &extId, data, &length);
    EXPECT_EQ(channel, 2);
    EXPECT_EQ(stdId, 0xAB);
    EXPECT_EQ(extId, 0xBA);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(data[0], 0x29);
    EXPECT_TRUE(readBlocks(1).empty()) << "the transmitter receives nothing";
    EXPECT_EQ(reg(2, CAN_REG_CANINTF) & 0x01, 0) << "the DMA read freed the buffer";
    EXPECT_EQ(reg(1, CAN_REG_CANINTF) & 0x04, 0x04) << "TX0IF";
}

TEST_F(Bus, FrameLastsItsExactBitCount)
{
    for (unsigned kbps : {125u, 250u, 500u, 1000u}) {
        configureBoth(kbps);
        const Time bitTime = 8 * kMicrosecond * 125 / kbps;
        const Time bits = frameBitCount(testFrame(kNumber41));
        ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
        // The frame starts as the TXREQ write ends; poll until it is done.
        const Time sent = clock->now();
        while (device.CheckTransmit(1, 0) != 1)
            ;
        const Time done = clock->now();
        EXPECT_GE(done - sent, bits * bitTime - 30 * kMicrosecond) << kbps;
        EXPECT_LE(done - sent, bits * bitTime + 30 * kMicrosecond) << kbps;
        readBlocks(2);
        ASSERT_EQ(device.SetWorkMode(1, CAN_MODE_CONFIGURATION), 1);
        ASSERT_EQ(device.SetWorkMode(2, CAN_MODE_CONFIGURATION), 1);
    }
}

TEST_F(Bus, EqualPriorityBuffersGoHighestNumberFirst)
{
    configureBoth();
    ASSERT_EQ(device.SetWorkMode(1, CAN_MODE_CONFIGURATION), 1);
    const unsigned char numbers[3][4] = {{0, 0, 0, 0}, {1, 0, 0, 0}, {2, 0, 0, 0}};
    for (unsigned buffer = 0; buffer < 3; ++buffer)
        ASSERT_EQ(device.SendData(1, buffer, 0, 0xAB, 0xBA, numbers[buffer], 4), 1);
    // A higher priority overtakes buffer order.
    ASSERT_EQ(device.SendData(1, 0, 3, 0xAB, 0xBA, numbers[0], 4), 1);
    ASSERT_EQ(device.SetWorkMode(1, CAN_MODE_NORMAL), 1);
    advance(10 * kMillisecond);
    auto blocks = readBlocks(2);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0][10], 0);
    EXPECT_EQ(blocks[1][10], 2);
    EXPECT_EQ(blocks[2][10], 1);
}

TEST_F(Bus, LowerIdentifierWinsArbitrationAndTheLoserShowsMloa)
{
    configureBoth();
    configure(1, 125, CAN_MODE_CONFIGURATION);
    configure(2, 125, CAN_MODE_CONFIGURATION);
    ASSERT_EQ(device.SendData(1, 0, 0, 0x100, CAN_STANDARD_FRAME, kNumber41, 1), 1);
    ASSERT_EQ(device.SendData(2, 0, 0, 0x0FF, CAN_STANDARD_FRAME, kNumber41, 1), 1);
    bothToNormalTogether();
    advance(5 * kMillisecond);
    EXPECT_EQ(reg(1, CAN_REG_TXB0CTRL) & 0x20, 0x20) << "channel 1 lost arbitration";
    EXPECT_EQ(reg(2, CAN_REG_TXB0CTRL) & 0x20, 0);
    EXPECT_EQ(device.CheckTransmit(1, 0), 1) << "and sent its frame after";
    EXPECT_EQ(device.CheckTransmit(2, 0), 1);
}

TEST_F(Bus, NoAcknowledgementRaisesTecTo128AndRetriesForever)
{
    configure(1, 1000);
    ASSERT_EQ(device.SendData(1, 1, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(50 * kMillisecond);
    EXPECT_EQ(reg(1, CAN_REG_TEC), 128);
    EXPECT_EQ(reg(1, CAN_REG_EFLG), 0x10 | 0x04 | 0x01) << "TXEP, TXWAR, EWARN";
    EXPECT_EQ(device.CheckTransmit(1, 1), 6) << "TXERR";
    EXPECT_EQ(reg(1, CAN_REG_CANINTF) & 0x80, 0x80) << "MERRF";
    EXPECT_FALSE(inspect([](Board &b) { return b.controller(1).busOff(); }));
    ASSERT_EQ(device.EndTransmit(1, 1), 1);
    advance(kMillisecond);
    EXPECT_EQ(reg(1, CAN_REG_TXB0CTRL + 0x10) & 0x58, 0x10)
        << "withdrawn: TXREQ clear, TXERR kept, no ABTF (that is for ABAT alone)";
    EXPECT_EQ(device.CheckTransmit(1, 1), 6);
}

// CANCTRL.ABAT aborts every pending buffer and marks it with ABTF; a buffer
// withdrawn by clearing TXREQ is not marked.
TEST_F(Bus, AbortAllSetsAbtfWithdrawalDoesNot)
{
    configure(1, 1000);
    configure(2, 1000, CAN_MODE_CONFIGURATION); // nobody acknowledges
    ASSERT_EQ(device.SetWorkMode(1, CAN_MODE_CONFIGURATION), 1);
    for (unsigned buffer = 0; buffer < 3; ++buffer)
        ASSERT_EQ(device.SendData(1, buffer, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    ASSERT_EQ(device.EndTransmit(1, 0), 1);
    setReg(1, CAN_REG_CANCTRL, 0x10); // ABAT and normal mode: aborted before they can start
    advance(kMillisecond);
    EXPECT_EQ(reg(1, CAN_REG_TXB0CTRL) & 0x48, 0x00) << "withdrawn, not aborted";
    EXPECT_EQ(reg(1, CAN_REG_TXB0CTRL + 0x10) & 0x48, 0x40) << "aborted";
    EXPECT_EQ(reg(1, CAN_REG_TXB0CTRL + 0x20) & 0x48, 0x40) << "aborted";
    EXPECT_EQ(device.CheckTransmit(1, 1), 5);
    EXPECT_EQ(device.CheckTransmit(1, 0), 1);
    EXPECT_EQ(reg(1, CAN_REG_TEC), 0) << "nothing was attempted";
}

TEST_F(Bus, OneShotModeTriesOnce)
{
    configure(1, 500);
    setReg(1, CAN_REG_CANCTRL, 0x08);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(10 * kMillisecond);
    EXPECT_EQ(reg(1, CAN_REG_TEC), 8);
    EXPECT_EQ(reg(1, CAN_REG_TXB0CTRL) & 0x58, 0x50) << "ABTF and TXERR set, TXREQ clear";
    EXPECT_EQ(device.CheckTransmit(1, 0), 5);
}

TEST_F(Bus, DifferentBitRatesCountErrorsOnBothSidesUpToBusOff)
{
    configure(1, 125);
    configure(2, 250);
    ASSERT_EQ(device.EnableDMA(0), 1);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(20 * kMillisecond);
    EXPECT_TRUE(inspect([](Board &b) { return b.controller(1).busOff(); }));
    EXPECT_EQ(reg(1, CAN_REG_TEC), 255) << "TEC reads 255 while bus-off";
    EXPECT_EQ(reg(1, CAN_REG_EFLG) & 0x20, 0x20) << "TXBO";
    EXPECT_EQ(reg(2, CAN_REG_REC), 32) << "one receive error per attempt";
    EXPECT_TRUE(readBlocks(2).empty());
    EXPECT_EQ(device.CheckTransmit(1, 0), 6);
    // Recovery after 128 x 11 recessive bits, counters cleared, then retrying.
    auto busOff = [this] {
        return inspect([](Board &b) { return b.controller(1).busOff(); });
    };
    while (busOff())
        advance(10 * kMicrosecond);
    EXPECT_LE(reg(1, CAN_REG_TEC), 8) << "cleared on recovery";
    while (!busOff())
        advance(10 * kMicrosecond);
    const Time wentOff = clock->now();
    while (busOff())
        advance(10 * kMicrosecond);
    EXPECT_NEAR(double(clock->now() - wentOff), double(128 * 11 * 8 * kMicrosecond),
                double(20 * kMicrosecond));
}

TEST_F(Bus, OverflowWhenNobodyEmptiesTheReceiveBuffer)
{
    configure(1, 500);
    configure(2, 500);
    setReg(2, CAN_REG_RXB0CTRL, 0x60);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
        advance(kMillisecond);
        EXPECT_EQ(device.CheckTransmit(1, 0), 1) << "acknowledged whether or not stored";
    }
    EXPECT_EQ(reg(2, CAN_REG_EFLG) & 0x40, 0x40) << "RX0OVR";
    EXPECT_EQ(reg(2, CAN_REG_CANINTF) & 0x21, 0x21) << "ERRIF and RX0IF";
    setReg(2, CAN_REG_RXB0CTRL, 0x64); // roll over into RXB1
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(kMillisecond);
    EXPECT_EQ(reg(2, CAN_REG_CANINTF) & 0x02, 0x02) << "RX1IF";
    EXPECT_EQ(reg(2, 0x71), 0x15);
}

TEST_F(Bus, DmaQueueHoldsItsLimitAndTheNextFrameWaitsInTheController)
{
    boardemu::EmulatorSettings settings;
    settings.dmaQueueBlocks = 3;
    replaceBoard(settings);
    configureBoth(1000);
    for (unsigned char n = 0; n < 5; ++n) {
        const unsigned char data[4] = {n, 0, 0, 0};
        ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, data, 4), 1);
        advance(kMillisecond);
    }
    EXPECT_EQ(inspect([](Board &b) { return b.queuedBlocks(2); }), 3u);
    EXPECT_EQ(reg(2, CAN_REG_EFLG) & 0x40, 0x40) << "the fifth frame found RXB0 still full";
    auto blocks = readBlocks(2, 2);
    ASSERT_EQ(blocks.size(), 2u) << "at most the requested count";
    EXPECT_EQ(blocks[0][10], 0) << "oldest first";
    EXPECT_EQ(blocks[1][10], 1);
    advance(kMillisecond);
    blocks = readBlocks(2);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0][10], 2);
    EXPECT_EQ(blocks[1][10], 3) << "the waiting frame followed once there was room";
    EXPECT_EQ(blocks[1][0] & 0x01, 0x01) << "flagged as delayed by a full queue";
}

// With rollover the frame in RXB1 can be older than the one in RXB0: the DMA
// engine delivers them in the order they came off the bus, each stamped with
// its reception time, however long it waited for room in the queue.
TEST_F(Bus, DmaDeliversInBusOrderWithReceptionTimes)
{
    boardemu::EmulatorSettings settings;
    settings.dmaQueueBlocks = 1;
    replaceBoard(settings);
    configureBoth(1000);
    setReg(2, CAN_REG_RXB0CTRL, 0x64);
    std::vector<Time> sentAt;
    auto send = [&](unsigned char n) {
        const unsigned char data[4] = {n, 0, 0, 0};
        ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, data, 4), 1);
        sentAt.push_back(clock->now());
        advance(kMillisecond);
    };
    auto next = [&] {
        const auto blocks = readBlocks(2, 1);
        advance(kMillisecond);
        return blocks.empty() ? std::make_pair(-1, 0u)
                              : std::make_pair(int(blocks[0][10]),
                                               unsigned(blocks[0][1] | blocks[0][2] << 8 | blocks[0][3] << 16));
    };
    send(0); // fetched into the queue, which is then full
    send(1); // waits in RXB0
    send(2); // rolls over into RXB1
    const Time firstRead = clock->now();
    EXPECT_EQ(next().first, 0); // room for frame 1, RXB0 is free again
    send(3); // into RXB0: now RXB1 holds the older frame
    const auto second = next();
    EXPECT_EQ(second.first, 1);
    EXPECT_LT(Time(second.second) * kMicrosecond, firstRead - 500 * kMicrosecond)
        << "stamped when it came off the bus, not when it was fetched";
    EXPECT_GT(Time(second.second) * kMicrosecond, sentAt[1]);
    EXPECT_EQ(next().first, 2);
    EXPECT_EQ(next().first, 3);
}

TEST_F(Bus, ClearAndCanonicalDmaDropQueuedBlocks)
{
    configureBoth(1000);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
        advance(kMillisecond);
    }
    EXPECT_EQ(inspect([](Board &b) { return b.ringPosition(2); }), 3u);
    ASSERT_EQ(device.ClearDMA(), 1);
    EXPECT_TRUE(readBlocks(2).empty());
    EXPECT_EQ(inspect([](Board &b) { return b.ringPosition(2); }), 3u);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(kMillisecond);
    ASSERT_EQ(device.SetCanonicalDMA(), 1);
    EXPECT_EQ(inspect([](Board &b) { return b.ringPosition(2); }), 0u);
    EXPECT_TRUE(readBlocks(2).empty());
}

TEST_F(Bus, NoDmaWithoutTheBoardBitOrTheBufferFullPins)
{
    configure(1, 1000);
    configure(2, 1000);
    setReg(2, CAN_REG_RXB0CTRL, 0x60);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(kMillisecond);
    EXPECT_TRUE(readBlocks(2).empty());
    ASSERT_EQ(device.EnableDMA(1), 1); // channel 1's pins only
    advance(kMillisecond);
    EXPECT_TRUE(readBlocks(2).empty());
    ASSERT_EQ(device.EnableDMA(2), 1);
    advance(kMillisecond);
    EXPECT_EQ(readBlocks(2).size(), 1u) << "the waiting frame is fetched once routed";
}

TEST_F(Bus, WritingAPendingBufferIsCountedAndSendsTheNewContents)
{
    configure(1, 1000);
    configure(2, 1000, CAN_MODE_CONFIGURATION);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(kMillisecond);
    const unsigned char other[4] = {0x77, 0, 0, 0};
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, other, 4), 1);
    EXPECT_GT(inspect([](Board &b) { return b.controller(1).writesToPendingBuffers(); }), 0u);
}

TEST_F(Bus, SeveralHandlesFromSeveralThreads)
{
    configureBoth(1000);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            CCANDeviceEx own;
            if (own.Open(0) != 1) {
                ++failures;
                return;
            }
            for (int i = 0; i < 100; ++i) {
                unsigned char value = 0;
                if (own.ReadCanReg(1 + (t & 1), CAN_REG_CNF1, 1, &value) != 1 || value != 0)
                    ++failures;
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(emulated->driver().openHandles(), 1);
}

class BusLog : public EmulatorTest
{
protected:
    static EmulatorSettings withLog()
    {
        EmulatorSettings settings;
        settings.busLogPath = path();
        std::remove(path().c_str());
        return settings;
    }
    static std::string path() { return ::testing::TempDir() + "korvane_buslog_test.log"; }
    BusLog() : EmulatorTest(withLog()) {}
};

TEST_F(BusLog, CompletedFramesAreAppendedInCandumpFormat)
{
    configureBoth(500);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kNumber41, 4), 1);
    advance(kMillisecond);
    ASSERT_EQ(device.SendData(2, 2, 0, 0x123, CAN_STANDARD_FRAME, nullptr, 0), 1);
    advance(kMillisecond);
    device.Close();
    emulated.reset();
    std::ifstream log(path());
    std::string first, second, extra;
    ASSERT_TRUE(std::getline(log, first));
    ASSERT_TRUE(std::getline(log, second));
    EXPECT_FALSE(std::getline(log, extra));
    EXPECT_NE(first.find(") can0 02AC00BA#29000000"), std::string::npos) << first;
    EXPECT_NE(second.find(") can1 123#R"), std::string::npos) << second;
    EXPECT_EQ(first[0], '(');
    const size_t dot = first.find('.');
    ASSERT_NE(dot, std::string::npos);
    EXPECT_EQ(first.find(')'), dot + 7) << "six digits of microseconds";
}

// The socketcand bridge's node sends its frames in the order of their times,
// but a frame already being sent stays first whatever comes; a client takes
// back only its own frames.
TEST(ClientNodeOrder, TimesOrderTheQueueButNotTheFrameOnTheWire)
{
    boardemu::Mcp2515 controller("can0");
    boardemu::ClientNode node(&controller);
    boardemu::CanFrame a, b, c;
    a.id = 1;
    b.id = 2;
    c.id = 3;
    const int mine = 0, theirs = 0;
    ASSERT_TRUE(node.queue(a, 100, &mine));
    ASSERT_TRUE(node.queue(b, 300, &theirs));
    node.transmissionStarted(100);
    // Due earlier than the frame on the wire, and than the one waiting.
    ASSERT_TRUE(node.queue(c, 50, &mine));
    EXPECT_EQ(node.frameToTransmit().id, 1u);
    node.transmissionSucceeded(200);
    EXPECT_EQ(node.frameToTransmit().id, 3u);
    // Another client's frame of the same identifier is not taken back.
    node.withdraw(b, 0, &mine);
    EXPECT_EQ(node.queued(), 2u);
    node.withdraw(b, 0, &theirs);
    EXPECT_EQ(node.queued(), 1u);
}
