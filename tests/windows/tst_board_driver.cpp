// The Windows build of the board access library against the emulated board
// as a Windows driver, through Wine's I/O manager: run by
// scripts/wine-board.sh, one suite per driver setting (the suite's name says
// which; scripts/test-windows.sh runs each with its own).
#include "candeviceex.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const uint32_t kNumbers[5] = {41, 18467, 6334, 1930, 26772};

class ExposedDevice : public CCANDeviceEx
{
public:
    HANDLE handle() const { return m_hDevice; }
};

// \\.\CAN0 opened for overlapped requests, which the library then waits
// for with its time-out (Open itself opens for synchronous ones).
bool attachOverlapped(CCANDeviceEx &device)
{
    HANDLE handle = CreateFileA("\\\\.\\CAN0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    device.SetOverlapped(TRUE);
    device.Attach(handle);
    return true;
}

// What the window's start-up does: both controllers to configuration mode,
// the bit rates, back to normal mode, DMA on, filters off.
void startUp(CCANDeviceEx &device, unsigned kbps1, unsigned kbps2)
{
    const unsigned rates[2] = {kbps1, kbps2};
    for (unsigned channel = 1; channel <= 2; ++channel) {
        ASSERT_EQ(device.SetWorkMode(channel, CAN_MODE_CONFIGURATION), 1);
        ASSERT_EQ(device.SetSpeed(channel, rates[channel - 1]), 1);
        ASSERT_EQ(device.SetWorkMode(channel, CAN_MODE_NORMAL), 1);
    }
    ASSERT_EQ(device.EnableDMA(0), 1);
    const unsigned char receiveAny = 0x60;
    ASSERT_EQ(device.WriteCanReg(1, CAN_REG_RXB0CTRL, 1, &receiveAny), 1);
    ASSERT_EQ(device.WriteCanReg(2, CAN_REG_RXB0CTRL, 1, &receiveAny), 1);
}

// One frame from buffer 0, waited for as the transmit worker does.
int sendFrame(CCANDeviceEx &device, unsigned channel, uint32_t number)
{
    const unsigned char data[4] = {static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
                                   static_cast<unsigned char>(number >> 16),
                                   static_cast<unsigned char>(number >> 24)};
    const int sent = device.SendData(channel, 0, 0, 171, 186, data, 4);
    if (sent != 1)
        return sent;
    int status = 0;
    for (int poll = 0; poll < 1500; ++poll) {
        status = device.CheckTransmit(channel, 0);
        if (status == 1)
            return 1;
    }
    return status;
}

struct Received {
    int stdId, extId, length;
    uint32_t number;
};

std::vector<Received> readAll(CCANDeviceEx &device, unsigned channel)
{
    std::vector<Received> frames;
    std::vector<unsigned char> blocks(64 * CAN_DMA_BLOCK_SIZE);
    for (;;) {
        unsigned int count = 0;
        if (device.ReadDMABlocks(blocks.data(), channel, 64, &count) != 1 || count == 0)
            return frames;
        for (unsigned i = 0; i < count; ++i) {
            int flag, recordChannel, stdId, extId, length;
            unsigned int header;
            unsigned char data[8] = {};
            device.ParseRxRecord(blocks.data() + i * CAN_DMA_BLOCK_SIZE, &flag, &recordChannel, &header, &stdId,
                                 &extId, data, &length);
            frames.push_back({stdId, extId, length,
                              uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                                  uint32_t(data[3]) << 24});
        }
    }
}

// The bus log's frames sent by a channel (can0: channel 1, can1: channel 2).
std::vector<std::string> busLog(unsigned channel)
{
    std::vector<std::string> frames;
    const char *path = std::getenv("KORVANE_TEST_BUSLOG");
    if (!path)
        return frames;
    std::FILE *file = std::fopen(path, "r");
    if (!file)
        return frames;
    char stamp[64], bus[16], frame[64];
    const std::string wanted = "can" + std::to_string(channel - 1);
    while (std::fscanf(file, "%63s %15s %63s", stamp, bus, frame) == 3) {
        if (wanted == bus)
            frames.push_back(frame);
    }
    std::fclose(file);
    return frames;
}

std::string candumpText(uint32_t number)
{
    char text[32];
    std::snprintf(text, sizeof text, "02AC00BA#%02X%02X%02X%02X", number & 0xFF, (number >> 8) & 0xFF,
                  (number >> 16) & 0xFF, number >> 24);
    return text;
}

} // namespace

