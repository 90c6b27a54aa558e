// The emulator's settings parser on arbitrary NAME=VALUE lines, then a board
// built from whatever it accepted, run for a second of emulated time.
#include "emulateddriver.h"

#include <windows.h>

#include <cstdlib>
#include <map>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::map<std::string, std::string> values;
    const std::string text(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            values["KORVANE_EMU_" + line.substr(0, equals)] = line.substr(equals + 1);
        start = end + 1;
    }
    std::string error;
    auto settings = boardemu::EmulatorSettings::parse(
        [&values](const char *name) {
            const auto found = values.find(name);
            return found == values.end() ? nullptr : found->second.c_str();
        },
        &error);
    if (!settings) {
        if (error.empty() || error.find('\n') != std::string::npos)
            std::abort();
        return 0;
    }
    settings->busLogPath.clear();    // no files from fuzz inputs
    settings->socketcandPort = 0;    // nor listening sockets
    auto clock = std::make_shared<boardemu::VirtualClock>();
    boardemu::EmulatedBoard board(*settings, clock);
    HANDLE handle = CreateFileA("\\\\.\\CAN0", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if ((handle == INVALID_HANDLE_VALUE) != settings->noBoard)
        std::abort();
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    clock->advance(1000 * boardemu::kMillisecond);
    DWORD request[2] = {1, 2};
    unsigned char block[64];
    DWORD returned = 0;
    DeviceIoControl(handle, boardemu::ioctl::READ_DMA_BLOCKS, request, sizeof request, block,
                    sizeof block, &returned, nullptr);
    CloseHandle(handle);
    return 0;
}
