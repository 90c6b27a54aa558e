#include "canlibtest.h"

#include <thread>

using Transmission = CanLibTest;

namespace {
const unsigned char kData[8] = {0x29, 0x00, 0x00, 0x00, 0x55, 0x66, 0x77, 0x88};
}

TEST_F(Transmission, ExtendedDataFrameWritesRegistersInOrder)
{
    EXPECT_EQ(device.SendData(2, 1, 3, 0xAB, 0xBA, kData, 4), 1);
    auto writes = driver().controllerWrites();
    const std::vector<ControllerWrite> expected = {
        {2, 0x46, 0x29}, {2, 0x47, 0x00}, {2, 0x48, 0x00}, {2, 0x49, 0x00}, // data
        {2, 0x45, 0x04},                                                   // DLC
        {2, 0x44, 0xBA},                                                   // EID0
        {2, 0x43, 0x00},                                                   // EID8
        {2, 0x42, 0x68},                                                   // SIDL
        {2, 0x41, 0x15},                                                   // SIDH
        {2, 0x40, 0x0B},                                                   // TXREQ | priority
    };
    EXPECT_EQ(writes, expected);
    // The data bytes go in one WriteCanReg: a single bridge wait before them.
    auto requests = driver().requests();
    EXPECT_TRUE(isBridgeRead(requests[0]));
    EXPECT_EQ(requests[1].code, IOCTL_CAN_WRITE_MEM);
}

TEST_F(Transmission, ExtendedIdentifierHighBitsGoToSidl)
{
    EXPECT_EQ(device.SendData(1, 0, 0, 0x7FF, 0x3FFFF, kData, 8), 1);
    EXPECT_EQ(driver().reg(1, 0x32), 0xE0 | 0x08 | 0x03);
    EXPECT_EQ(driver().reg(1, 0x33), 0xFF);
    EXPECT_EQ(driver().reg(1, 0x34), 0xFF);
    EXPECT_EQ(driver().reg(1, 0x31), 0xFF);
    EXPECT_EQ(driver().reg(1, 0x35), 8);
}

TEST_F(Transmission, RemoteFrameWritesRtrAndClearsThreeDataBytes)
{
    driver().setReg(1, 0x36, 0xEE);
    EXPECT_EQ(device.SendData(1, 0, 0, 0x12, CAN_STANDARD_FRAME, nullptr, 0), 1);
    auto writes = driver().controllerWrites();
    ASSERT_GE(writes.size(), 4u);
    EXPECT_EQ(writes[0], (ControllerWrite{1, 0x35, 0x40}));
    EXPECT_EQ(writes[1], (ControllerWrite{1, 0x36, 0x00}));
    EXPECT_EQ(writes[3], (ControllerWrite{1, 0x38, 0x00}));
}

TEST_F(Transmission, StandardFrameLeavesExtendedIdentifierUntouched)
{
    driver().setReg(1, 0x53, 0x5A);
    driver().setReg(1, 0x54, 0xA5);
    EXPECT_EQ(device.SendData(1, 2, 1, 0xAB, CAN_STANDARD_FRAME, kData, 2), 1);
    auto writes = driver().controllerWrites();
    const std::vector<ControllerWrite> expected = {
        {1, 0x56, 0x29}, {1, 0x57, 0x00}, {1, 0x55, 0x02},
        {1, 0x52, 0x60}, {1, 0x51, 0x15}, {1, 0x50, 0x09},
    };
    EXPECT_EQ(writes, expected);
    EXPECT_EQ(driver().reg(1, 0x53), 0x5A);
    EXPECT_EQ(driver().reg(1, 0x54), 0xA5);
}

TEST_F(Transmission, OutOfRangeExtendedIdentifierGives7AfterDataWithoutRequest)
{
    EXPECT_EQ(device.SendData(1, 0, 0, 0xAB, 0x40000, kData, 4), 7);
    auto writes = driver().controllerWrites();
    ASSERT_EQ(writes.size(), 5u) << "four data bytes and DLC stay written";
    EXPECT_EQ(writes[4], (ControllerWrite{1, 0x35, 0x04}));
    for (const auto &write : writes)
        EXPECT_NE(write.address, 0x30u) << "no transmit request";
}