// Default settings: requests are served at once.
TEST(Driver, StartUpAndRegistersAsTheWindowUsesThem)
{
    ExposedDevice device;
    ASSERT_TRUE(device.Open(0)) << GetLastError();
    unsigned char canstat = 0;
    ASSERT_EQ(device.ReadCanReg(1, CAN_REG_CANSTAT, 1, &canstat), 1);
    EXPECT_EQ(canstat, 0x80) << "configuration mode after reset";
    startUp(device, 125, 125);
    unsigned char cnf[3] = {};
    ASSERT_EQ(device.ReadCanReg(2, CAN_REG_CNF3, 3, cnf), 1);
    EXPECT_EQ(cnf[0], 0x05);
    EXPECT_EQ(cnf[1], 0xB1);
    EXPECT_EQ(cnf[2], 0x04);
    const unsigned char inte[2] = {0x0A, 0x1C};
    ASSERT_EQ(device.WriteCanReg(1, CAN_REG_CANINTE, 1, inte), 1);
    unsigned char back = 0;
    ASSERT_EQ(device.ReadCanReg(1, CAN_REG_CANINTE, 1, &back), 1);
    EXPECT_EQ(back, 0x0A);
    unsigned int dma = 0;
    ASSERT_EQ(device.ReadReg(CAN_BOARD_DMA_CONTROL, &dma), 1);
    EXPECT_EQ(dma & 1, 1u);
    // A request the driver does not know fails with its Win32 error.
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(device.handle(), 0xA4600000, NULL, 0, NULL, 0, &returned, NULL));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
}

// Test groups both ways at 125 kbit/s and 1 Mbit/s, read through DMA with
// every sum checked, and the frames the same as on the bus log.
TEST(Driver, TestGroupsBothWaysArriveWholeAndMatchTheBusLog)
{
    const int groups = 20;
    size_t logged[2] = {0, 0};
    for (unsigned kbps : {125u, 1000u}) {
        CCANDeviceEx device;
        ASSERT_TRUE(device.Open(0));
        startUp(device, kbps, kbps);
        for (unsigned from : {1u, 2u}) {
            const unsigned to = 3 - from;
            readAll(device, to); // anything left from before
            for (int group = 0; group < groups; ++group) {
                for (uint32_t number : kNumbers)
                    ASSERT_EQ(sendFrame(device, from, number), 1) << kbps << " kbit/s from " << from;
            }
            const std::vector<Received> frames = readAll(device, to);
            ASSERT_EQ(frames.size(), size_t(5 * groups)) << kbps << " kbit/s from " << from;
            for (size_t i = 0; i < frames.size(); i += 5) {
                uint32_t sum = 0;
                for (size_t j = 0; j < 4; ++j) {
                    EXPECT_EQ(frames[i + j].stdId, 171);
                    EXPECT_EQ(frames[i + j].extId, 186);
                    EXPECT_EQ(frames[i + j].length, 4);
                    sum += frames[i + j].number;
                }
                EXPECT_EQ(frames[i + 4].number, sum) << "group " << i / 5;
            }
            const std::vector<std::string> log = busLog(from);
            ASSERT_EQ(log.size(), logged[from - 1] + frames.size()) << "bus log of channel " << from;
            for (size_t i = 0; i < frames.size(); ++i)
                EXPECT_EQ(log[logged[from - 1] + i], candumpText(frames[i].number));
            logged[from - 1] = log.size();
        }
    }
}

// Channels at different rates: nobody acknowledges the frame, which keeps
// its error flag and is withdrawn.
TEST(Driver, RateMismatchLeavesTheFrameFailing)
{
    CCANDeviceEx device;
    ASSERT_TRUE(device.Open(0));
    startUp(device, 125, 250);
    EXPECT_EQ(sendFrame(device, 1, 41), 6) << "TXERR";
    EXPECT_EQ(device.EndTransmit(1, 0), 1);
    // An attempt already on the wire ends first, and is not retried.
    unsigned char ctrl = 0xFF;
    for (int poll = 0; poll < 1500 && (ctrl & CAN_TXB_TXREQ); ++poll)
        ASSERT_EQ(device.ReadCanReg(1, CAN_REG_TXB0CTRL, 1, &ctrl), 1);
    EXPECT_EQ(ctrl & CAN_TXB_TXREQ, 0);
    EXPECT_EQ(ctrl & CAN_TXB_TXERR, CAN_TXB_TXERR);
}

