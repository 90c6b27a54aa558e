#include "emulatortest.h"

#include <cstdlib>
#include <map>
#include <optional>

using namespace boardemu;

using Faults = EmulatorTest;

TEST_F(Faults, NoBoardFailsTheOpen)
{
    emulated->driver().setNoBoard(true);
    CCANDeviceEx other;
    EXPECT_EQ(other.Open(0), 0);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    emulated->driver().setNoBoard(false);
    EXPECT_EQ(other.Open(0), 1);
}

TEST_F(Faults, ARequestCodeFailsEveryTime)
{
    emulated->driver().setFailCode(IOCTL_CAN_CLEAR_DMA);
    EXPECT_EQ(device.ClearDMA(), 0);
    EXPECT_EQ(device.ClearDMA(), 0);
    EXPECT_EQ(device.SetCanonicalDMA(), 1);
    emulated->driver().setFailCode(0);
    EXPECT_EQ(device.ClearDMA(), 1);
}

TEST_F(Faults, TheNthRequestFails)
{
    emulated->driver().failNthRequest(3);
    EXPECT_EQ(device.ClearDMA(), 1);
    EXPECT_EQ(device.ClearDMA(), 1);
    EXPECT_EQ(device.ClearDMA(), 0);
    EXPECT_EQ(device.ClearDMA(), 1);
}

TEST_F(Faults, StuckBridgeYields5AfterAHundredReads)
{
    inspect([](Board &b) {
        b.setStuckBusy(2, true);
        return 0;
    });
    const uint64_t before = emulated->driver().requestCount();
    unsigned char value = 0;
    EXPECT_EQ(device.ReadCanReg(2, CAN_REG_CANSTAT, 1, &value), 5);
    EXPECT_EQ(emulated->driver().requestCount() - before, 100u);
    EXPECT_EQ(device.ReadCanReg(1, CAN_REG_CANSTAT, 1, &value), 1) << "channel 1 unaffected";
}

TEST_F(Faults, ControllerIgnoringModeRequests)
{
    inspect([](Board &b) {
        b.setIgnoreModeRequests(1, true);
        return 0;
    });
    EXPECT_EQ(device.SetWorkMode(1, CAN_MODE_NORMAL), 6);
    EXPECT_EQ(device.SetWorkMode(2, CAN_MODE_NORMAL), 1);
}

TEST_F(Faults, RequestsCostTheirLatency)
{
    emulated->driver().setLatency(7 * kMicrosecond);
    const Time before = clock->now();
    EXPECT_EQ(device.ClearDMA(), 1);
    EXPECT_EQ(clock->now() - before, 7 * kMicrosecond);
    unsigned char value = 0;
    const Time readStart = clock->now();
    ASSERT_EQ(device.ReadCanReg(1, CAN_REG_CANSTAT, 1, &value), 1);
    EXPECT_EQ(clock->now() - readStart, 4 * 7 * kMicrosecond) << "four requests for a read";
}

class CutApart : public EmulatorTest
{
protected:
    static EmulatorSettings cut()
    {
        EmulatorSettings settings;
        settings.channelsCutApart = true;
        return settings;
    }
    CutApart() : EmulatorTest(cut()) {}
};

TEST_F(CutApart, FramesDoNotCrossAndGoUnacknowledged)
{
    configureBoth(500);
    const unsigned char data[4] = {1, 2, 3, 4};
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, data, 4), 1);
    advance(5 * kMillisecond);
    EXPECT_TRUE(readBlocks(2).empty());
    EXPECT_EQ(device.CheckTransmit(1, 0), 6);
    EXPECT_GT(reg(1, CAN_REG_TEC), 0);
}

class ForeignNodeTest : public EmulatorTest
{
protected:
    static EmulatorSettings withForeignNode()
    {
        EmulatorSettings settings;
        settings.foreign.enabled = true;
        settings.foreign.channel = 2;
        settings.foreign.frame.id = 0x123;
        settings.foreign.frame.dlc = 2;
        settings.foreign.frame.data = {0xDE, 0xAD};
        settings.foreign.period = 10 * kMillisecond;
        return settings;
    }
    ForeignNodeTest() : EmulatorTest(withForeignNode()) {}
};

