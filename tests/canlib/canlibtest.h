// Shared fixture: a CCANDeviceEx opened on a scripted driver installed as CAN0,
// with sleeps counted instead of slept.
#ifndef TESTS_CANLIBTEST_H
#define TESTS_CANLIBTEST_H

#include "candeviceex.h"
#include "scripteddriver.h"

#include <gtest/gtest.h>
#include <win32subset/devicetable.h>

#include <vector>

class CanLibTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        win32subset::setSleepHandler([this](DWORD ms) {
            sleeps.push_back({ms, driver().requestCount()});
        });
        ASSERT_EQ(device.Open(0), 1);
    }

    void TearDown() override
    {
        device.Close();
        win32subset::setSleepHandler({});
    }

    ScriptedDriver &driver() { return scripted.driver(); }

    // Fails every request for which the predicate holds.
    template <typename Predicate> void failWhen(Predicate predicate, DWORD error = ERROR_GEN_FAILURE)
    {
        driver().setScript([=](size_t index, const RecordedRequest &request)
                               -> std::optional<ScriptedReply> {
            if (predicate(index, request))
                return ScriptedDriver::failure(error);
            return std::nullopt;
        });
    }

    struct SleepCall {
        DWORD ms;
        size_t requestsBefore;
    };

    ScopedScriptedDevice scripted;
    CCANDeviceEx device;
    std::vector<SleepCall> sleeps;
};

inline bool isBridgeRead(const RecordedRequest &request)
{
    return request.code == IOCTL_CAN_READ_REG &&
           (request.word(0) == CAN_BOARD_SPI_BRIDGE_CH1 ||
            request.word(0) == CAN_BOARD_SPI_BRIDGE_CH2);
}

inline ScriptedReply busyReply()
{
    ScriptedReply reply;
    reply.out = {1, 0, 0, 0};
    return reply;
}

#endif
