#include "canlibtest.h"

namespace {

// Answers CANSTAT reads of one channel with a fixed value.
ScriptedDriver::Script canstatIs(ScriptedDriver &driver, unsigned channel, uint8_t value)
{
    return [&driver, channel, value](size_t, const RecordedRequest &request)
               -> std::optional<ScriptedReply> {
        const uint32_t bridge = channel == 1 ? 0x1044 : 0x1054;
        if (request.code == IOCTL_CAN_WRITE_REG && request.word(0) == bridge &&
            (request.word(1) & 0xFF) == 0x03 && (request.word(1) >> 24) == 0x0E)
            driver.setReg(channel, 0x0E, value);
        return std::nullopt;
    };
}

// A controller whose CANSTAT follows every CANCTRL write at once.
ScriptedDriver::Script followingController(ScriptedDriver &driver)
{
    return [&driver](size_t, const RecordedRequest &request) -> std::optional<ScriptedReply> {
        if (request.code == IOCTL_CAN_WRITE_REG && (request.word(1) & 0xFF) == 0x03 &&
            (request.word(1) >> 24) == 0x0E) {
            const unsigned channel = request.word(0) == 0x1044 ? 1 : 2;
            driver.setReg(channel, 0x0E, driver.reg(channel, 0x0F) & 0xE0);
        }
        return std::nullopt;
    };
}

} // namespace

using Configuration = CanLibTest;

TEST_F(Configuration, SetWorkModeWritesCanctrlAndConfirmsFromCanstat)
{
    driver().setScript(followingController(driver()));
    for (unsigned mode = 0; mode <= 4; ++mode) {
        driver().clearRequests();
        EXPECT_EQ(device.SetWorkMode(2, mode), 1);
        auto writes = driver().controllerWrites();
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0], (ControllerWrite{2, 0x0F, mode << 5}));
    }
    EXPECT_EQ(sleeps.size(), 5u) << "one 1 ms round per confirmed change";
}

TEST_F(Configuration, SetWorkModeChecksBeforeWriting)
{
    EXPECT_EQ(device.SetWorkMode(0, 0), 2);
    EXPECT_EQ(device.SetWorkMode(3, 0), 2);
    EXPECT_EQ(device.SetWorkMode(1, 5), 3);
    EXPECT_EQ(driver().requestCount(), 0u);
}

TEST_F(Configuration, SetWorkModeOnAStubbornControllerGives6AfterTenRounds)
{
    driver().setScript(canstatIs(driver(), 1, 0x00));
    EXPECT_EQ(device.SetWorkMode(1, 4), 6);
    EXPECT_EQ(sleeps.size(), 10u);
    for (const auto &sleep : sleeps)
        EXPECT_EQ(sleep.ms, 1u);
    // 1 CANCTRL write (4 requests) + 10 CANSTAT reads (4 requests each)
    EXPECT_EQ(driver().requestCount(), 44u);
}

TEST_F(Configuration, SetWorkModeFailureCodes)
{
    failWhen([](size_t, const RecordedRequest &request) {
        return request.code == IOCTL_CAN_WRITE_MEM;
    });
    EXPECT_EQ(device.SetWorkMode(1, 4), 4);
    failWhen([](size_t, const RecordedRequest &request) {
        return request.code == IOCTL_CAN_READ_MEM;
    });
    EXPECT_EQ(device.SetWorkMode(1, 4), 5);
}

TEST_F(Configuration, SetConfWorkModeRemembersTheModeAndForgetsTheOtherChannel)
{
    g_SavedWorkMode[0] = 0x40;
    g_SavedWorkMode[1] = 0x60;
    driver().setReg(1, 0x0F, 0x60); // listen-only
    driver().setScript(followingController(driver()));
    EXPECT_EQ(device.SetConfWorkMode(1), 1);
    EXPECT_EQ(g_SavedWorkMode[0], 0x60);
    EXPECT_EQ(g_SavedWorkMode[1], 0x00) << "both remembered modes are reset first";
    EXPECT_EQ(driver().reg(1, 0x0F), 0x80);

    EXPECT_EQ(device.RestoreWorkMode(1), 1);
    EXPECT_EQ(driver().reg(1, 0x0F), 0x60);
    EXPECT_EQ(g_SavedWorkMode[0], 0x00) << "the remembered mode is consumed";
}

TEST_F(Configuration, SetConfWorkModeOnAConfiguredControllerGives4AndRemembersNothing)
{
    g_SavedWorkMode[0] = 0x20;
    g_SavedWorkMode[1] = 0x40;
    driver().setReg(2, 0x0E, 0x80);
    EXPECT_EQ(device.SetConfWorkMode(2), 4);
    EXPECT_EQ(g_SavedWorkMode[0], 0);
    EXPECT_EQ(g_SavedWorkMode[1], 0);
    EXPECT_TRUE(driver().controllerWrites().empty());
}