TEST_F(ForeignNodeTest, PutsItsOwnFramesOnTheBusAndAcknowledges)
{
    configureBoth(125);
    advance(35 * kMillisecond);
    auto blocks = readBlocks(2);
    ASSERT_GE(blocks.size(), 3u);
    EXPECT_LE(blocks.size(), 5u);
    EXPECT_EQ(blocks[0][5], 0x24) << "SIDH of 0x123";
    EXPECT_EQ(blocks[0][9], 2);
    EXPECT_EQ(blocks[0][10], 0xDE);
    EXPECT_GE(readBlocks(1).size(), 3u) << "one bus: channel 1 hears it too";
    const unsigned char data[4] = {1, 2, 3, 4};
    ASSERT_EQ(device.SetWorkMode(2, CAN_MODE_CONFIGURATION), 1);
    ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, data, 4), 1);
    advance(2 * kMillisecond);
    EXPECT_EQ(device.CheckTransmit(1, 0), 1) << "the foreign node acknowledges";
}

namespace {

std::optional<EmulatorSettings> parseSettings(const std::map<std::string, std::string> &values,
                                              std::string *error)
{
    return EmulatorSettings::parse(
        [&values](const char *name) {
            const auto found = values.find(name);
            return found == values.end() ? nullptr : found->second.c_str();
        },
        error);
}

} // namespace

TEST(EmulatorSettingsTest, WellFormedValuesAreRead)
{
    std::string error;
    const auto settings = parseSettings({{"KORVANE_EMU_LATENCY_US", "12"},
                                         {"KORVANE_EMU_FAIL_CODE", "0xA4602420"},
                                         {"KORVANE_EMU_FAIL_NTH", "500"},
                                         {"KORVANE_EMU_STUCK_BUSY", "2"},
                                         {"KORVANE_EMU_IGNORE_MODE", "1,2"},
                                         {"KORVANE_EMU_CUT", "1"},
                                         {"KORVANE_EMU_NO_BOARD", "0"},
                                         {"KORVANE_EMU_FOREIGN", "1:0x1ABCDEF:20:0102:7:250"},
                                         {"KORVANE_EMU_BUSLOG", "/tmp/x.log"},
                                         {"KORVANE_EMU_DMA_QUEUE", "010"},
                                         {"KORVANE_EMU_SOCKETCAND", "0.0.0.0:29536"},
                                         {"KORVANE_EMU_SOCKETCAND_BEACON", "1"},
                                         {"KORVANE_EMU_BUSLOG_ERRORS", "1"}},
                                        &error);
    ASSERT_TRUE(settings) << error;
    EXPECT_EQ(settings->requestLatency, 12 * kMicrosecond);
    EXPECT_EQ(settings->failCode, 0xA4602420u);
    EXPECT_EQ(settings->failNth, 500u);
    EXPECT_FALSE(settings->stuckBusy[0]);
    EXPECT_TRUE(settings->stuckBusy[1]);
    EXPECT_TRUE(settings->ignoreModeRequests[0] && settings->ignoreModeRequests[1]);
    EXPECT_TRUE(settings->channelsCutApart);
    EXPECT_FALSE(settings->noBoard);
    EXPECT_TRUE(settings->foreign.enabled);
    EXPECT_EQ(settings->foreign.channel, 1u);
    EXPECT_TRUE(settings->foreign.frame.extended);
    EXPECT_EQ(settings->foreign.frame.id, 0x1ABCDEFu);
    EXPECT_EQ(settings->foreign.period, 20 * kMillisecond);
    EXPECT_EQ(settings->foreign.frame.dlc, 2);
    EXPECT_EQ(settings->foreign.frame.data[1], 0x02);
    EXPECT_EQ(settings->foreign.count, 7u);
    EXPECT_EQ(settings->foreign.kbps, 250u);
    EXPECT_EQ(settings->busLogPath, "/tmp/x.log");
    EXPECT_EQ(settings->dmaQueueBlocks, 10u) << "decimal, not octal";
    EXPECT_EQ(settings->socketcandAddress, "0.0.0.0");
    EXPECT_EQ(settings->socketcandPort, 29536);
    EXPECT_TRUE(settings->socketcandBeacon);
    EXPECT_TRUE(settings->busLogErrors);
    const auto portOnly = parseSettings({{"KORVANE_EMU_SOCKETCAND", "65535"}}, &error);
    ASSERT_TRUE(portOnly) << error;
    EXPECT_EQ(portOnly->socketcandAddress, "127.0.0.1") << "loopback unless an address is given";
    EXPECT_EQ(portOnly->socketcandPort, 65535);
}

