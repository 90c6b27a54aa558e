// The board catches up with the time that passed between two requests. A
// frame retried for ever is skipped in whole cycles: the result must be what
// playing every event gives, bus log included.
#include "emulatortest.h"

#include <fstream>
#include <string>
#include <vector>

using namespace boardemu;

namespace {

struct Outcome {
    std::vector<std::string> log; // times relative to the first line
    std::vector<int> registers;
    uint64_t cyclesSkipped = 0;
};

// Channel 1 at 1 Mbit/s retries a frame that nobody at its rate can take;
// channel 2 at 500 kbit/s misreads it; a foreign node at channel 2's rate
// sends 20 frames, 7 ms apart, that channel 2 acknowledges. Two seconds pass
// without a request.
Outcome run(bool skip, const std::string &logPath)
{
    std::remove(logPath.c_str());
    EmulatorSettings settings;
    settings.skipRepeatedCycles = skip;
    settings.busLogPath = logPath;
    settings.foreign.enabled = true;
    settings.foreign.channel = 2;
    settings.foreign.frame.id = 0x123;
    settings.foreign.frame.dlc = 2;
    settings.foreign.period = 7 * kMillisecond;
    settings.foreign.count = 20;
    Outcome outcome;
    {
        struct Fixture : EmulatorTest {
            explicit Fixture(EmulatorSettings s) : EmulatorTest(s) {}
            void TestBody() override {}
            void go(Outcome &outcome)
            {
                configure(1, 1000);
                configure(2, 500);
                const unsigned char data[4] = {0x29, 0, 0, 0};
                ASSERT_EQ(device.SendData(1, 0, 0, 0xAB, 0xBA, data, 4), 1);
                advance(2000 * kMillisecond);
                for (unsigned channel = 1; channel <= 2; ++channel) {
                    unsigned char regs[128];
                    for (unsigned at = 0; at < 128; at += 16)
                        EXPECT_EQ(device.ReadCanReg(channel, at, 16, regs + at), 1);
                    outcome.registers.insert(outcome.registers.end(), regs, regs + 128);
                }
                outcome.cyclesSkipped = inspect([](Board &b) { return b.cyclesSkipped(); });
            }
        } fixture(settings);
        fixture.go(outcome);
    }
    std::ifstream log(logPath);
    std::string line;
    double first = -1;
    while (std::getline(log, line)) {
        const double at = std::stod(line.substr(1));
        if (first < 0)
            first = at;
        char relative[32];
        std::snprintf(relative, sizeof relative, "%.6f", at - first);
        outcome.log.push_back(relative + line.substr(line.find(')')));
    }
    return outcome;
}

} // namespace

TEST(TimeModel, SkippingRepeatedCyclesChangesNothingButTheCost)
{
    const std::string path = ::testing::TempDir() + "korvane_timemodel_";
    const Outcome played = run(false, path + "played.log");
    const Outcome skipped = run(true, path + "skipped.log");
    EXPECT_EQ(played.cyclesSkipped, 0u);
    EXPECT_GT(skipped.cyclesSkipped, 10000u);
    ASSERT_EQ(played.log.size(), 20u);
    EXPECT_EQ(skipped.log, played.log);
    EXPECT_EQ(skipped.registers, played.registers);
    EXPECT_EQ(played.registers[0x1C], 128) << "channel 1 is error-passive and retrying";
}
