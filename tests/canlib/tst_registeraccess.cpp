#include "canlibtest.h"

#include <cctype>
#include <functional>
#include <optional>
#include <cstring>
#include <ostream>
#include <string>

using RegisterAccess = CanLibTest;

TEST_F(RegisterAccess, BoardRegisterRequestsCarryAddressAndValue)
{
    driver().setBoardReg(CAN_BOARD_DMA_CONTROL, 0x12345678);
    unsigned int value = 0;
    EXPECT_EQ(device.ReadReg(CAN_BOARD_DMA_CONTROL, &value), 1);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(device.WriteReg(CAN_BOARD_DMA_CONTROL, 0xCAFEF00D), 1);
    auto requests = driver().requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, 0xA46025F8u);
    EXPECT_EQ(requests[0].in.size(), 4u);
    EXPECT_EQ(requests[0].outSize, 4u);
    EXPECT_EQ(requests[1].code, 0xA46025F4u);
    EXPECT_EQ(requests[1].word(0), 0x1000u);
    EXPECT_EQ(requests[1].word(1), 0xCAFEF00Du);
    EXPECT_EQ(requests[1].outSize, 0u);
    EXPECT_EQ(driver().boardReg(CAN_BOARD_DMA_CONTROL), 0xCAFEF00Du);
}

TEST_F(RegisterAccess, BoardRegisterFailuresAreNotRetried)
{
    failWhen([](size_t, const RecordedRequest &) { return true; });
    unsigned int value = 0;
    EXPECT_EQ(device.ReadReg(0x1000, &value), 0);
    EXPECT_EQ(device.WriteReg(0x1000, 1), 0);
    EXPECT_EQ(driver().requestCount(), 2u);
}

TEST_F(RegisterAccess, ReadMemRetriesWithOneSleepBeforeTheThirdAttempt)
{
    failWhen([](size_t index, const RecordedRequest &) { return index < 2; });
    unsigned char bytes[4];
    EXPECT_EQ(device.ReadMem(CAN_BOARD_SPI_DATA_CH1, bytes, 4), 1);
    EXPECT_EQ(driver().requestCount(), 3u);
    ASSERT_EQ(sleeps.size(), 1u);
    EXPECT_EQ(sleeps[0].ms, 1u);
    EXPECT_EQ(sleeps[0].requestsBefore, 2u) << "no sleep before the second attempt";
    auto request = driver().requests()[0];
    EXPECT_EQ(request.code, 0xA4606550u);
    EXPECT_EQ(request.word(0), 0u) << "reserved word";
    EXPECT_EQ(request.word(1), 0x2000u);
    EXPECT_EQ(request.word(2), 4u);
    EXPECT_EQ(request.outSize, 4u);
}

TEST_F(RegisterAccess, ReadMemCountsShortReadsAsFailuresAndGivesUpAfterFive)
{
    driver().setScript([](size_t, const RecordedRequest &) {
        ScriptedReply reply;
        reply.out = {1, 2, 3};
        return std::optional<ScriptedReply>(reply);
    });
    unsigned char bytes[4];
    EXPECT_EQ(device.ReadMem(CAN_BOARD_SPI_DATA_CH1, bytes, 4), 0);
    EXPECT_EQ(driver().requestCount(), 5u);
    EXPECT_EQ(sleeps.size(), 3u);
}

TEST_F(RegisterAccess, WriteMemCountsReturnedBytesAsFailureAndRefillsEachAttempt)
{
    driver().setScript([](size_t index, const RecordedRequest &) -> std::optional<ScriptedReply> {
        if (index < 3) {
            ScriptedReply reply;
            reply.returned = 1;
            return reply;
        }
        return std::nullopt;
    });
    const unsigned char data[3] = {0xAA, 0xBB, 0xCC};
    EXPECT_EQ(device.WriteMem(CAN_BOARD_SPI_DATA_CH2, data, 3), 1);
    auto requests = driver().requests();
    ASSERT_EQ(requests.size(), 4u);
    for (const auto &request : requests) {
        EXPECT_EQ(request.code, 0xA460A554u);
        ASSERT_EQ(request.in.size(), 15u);
        EXPECT_EQ(request.word(0), 0u);
        EXPECT_EQ(request.word(1), 0x2010u);
        EXPECT_EQ(request.word(2), 3u);
        EXPECT_EQ(request.in[12], 0xAA);
        EXPECT_EQ(request.in[14], 0xCC);
        EXPECT_EQ(request.outSize, 0u);
    }
    EXPECT_EQ(sleeps.size(), 2u);
}

