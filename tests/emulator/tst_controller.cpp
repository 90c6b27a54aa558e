#include "emulatortest.h"

#include <vector>

using namespace boardemu;

using Controller = EmulatorTest;

TEST_F(Controller, ResetValues)
{
    for (unsigned channel = 1; channel <= 2; ++channel) {
        EXPECT_EQ(reg(channel, CAN_REG_CANSTAT), 0x80) << "configuration mode after reset";
        EXPECT_EQ(reg(channel, CAN_REG_CANCTRL), 0x87);
        EXPECT_EQ(reg(channel, 0x7E), 0x80) << "CANSTAT is seen at every xE address";
        EXPECT_EQ(reg(channel, 0x3F), 0x87) << "CANCTRL is seen at every xF address";
        for (unsigned address : {CAN_REG_TEC, CAN_REG_REC, CAN_REG_CNF1, CAN_REG_CNF2, CAN_REG_CNF3,
                                 CAN_REG_CANINTE, CAN_REG_CANINTF, CAN_REG_EFLG, CAN_REG_BFPCTRL,
                                 CAN_REG_TXB0CTRL, CAN_REG_RXB0CTRL, CAN_REG_RXB1CTRL})
            EXPECT_EQ(reg(channel, address), 0) << std::hex << address;
    }
}

TEST_F(Controller, ReadOnlyBitsAndRegistersIgnoreWrites)
{
    setReg(1, CAN_REG_CANSTAT, 0x00);
    EXPECT_EQ(reg(1, CAN_REG_CANSTAT), 0x80);
    setReg(1, CAN_REG_TEC, 0x55);
    EXPECT_EQ(reg(1, CAN_REG_TEC), 0);
    setReg(1, CAN_REG_EFLG, 0xFF);
    EXPECT_EQ(reg(1, CAN_REG_EFLG), 0xC0) << "only the overflow bits are writable";
    setReg(1, CAN_REG_TXB0CTRL, 0x73);
    EXPECT_EQ(reg(1, CAN_REG_TXB0CTRL), 0x03) << "ABTF, MLOA, TXERR are read-only";
    setReg(1, CAN_REG_RXB0CTRL, 0xFF);
    EXPECT_EQ(reg(1, CAN_REG_RXB0CTRL), 0x66) << "RXM, BUKT and its BUKT1 mirror";
    setReg(1, CAN_REG_BFPCTRL, 0xFF);
    EXPECT_EQ(reg(1, CAN_REG_BFPCTRL), 0x0F) << "pin states read 0 on interrupt pins";
    setReg(1, CAN_REG_BFPCTRL, 0x3D);
    EXPECT_EQ(reg(1, CAN_REG_BFPCTRL), 0x2D) << "RX1BF a digital output: its state reads back";
    setReg(1, 0x61, 0x12);
    EXPECT_EQ(reg(1, 0x61), 0) << "receive buffers are read-only";
    // Unimplemented bits read 0, the identifier registers included.
    setReg(1, 0x25, 0xEB);
    EXPECT_EQ(reg(1, 0x25), 0xE3) << "RXM1SIDL has no EXIDE";
    setReg(1, 0x01, 0xFF);
    EXPECT_EQ(reg(1, 0x01), 0xEB) << "RXF0SIDL";
    setReg(1, 0x35, 0xFF);
    EXPECT_EQ(reg(1, 0x35), 0x4F) << "TXB0DLC: RTR and DLC3..0";
}

// BIT MODIFY works as such only on the control and status registers; on
// any other it writes the data byte whole.
TEST_F(Controller, BitModifyOnOtherRegistersIsAPlainWrite)
{
    setReg(1, 0x36, 0xFF); // TXB0D0
    spi(1, (0x36u << 24) | 0x05, {0x0F, 0x00});
    EXPECT_EQ(reg(1, 0x36), 0x00);
    setReg(1, CAN_REG_CANINTE, 0xFF);
    spi(1, (unsigned(CAN_REG_CANINTE) << 24) | 0x05, {0x0F, 0x00});
    EXPECT_EQ(reg(1, CAN_REG_CANINTE), 0xF0);
}

