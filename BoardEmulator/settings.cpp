#include "settings.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace boardemu {

namespace {

// Accepted values, one place each; the README tables the same. A driver
// request is never free: with no latency at all the library's fixed poll
// counts would no longer cover a frame.
constexpr uint64_t kMaxLatencyUs = 1000000;
constexpr uint64_t kMaxFailNth = 1000000000000ULL;
constexpr uint64_t kMaxDmaQueue = 65536;
constexpr uint64_t kMaxForeignPeriodMs = 3600000;
constexpr uint64_t kMaxForeignCount = 1000000000;


// A whole number: decimal digits, or 0x and hexadecimal digits; no sign, no
// blanks, nothing after it. Values above max are refused before they can
// overflow anything.
bool parseNumber(const std::string &text, uint64_t max, uint64_t *value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t first = hex ? 2 : 0;
    if (text.size() <= first)
        return false;
    uint64_t result = 0;
    for (size_t i = first; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return false;
        const uint64_t base = hex ? 16 : 10;
        if (digit > max || result > (max - digit) / base)
            return false;
        result = result * base + digit;
    }
    *value = result;
    return true;
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? at : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

bool parseSwitch(const std::string &text, bool *value)
{
    if (text != "0" && text != "1")
        return false;
    *value = text == "1";
    return true;
}

bool parseChannels(const std::string &text, bool channels[2])
{
    if (text != "0" && text != "1" && text != "2" && text != "1,2")
        return false;
    channels[0] = text == "1" || text == "1,2";
    channels[1] = text == "2" || text == "1,2";
    return true;
}

bool parseKbps(const std::string &text, unsigned *kbps)
{
    uint64_t value = 0;
    if (!parseNumber(text, 1000, &value) ||
        (value != 125 && value != 250 && value != 500 && value != 1000))
        return false;
    *kbps = unsigned(value);
    return true;
}

// CH:ID:PERIOD_MS[:HEX[:COUNT[:KBPS]]]; an ID above 0x7FF is sent extended.
bool parseForeign(const std::string &text, ForeignNodeSettings *foreign)
{
    const std::vector<std::string> parts = split(text, ':');
    if (parts.size() < 3 || parts.size() > 6)
        return false;
    uint64_t channel = 0, id = 0, period = 0, count = 0;
    if (!parseNumber(parts[0], 2, &channel) || channel < 1 || !parseNumber(parts[1], 0x1FFFFFFF, &id) ||
        !parseNumber(parts[2], kMaxForeignPeriodMs, &period) || period < 1)
        return false;
    ForeignNodeSettings result;
    result.enabled = true;
    result.channel = unsigned(channel);
    result.frame.extended = id > 0x7FF;
    result.frame.id = uint32_t(id);
    result.period = Time(period) * kMillisecond;
    if (parts.size() > 3) {
        const std::string &hex = parts[3];
        if (hex.size() % 2 != 0 || hex.size() > 16)
            return false;
        for (size_t i = 0; i < hex.size(); i += 2) {
            uint64_t byte = 0;
            if (!parseNumber("0x" + hex.substr(i, 2), 0xFF, &byte))
                return false;
            result.frame.data[i / 2] = uint8_t(byte);
        }
        result.frame.dlc = uint8_t(hex.size() / 2);
    }
    if (parts.size() > 4) {
        if (!parseNumber(parts[4], kMaxForeignCount, &count))
            return false;
        result.count = unsigned(count);
    }
    if (parts.size() > 5 && !parseKbps(parts[5], &result.kbps))
        return false;
    *foreign = result;
    return true;
}

// A decimal number up to max, without leading zeros.
bool parseDecimal(const std::string &text, uint64_t max, uint64_t *value)
{
    return !(text.size() > 1 && text[0] == '0') && parseNumber(text, max, value);
}

// [ADDRESS:]PORT: a dotted IPv4 address (four numbers from 0 to 255, no
// leading zeros) and a port from 1 to 65535.
bool parseEndpoint(const std::string &text, EmulatorSettings *settings)
{
    std::string address = "127.0.0.1";
    std::string port = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        const std::vector<std::string> parts = split(address, '.');
        if (parts.size() != 4)
            return false;
        uint64_t part = 0;
        for (const std::string &each : parts) {
            if (!parseDecimal(each, 255, &part))
                return false;
        }
    }
    uint64_t number = 0;
    if (!parseDecimal(port, 65535, &number) || number < 1)
        return false;
    settings->socketcandAddress = address;
    settings->socketcandPort = uint16_t(number);
    return true;
}

struct Variable {
    const char *name;
    const char *accepted;
    std::function<bool(const std::string &, EmulatorSettings &)> parse;
};

// A whole number from min to max, handed to store when it is accepted.
template <typename Store> auto number(uint64_t min, uint64_t max, Store store)
{
    return [=](const std::string &v, EmulatorSettings &s) {
        uint64_t n = 0;
        if (!parseNumber(v, max, &n) || n < min)
            return false;
        store(s, n);
        return true;
    };
}

const char *faultsAccepted()
{
    static const std::string accepted = "names of faults separated by commas: " + faultNames();
    return accepted.c_str();
}

std::vector<Variable> variables()
{
    return {
        {"KORVANE_EMU_NO_BOARD", "0 or 1",
         [](const std::string &v, EmulatorSettings &s) { return parseSwitch(v, &s.noBoard); }},
        {"KORVANE_EMU_LATENCY_US", "a whole number of microseconds from 1 to 1000000",
         number(1, kMaxLatencyUs,
                [](EmulatorSettings &s, uint64_t n) { s.requestLatency = Time(n) * kMicrosecond; })},
        {"KORVANE_EMU_FAIL_CODE", "a control code from 0 to 0xFFFFFFFF (0: none)",
         number(0, 0xFFFFFFFF, [](EmulatorSettings &s, uint64_t n) { s.failCode = uint32_t(n); })},
        {"KORVANE_EMU_FAIL_NTH", "a request number from 0 to 1000000000000 (0: none)",
         number(0, kMaxFailNth, [](EmulatorSettings &s, uint64_t n) { s.failNth = n; })},
        {"KORVANE_EMU_FAIL_HANDLE", "a handle number from 0 to 1000 (0: every handle)",
         number(0, 1000, [](EmulatorSettings &s, uint64_t n) { s.failHandle = n; })},
        {"KORVANE_EMU_STUCK_BUSY", "0, 1, 2 or 1,2",
         [](const std::string &v, EmulatorSettings &s) { return parseChannels(v, s.stuckBusy); }},
        {"KORVANE_EMU_IGNORE_MODE", "0, 1, 2 or 1,2",
         [](const std::string &v, EmulatorSettings &s) {
             return parseChannels(v, s.ignoreModeRequests);
         }},
        {"KORVANE_EMU_FAULT", faultsAccepted(),
         [](const std::string &v, EmulatorSettings &s) { return parseFaults(v, &s.faults); }},
        {"KORVANE_EMU_CUT", "0 or 1",
         [](const std::string &v, EmulatorSettings &s) { return parseSwitch(v, &s.channelsCutApart); }},
        {"KORVANE_EMU_FOREIGN",
         "CH:ID:PERIOD_MS[:HEX[:COUNT[:KBPS]]] with CH 1 or 2, ID 0 to 0x1FFFFFFF, PERIOD_MS 1 to "
         "3600000, HEX up to 8 bytes as pairs of hexadecimal digits, COUNT 0 to 1000000000, KBPS "
         "125, 250, 500 or 1000",
         [](const std::string &v, EmulatorSettings &s) { return parseForeign(v, &s.foreign); }},
        {"KORVANE_EMU_DMA_QUEUE", "a number of blocks from 1 to 65536",
         number(1, kMaxDmaQueue, [](EmulatorSettings &s, uint64_t n) { s.dmaQueueBlocks = unsigned(n); })},
        {"KORVANE_EMU_PENDING", "0 or 1",
         [](const std::string &v, EmulatorSettings &s) { return parseSwitch(v, &s.pendRequests); }},
        {"KORVANE_EMU_NO_ANSWER", "0 or 1",
         [](const std::string &v, EmulatorSettings &s) { return parseSwitch(v, &s.noAnswer); }},
        {"KORVANE_EMU_SOCKETCAND", "[ADDRESS:]PORT with ADDRESS a dotted IPv4 address and PORT 1 to 65535",
         [](const std::string &v, EmulatorSettings &s) { return parseEndpoint(v, &s); }},
        {"KORVANE_EMU_SOCKETCAND_BEACON", "0 or 1",
         [](const std::string &v, EmulatorSettings &s) { return parseSwitch(v, &s.socketcandBeacon); }},
        {"KORVANE_EMU_BUSLOG_ERRORS", "0 or 1",
         [](const std::string &v, EmulatorSettings &s) { return parseSwitch(v, &s.busLogErrors); }},
        {"KORVANE_EMU_BOARDS", "a number of boards from 1 to 16",
         number(1, EmulatorSettings::kMaxBoards,
                [](EmulatorSettings &s, uint64_t n) { s.boards = unsigned(n); })},
        {"KORVANE_EMU_FAULT_BOARD", "a board index from 0 to 15",
         number(0, EmulatorSettings::kMaxBoards - 1,
                [](EmulatorSettings &s, uint64_t n) { s.faultBoard = int(n); })},
        {"KORVANE_EMU_BUSLOG", "a file name",
         [](const std::string &v, EmulatorSettings &s) {
             s.busLogPath = v;
             return true;
         }},
    };
}

} // namespace

