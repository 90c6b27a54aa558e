#include "candevice.h"
#include "candeviceex.h"
#include "scripteddriver.h"

#include <gtest/gtest.h>
#include <win32subset/devicetable.h>

TEST(CCANDevice, OpenOfMissingDeviceFailsAndALaterOpenSucceeds)
{
    CCANDeviceEx device;
    EXPECT_EQ(device.Open(7), 0);
    EXPECT_FALSE(device.IsOpen());
    ScopedScriptedDevice scripted("CAN7");
    EXPECT_EQ(device.Open(7), 1);
    EXPECT_TRUE(device.IsOpen());
    EXPECT_EQ(scripted.driver().openHandles(), 1);
    device.Close();
    EXPECT_EQ(scripted.driver().openHandles(), 0);
}

TEST(CCANDevice, OpenUsesTheIndexInTheDeviceName)
{
    ScopedScriptedDevice can0("CAN0");
    ScopedScriptedDevice can12("CAN12");
    CCANDevice device;
    ASSERT_EQ(device.Open(12), 1);
    EXPECT_EQ(can12.driver().opens(), 1);
    EXPECT_EQ(can0.driver().opens(), 0);
}

TEST(CCANDevice, DetachAndCloseOfAClosedObjectDoNothing)
{
    CCANDevice device;
    EXPECT_EQ(device.Detach(), INVALID_HANDLE_VALUE);
    device.Close();
    device.Close();
    EXPECT_FALSE(device.IsOpen());
}

TEST(CCANDevice, DetachHandsTheOpenHandleToTheCaller)
{
    ScopedScriptedDevice scripted("CAN0");
    CCANDevice device;
    ASSERT_EQ(device.Open(0), 1);
    HANDLE handle = device.Detach();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(scripted.driver().openHandles(), 1) << "Detach must not close the handle";
    device.Close();
    EXPECT_EQ(scripted.driver().openHandles(), 1);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(scripted.driver().openHandles(), 0);
}

TEST(CCANDevice, DestroyingAnOpenObjectClosesItsHandle)
{
    ScopedScriptedDevice scripted("CAN0");
    {
        CCANDeviceEx device;
        ASSERT_EQ(device.Open(0), 1);
        EXPECT_EQ(scripted.driver().openHandles(), 1);
    }
    EXPECT_EQ(scripted.driver().openHandles(), 0);
}

TEST(CCANDevice, SeveralObjectsHoldTheirOwnHandles)
{
    ScopedScriptedDevice scripted("CAN0");
    CCANDeviceEx first, second;
    ASSERT_EQ(first.Open(0), 1);
    ASSERT_EQ(second.Open(0), 1);
    EXPECT_EQ(scripted.driver().openHandles(), 2);
    first.Close();
    EXPECT_EQ(second.ClearDMA(), 1);
}

TEST(CCANDevice, SynchronousFailureWithoutErrorCodeIsReportedAsFailure)
{
    ScopedScriptedDevice scripted("CAN0");
    scripted.driver().setScript([](size_t, const RecordedRequest &) {
        return std::optional<ScriptedReply>(
            ScriptedDriver::failure(win32subset::kFailedWithoutErrorCode));
    });
    CCANDeviceEx device;
    ASSERT_EQ(device.Open(0), 1);
    DWORD returned = 5;
    EXPECT_EQ(device.IoControl(IOCTL_CAN_CLEAR_DMA, nullptr, 0, nullptr, 0, &returned, INFINITE), 0);
    EXPECT_EQ(scripted.driver().requestCount(), 1u) << "no second attempt on a missing event";
    EXPECT_EQ(device.ClearDMA(), 0);
}

TEST(CCANDevice, SynchronousRequestReportsDriverResult)
{
    ScopedScriptedDevice scripted("CAN0");
    CCANDeviceEx device;
    ASSERT_EQ(device.Open(0), 1);
    DWORD returned = 0;
    EXPECT_EQ(device.IoControl(IOCTL_CAN_CLEAR_DMA, nullptr, 0, nullptr, 0, &returned, INFINITE), 1);
    EXPECT_EQ(device.IoControl(0xA4600000, nullptr, 0, nullptr, 0, &returned, INFINITE), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
}

TEST(CCANDevice, OverlappedModeWaitsForCompletionAndClosesItsEvents)
{
    ScopedScriptedDevice scripted("CAN0");
    scripted.driver().setBoardReg(CAN_BOARD_DMA_CONTROL, 0x55);
    HANDLE handle = CreateFileA("\\\\.\\CAN0", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    const size_t handlesBefore = win32subset::openHandleCount();
    CCANDeviceEx device;
    device.SetOverlapped(TRUE);
    device.Attach(handle);
    EXPECT_EQ(win32subset::openHandleCount(), handlesBefore + 2) << "two events created";

    unsigned int value = 0;
    EXPECT_EQ(device.ReadReg(CAN_BOARD_DMA_CONTROL, &value), 1);
    EXPECT_EQ(value, 0x55u);
    DWORD returned = 0;
    EXPECT_EQ(device.IoControl(0xA4600000, nullptr, 0, nullptr, 0, &returned, INFINITE), 0);

    EXPECT_EQ(device.Detach(), handle);
    EXPECT_EQ(win32subset::openHandleCount(), handlesBefore) << "events closed by Detach";
    CloseHandle(handle);
}
