// The Windows test driver's board service, built here as it is built into
// the driver: which requests a handle's access allows, and its settings
// refused as on Linux. (Wine hands the driver no access of a handle, so the
// first is tested here; under Wine the I/O manager checks only the access
// bits in the control codes.)
#include "boardservice.h"
#include "driverrequests.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace boardemu;

TEST(DriverService, RequestsNeedTheAccessTheyUse)
{
    const uint32_t genericRead = 0x80000000u, genericWrite = 0x40000000u, genericAll = 0x10000000u,
                   maximumAllowed = 0x02000000u, readData = 0x0001u, writeData = 0x0002u, synchronize = 0x00100000u;
    const uint32_t reads[] = {ioctl::READ_REG, ioctl::READ_MEM};
    const uint32_t changes[] = {ioctl::WRITE_REG, ioctl::WRITE_MEM, ioctl::CLEAR_DMA, ioctl::SET_CANONICAL_DMA,
                                ioctl::READ_DMA_BLOCKS, 0x12345678u};
    for (uint32_t code : reads) {
        for (uint32_t access : {genericRead, readData, genericAll, maximumAllowed, genericRead | genericWrite})
            EXPECT_TRUE(kvAccessAllows(code, access)) << std::hex << code << " " << access;
        for (uint32_t access : {0u, genericWrite, writeData, synchronize})
            EXPECT_FALSE(kvAccessAllows(code, access)) << std::hex << code << " " << access;
    }
    for (uint32_t code : changes) {
        for (uint32_t access : {genericWrite, writeData, genericAll, maximumAllowed, genericRead | genericWrite})
            EXPECT_TRUE(kvAccessAllows(code, access)) << std::hex << code << " " << access;
        for (uint32_t access : {0u, genericRead, readData, synchronize})
            EXPECT_FALSE(kvAccessAllows(code, access)) << std::hex << code << " " << access;
    }
}

namespace {

KvBoard *create(const std::vector<std::pair<const char *, const char *>> &settings, std::string *error,
                unsigned index = 0)
{
    std::vector<const char *> names, values;
    for (const auto &[name, value] : settings) {
        names.push_back(name);
        values.push_back(value);
    }
    char text[512] = "";
    KvBoard *board = kvBoardCreate(names.data(), values.data(), unsigned(names.size()), index, text, sizeof text);
    *error = text;
    return board;
}

} // namespace

// The driver's settings give the same refusals as the Linux environment's,
// and the bridge, which the driver has not, is refused with its reason.
TEST(DriverService, SettingsAreRefusedWithTheirReasons)
{
    std::string error;
    EXPECT_EQ(create({{"KORVANE_EMU_DMA_QUEUE", "0"}}, &error), nullptr);
    EXPECT_EQ(error.rfind("KORVANE_EMU_DMA_QUEUE=0 is not accepted: expected ", 0), 0u) << error;
    EXPECT_EQ(create({{"KORVANE_EMU_BUSLOG", "/nonexistent/folder/bus.log"}}, &error), nullptr);
    EXPECT_EQ(error, "KORVANE_EMU_BUSLOG=/nonexistent/folder/bus.log is not accepted: the file cannot be opened "
                     "for appending");
    EXPECT_EQ(create({{"KORVANE_EMU_SOCKETCAND", "29536"}}, &error), nullptr);
    EXPECT_EQ(error.rfind("KORVANE_EMU_SOCKETCAND is not accepted here", 0), 0u) << error;

    KvBoard *board = create({{"KORVANE_EMU_LATENCY_US", "7"}}, &error);
    ASSERT_NE(board, nullptr) << error;
    EXPECT_EQ(kvBoardLatency100ns(board), 70);
    EXPECT_EQ(kvBoardCount(board), 1u);
    kvBoardDestroy(board);
}

// The driver's boards: each built by its index, the faults on the one they
// are put on; requests pend on one board only.
TEST(DriverService, SeveralBoardsEachByItsIndex)
{
    std::string error;
    const std::vector<std::pair<const char *, const char *>> settings = {
        {"KORVANE_EMU_BOARDS", "3"}, {"KORVANE_EMU_FAULT_BOARD", "2"}, {"KORVANE_EMU_NO_BOARD", "1"}};
    for (unsigned index = 0; index < 3; ++index) {
        KvBoard *board = create(settings, &error, index);
        ASSERT_NE(board, nullptr) << error;
        EXPECT_EQ(kvBoardCount(board), 3u);
        EXPECT_EQ(kvBoardAbsent(board), index == 2 ? 1 : 0) << index;
        kvBoardDestroy(board);
    }
    EXPECT_EQ(create(settings, &error, 3), nullptr);
    EXPECT_EQ(error, "there is no board 3");
    EXPECT_EQ(create({{"KORVANE_EMU_BOARDS", "2"}, {"KORVANE_EMU_PENDING", "1"}}, &error), nullptr);
    EXPECT_EQ(error.rfind("KORVANE_EMU_PENDING=1 is not accepted here with several boards", 0), 0u) << error;
}