TEST_F(RegisterAccess, WriteMemRefusesALengthWhoseRequestWouldWrapBeforeAnyRequest)
{
    const unsigned char byte = 0;
    EXPECT_EQ(device.WriteMem(0x2000, &byte, 0xFFFFFFF4u), 0);
    EXPECT_EQ(device.WriteMem(0x2000, &byte, 0xFFFFFFFFu), 0);
    EXPECT_EQ(driver().requestCount(), 0u);
}

TEST_F(RegisterAccess, ReadCanRegIsOneReadTransaction)
{
    for (unsigned i = 0; i < 16; ++i)
        driver().setReg(2, 0x30 + i, uint8_t(0x10 + i));
    unsigned char bytes[16] = {};
    EXPECT_EQ(device.ReadCanReg(2, 0x30, 16, bytes), 1);
    for (unsigned i = 0; i < 16; ++i)
        EXPECT_EQ(bytes[i], 0x10 + i);
    auto requests = driver().requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_TRUE(isBridgeRead(requests[0]));
    EXPECT_EQ(requests[0].word(0), 0x1054u);
    EXPECT_EQ(requests[1].code, 0xA46025F4u);
    EXPECT_EQ(requests[1].word(0), 0x1054u);
    EXPECT_EQ(requests[1].word(1), 0x300F0003u) << "address << 24 | (count - 1) << 16 | READ";
    EXPECT_TRUE(isBridgeRead(requests[2]));
    EXPECT_EQ(requests[3].code, 0xA4606550u);
    EXPECT_EQ(requests[3].word(1), 0x2010u);
    EXPECT_EQ(requests[3].word(2), 16u);
}

TEST_F(RegisterAccess, WriteCanRegIsOneSingleByteTransactionPerByte)
{
    const unsigned char data[3] = {0x11, 0x22, 0x33};
    EXPECT_EQ(device.WriteCanReg(1, 0x36, 3, data), 1);
    auto requests = driver().requests();
    ASSERT_EQ(requests.size(), 10u);
    EXPECT_TRUE(isBridgeRead(requests[0]));
    for (unsigned i = 0; i < 3; ++i) {
        const auto &mem = requests[1 + 3 * i];
        const auto &cmd = requests[2 + 3 * i];
        EXPECT_EQ(mem.code, 0xA460A554u);
        EXPECT_EQ(mem.word(1), 0x2000u);
        EXPECT_EQ(mem.word(2), 1u);
        EXPECT_EQ(cmd.word(0), 0x1044u);
        EXPECT_EQ(cmd.word(1), ((0x36u + i) << 24) | 0x02u);
        EXPECT_TRUE(isBridgeRead(requests[3 + 3 * i]));
    }
    EXPECT_EQ(driver().reg(1, 0x36), 0x11);
    EXPECT_EQ(driver().reg(1, 0x38), 0x33);
}

TEST_F(RegisterAccess, WriteCanRegOfNoBytesOnlyWaitsForTheBridge)
{
    EXPECT_EQ(device.WriteCanReg(1, 0x30, 0, nullptr), 1);
    auto requests = driver().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(isBridgeRead(requests[0]));
}

TEST_F(RegisterAccess, BadChannelAndOversizeCountAreRejectedBeforeAnyRequest)
{
    unsigned char bytes[17] = {};
    EXPECT_EQ(device.ReadCanReg(0, 0x0E, 1, bytes), 2);
    EXPECT_EQ(device.ReadCanReg(3, 0x0E, 1, bytes), 2);
    EXPECT_EQ(device.WriteCanReg(0, 0x0E, 1, bytes), 2);
    EXPECT_EQ(device.WriteCanReg(3, 0x0E, 1, bytes), 2);
    EXPECT_EQ(device.ReadCanReg(1, 0x30, 17, bytes), 3);
    EXPECT_EQ(device.WriteCanReg(1, 0x30, 17, bytes), 3);
    EXPECT_EQ(device.ReadCanReg(3, 0x30, 17, bytes), 2) << "channel checked first";
    EXPECT_EQ(device.ReadCanReg(1, 0x30, 0, bytes), 3) << "a count of 0 is rejected";
    EXPECT_EQ(driver().requestCount(), 0u);
    EXPECT_EQ(device.WriteCanReg(1, 0x30, 16, bytes), 1);
}