// With the filters on, a standard frame's first two data bytes are compared
// with the filter's and mask's EID8 and EID0; a byte not sent passes. RX
// STATUS shows a frame that rolled over into RXB1 with filter code 110.
TEST_F(Controller, StandardFrameDataFiltersAndRolloverStatus)
{
    configure(1, 500);
    ASSERT_EQ(device.SetWorkMode(2, CAN_MODE_CONFIGURATION), 1);
    ASSERT_EQ(device.SetSpeed(2, 500), 1);
    const unsigned char exact[8] = {0xFF, 0xE3, 0xFF, 0xFF, 0xFF, 0xE3, 0xFF, 0xFF};
    ASSERT_EQ(device.WriteCanReg(2, 0x20, 8, exact), 1);
    const unsigned char filter0[4] = {0x68, 0xA0, 0x00, 0x00}; // standard 0x345, data 00 00
    ASSERT_EQ(device.WriteCanReg(2, 0x00, 4, filter0), 1);
    setReg(2, CAN_REG_RXB0CTRL, 0x00);
    setReg(2, CAN_REG_RXB1CTRL, 0x00);
    ASSERT_EQ(device.SetWorkMode(2, CAN_MODE_NORMAL), 1);
    advance(kMillisecond);
    auto stored = [this](std::vector<unsigned char> data) {
        EXPECT_EQ(device.SendData(1, 0, 0, 0x345, CAN_STANDARD_FRAME, data.data(),
                                  unsigned(data.size())),
                  1);
        advance(kMillisecond);
        EXPECT_EQ(device.CheckTransmit(1, 0), 1) << "acknowledged whether or not stored";
        const bool full = reg(2, CAN_REG_CANINTF) & 0x01;
        setReg(2, CAN_REG_CANINTF, 0x00);
        return full;
    };
    EXPECT_FALSE(stored({0x12, 0x34}));
    EXPECT_FALSE(stored({0x00, 0x01}));
    EXPECT_TRUE(stored({0x00, 0x00, 0x77}));
    EXPECT_TRUE(stored({0x00}));
    EXPECT_TRUE(stored({}));

    setReg(2, CAN_REG_RXB0CTRL, 0x64); // any frame, rolling over into RXB1
    const unsigned char data[4] = {1, 2, 3, 4};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, data, 4), 1);
        advance(kMillisecond);
    }
    setReg(2, CAN_REG_CANINTF, 0x02); // RXB0 read; RXB1 keeps the rolled-over frame
    EXPECT_EQ(spi(2, 0xB0)[0], 0x80 | 0x10 | 0x06) << "RXB1, extended, RXF0 by rollover";
}

TEST_F(Controller, BitTimingWritesAreRefusedOutsideConfigurationMode)
{
    configure(1, 125);
    EXPECT_EQ(reg(1, CAN_REG_CNF1), 0x04);
    setReg(1, CAN_REG_CNF1, 0x00);
    setReg(1, CAN_REG_CNF2, 0x00);
    EXPECT_EQ(reg(1, CAN_REG_CNF1), 0x04);
    EXPECT_EQ(reg(1, CAN_REG_CNF2), 0xB1);
    EXPECT_EQ(device.SetSpeed(1, 1000), 4);
}

TEST_F(Controller, EveryModeIsConfirmed)
{
    for (unsigned mode : {0u, 1u, 2u, 3u, 4u, 0u}) {
        EXPECT_EQ(device.SetWorkMode(2, mode), 1) << mode;
        EXPECT_EQ(reg(2, CAN_REG_CANSTAT) >> 5, mode);
    }
    setReg(2, CAN_REG_CANCTRL, 0xE0);
    EXPECT_EQ(reg(2, CAN_REG_CANSTAT) >> 5, 0u) << "an invalid mode request changes nothing";
}

TEST_F(Controller, EnteringConfigurationClearsTheErrorCounters)
{
    configure(1, 125);
    // Nobody acknowledges: the counter rises.
    const unsigned char data[4] = {1, 2, 3, 4};
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, data, 4), 1);
    advance(5 * kMillisecond);
    EXPECT_GT(reg(1, CAN_REG_TEC), 0);
    ASSERT_EQ(device.EndTransmit(1, 0), 1);
    advance(kMillisecond);
    ASSERT_EQ(device.SetWorkMode(1, CAN_MODE_CONFIGURATION), 1);
    EXPECT_EQ(reg(1, CAN_REG_TEC), 0);
    EXPECT_EQ(reg(1, CAN_REG_EFLG) & 0x3F, 0);
}

TEST_F(Controller, ModeChangeWaitsWhileATransmissionIsPending)
{
    configure(1, 125);
    const unsigned char data[4] = {1, 2, 3, 4};
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, data, 4), 1);
    EXPECT_EQ(device.SetWorkMode(1, CAN_MODE_CONFIGURATION), 6)
        << "an unacknowledged frame keeps the old mode";
    EXPECT_EQ(reg(1, CAN_REG_CANSTAT) >> 5, 0u);
    ASSERT_EQ(device.EndTransmit(1, 0), 1);
    advance(2 * kMillisecond);
    EXPECT_EQ(reg(1, CAN_REG_CANSTAT) >> 5, 4u) << "the request takes effect once withdrawn";
    EXPECT_EQ(reg(1, CAN_REG_TXB0CTRL) & 0x58, 0x10)
        << "withdrawn: TXERR from its failed attempts, no ABTF";
}