std::optional<EmulatorSettings> EmulatorSettings::parse(const Lookup &lookup, std::string *error)
{
    EmulatorSettings settings;
    for (const Variable &variable : variables()) {
        const char *value = lookup(variable.name);
        if (value == nullptr || *value == '\0')
            continue;
        if (!variable.parse(value, settings)) {
            *error = std::string(variable.name) + "=" + value + " is not accepted: expected " +
                     variable.accepted;
            return std::nullopt;
        }
    }
    if (settings.busLogErrors && settings.busLogPath.empty()) {
        *error = "KORVANE_EMU_BUSLOG_ERRORS=1 is not accepted: it adds the bus's errors to the bus log, which "
                 "KORVANE_EMU_BUSLOG names";
        return std::nullopt;
    }
    if (settings.faultBoard >= int(settings.boards)) {
        *error = "KORVANE_EMU_FAULT_BOARD=" + std::to_string(settings.faultBoard) +
                 " is not accepted: there is no such board (KORVANE_EMU_BOARDS=" + std::to_string(settings.boards) +
                 " makes boards 0 to " + std::to_string(settings.boards - 1) + ")";
        return std::nullopt;
    }
    if (settings.socketcandPort && uint32_t(settings.socketcandPort) + settings.boards - 1 > 65535) {
        *error = "KORVANE_EMU_SOCKETCAND=" + std::to_string(settings.socketcandPort) +
                 " is not accepted: each of the " + std::to_string(settings.boards) +
                 " boards is served on a port of its own, from this one up, and they end past 65535";
        return std::nullopt;
    }
    if (settings.socketcandBeacon && !settings.socketcandPort) {
        *error = "KORVANE_EMU_SOCKETCAND_BEACON=1 is not accepted: it announces the socketcand bridge, which "
                 "KORVANE_EMU_SOCKETCAND turns on";
        return std::nullopt;
    }
    return settings;
}