// Each of these was once guessed at: read as on, as another channel, wrapped,
// unbounded, or overflowed into undefined behaviour.
TEST(EmulatorSettingsTest, MalformedOrOutOfRangeValuesAreRefusedWithOneLine)
{
    const std::pair<const char *, const char *> refused[] = {
        {"KORVANE_EMU_NO_BOARD", "false"},
        {"KORVANE_EMU_CUT", "no"},
        {"KORVANE_EMU_STUCK_BUSY", "10"},
        {"KORVANE_EMU_IGNORE_MODE", "1 2"},
        {"KORVANE_EMU_LATENCY_US", "-1"},
        {"KORVANE_EMU_LATENCY_US", "99999999999999999"},
        {"KORVANE_EMU_LATENCY_US", "9223372036854775"},
        {"KORVANE_EMU_LATENCY_US", "1000001"},
        {"KORVANE_EMU_LATENCY_US", "0"},
        {"KORVANE_EMU_LATENCY_US", " 5"},
        {"KORVANE_EMU_DMA_QUEUE", "-1"},
        {"KORVANE_EMU_DMA_QUEUE", "0"},
        {"KORVANE_EMU_FAIL_NTH", "-5"},
        {"KORVANE_EMU_FAIL_CODE", "0x1A4602420"},
        {"KORVANE_EMU_FOREIGN", "2:0x123:1:ZZ:5"},
        {"KORVANE_EMU_FOREIGN", "2:0x123:99999999999999"},
        {"KORVANE_EMU_FOREIGN", "3:0x123:10"},
        {"KORVANE_EMU_FOREIGN", "2:0x20000000:10"},
        {"KORVANE_EMU_FOREIGN", "2:0x123:0"},
        {"KORVANE_EMU_FOREIGN", "2:0x123:10:123"},
        {"KORVANE_EMU_FOREIGN", "2:0x123:10:001122334455667788"},
        {"KORVANE_EMU_FOREIGN", "2:0x123:10:00:1:300"},
        {"KORVANE_EMU_FOREIGN", "2:0x123"},
        {"KORVANE_EMU_SOCKETCAND", "0"},
        {"KORVANE_EMU_SOCKETCAND", "65536"},
        {"KORVANE_EMU_SOCKETCAND", "0x1000"},
        {"KORVANE_EMU_SOCKETCAND", "localhost:29536"},
        {"KORVANE_EMU_SOCKETCAND", "127.0.0:29536"},
        {"KORVANE_EMU_SOCKETCAND", "127.0.0.01:29536"},
        {"KORVANE_EMU_SOCKETCAND", "256.0.0.1:29536"},
        {"KORVANE_EMU_SOCKETCAND", "127.0.0.1:"},
        {"KORVANE_EMU_SOCKETCAND", ":29536"},
        {"KORVANE_EMU_SOCKETCAND", "[::1]:29536"},
        {"KORVANE_EMU_SOCKETCAND_BEACON", "yes"},
        {"KORVANE_EMU_BUSLOG_ERRORS", "2"},
        {"KORVANE_EMU_BOARDS", "0"},
        {"KORVANE_EMU_BOARDS", "17"},
        {"KORVANE_EMU_FAULT_BOARD", "16"},
    };
    for (const auto &[name, value] : refused) {
        std::string error;
        EXPECT_FALSE(parseSettings({{name, value}}, &error)) << name << "=" << value;
        EXPECT_EQ(error.find('\n'), std::string::npos);
        EXPECT_EQ(error.rfind(std::string(name) + "=" + value + " is not accepted: expected ", 0), 0u)
            << error;
    }
}

// Settings that only make sense beside another say which.
TEST(EmulatorSettingsTest, SettingsThatNeedAnotherAreRefusedAlone)
{
    std::string error;
    EXPECT_FALSE(parseSettings({{"KORVANE_EMU_SOCKETCAND_BEACON", "1"}}, &error));
    EXPECT_EQ(error.rfind("KORVANE_EMU_SOCKETCAND_BEACON=1 is not accepted: ", 0), 0u) << error;
    EXPECT_FALSE(parseSettings({{"KORVANE_EMU_BUSLOG_ERRORS", "1"}}, &error));
    EXPECT_EQ(error.rfind("KORVANE_EMU_BUSLOG_ERRORS=1 is not accepted: ", 0), 0u) << error;
    EXPECT_TRUE(parseSettings({{"KORVANE_EMU_SOCKETCAND_BEACON", "0"}, {"KORVANE_EMU_BUSLOG_ERRORS", "0"}}, &error))
        << error;
    EXPECT_FALSE(parseSettings({{"KORVANE_EMU_BOARDS", "4"}, {"KORVANE_EMU_FAULT_BOARD", "4"}}, &error));
    EXPECT_EQ(error.rfind("KORVANE_EMU_FAULT_BOARD=4 is not accepted: there is no such board", 0), 0u) << error;
    EXPECT_FALSE(parseSettings({{"KORVANE_EMU_BOARDS", "3"}, {"KORVANE_EMU_SOCKETCAND", "65534"}}, &error));
    EXPECT_EQ(error.rfind("KORVANE_EMU_SOCKETCAND=65534 is not accepted: ", 0), 0u) << error;
}

