// What the emulated board costs through Wine's I/O path: the round trip of
// one driver request, and test groups per second sent frame by frame from
// channel 1 to channel 2 with the library (each frame loaded, then polled
// until it has left, as the transmit worker does), read back through DMA.
// Run with scripts/wine-board.sh; prints, asserts nothing.
#include "benchsupport.h"
#include "candeviceex.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double micros(const LARGE_INTEGER &from, const LARGE_INTEGER &to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) * 1e6 / double(frequency.QuadPart);
}

} // namespace

int main()
{
    CCANDeviceEx device;
    if (!device.Open(0)) {
        std::printf("cannot open \\\\.\\CAN0 (%lu)\n", GetLastError());
        return 1;
    }
    std::vector<double> trips;
    for (int i = 0; i < 2000; ++i) {
        LARGE_INTEGER a, b;
        unsigned int value = 0;
        QueryPerformanceCounter(&a);
        device.ReadReg(CAN_BOARD_DMA_CONTROL, &value);
        QueryPerformanceCounter(&b);
        trips.push_back(micros(a, b));
    }
    std::sort(trips.begin(), trips.end());
    std::printf("request round trip: min %.0f us, median %.0f us, 90th percentile %.0f us\n", trips.front(),
                trips[trips.size() / 2], trips[trips.size() * 9 / 10]);

    const unsigned int numbers[5] = {41, 18467, 6334, 1930, 26772};
    for (unsigned kbps : {125u, 1000u}) {
        configureBoard(device, kbps);
        device.ClearDMA();
        const int groups = 20;
        LARGE_INTEGER a, b;
        QueryPerformanceCounter(&a);
        for (int group = 0; group < groups; ++group) {
            for (unsigned int number : numbers) {
                const unsigned char data[4] = {static_cast<unsigned char>(number),
                                               static_cast<unsigned char>(number >> 8), 0, 0};
                device.SendData(1, 0, 0, 171, 186, data, 4);
                while (device.CheckTransmit(1, 0) == 7) {
                }
            }
        }
        QueryPerformanceCounter(&b);
        std::vector<unsigned char> blocks(64 * CAN_DMA_BLOCK_SIZE);
        unsigned int count = 0, received = 0;
        while (device.ReadDMABlocks(blocks.data(), 2, 64, &count) == 1 && count > 0)
            received += count;
        const double seconds = micros(a, b) / 1e6;
        std::printf("%4u kbit/s: %.1f groups/s frame by frame (%u of %d frames received)\n", kbps, groups / seconds,
                    received, 5 * groups);
    }
    return 0;
}
