// The emulated board's Windows driver as a hostile client meets it, through
// Wine's I/O manager: stops with requests in flight, cancels, handles
// without access rights, oversized requests. Run by scripts/test-windows.sh
// through scripts/wine-board.sh, one suite per driver setting.
#include "candeviceex.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

const char kService[] = "korvane-board";

HANDLE openDevice(DWORD access, DWORD flags = 0)
{
    return CreateFileA("\\\\.\\CAN0", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

void putWord(unsigned char *bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t wordOf(const unsigned char *bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

// A synchronous request; the Win32 error (0 for success).
DWORD control(HANDLE handle, DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize,
              DWORD *returned = nullptr)
{
    DWORD got = 0;
    const BOOL ok = DeviceIoControl(handle, code, const_cast<void *>(in), inSize, out, outSize, &got, nullptr);
    if (returned)
        *returned = got;
    return ok ? 0 : GetLastError();
}

// The service manager's view of the driver: stop and start it as an
// administrator would while programs use it.
class Service
{
public:
    Service()
    {
        m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (m_manager)
            m_service = OpenServiceA(m_manager, kService, SERVICE_ALL_ACCESS);
    }
    ~Service()
    {
        if (m_service)
            CloseServiceHandle(m_service);
        if (m_manager)
            CloseServiceHandle(m_manager);
    }
    bool valid() const { return m_service != nullptr; }
    DWORD state()
    {
        SERVICE_STATUS status{};
        return QueryServiceStatus(m_service, &status) ? status.dwCurrentState : 0;
    }
    bool stop()
    {
        SERVICE_STATUS status{};
        if (!ControlService(m_service, SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
            std::printf("ControlService(STOP): error %lu, state %lu\n", GetLastError(), state());
            return false;
        }
        return waitFor(SERVICE_STOPPED);
    }
    bool start()
    {
        if (!StartServiceA(m_service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            return false;
        return waitFor(SERVICE_RUNNING);
    }

private:
    bool waitFor(DWORD wanted)
    {
        for (int i = 0; i < 3000; ++i) {
            if (state() == wanted)
                return true;
            Sleep(10);
        }
        return false;
    }
    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
};

// Clients that keep overlapped register reads in flight on handles of
// their own until told to stop; they count what came back.
class Clients
{
public:
    explicit Clients(int count)
    {
        for (int i = 0; i < count; ++i)
            m_threads.emplace_back([this] { run(); });
    }
    ~Clients() { join(); }
    void join()
    {
        m_stop = true;
        for (std::thread &thread : m_threads)
            thread.join();
        m_threads.clear();
    }
    int answered() const { return m_answered; }

private:
    void run()
    {
        HANDLE handle = openDevice(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
        if (handle == INVALID_HANDLE_VALUE)
            return;
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        unsigned char in[4];
        putWord(in, CAN_BOARD_SPI_BRIDGE_CH1);
        unsigned char out[4];
        while (!m_stop) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = event;
            ResetEvent(event);
            DWORD got = 0;
            BOOL ok = DeviceIoControl(handle, IOCTL_CAN_READ_REG, in, 4, out, 4, &got, &overlapped);
            if (!ok && GetLastError() == ERROR_IO_PENDING) {
                if (WaitForSingleObject(event, 5000) != WAIT_OBJECT_0) {
                    CancelIo(handle);
                    WaitForSingleObject(event, 5000);
                }
                ok = GetOverlappedResult(handle, &overlapped, &got, FALSE);
            }
            if (ok)
                ++m_answered;
            else if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_INVALID_HANDLE)
                Sleep(1); // the device is going or gone
        }
        CloseHandle(event);
        CloseHandle(handle);
    }
    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_answered{0};
};

// A frame on channel 1 at 125 kbit/s, received by channel 2 into its DMA
// queue, through a synchronous handle of the test's own.
bool oneBlockQueued(CCANDeviceEx &device)
{
    for (unsigned channel = 1; channel <= 2; ++channel) {
        if (device.SetWorkMode(channel, CAN_MODE_CONFIGURATION) != 1 || device.SetSpeed(channel, 125) != 1 ||
            device.SetWorkMode(channel, CAN_MODE_NORMAL) != 1)
            return false;
    }
    const unsigned char receiveAny = 0x60;
    if (device.EnableDMA(0) != 1 || device.WriteCanReg(2, CAN_REG_RXB0CTRL, 1, &receiveAny) != 1 ||
        device.ClearDMA() != 1 || device.SetCanonicalDMA() != 1)
        return false;
    const unsigned char data[4] = {41, 0, 0, 0};
    if (device.SendData(1, 0, 0, 171, 186, data, 4) != 1)
        return false;
    for (int poll = 0; poll < 1500; ++poll) {
        if (device.CheckTransmit(1, 0) == 1)
            return true;
    }
    return false;
}

} // namespace

// The driver stopped while eight clients keep requests in flight, again and
// again: the requests end (answered, refused or cancelled), the driver
// stops and starts again and serves. (scripts/test-windows.sh also looks for
// a fault of the driver host in Wine's log.)
TEST(Unload, StopWithRequestsInFlightNeverFaults)
{
    Service service;
    ASSERT_TRUE(service.valid());
    for (int round = 0; round < 8; ++round) {
        ASSERT_TRUE(service.start()) << "round " << round;
        {
            Clients clients(8);
            const auto started = std::chrono::steady_clock::now();
            while (clients.answered() < 40 && std::chrono::steady_clock::now() - started < std::chrono::seconds(30))
                Sleep(5);
            ASSERT_GE(clients.answered(), 40) << "round " << round;
            ASSERT_TRUE(service.stop()) << "round " << round;
            clients.join();
        }
        ASSERT_TRUE(service.start()) << "round " << round;
        HANDLE handle = openDevice(GENERIC_READ | GENERIC_WRITE);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "round " << round;
        unsigned char in[4], out[4];
        putWord(in, CAN_BOARD_DMA_CONTROL);
        EXPECT_EQ(control(handle, IOCTL_CAN_READ_REG, in, 4, out, 4), 0u) << "round " << round;
        CloseHandle(handle);
    }
}

// With requests pending, a cancelled one has not acted: a cancelled DMA read
// leaves its block for the next read, a cancelled memory write leaves the
// memory as it was.
TEST(Pending, CancelledRequestsHaveNotActed)
{
    CCANDeviceEx device;
    ASSERT_EQ(device.Open(0), 1);
    ASSERT_TRUE(oneBlockQueued(device));
    HANDLE handle = openDevice(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto cancelled = [&](DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        ResetEvent(event);
        DWORD got = 0;
        if (DeviceIoControl(handle, code, const_cast<void *>(in), inSize, out, outSize, &got, &overlapped) ||
            GetLastError() != ERROR_IO_PENDING)
            return false;
        CancelIo(handle);
        WaitForSingleObject(event, 5000);
        return !GetOverlappedResult(handle, &overlapped, &got, FALSE) && GetLastError() == ERROR_OPERATION_ABORTED;
    };
    unsigned char in[8];
    putWord(in, 1);
    putWord(in + 4, 2);
    std::vector<unsigned char> block(CAN_DMA_BLOCK_SIZE);
    ASSERT_TRUE(cancelled(IOCTL_CAN_READ_DMA_BLOCKS, in, 8, block.data(), CAN_DMA_BLOCK_SIZE));
    unsigned int count = 0;
    ASSERT_EQ(device.ReadDMABlocks(block.data(), 2, 1, &count), 1);
    EXPECT_EQ(count, 1u) << "the block the cancelled read would have taken";

    unsigned char before[4] = {0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(device.WriteMem(CAN_BOARD_SPI_DATA_CH1, before, 4), 1);
    unsigned char write[16];
    putWord(write, 0);
    putWord(write + 4, CAN_BOARD_SPI_DATA_CH1);
    putWord(write + 8, 4);
    std::memset(write + 12, 0xEE, 4);
    ASSERT_TRUE(cancelled(IOCTL_CAN_WRITE_MEM, write, 16, nullptr, 0));
    unsigned char after[4] = {};
    ASSERT_EQ(device.ReadMem(CAN_BOARD_SPI_DATA_CH1, after, 4), 1);
    EXPECT_EQ(std::memcmp(after, before, 4), 0) << "the cancelled write has written";
    CloseHandle(event);
    CloseHandle(handle);
}

// Whether the driver is told a handle's access: Windows gives it in the
// create request; Wine gives none (its I/O manager leaves the security
// context out), so there the I/O manager's own check of the access bits in
// the control codes (the memory requests') is all there is.
bool underWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// A handle's access rights are checked as a real driver checks them:
// requests that only read need read access, every other one write access.
TEST(Driver, RequestsNeedTheAccessRightsTheyUse)
{
    const bool accessKnown = !underWine();
    struct Request {
        DWORD code;
        std::vector<unsigned char> in;
        DWORD outSize;
        bool writes;
    };
    std::vector<unsigned char> readReg(4), writeReg(8), readMem(12), writeMem(13), readDma(8);
    putWord(readReg.data(), CAN_BOARD_DMA_CONTROL);
    putWord(writeReg.data(), CAN_BOARD_DMA_CONTROL);
    putWord(writeReg.data() + 4, 1);
    putWord(readMem.data() + 4, CAN_BOARD_SPI_DATA_CH1);
    putWord(readMem.data() + 8, 1);
    putWord(writeMem.data() + 4, CAN_BOARD_SPI_DATA_CH1);
    putWord(writeMem.data() + 8, 1);
    putWord(readDma.data(), 1);
    putWord(readDma.data() + 4, 1);
    const Request requests[] = {
        {IOCTL_CAN_READ_REG, readReg, 4, false},          {IOCTL_CAN_WRITE_REG, writeReg, 0, true},
        {IOCTL_CAN_READ_MEM, readMem, 1, false},          {IOCTL_CAN_WRITE_MEM, writeMem, 0, true},
        {IOCTL_CAN_CLEAR_DMA, {}, 0, true},               {IOCTL_CAN_SET_CANONICAL_DMA, {}, 0, true},
        {IOCTL_CAN_READ_DMA_BLOCKS, readDma, CAN_DMA_BLOCK_SIZE, true},
    };
    for (DWORD access : {DWORD(0), DWORD(GENERIC_READ), DWORD(GENERIC_WRITE), DWORD(GENERIC_READ | GENERIC_WRITE)}) {
        HANDLE handle = openDevice(access);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        for (const Request &r : requests) {
            std::vector<unsigned char> out(r.outSize + 1);
            const DWORD error = control(handle, r.code, r.in.data(), DWORD(r.in.size()), r.outSize ? out.data() : nullptr,
                                        r.outSize);
            const bool memory = r.code == IOCTL_CAN_READ_MEM || r.code == IOCTL_CAN_WRITE_MEM;
            const bool allowed = !accessKnown && !memory ? true
                                 : r.writes             ? (access & GENERIC_WRITE) != 0
                                                        : (access & GENERIC_READ) != 0;
            EXPECT_EQ(error, allowed ? 0u : DWORD(ERROR_ACCESS_DENIED))
                << std::hex << "code 0x" << r.code << " on a handle with access 0x" << access;
        }
        CloseHandle(handle);
    }
}

// Oversized requests are refused before the board sees them: each below
// begins as a whole request of its kind, yet none acts (no register or
// memory written, no block taken), and the driver goes on serving. A request
// with output has its input copied out before the output is written, into
// room for the largest input a real one has: an oversized input copied there
// would overrun it and bring the driver host down, which the requests after
// it (and scripts/test-windows.sh, in Wine's log) would show.
TEST(Driver, OversizedRequestsAreRefusedWithoutActing)
{
    CCANDeviceEx device;
    ASSERT_EQ(device.Open(0), 1);
    ASSERT_TRUE(oneBlockQueued(device));
    const unsigned char memoryBefore[4] = {0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(device.WriteMem(CAN_BOARD_SPI_DATA_CH1, memoryBefore, 4), 1);
    HANDLE handle = openDevice(GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    unsigned char dmaControl[4], value[4];
    putWord(dmaControl, CAN_BOARD_DMA_CONTROL);
    ASSERT_EQ(control(handle, IOCTL_CAN_READ_REG, dmaControl, 4, value, 4), 0u);
    const uint32_t dmaControlBefore = wordOf(value);

    std::vector<unsigned char> huge(64u << 20);
    const auto oversized = [&](DWORD code, void *out, DWORD outSize) {
        return control(handle, code, huge.data(), DWORD(huge.size()), out, outSize);
    };
    // A register write of another DMA control value.
    putWord(huge.data(), CAN_BOARD_DMA_CONTROL);
    putWord(huge.data() + 4, dmaControlBefore ^ 1u);
    EXPECT_EQ(oversized(IOCTL_CAN_WRITE_REG, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    // A memory write whose header asks for four bytes.
    putWord(huge.data(), 0);
    putWord(huge.data() + 4, CAN_BOARD_SPI_DATA_CH1);
    putWord(huge.data() + 8, 4);
    std::memset(huge.data() + 12, 0xEE, 4);
    EXPECT_EQ(oversized(IOCTL_CAN_WRITE_MEM, nullptr, 0), DWORD(ERROR_INVALID_PARAMETER));
    // Reads, whose output shares the driver's buffer with their input.
    putWord(huge.data(), CAN_BOARD_DMA_CONTROL);
    EXPECT_EQ(oversized(IOCTL_CAN_READ_REG, value, 4), DWORD(ERROR_INVALID_PARAMETER));
    putWord(huge.data(), 1);
    putWord(huge.data() + 4, 2);
    std::vector<unsigned char> block(CAN_DMA_BLOCK_SIZE);
    EXPECT_EQ(oversized(IOCTL_CAN_READ_DMA_BLOCKS, block.data(), CAN_DMA_BLOCK_SIZE),
              DWORD(ERROR_INVALID_PARAMETER));

    ASSERT_EQ(control(handle, IOCTL_CAN_READ_REG, dmaControl, 4, value, 4), 0u) << "the driver serves no more";
    EXPECT_EQ(wordOf(value), dmaControlBefore) << "the refused register write has written";
    unsigned char memoryAfter[4] = {};
    ASSERT_EQ(device.ReadMem(CAN_BOARD_SPI_DATA_CH1, memoryAfter, 4), 1);
    EXPECT_EQ(std::memcmp(memoryAfter, memoryBefore, 4), 0) << "the refused memory write has written";
    unsigned int count = 0;
    ASSERT_EQ(device.ReadDMABlocks(block.data(), 2, 1, &count), 1);
    EXPECT_EQ(count, 1u) << "the refused DMA read has taken the block";
    CloseHandle(handle);
}

// KORVANE_EMU_NO_BOARD=1: the driver serves no device; opening fails as on
// a machine without the board.
TEST(NoBoard, OpeningFailsAsWithoutTheBoard)
{
    HANDLE handle = openDevice(GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    CCANDeviceEx device;
    EXPECT_EQ(device.Open(0), 0);
}
