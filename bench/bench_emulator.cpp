// Prints the emulator's own cost per driver request and the frames per
// second that one channel carries to the other at each bit rate, beside the
// bus limit computed from the frames' exact bit counts.
#include "candeviceex.h"
#include "emulateddriver.h"
#include "emulatorbench.h"

#include <win32subset/devicetable.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

using namespace boardemu;

namespace {

double costPerRequestNs()
{
    EmulatorSettings settings;
    settings.requestLatency = 0;
    EmulatedBoard board(settings, std::make_shared<RealClock>());
    CCANDeviceEx device;
    device.Open(0);
    configureBoard(device, 1000);
    // Register reads as the library makes them; without latency the bridge
    // is still busy at the first poll after the command, so count requests.
    const uint64_t before = board.driver().requestCount();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200000; ++i) {
        unsigned char byte;
        device.ReadCanReg(1, CAN_REG_CANSTAT, 1, &byte);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() /
           double(board.driver().requestCount() - before);
}

// Channel 1 at 1 Mbit/s sends a frame that channel 2, at 500 kbit/s, can
// never acknowledge: it retries for ever. After the given idle time on a
// virtual clock, the host time that the first request takes.
double firstRequestAfterIdleMs(Time idle)
{
    auto clock = std::make_shared<VirtualClock>();
    EmulatedBoard board(EmulatorSettings(), clock);
    win32subset::setSleepHandler([clock](DWORD ms) { clock->advance(Time(ms) * kMillisecond); });
    CCANDeviceEx device;
    device.Open(0);
    configureBoard(device, 1000);
    device.SetWorkMode(2, CAN_MODE_CONFIGURATION);
    device.SetSpeed(2, 500);
    device.SetWorkMode(2, CAN_MODE_NORMAL);
    const unsigned char data[4] = {0x29, 0, 0, 0};
    device.SendData(1, 0, 0, 171, 186, data, 4);
    clock->advance(idle);
    unsigned int value = 0;
    const auto start = std::chrono::steady_clock::now();
    device.ReadReg(CAN_BOARD_DMA_CONTROL, &value);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    win32subset::setSleepHandler({});
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

} // namespace

// Usage: bench_emulator [cost]   ("cost": the cost per request alone, for profiling)
int main(int argc, char **argv)
{
    std::printf("emulator cost per driver request: %.0f ns (modelled latency %lld ns)\n",
                costPerRequestNs(), (long long)EmulatorSettings().requestLatency);
    if (argc > 1 && std::string(argv[1]) == "cost")
        return 0;
    std::printf("\nfirst request after idle retrying (virtual clock, 1 Mbit/s frame nobody acknowledges):\n");
    for (const auto &[label, idle] : {std::pair<const char *, Time>{"1 s", 1000 * kMillisecond},
                                      {"100 s", 100000 * kMillisecond},
                                      {"1 h", 3600000 * kMillisecond}})
        std::printf("  after %-6s %10.3f ms\n", label, firstRequestAfterIdleMs(idle));
    const unsigned bits = frameBitCount(testgroup::frame(41));
    std::printf("\n%-10s %14s %16s %18s %22s\n", "bit rate", "frames/s", "bus limit",
                "frame bits (41)", "host ns per request");
    for (unsigned kbps : {125u, 250u, 500u, 1000u}) {
        const double limit = kbps * 1000.0 / bits;
        double perRequest = 0;
        const double frames = framesPerSecond(kbps, &perRequest);
        std::printf("%4u kbit/s %14.0f %16.0f %18u %22.0f\n", kbps, frames, limit, bits, perRequest);
    }
    return 0;
}