// KORVANE_EMU_PENDING=1: every request pends and is completed by the
// driver's worker; the library's overlapped path waits for each.
TEST(Pending, OverlappedRequestsAreWaitedForAndCarryTheTraffic)
{
    CCANDeviceEx device;
    ASSERT_TRUE(attachOverlapped(device));
    startUp(device, 1000, 1000);
    for (int group = 0; group < 5; ++group) {
        for (uint32_t number : kNumbers)
            ASSERT_EQ(sendFrame(device, 1, number), 1);
    }
    const std::vector<Received> frames = readAll(device, 2);
    ASSERT_EQ(frames.size(), 25u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].number, kNumbers[i % 5]);
}

// KORVANE_EMU_NO_ANSWER=1: no request is ever completed by the board.
TEST(NoAnswer, RequestEndsInTheTimeOutWithTheRequestCancelled)
{
    ExposedDevice device;
    ASSERT_TRUE(attachOverlapped(device));
    unsigned char in[4] = {0x00, 0x10, 0x00, 0x00}, out[4] = {};
    DWORD returned = 0;
    const DWORD start = GetTickCount();
    EXPECT_EQ(device.IoControl(IOCTL_CAN_READ_REG, in, 4, out, 4, &returned, 200), 0);
    EXPECT_LT(GetTickCount() - start, 5000u) << "the time-out, then the cancelled request's end";
    // The request was cancelled by the driver's cancel routine, not left behind.
    DWORD bytes = 0;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    EXPECT_FALSE(DeviceIoControl(device.handle(), IOCTL_CAN_READ_REG, in, 4, out, 4, NULL, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 100), DWORD(WAIT_TIMEOUT));
    EXPECT_TRUE(CancelIo(device.handle()));
    EXPECT_FALSE(GetOverlappedResult(device.handle(), &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    CloseHandle(overlapped.hEvent);
}

// Closing a handle with requests pending must neither block nor leave the
// driver stuck, and the requests must end. Windows sends the driver
// IRP_MJ_CLEANUP at the close, and the driver ends them there; Wine sends
// none while requests are pending, but cancels a thread's requests when the
// thread ends, which the driver's cancel routine completes. (Their status
// blocks then stay as they were: Wine writes them in the ended thread.)
TEST(NoAnswer, ClosingTheHandleWithRequestsPendingEndsThem)
{
    unsigned char in[4][4] = {}, out[4][4] = {};
    OVERLAPPED overlapped[4] = {};
    for (OVERLAPPED &request : overlapped)
        request.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD closed = 0;
    std::thread issuer([&] {
        HANDLE handle = CreateFileA("\\\\.\\CAN0", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        for (int i = 0; i < 4; ++i) {
            EXPECT_FALSE(DeviceIoControl(handle, IOCTL_CAN_READ_REG, in[i], 4, out[i], 4, NULL, &overlapped[i]));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        }
        const DWORD start = GetTickCount();
        EXPECT_TRUE(CloseHandle(handle));
        closed = GetTickCount() - start;
    });
    issuer.join();
    EXPECT_LT(closed, 1000u) << "the close does not wait for the requests";
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(WaitForSingleObject(overlapped[i].hEvent, 10000), DWORD(WAIT_OBJECT_0)) << i;
        CloseHandle(overlapped[i].hEvent);
    }
    // The driver still serves new handles.
    CCANDeviceEx device;
    EXPECT_TRUE(device.Open(0));
}

// KORVANE_EMU_STUCK_BUSY=1: channel 1's bridge never clears its busy bit.
TEST(StuckBusy, TransactionsOnTheStuckChannelGiveUpAfterTheirPolls)
{
    CCANDeviceEx device;
    ASSERT_TRUE(device.Open(0));
    unsigned char value = 0;
    EXPECT_EQ(device.ReadCanReg(1, CAN_REG_CANSTAT, 1, &value), 5);
    EXPECT_EQ(device.ReadCanReg(2, CAN_REG_CANSTAT, 1, &value), 1);
    EXPECT_EQ(value, 0x80);
}
