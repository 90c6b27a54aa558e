#include "settings.h"

#include <cstdlib>
#include <string>

namespace boardemu {

namespace {

const char *variable(const char *name)
{
    const char *value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

bool parseNumber(const std::string &text, uint64_t *value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0')
        return false;
    *value = parsed;
    return true;
}

void parseChannels(const char *text, bool channels[2])
{
    const std::string list = text;
    if (list.find('1') != std::string::npos)
        channels[0] = true;
    if (list.find('2') != std::string::npos)
        channels[1] = true;
}

// CHANNEL:ID:PERIOD_MS[:DATA_HEX[:COUNT]]; an ID above 0x7FF is sent extended.
bool parseForeign(const std::string &text, ForeignNodeSettings *foreign)
{
    std::string parts[5];
    size_t count = 0;
    size_t start = 0;
    while (count < 5) {
        const size_t colon = text.find(':', start);
        parts[count++] = text.substr(start, colon == std::string::npos ? colon : colon - start);
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    uint64_t channel = 0, id = 0, period = 0;
    if (count < 3 || !parseNumber(parts[0], &channel) || !parseNumber(parts[1], &id) ||
        !parseNumber(parts[2], &period) || (channel != 1 && channel != 2) || id > 0x1FFFFFFF ||
        period == 0)
        return false;
    foreign->enabled = true;
    foreign->channel = unsigned(channel);
    foreign->frame.extended = id > 0x7FF;
    foreign->frame.id = uint32_t(id);
    foreign->period = Time(period) * kMillisecond;
    const std::string &hex = parts[3];
    foreign->frame.dlc = 0;
    for (size_t i = 0; i + 1 < hex.size() && foreign->frame.dlc < 8; i += 2) {
        uint64_t byte = 0;
        if (!parseNumber("0x" + hex.substr(i, 2), &byte))
            return false;
        foreign->frame.data[foreign->frame.dlc++] = uint8_t(byte);
    }
    uint64_t frames = 0;
    if (count == 5 && parseNumber(parts[4], &frames))
        foreign->count = unsigned(frames);
    return true;
}

} // namespace

EmulatorSettings EmulatorSettings::fromEnvironment()
{
    EmulatorSettings settings;
    uint64_t number = 0;
    if (const char *value = variable("KORVANE_EMU_NO_BOARD"))
        settings.noBoard = std::string(value) != "0";
    if (const char *value = variable("KORVANE_EMU_LATENCY_US"); value && parseNumber(value, &number))
        settings.requestLatency = Time(number) * kMicrosecond;
    if (const char *value = variable("KORVANE_EMU_FAIL_CODE"); value && parseNumber(value, &number))
        settings.failCode = uint32_t(number);
    if (const char *value = variable("KORVANE_EMU_FAIL_NTH"); value && parseNumber(value, &number))
        settings.failNth = number;
    if (const char *value = variable("KORVANE_EMU_STUCK_BUSY"))
        parseChannels(value, settings.stuckBusy);
    if (const char *value = variable("KORVANE_EMU_IGNORE_MODE"))
        parseChannels(value, settings.ignoreModeRequests);
    if (const char *value = variable("KORVANE_EMU_CUT"))
        settings.channelsCutApart = std::string(value) != "0";
    if (const char *value = variable("KORVANE_EMU_FOREIGN"))
        parseForeign(value, &settings.foreign);
    if (const char *value = variable("KORVANE_EMU_DMA_QUEUE"); value && parseNumber(value, &number))
        settings.dmaQueueBlocks = unsigned(number);
    if (const char *value = variable("KORVANE_EMU_BUSLOG"))
        settings.busLogPath = value;
    return settings;
}

} // namespace boardemu
