// Sequences of driver requests, any control code, input bytes and output size,
// through the Win32 subset's DeviceIoControl against an emulated board on a
// virtual clock; time moves on between requests so that the bus and the DMA
// engine act on whatever the requests set up.
//
// Input, request after request:
//   byte    code: 0-6 one of the driver's seven codes, 7 a raw code in the
//           next 4 bytes, anything else the code at (byte % 7)
//   byte    input size (0-255), then that many input bytes
//   2 bytes output size (little-endian, 0 means no output buffer at all)
//   byte    time to let pass afterwards, in units of 64 us
#include "emulateddriver.h"

#include <windows.h>
#include <win32subset/devicetable.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

const DWORD kCodes[7] = {boardemu::ioctl::READ_REG,  boardemu::ioctl::WRITE_REG,
                         boardemu::ioctl::READ_MEM,  boardemu::ioctl::WRITE_MEM,
                         boardemu::ioctl::CLEAR_DMA, boardemu::ioctl::SET_CANONICAL_DMA,
                         boardemu::ioctl::READ_DMA_BLOCKS};

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto clock = std::make_shared<boardemu::VirtualClock>();
    boardemu::EmulatorSettings settings;
    settings.dmaQueueBlocks = 8;
    boardemu::EmulatedBoard board(settings, clock);
    HANDLE handle = CreateFileA("\\\\.\\CAN0", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        std::abort();
    Reader in{data, size};
    for (int requests = 0; in.more() && requests < 64; ++requests) {
        const uint8_t selector = in.byte();
        DWORD code = kCodes[selector % 7];
        if (selector == 7) {
            code = 0;
            for (int i = 0; i < 4; ++i)
                code |= DWORD(in.byte()) << (8 * i);
        }
        std::vector<uint8_t> input(in.byte());
        for (uint8_t &b : input)
            b = in.byte();
        const DWORD outSize = DWORD(in.byte()) | DWORD(in.byte()) << 8;
        // Exact heap buffers, none at all for no bytes, so that any access
        // beyond what the request gave is caught.
        std::unique_ptr<uint8_t[]> inBuffer(input.empty() ? nullptr : new uint8_t[input.size()]);
        std::copy(input.begin(), input.end(), inBuffer.get());
        std::unique_ptr<uint8_t[]> outBuffer(outSize ? new uint8_t[outSize] : nullptr);
        DWORD returned = 0xFFFFFFFF;
        const BOOL ok = DeviceIoControl(handle, code, inBuffer.get(), DWORD(input.size()),
                                        outBuffer.get(), outSize, &returned, nullptr);
        if (ok && returned > outSize)
            std::abort();
        clock->advance(boardemu::Time(in.byte()) * 64 * boardemu::kMicrosecond);
    }
    CloseHandle(handle);
    return 0;
}