TEST_F(RegisterAccess, BridgeThatNeverClearsBusyGives5AfterExactly100Reads)
{
    driver().setScript([](size_t, const RecordedRequest &request) -> std::optional<ScriptedReply> {
        if (isBridgeRead(request))
            return busyReply();
        return std::nullopt;
    });
    unsigned char byte = 0;
    EXPECT_EQ(device.ReadCanReg(1, 0x0E, 1, &byte), 5);
    EXPECT_EQ(driver().requestCount(), 100u);
    EXPECT_EQ(driver().countOf(IOCTL_CAN_WRITE_REG), 0u) << "no command written";
    driver().clearRequests();
    EXPECT_EQ(device.WriteCanReg(1, 0x0F, 1, &byte), 5);
    EXPECT_EQ(driver().requestCount(), 100u);
    EXPECT_EQ(driver().countOf(IOCTL_CAN_WRITE_MEM), 0u);
}

TEST_F(RegisterAccess, BridgeBusyForAWhileIsWaitedOut)
{
    driver().setScript([](size_t index, const RecordedRequest &request)
                           -> std::optional<ScriptedReply> {
        if (isBridgeRead(request) && index < 99)
            return busyReply();
        return std::nullopt;
    });
    unsigned char byte = 0;
    EXPECT_EQ(device.ReadCanReg(1, 0x0E, 1, &byte), 1) << "the 100th read finds it idle";
}

struct StepFailure {
    friend void PrintTo(const StepFailure &step, std::ostream *os) { *os << step.what; }
    const char *what;
    size_t failingIndex; // request index that fails
    bool busy;           // answer busy from that index on instead of failing
    int expected;
};