TEST_F(Transmission, ArgumentChecksReturnBeforeAnyWrite)
{
    EXPECT_EQ(device.SendData(0, 0, 0, 0xAB, 0xBA, kData, 4), 2);
    EXPECT_EQ(device.SendData(1, 0, 0, 0x800, 0xBA, kData, 4), 3);
    EXPECT_EQ(device.SendData(1, 3, 0, 0xAB, 0xBA, kData, 4), 4);
    EXPECT_EQ(device.SendData(1, 0, 4, 0xAB, 0xBA, kData, 4), 5);
    EXPECT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kData, 9), 6);
    EXPECT_EQ(driver().requestCount(), 0u);
}

TEST_F(Transmission, LockIsReleasedOnEveryReturn)
{
    EXPECT_EQ(device.SendData(1, 3, 0, 0xAB, 0xBA, kData, 4), 4);
    EXPECT_EQ(device.SendData(1, 0, 0, 0xAB, 0x40000, kData, 4), 7);
    failWhen([](size_t, const RecordedRequest &) { return true; });
    EXPECT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kData, 4), 8);
    driver().setScript({});
    // Another thread can only load a frame if every return left the lock.
    int result = 0;
    std::thread other([&] { result = device.SendData(1, 0, 0, 0xAB, 0xBA, kData, 4); });
    other.join();
    EXPECT_EQ(result, 1);
}

TEST_F(Transmission, AFailedWriteAtEachStepGives8)
{
    // Writes of a 1-byte extended frame: data, DLC, EID0, EID8, SIDL, SIDH, CTRL.
    for (unsigned failing = 0; failing < 7; ++failing) {
        unsigned seen = 0;
        driver().setScript([&seen, failing](size_t, const RecordedRequest &request)
                               -> std::optional<ScriptedReply> {
            if (request.code == IOCTL_CAN_WRITE_REG && (request.word(1) & 0xFF) == 0x02 &&
                seen++ == failing)
                return ScriptedDriver::failure();
            return std::nullopt;
        });
        EXPECT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, kData, 1), 8) << "write " << failing;
    }
}

TEST_F(Transmission, CheckTransmitStatusBits)
{
    struct Case {
        uint8_t ctrl;
        int expected;
    };
    const Case cases[] = {{0x00, 1}, {0x03, 1}, {0x20, 1}, {0x08, 7}, {0x18, 6},
                          {0x10, 6}, {0x40, 5}, {0x50, 5}, {0x58, 5}};
    for (const Case &c : cases) {
        driver().setReg(2, 0x40, c.ctrl);
        EXPECT_EQ(device.CheckTransmit(2, 1), c.expected) << "TXB1CTRL " << int(c.ctrl);
    }
    EXPECT_EQ(device.CheckTransmit(3, 0), 2);
    EXPECT_EQ(device.CheckTransmit(1, 3), 3);
    failWhen([](size_t, const RecordedRequest &request) {
        return request.code == IOCTL_CAN_READ_MEM;
    });
    EXPECT_EQ(device.CheckTransmit(1, 0), 4);
}

TEST_F(Transmission, EndTransmitClearsOnlyTheRequestBit)
{
    driver().setReg(1, 0x50, 0x0B);
    EXPECT_EQ(device.EndTransmit(1, 2), 1);
    EXPECT_EQ(driver().reg(1, 0x50), 0x03);
    EXPECT_EQ(device.EndTransmit(0, 0), 2);
    EXPECT_EQ(device.EndTransmit(1, 3), 3);
    failWhen([](size_t, const RecordedRequest &request) {
        return request.code == IOCTL_CAN_WRITE_MEM;
    });
    EXPECT_EQ(device.EndTransmit(1, 2), 5);
    failWhen([](size_t, const RecordedRequest &request) {
        return request.code == IOCTL_CAN_READ_MEM;
    });
    EXPECT_EQ(device.EndTransmit(1, 2), 4);
}