namespace {

bool knownNames(const std::vector<std::string> &names, std::string *error)
{
    for (const std::string &name : names) {
        bool known = false;
        for (const Variable &variable : variables())
            known = known || name == variable.name;
        if (!known) {
            *error = name + " is not a setting of the emulated board: the settings are";
            for (const Variable &variable : variables())
                *error += std::string(" ") + variable.name;
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<EmulatorSettings> EmulatorSettings::fromEnvironment(std::string *error)
{
    const std::string prefix = "KORVANE_EMU_";
    std::vector<std::string> names;
    for (char **entry = environ; entry && *entry; ++entry) {
        const std::string assignment = *entry;
        if (assignment.compare(0, prefix.size(), prefix) == 0)
            names.push_back(assignment.substr(0, assignment.find('=')));
    }
    if (!knownNames(names, error))
        return std::nullopt;
    return parse([](const char *name) { return std::getenv(name); }, error);
}

std::optional<EmulatorSettings> EmulatorSettings::fromNamedValues(
    const std::vector<std::pair<std::string, std::string>> &values, std::string *error)
{
    std::vector<std::string> names;
    for (const auto &value : values)
        names.push_back(value.first);
    if (!knownNames(names, error))
        return std::nullopt;
    return parse(
        [&values](const char *name) -> const char * {
            for (const auto &value : values) {
                if (value.first == name)
                    return value.second.c_str();
            }
            return nullptr;
        },
        error);
}

EmulatorSettings EmulatorSettings::forBoard(unsigned index) const
{
    EmulatorSettings board = *this;
    if (faultBoard >= 0 && unsigned(faultBoard) != index) {
        const EmulatorSettings healthy;
        board.noBoard = healthy.noBoard;
        board.failCode = healthy.failCode;
        board.failNth = healthy.failNth;
        board.failHandle = healthy.failHandle;
        for (int i = 0; i < 2; ++i) {
            board.stuckBusy[i] = healthy.stuckBusy[i];
            board.ignoreModeRequests[i] = healthy.ignoreModeRequests[i];
        }
        board.channelsCutApart = healthy.channelsCutApart;
        board.faults = healthy.faults;
        board.foreign = healthy.foreign;
        board.dmaQueueBlocks = healthy.dmaQueueBlocks;
    }
    if (boards > 1 && !busLogPath.empty()) {
        // bus.log: bus-0.log, bus-1.log, ...; the extension is what follows
        // the last dot of the file's own name.
        const size_t slash = busLogPath.find_last_of("/\\");
        const size_t dot = busLogPath.find_last_of('.');
        const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
        const size_t at = extension ? dot : busLogPath.size();
        board.busLogPath = busLogPath.substr(0, at) + "-" + std::to_string(index) + busLogPath.substr(at);
    }
    board.boardIndex = index;
    if (socketcandPort)
        board.socketcandPort = uint16_t(socketcandPort + index);
    board.boards = 1;
    board.faultBoard = -1;
    return board;
}

} // namespace boardemu