TEST_F(Configuration, SetConfWorkModeConfirmsOnlyOnExactly0x80)
{
    driver().setScript([this](size_t, const RecordedRequest &request) -> std::optional<ScriptedReply> {
        if (request.code == IOCTL_CAN_WRITE_REG && (request.word(1) & 0xFF) == 0x03)
            driver().setReg(1, 0x0E, driver().reg(1, 0x0F) == 0x80 ? 0x82 : 0x00);
        return std::nullopt;
    });
    EXPECT_EQ(device.SetConfWorkMode(1), 7) << "interrupt code bits keep it unconfirmed";
    EXPECT_EQ(sleeps.size(), 10u);
}

TEST_F(Configuration, RestoreWorkModeNeedsConfigurationModeAndDoesNotWait)
{
    driver().setReg(1, 0x0E, 0x00);
    EXPECT_EQ(device.RestoreWorkMode(1), 4);
    driver().setReg(1, 0x0E, 0x80);
    g_SavedWorkMode[0] = 0;
    EXPECT_EQ(device.RestoreWorkMode(1), 1);
    EXPECT_EQ(driver().reg(1, 0x0F), 0x00) << "nothing remembered: normal mode";
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(device.RestoreWorkMode(3), 2);
    failWhen([](size_t, const RecordedRequest &request) {
        return request.code == IOCTL_CAN_READ_MEM;
    });
    EXPECT_EQ(device.RestoreWorkMode(1), 3);
}

TEST_F(Configuration, SetSpeedTestsTheModeBeforeTheRate)
{
    driver().setReg(1, 0x0E, 0x00);
    EXPECT_EQ(device.SetSpeed(1, 333), 4);
    EXPECT_EQ(device.SetSpeed(1, 125), 4);
    driver().setReg(1, 0x0E, 0x80);
    EXPECT_EQ(device.SetSpeed(1, 333), 3);
    EXPECT_TRUE(driver().controllerWrites().empty());
    EXPECT_EQ(device.SetSpeed(0, 125), 2);
}

TEST_F(Configuration, SetSpeedWritesCnf3ThenCnf2ThenCnf1)
{
    struct Row {
        unsigned kbps, cnf1, cnf2, cnf3;
    };
    const Row rows[] = {{1000, 0x00, 0xD1, 0x03},
                        {500, 0x01, 0xD1, 0x03},
                        {250, 0x03, 0xD1, 0x03},
                        {125, 0x04, 0xB1, 0x05}};
    driver().setReg(2, 0x0E, 0x80);
    for (const Row &row : rows) {
        driver().clearRequests();
        EXPECT_EQ(device.SetSpeed(2, row.kbps), 1);
        auto writes = driver().controllerWrites();
        ASSERT_EQ(writes.size(), 3u);
        EXPECT_EQ(writes[0], (ControllerWrite{2, 0x28, row.cnf3}));
        EXPECT_EQ(writes[1], (ControllerWrite{2, 0x29, row.cnf2}));
        EXPECT_EQ(writes[2], (ControllerWrite{2, 0x2A, row.cnf1}));
    }
}

TEST_F(Configuration, EnableDmaSelectors)
{
    EXPECT_EQ(device.EnableDMA(3), 3);
    EXPECT_EQ(driver().requestCount(), 0u);

    driver().setBoardReg(0x1000, 0x100);
    EXPECT_EQ(device.EnableDMA(1), 1);
    auto writes = driver().controllerWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], (ControllerWrite{1, 0x0C, 0x0F}));
    EXPECT_EQ(driver().boardReg(0x1000), 0x101u) << "bit 0 set, other bits kept";

    driver().clearRequests();
    EXPECT_EQ(device.EnableDMA(0), 1);
    writes = driver().controllerWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].channel, 1u);
    EXPECT_EQ(writes[1].channel, 2u);

    driver().clearRequests();
    EXPECT_EQ(device.EnableDMA(2), 1);
    writes = driver().controllerWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].channel, 2u);
}

TEST_F(Configuration, EnableDmaFailureCodes)
{
    failWhen([](size_t, const RecordedRequest &request) {
        return request.code == IOCTL_CAN_WRITE_MEM;
    });
    EXPECT_EQ(device.EnableDMA(0), 2);
    failWhen([](size_t, const RecordedRequest &request) {
        return request.code == IOCTL_CAN_READ_REG && request.word(0) == 0x1000;
    });
    EXPECT_EQ(device.EnableDMA(0), 4);
    failWhen([](size_t, const RecordedRequest &request) {
        return request.code == IOCTL_CAN_WRITE_REG && request.word(0) == 0x1000;
    });
    EXPECT_EQ(device.EnableDMA(0), 4);
}