TEST_F(Controller, InterruptCodeFollowsEnabledFlags)
{
    setReg(1, CAN_REG_CANINTF, 0x05); // TX0IF, RX0IF
    EXPECT_EQ(reg(1, CAN_REG_CANSTAT), 0x80) << "nothing enabled: no code";
    setReg(1, CAN_REG_CANINTE, 0x01);
    EXPECT_EQ(reg(1, CAN_REG_CANSTAT), 0x80 | (6 << 1));
    setReg(1, CAN_REG_CANINTE, 0xFF);
    EXPECT_EQ(reg(1, CAN_REG_CANSTAT), 0x80 | (3 << 1)) << "the lowest code wins";
    EXPECT_EQ(device.SetConfWorkMode(1), 4) << "CANSTAT & 0xE0 is already configuration";
}

TEST_F(Controller, EachRateOfTheTableGivesItsBitTime)
{
    const struct {
        unsigned kbps;
        Time bitTime;
    } rates[] = {{125, 8000}, {250, 4000}, {500, 2000}, {1000, 1000}};
    for (const auto &rate : rates) {
        ASSERT_EQ(device.SetWorkMode(1, CAN_MODE_CONFIGURATION), 1);
        ASSERT_EQ(device.SetSpeed(1, rate.kbps), 1);
        EXPECT_EQ(inspect([](Board &b) { return b.controller(1).bitTime(); }), rate.bitTime)
            << rate.kbps;
    }
}

TEST_F(Controller, SpiBridgeIsBusyForTheTransactionBytes)
{
    // Raw bridge access: a 16-byte READ takes 18 bytes at 10 MHz = 14.4 us.
    ASSERT_EQ(device.WriteReg(CAN_BOARD_SPI_BRIDGE_CH1, (0x30u << 24) | (15u << 16) | 0x03), 1);
    unsigned int status = 0;
    ASSERT_EQ(device.ReadReg(CAN_BOARD_SPI_BRIDGE_CH1, &status), 1);
    EXPECT_EQ(status & 1, 1u) << "5 us after the command";
    advance(10 * kMicrosecond);
    ASSERT_EQ(device.ReadReg(CAN_BOARD_SPI_BRIDGE_CH1, &status), 1);
    EXPECT_EQ(status & 1, 0u);
    ASSERT_EQ(device.ReadReg(CAN_BOARD_SPI_BRIDGE_CH2, &status), 1);
    EXPECT_EQ(status & 1, 0u) << "the other channel's bridge is idle";
}

TEST_F(Controller, SpiReadAddressWrapsAt0x80)
{
    ASSERT_EQ(device.SetWorkMode(2, CAN_MODE_CONFIGURATION), 1);
    unsigned char bytes[3] = {};
    ASSERT_EQ(device.ReadCanReg(2, 0x7E, 3, bytes), 1);
    EXPECT_EQ(bytes[0], 0x80); // CANSTAT
    EXPECT_EQ(bytes[1], 0x80); // CANCTRL as SetWorkMode wrote it
    EXPECT_EQ(bytes[2], 0x00); // RXF0SIDH
}

TEST_F(Controller, DriverRejectsMalformedRequests)
{
    DWORD returned = 0;
    unsigned char in[16] = {};
    unsigned char out[128] = {};
    EXPECT_EQ(device.IoControl(0xA4600000, in, 4, out, 4, &returned, INFINITE), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(device.IoControl(IOCTL_CAN_READ_REG, in, 3, out, 4, &returned, INFINITE), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    unsigned int value = 0;
    EXPECT_EQ(device.ReadReg(0x1234, &value), 0) << "no such board register";
    EXPECT_EQ(device.ReadMem(0x3000, out, 4), 0) << "outside board memory";
    EXPECT_EQ(device.ReadMem(0x20FE, out, 4), 0) << "runs past the end of board memory";
    in[0] = 2; // two blocks
    in[4] = 1;
    EXPECT_EQ(device.IoControl(IOCTL_CAN_READ_DMA_BLOCKS, in, 8, out, 64, &returned, INFINITE), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    in[4] = 3;
    EXPECT_EQ(device.IoControl(IOCTL_CAN_READ_DMA_BLOCKS, in, 8, out, 128, &returned, INFINITE), 0);
}
