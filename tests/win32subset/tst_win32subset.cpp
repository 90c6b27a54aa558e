#include <windows.h>
#include <win32subset/devicetable.h>

#include "scripteddriver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

HANDLE openDevice(const char *name, DWORD flags = 0)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, flags, nullptr);
}

} // namespace

TEST(DeviceTable, AbsentDeviceFailsToOpenWithFileNotFound)
{
    SetLastError(0);
    EXPECT_EQ(openDevice("\\\\.\\NOSUCHDEV"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(openDevice("CAN0"), INVALID_HANDLE_VALUE) << "a name without \\\\.\\ is no device";
}

TEST(DeviceTable, RequestOnClosedOrUnknownHandleFailsWithInvalidHandle)
{
    ScopedScriptedDevice device("TESTDEV");
    HANDLE handle = openDevice("\\\\.\\TESTDEV");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(handle));
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(handle, 0xA460254C, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(handle)) << "a handle closes once";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x7777), 0xA460254C, nullptr, 0, nullptr,
                                 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(device.driver().openHandles(), 0);
}

TEST(DeviceTable, UnknownControlCodeFailsWithInvalidFunction)
{
    ScopedScriptedDevice device("TESTDEV");
    HANDLE handle = openDevice("\\\\.\\TESTDEV");
    DWORD returned = 99;
    EXPECT_FALSE(DeviceIoControl(handle, 0x12345678, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(returned, 0u);
    CloseHandle(handle);
}

TEST(DeviceTable, BufferedRequestPassesInputAndReturnsOutput)
{
    ScopedScriptedDevice device("TESTDEV");
    device.driver().setBoardReg(0x1000, 0xA5A55A5A);
    HANDLE handle = openDevice("\\\\.\\TESTDEV");
    DWORD address = 0x1000;
    DWORD value = 0;
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle, 0xA46025F8, &address, 4, &value, 4, &returned, nullptr));
    EXPECT_EQ(value, 0xA5A55A5Au);
    EXPECT_EQ(returned, 4u);
    CloseHandle(handle);
}

TEST(DeviceTable, SeveralHandlesFromSeveralThreads)
{
    ScopedScriptedDevice device("TESTDEV");
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            HANDLE handle = openDevice("\\\\.\\TESTDEV");
            if (handle == INVALID_HANDLE_VALUE) {
                ++failures;
                return;
            }
            for (int i = 0; i < 200; ++i) {
                DWORD returned = 0;
                if (!DeviceIoControl(handle, 0xA460254C, nullptr, 0, nullptr, 0, &returned,
                                     nullptr))
                    ++failures;
            }
            CloseHandle(handle);
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(device.driver().requestCount(), 800u);
    EXPECT_EQ(device.driver().opens(), 4);
    EXPECT_EQ(device.driver().openHandles(), 0);
}

TEST(LastError, IsKeptPerThread)
{
    SetLastError(1234);
    DWORD seenInOtherThread = 0;
    std::thread other([&] {
        seenInOtherThread = GetLastError();
        SetLastError(42);
    });
    other.join();
    EXPECT_EQ(seenInOtherThread, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Events, ManualResetStaysSignalledUntilReset)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "manual reset: still signalled";
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Events, AutoResetReleasesOneWaitAndWakesAcrossThreads)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "auto reset consumed the signal";
    setter.join();
    CloseHandle(event);
}

TEST(Overlapped, RequestOnOverlappedHandleIsPendingThenCompletes)
{
    ScopedScriptedDevice device("TESTDEV");
    device.driver().setBoardReg(0x1000, 7);
    HANDLE handle = openDevice("\\\\.\\TESTDEV", FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD address = 0x1000;
    DWORD value = 0;
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(handle, 0xA46025F8, &address, 4, &value, 4, &returned,
                                 &overlapped));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &returned, TRUE));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(value, 7u);

    ResetEvent(overlapped.hEvent);
    EXPECT_FALSE(DeviceIoControl(handle, 0x1, nullptr, 0, nullptr, 0, &returned, &overlapped));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &returned, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION) << "the driver's error comes through";
    EXPECT_TRUE(CancelIo(handle));
    CloseHandle(overlapped.hEvent);
    CloseHandle(handle);
}

// Another thread that tries to enter gets in only after the owner has left
// as often as it entered: what each writes, it writes while it holds the
// section, so the order of the writes is the order of ownership.
TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    std::vector<std::string> order;
    std::atomic<bool> trying{false};
    std::thread other([&] {
        trying = true;
        EnterCriticalSection(&section);
        order.push_back("other");
        LeaveCriticalSection(&section);
    });
    while (!trying)
        std::this_thread::yield();
    order.push_back("owner, twice");
    LeaveCriticalSection(&section);
    order.push_back("owner, once");
    LeaveCriticalSection(&section);
    other.join();
    EXPECT_EQ(order, (std::vector<std::string>{"owner, twice", "owner, once", "other"}));
    DeleteCriticalSection(&section);
}

TEST(SleepHandler, ReplacesRealSleep)
{
    DWORD slept = 0;
    win32subset::setSleepHandler([&](DWORD ms) { slept += ms; });
    const auto start = std::chrono::steady_clock::now();
    Sleep(5000);
    win32subset::setSleepHandler({});
    EXPECT_EQ(slept, 5000u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}
