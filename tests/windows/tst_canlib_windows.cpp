// CanLib on the real system services. No board is present: every operation
// on a handle that is not the board must fail with its documented code.
#include "candeviceex.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>

namespace {

class ExposedDevice : public CCANDeviceEx
{
public:
    HANDLE handle() const { return m_hDevice; }
    HANDLE readEvent() const { return m_ReadOverlapped.hEvent; }
    HANDLE ioEvent() const { return m_IOOverlapped.hEvent; }
    const OVERLAPPED &ioOverlapped() const { return m_IOOverlapped; }
};

bool isValidHandle(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

HANDLE temporaryFile(DWORD flags)
{
    char folder[MAX_PATH];
    char path[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, folder) || !GetTempFileNameA(folder, "cdv", 0, path))
        return INVALID_HANDLE_VALUE;
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | flags, NULL);
}

void expectEveryOperationFails(CCANDeviceEx &device)
{
    unsigned int value = 0;
    unsigned char bytes[64] = {};
    unsigned int count = 7;
    EXPECT_EQ(device.ReadReg(0x1000, &value), 0);
    EXPECT_EQ(device.WriteReg(0x1000, 1), 0);
    EXPECT_EQ(device.ReadMem(0x2000, bytes, 4), 0);
    EXPECT_EQ(device.WriteMem(0x2000, bytes, 4), 0);
    EXPECT_EQ(device.ReadCanReg(1, 0x0E, 1, bytes), 4);
    EXPECT_EQ(device.WriteCanReg(2, 0x0F, 1, bytes), 4);
    EXPECT_EQ(device.SetWorkMode(1, 4), 4);
    EXPECT_EQ(device.SetConfWorkMode(1), 3);
    EXPECT_EQ(device.RestoreWorkMode(2), 3);
    EXPECT_EQ(device.SetSpeed(1, 125), 5);
    EXPECT_EQ(device.EnableDMA(0), 2);
    EXPECT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, bytes, 4), 8);
    EXPECT_EQ(device.CheckTransmit(1, 0), 4);
    EXPECT_EQ(device.EndTransmit(1, 0), 4);
    EXPECT_EQ(device.ClearDMA(), 0);
    EXPECT_EQ(device.SetCanonicalDMA(), 0);
    EXPECT_EQ(device.ReadDMABlocks(bytes, 1, 1, &count), 2);
    EXPECT_EQ(count, 7u) << "no count on failure";
}

} // namespace

TEST(WindowsCanLib, OpenWithoutTheDriverFailsAndLeavesTheObjectClosed)
{
    CCANDeviceEx device;
    EXPECT_EQ(device.Open(0), 0);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_NE(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(device.Detach(), INVALID_HANDLE_VALUE);
}

TEST(WindowsCanLib, AttachedFileMakesEveryOperationFail)
{
    HANDLE file = temporaryFile(0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ExposedDevice device;
    device.Attach(file);
    EXPECT_TRUE(device.IsOpen());
    expectEveryOperationFails(device);
    device.Close();
    EXPECT_FALSE(isValidHandle(file)) << "Close closes the attached handle";
}

TEST(WindowsCanLib, AttachedEventMakesEveryOperationFail)
{
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_NE(event, HANDLE(NULL));
    ExposedDevice device;
    device.Attach(event);
    expectEveryOperationFails(device);
}

TEST(WindowsCanLib, OverlappedModeCreatesWaitsOnAndClosesItsEvents)
{
    HANDLE file = temporaryFile(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ExposedDevice device;
    device.SetOverlapped(TRUE);
    device.Attach(file);
    const HANDLE readEvent = device.readEvent();
    const HANDLE ioEvent = device.ioEvent();
    ASSERT_TRUE(isValidHandle(readEvent));
    ASSERT_TRUE(isValidHandle(ioEvent));
    // A request the file system does not know fails at once, not pending.
    EXPECT_EQ(device.ClearDMA(), 0);
    EXPECT_EQ(device.Detach(), file);
    EXPECT_FALSE(isValidHandle(readEvent));
    EXPECT_FALSE(isValidHandle(ioEvent));
    EXPECT_TRUE(isValidHandle(file)) << "Detach hands the handle over";
    CloseHandle(file);
}

// A named pipe's listen request stays pending until a client connects: the
// overlapped path waits for it, or gives up after its time-out.
TEST(WindowsCanLib, OverlappedRequestIsWaitedForOrCancelledAfterItsTimeout)
{
    const std::string name = "\\\\.\\pipe\\korvane-" + std::to_string(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64, 0, NULL);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    ExposedDevice device;
    device.SetOverlapped(TRUE);
    device.Attach(pipe);
    const DWORD listen = 0x00110008; // FSCTL_PIPE_LISTEN
    DWORD returned = 0;
    EXPECT_EQ(device.IoControl(listen, NULL, 0, NULL, 0, &returned, 100), 0)
        << "no client: the wait times out and the request is cancelled";
    // The cancelled request has ended before the call returned: nothing of
    // it is left to signal the event or write a buffer during the next one.
    EXPECT_TRUE(HasOverlappedIoCompleted(&device.ioOverlapped()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(WaitForSingleObject(device.ioEvent(), 0), DWORD(WAIT_OBJECT_0));

    HANDLE client = INVALID_HANDLE_VALUE;
    std::pair<std::string, HANDLE *> parameters(name, &client);
    HANDLE connector = CreateThread(
        NULL, 0,
        [](LPVOID argument) -> DWORD {
            Sleep(100);
            auto *parameters = static_cast<std::pair<std::string, HANDLE *> *>(argument);
            *parameters->second = CreateFileA(parameters->first.c_str(), GENERIC_READ | GENERIC_WRITE,
                                              0, NULL, OPEN_EXISTING, 0, NULL);
            return 0;
        },
        &parameters, 0, NULL);
    ASSERT_NE(connector, HANDLE(NULL));
    const int connected = device.IoControl(listen, NULL, 0, NULL, 0, &returned, INFINITE);
    WaitForSingleObject(connector, INFINITE);
    CloseHandle(connector);
    EXPECT_EQ(connected, 1) << "completed after the pending wait";
    EXPECT_NE(client, INVALID_HANDLE_VALUE);
    // The next request reports its own result: three bytes waiting.
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(client, "abc", 3, &written, NULL));
    struct {
        ULONG namedPipeState; // FILE_PIPE_PEEK_BUFFER
        ULONG readDataAvailable;
        ULONG numberOfMessages;
        ULONG messageLength;
        char data[8];
    } peek = {};
    const DWORD peekRequest = 0x0011400C; // FSCTL_PIPE_PEEK
    EXPECT_EQ(device.IoControl(peekRequest, NULL, 0, &peek, sizeof peek, &returned, INFINITE), 1);
    EXPECT_EQ(peek.readDataAvailable, 3u);
    EXPECT_EQ(std::string(peek.data, 3), "abc");
    if (client != INVALID_HANDLE_VALUE)
        CloseHandle(client);
    device.Close();
}

TEST(WindowsCanLib, CloseTwiceAndDetachOfAClosedObjectAreHarmless)
{
    HANDLE file = temporaryFile(0);
    ExposedDevice device;
    device.Attach(file);
    device.Close();
    device.Close();
    EXPECT_EQ(device.Detach(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(device.IsOpen());
}

TEST(WindowsCanLib, DestroyingAnOpenObjectClosesItsHandle)
{
    HANDLE file = temporaryFile(0);
    {
        CCANDeviceEx device;
        device.Attach(file);
        ASSERT_TRUE(isValidHandle(file));
    }
    EXPECT_FALSE(isValidHandle(file));
}
