// Fixture: the emulated board as CAN0 on a virtual clock, reached through a
// CCANDeviceEx like the application reaches it.
#ifndef TESTS_EMULATORTEST_H
#define TESTS_EMULATORTEST_H

#include "candeviceex.h"
#include "emulateddriver.h"

#include <gtest/gtest.h>
#include <win32subset/devicetable.h>

#include <algorithm>
#include <array>
#include <vector>

class EmulatorTest : public ::testing::Test
{
protected:
    explicit EmulatorTest(boardemu::EmulatorSettings settings = boardemu::EmulatorSettings())
        : clock(std::make_shared<boardemu::VirtualClock>()),
          emulated(std::make_unique<boardemu::EmulatedBoard>(settings, clock))
    {
        win32subset::setSleepHandler(
            [this](DWORD ms) { clock->advance(boardemu::Time(ms) * boardemu::kMillisecond); });
        EXPECT_EQ(device.Open(0), 1);
    }

    ~EmulatorTest() override
    {
        device.Close();
        win32subset::setSleepHandler({});
    }

    unsigned char reg(unsigned channel, unsigned address)
    {
        unsigned char value = 0xEE;
        EXPECT_EQ(device.ReadCanReg(channel, address, 1, &value), 1);
        return value;
    }

    void setReg(unsigned channel, unsigned address, unsigned char value)
    {
        EXPECT_EQ(device.WriteCanReg(channel, address, 1, &value), 1);
    }

    // Configuration mode, the rate, then the given mode; as the application's start-up.
    void configure(unsigned channel, unsigned kbps, unsigned mode = CAN_MODE_NORMAL)
    {
        ASSERT_EQ(device.SetWorkMode(channel, CAN_MODE_CONFIGURATION), 1);
        ASSERT_EQ(device.SetSpeed(channel, kbps), 1);
        ASSERT_EQ(device.SetWorkMode(channel, mode), 1);
    }

    void configureBoth(unsigned kbps = 125)
    {
        configure(1, kbps);
        configure(2, kbps);
        ASSERT_EQ(device.EnableDMA(0), 1);
        setReg(1, CAN_REG_RXB0CTRL, 0x60);
        setReg(2, CAN_REG_RXB0CTRL, 0x60);
    }

    void advance(boardemu::Time duration) { clock->advance(duration); }

    // A board with other settings in place of the fixture's, on the same clock.
    void replaceBoard(const boardemu::EmulatorSettings &settings)
    {
        device.Close();
        emulated.reset();
        emulated = std::make_unique<boardemu::EmulatedBoard>(settings, clock);
        ASSERT_EQ(device.Open(0), 1);
    }

    std::vector<std::array<unsigned char, 64>> readBlocks(unsigned channel, unsigned max = 16)
    {
        std::vector<unsigned char> buffer(max * 64);
        unsigned count = 0;
        EXPECT_EQ(device.ReadDMABlocks(buffer.data(), channel, max, &count), 1);
        std::vector<std::array<unsigned char, 64>> blocks(count);
        for (unsigned i = 0; i < count; ++i)
            std::copy(buffer.begin() + i * 64, buffer.begin() + (i + 1) * 64, blocks[i].begin());
        return blocks;
    }

    template <typename F> auto inspect(F f) { return emulated->inspect(f); }

    // One raw SPI transaction through a channel's bridge: the bytes go to the
    // data buffer first; returns the data buffer afterwards.
    std::array<unsigned char, 16> spi(unsigned channel, uint32_t command,
                                      std::vector<unsigned char> bytes = {})
    {
        const unsigned data = channel == 1 ? CAN_BOARD_SPI_DATA_CH1 : CAN_BOARD_SPI_DATA_CH2;
        if (!bytes.empty()) {
            EXPECT_EQ(device.WriteMem(data, bytes.data(), unsigned(bytes.size())), 1);
        }
        EXPECT_EQ(device.WriteReg(channel == 1 ? CAN_BOARD_SPI_BRIDGE_CH1 : CAN_BOARD_SPI_BRIDGE_CH2,
                                  command),
                  1);
        advance(50 * boardemu::kMicrosecond);
        std::array<unsigned char, 16> out{};
        EXPECT_EQ(device.ReadMem(data, out.data(), 16), 1);
        return out;
    }

    // Controllers 1 and 2 leave configuration mode at the same instant, so
    // that frames loaded in both start together.
    void bothToNormalTogether()
    {
        inspect([this](boardemu::Board &b) {
            b.controller(1).write(0x0F, 0x00, clock->now());
            b.controller(2).write(0x0F, 0x00, clock->now());
            return 0;
        });
    }

    std::shared_ptr<boardemu::VirtualClock> clock;
    std::unique_ptr<boardemu::EmulatedBoard> emulated;
    CCANDeviceEx device;
};

// The transmit worker's test frame (identifier 0xAB, 0xBA) with four data bytes.
inline boardemu::CanFrame testFrame(const unsigned char data[4])
{
    boardemu::CanFrame frame;
    frame.extended = true;
    frame.id = (0xABu << 18) | 0xBA;
    frame.dlc = 4;
    std::copy(data, data + 4, frame.data.begin());
    return frame;
}

inline unsigned blockNumber(const std::array<unsigned char, 64> &block)
{
    return unsigned(block[14]) | unsigned(block[15]) << 8 | unsigned(block[16]) << 16 |
           unsigned(block[17]) << 24;
}

#endif