std::string stepName(const ::testing::TestParamInfo<StepFailure> &info)
{
    std::string name;
    for (const char *c = info.param.what; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

class ReadCanRegFailures : public CanLibTest, public ::testing::WithParamInterface<StepFailure>
{};

TEST_P(ReadCanRegFailures, EachStepHasItsCode)
{
    const StepFailure step = GetParam();
    driver().setScript([step](size_t index, const RecordedRequest &request)
                           -> std::optional<ScriptedReply> {
        if (step.busy && index >= step.failingIndex && isBridgeRead(request))
            return busyReply();
        if (!step.busy && index >= step.failingIndex &&
            (index == step.failingIndex || request.code == IOCTL_CAN_READ_MEM))
            return ScriptedDriver::failure();
        return std::nullopt;
    });
    unsigned char byte = 0;
    EXPECT_EQ(device.ReadCanReg(1, 0x0E, 1, &byte), step.expected) << step.what;
}

INSTANTIATE_TEST_SUITE_P(Steps, ReadCanRegFailures,
                         ::testing::Values(StepFailure{"bridge read before", 0, false, 4},
                                           StepFailure{"busy before", 0, true, 5},
                                           StepFailure{"command write", 1, false, 6},
                                           StepFailure{"bridge read after", 2, false, 7},
                                           StepFailure{"busy after", 2, true, 8},
                                           StepFailure{"data buffer read", 3, false, 9}),
                         stepName);

class WriteCanRegFailures : public CanLibTest, public ::testing::WithParamInterface<StepFailure>
{};

TEST_P(WriteCanRegFailures, EachStepHasItsCode)
{
    const StepFailure step = GetParam();
    driver().setScript([step](size_t index, const RecordedRequest &request)
                           -> std::optional<ScriptedReply> {
        if (step.busy && index >= step.failingIndex && isBridgeRead(request))
            return busyReply();
        if (!step.busy && index >= step.failingIndex &&
            (index == step.failingIndex || request.code == IOCTL_CAN_WRITE_MEM))
            return ScriptedDriver::failure();
        return std::nullopt;
    });
    const unsigned char data[2] = {1, 2};
    EXPECT_EQ(device.WriteCanReg(1, 0x30, 2, data), step.expected) << step.what;
}

// Requests of a two-byte write: 0 bridge read; 1 data, 2 command, 3 bridge
// read (first byte); 4 data, 5 command, 6 bridge read (second byte).
INSTANTIATE_TEST_SUITE_P(Steps, WriteCanRegFailures,
                         ::testing::Values(StepFailure{"bridge read before", 0, false, 4},
                                           StepFailure{"busy before", 0, true, 5},
                                           StepFailure{"data write", 1, false, 6},
                                           StepFailure{"command write", 2, false, 7},
                                           StepFailure{"bridge read after", 3, false, 8},
                                           StepFailure{"busy after", 3, true, 9},
                                           StepFailure{"second data write", 4, false, 6},
                                           StepFailure{"second command", 5, false, 7},
                                           StepFailure{"busy after second", 6, true, 9}),
                         stepName);

TEST_F(RegisterAccess, FailedWriteLeavesEarlierBytesWritten)
{
    failWhen([](size_t index, const RecordedRequest &) { return index == 5; });
    const unsigned char data[2] = {0x5A, 0xA5};
    EXPECT_EQ(device.WriteCanReg(1, 0x31, 2, data), 7);
    EXPECT_EQ(driver().reg(1, 0x31), 0x5A);
    EXPECT_EQ(driver().reg(1, 0x32), 0x00);
}

// Consecutive registers in one SPI transaction: the bytes into the data
// buffer at once, one command word with the count, the bridge waited for on
// both sides.
TEST_F(RegisterAccess, BurstWriteIsOneTransaction)
{
    const unsigned char frame[9] = {0x15, 0x68, 0x00, 0xBA, 4, 41, 0, 0, 0};
    EXPECT_EQ(device.WriteCanRegs(2, 0x41, 9, frame), 1);
    const auto requests = driver().requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_TRUE(isBridgeRead(requests[0]));
    EXPECT_EQ(requests[1].code, IOCTL_CAN_WRITE_MEM);
    EXPECT_EQ(requests[1].word(1), CAN_BOARD_SPI_DATA_CH2);
    EXPECT_EQ(requests[1].word(2), 9u);
    EXPECT_EQ(requests[2].code, IOCTL_CAN_WRITE_REG);
    EXPECT_EQ(requests[2].word(0), CAN_BOARD_SPI_BRIDGE_CH2);
    EXPECT_EQ(requests[2].word(1), 0x41080002u);
    EXPECT_TRUE(isBridgeRead(requests[3]));
    for (unsigned i = 0; i < 9; ++i)
        EXPECT_EQ(driver().reg(2, 0x41 + i), frame[i]) << i;

    // A caller that alone uses the bridge leaves either wait to the
    // transaction beside it: the data and the command only.
    driver().clearRequests();
    EXPECT_EQ(device.WriteCanRegs(2, 0x41, 9, frame, 0), 1);
    const auto posted = driver().requests();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].code, IOCTL_CAN_WRITE_MEM);
    EXPECT_EQ(posted[1].code, IOCTL_CAN_WRITE_REG);
    driver().clearRequests();
    EXPECT_EQ(device.WriteCanRegs(2, 0x41, 9, frame, CAN_BRIDGE_WAIT_BEFORE), 1);
    ASSERT_EQ(driver().requests().size(), 3u);
    EXPECT_TRUE(isBridgeRead(driver().requests()[0]));
}