// Several boards: the faults only on the board they are put on, a bus log
// and a bridge port of each board's own.
TEST(EmulatorSettingsTest, EachBoardHasItsOwnBusLogPortAndFaults)
{
    std::string error;
    const auto settings = parseSettings({{"KORVANE_EMU_BOARDS", "3"},
                                         {"KORVANE_EMU_FAULT_BOARD", "1"},
                                         {"KORVANE_EMU_CUT", "1"},
                                         {"KORVANE_EMU_STUCK_BUSY", "2"},
                                         {"KORVANE_EMU_FAIL_NTH", "7"},
                                         {"KORVANE_EMU_DMA_QUEUE", "1"},
                                         {"KORVANE_EMU_FOREIGN", "2:0x10:7"},
                                         {"KORVANE_EMU_LATENCY_US", "20"},
                                         {"KORVANE_EMU_SOCKETCAND", "29536"},
                                         {"KORVANE_EMU_BUSLOG", "/tmp/run.1/bus.log"}},
                                        &error);
    ASSERT_TRUE(settings) << error;
    for (unsigned index = 0; index < 3; ++index) {
        const EmulatorSettings board = settings->forBoard(index);
        const bool faulty = index == 1;
        EXPECT_EQ(board.channelsCutApart, faulty);
        EXPECT_EQ(board.stuckBusy[1], faulty);
        EXPECT_EQ(board.failNth, faulty ? 7u : 0u);
        EXPECT_EQ(board.dmaQueueBlocks, faulty ? 1u : EmulatorSettings().dmaQueueBlocks);
        EXPECT_EQ(board.foreign.enabled, faulty);
        EXPECT_EQ(board.requestLatency, 20 * kMicrosecond); // not a fault: every board's
        EXPECT_EQ(board.socketcandPort, 29536 + index);
        EXPECT_EQ(board.busLogPath, "/tmp/run.1/bus-" + std::to_string(index) + ".log");
    }
    // One board keeps its names; without a board named, every board has the faults.
    const auto one = parseSettings({{"KORVANE_EMU_CUT", "1"}, {"KORVANE_EMU_BUSLOG", "/tmp/run.1/bus"}}, &error);
    ASSERT_TRUE(one) << error;
    EXPECT_EQ(one->forBoard(0).busLogPath, "/tmp/run.1/bus");
    EXPECT_TRUE(one->forBoard(0).channelsCutApart);
    const auto two = parseSettings({{"KORVANE_EMU_BOARDS", "2"}, {"KORVANE_EMU_CUT", "1"},
                                    {"KORVANE_EMU_BUSLOG", "/tmp/run.1/bus"}}, &error);
    ASSERT_TRUE(two) << error;
    EXPECT_EQ(two->forBoard(1).busLogPath, "/tmp/run.1/bus-1");
    EXPECT_TRUE(two->forBoard(1).channelsCutApart);
}

TEST(EmulatorSettingsTest, UnknownVariableOfTheEmulatorIsRefused)
{
    setenv("KORVANE_EMU_LATENCY", "10", 1);
    std::string error;
    const auto settings = EmulatorSettings::fromEnvironment(&error);
    unsetenv("KORVANE_EMU_LATENCY");
    EXPECT_FALSE(settings);
    EXPECT_EQ(error.rfind("KORVANE_EMU_LATENCY is not a setting", 0), 0u) << error;
    EXPECT_NE(error.find("KORVANE_EMU_LATENCY_US"), std::string::npos);
}

// A memory request for no bytes may come without an output buffer.
TEST_F(Faults, MemoryRequestForNoBytesNeedsNoBuffer)
{
    const DWORD input[3] = {0, CAN_BOARD_SPI_DATA_CH1, 0};
    HANDLE handle = CreateFileA("\\\\.\\CAN0", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD returned = 1;
    EXPECT_TRUE(DeviceIoControl(handle, IOCTL_CAN_READ_MEM, const_cast<DWORD *>(input), sizeof input,
                                nullptr, 0, &returned, nullptr));
    EXPECT_EQ(returned, 0u);
    CloseHandle(handle);
}
