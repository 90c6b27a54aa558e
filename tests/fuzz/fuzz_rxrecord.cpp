// ParseRxRecord on arbitrary 64-byte blocks: the data area gets exactly the
// frame's bytes and never more than its 8.
#include "candeviceex.h"
#include "emulateddriver.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

CCANDeviceEx &device()
{
    static boardemu::EmulatedBoard board(boardemu::EmulatorSettings(),
                                         std::make_shared<boardemu::VirtualClock>());
    static CCANDeviceEx instance;
    if (!instance.IsOpen() && !instance.Open(0))
        std::abort();
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    unsigned char block[CAN_DMA_BLOCK_SIZE] = {};
    std::memcpy(block, data, size < sizeof block ? size : sizeof block);
    auto area = std::make_unique<unsigned char[]>(8); // exact, so overruns are caught
    std::memset(area.get(), 0xEE, 8);
    int flag = -1, channel = -1, stdId = -1, extId = 0, length = -1;
    unsigned header = 0xFFFFFFFF;
    device().ParseRxRecord(block, &flag, &channel, &header, &stdId, &extId, area.get(), &length);

    const bool remote = (block[9] & CAN_DLC_RTR) != 0;
    const int expected = remote ? 0 : ((block[9] & 0x0F) > 8 ? 8 : (block[9] & 0x0F));
    if (length != expected || (flag != 0 && flag != 1) || (channel != 1 && channel != 2) ||
        header > 0xFFFFFF || stdId < 0 || stdId > 0x7FF || (extId != -1 && (extId < 0 || extId > 0x3FFFF)))
        std::abort();
    for (int i = 0; i < 8; ++i) {
        if (area[i] != (i < length ? block[10 + i] : 0xEE))
            std::abort();
    }
    return 0;
}