TEST_F(RegisterAccess, BurstWriteSaysWhichStepFailed)
{
    const unsigned char bytes[2] = {1, 2};
    EXPECT_EQ(device.WriteCanRegs(3, 0x30, 2, bytes), 2);
    EXPECT_EQ(device.WriteCanRegs(1, 0x30, 0, bytes), 3);
    EXPECT_EQ(device.WriteCanRegs(1, 0x30, 17, bytes), 3);
    EXPECT_EQ(driver().requestCount(), 0u);
    using Pick = bool (*)(size_t, const RecordedRequest &);
    struct Case {
        const char *name;
        Pick pick; // the request answered otherwise
        bool busy; // with a busy bridge, else with a failure
        int expected;
    } const cases[] = {
        {"bridge unreadable before", [](size_t i, const RecordedRequest &) { return i == 0; }, false, 4},
        {"bridge busy before", [](size_t, const RecordedRequest &r) { return isBridgeRead(r); }, true, 5},
        {"data not written", [](size_t, const RecordedRequest &r) { return r.code == IOCTL_CAN_WRITE_MEM; }, false, 6},
        {"command not written", [](size_t, const RecordedRequest &r) { return r.code == IOCTL_CAN_WRITE_REG; }, false, 7},
        {"bridge unreadable after", [](size_t i, const RecordedRequest &r) { return i > 0 && isBridgeRead(r); }, false, 8},
        {"bridge busy after", [](size_t i, const RecordedRequest &r) { return i > 0 && isBridgeRead(r); }, true, 9},
    };
    for (const Case &c : cases) {
        driver().clearRequests();
        driver().setScript([&c](size_t i, const RecordedRequest &r) -> std::optional<ScriptedReply> {
            if (!c.pick(i, r))
                return std::nullopt;
            return c.busy ? busyReply() : ScriptedDriver::failure();
        });
        EXPECT_EQ(device.WriteCanRegs(1, 0x30, 2, bytes), c.expected) << c.name;
    }
}

// RTS: one command word with the buffers' mask and no data.
TEST_F(RegisterAccess, RequestToSendIsOneCommand)
{
    EXPECT_EQ(device.RequestToSend(2, 0x5, 0), 1);
    const auto requests = driver().requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, IOCTL_CAN_WRITE_REG);
    EXPECT_EQ(requests[0].word(0), CAN_BOARD_SPI_BRIDGE_CH2);
    EXPECT_EQ(requests[0].word(1), 0x85u);
    EXPECT_EQ(device.RequestToSend(1, 0), 3);
    EXPECT_EQ(device.RequestToSend(1, 8), 3);
    EXPECT_EQ(device.RequestToSend(3, 1), 2);
    failWhen([](size_t, const RecordedRequest &r) { return r.code == IOCTL_CAN_WRITE_REG; });
    EXPECT_EQ(device.RequestToSend(1, 1, 0), 7);
}

// READ STATUS: its command word, then the byte from the data buffer.
TEST_F(RegisterAccess, StatusIsOneTransaction)
{
    driver().setScript([](size_t, const RecordedRequest &r) -> std::optional<ScriptedReply> {
        if (r.code != IOCTL_CAN_READ_MEM)
            return std::nullopt;
        ScriptedReply reply;
        reply.out = {0x54};
        return reply;
    });
    unsigned char status = 0;
    EXPECT_EQ(device.ReadCanStatus(1, &status), 1);
    EXPECT_EQ(status, 0x54);
    const auto requests = driver().requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].code, IOCTL_CAN_WRITE_REG);
    EXPECT_EQ(requests[1].word(0), CAN_BOARD_SPI_BRIDGE_CH1);
    EXPECT_EQ(requests[1].word(1), 0xA0u);
    EXPECT_EQ(requests[3].code, IOCTL_CAN_READ_MEM);
    EXPECT_EQ(requests[3].word(1), CAN_BOARD_SPI_DATA_CH1);
    EXPECT_EQ(requests[3].word(2), 1u);
    // After the caller's own transaction was seen to end: no wait before.
    driver().clearRequests();
    EXPECT_EQ(device.ReadCanStatus(1, &status, false), 1);
    ASSERT_EQ(driver().requests().size(), 3u);
    EXPECT_EQ(driver().requests()[0].code, IOCTL_CAN_WRITE_REG);
    EXPECT_EQ(device.ReadCanStatus(0, &status), 2);
    failWhen([](size_t, const RecordedRequest &r) { return r.code == IOCTL_CAN_READ_MEM; });
    EXPECT_EQ(device.ReadCanStatus(2, &status), 9);
}
