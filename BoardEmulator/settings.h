// Settings and fault switches of the emulated board. The application reads no
// environment; only the emulator does, through fromEnvironment().
#ifndef BOARDEMULATOR_SETTINGS_H
#define BOARDEMULATOR_SETTINGS_H

#include "canframe.h"
#include "boardfaults.h"
#include "clock.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace boardemu {

struct ForeignNodeSettings {
    bool enabled = false;
    unsigned channel = 2;             // the channel whose bus it sits on
    CanFrame frame;                   // what it sends
    Time period = 100 * kMillisecond; // also the time of its first frame
    unsigned count = 0;               // frames to send; 0 for no end
    unsigned kbps = 0;                // its bit rate; 0: that of its channel's controller
};

struct EmulatorSettings {
    // Minimum cost of one driver request: a kernel round trip to a PCI board.
    Time requestLatency = 5 * kMicrosecond;
    // One SPI byte at 10 MHz.
    Time spiByteTime = 800;
    // DMA blocks each channel's queue holds.
    unsigned dmaQueueBlocks = 512;

    bool noBoard = false;
    uint32_t failCode = 0; // every request with this code fails
    uint64_t failNth = 0;  // the Nth request (from 1) fails
    // With it, failNth counts the requests of this handle alone (the Nth
    // opened on the board, from 1); 0: every handle's.
    uint64_t failHandle = 0;
    bool stuckBusy[2] = {false, false};
    bool ignoreModeRequests[2] = {false, false};
    bool channelsCutApart = false;
    // The board's faults (KORVANE_EMU_FAULT), see boardfaults.h.
    FaultSet faults = 0;
    ForeignNodeSettings foreign;
    std::string busLogPath;
    // Which board of the PC these are (KORVANE_EMU_BOARDS), from 0: its
    // buses are can<2 x index> and can<2 x index + 1>, as the runner's frame
    // log names its channels.
    unsigned boardIndex = 0;
    // The socketcand bridge: the bus served to TCP clients on this address
    // and port (0: no bridge).
    std::string socketcandAddress = "127.0.0.1";
    uint16_t socketcandPort = 0;
    // The bridge announces itself as socketcand servers do: a CANBeacon
    // datagram to UDP port 42000 every 3 s, on the broadcast address of the
    // interface it listens on (loopback's by default).
    bool socketcandBeacon = false;
    // The bus log also records every error seen on the bus, as candump logs
    // error frames.
    bool busLogErrors = false;
    // The Windows test driver only: requests pend and are completed by its
    // worker once they have cost their latency; or are never completed, only
    // cancelled (a board that does not answer).
    bool pendRequests = false;
    bool noAnswer = false;
    // Repeating retry cycles are skipped in one step (see cyclestate.h);
    // tests turn it off to compare with every event played out.
    bool skipRepeatedCycles = true;
    // Boards in the PC: \\.\CAN0 ... \\.\CAN<boards-1>, each with its own
    // controllers, bus, DMA and clock state.
    unsigned boards = 1;
    static constexpr unsigned kMaxBoards = 16;
    // The one board the faults and the foreign node are put on; -1: every
    // board.
    int faultBoard = -1;

    // The settings of board index (0 to boards-1): the faults only where
    // they are put, the bus log's name with the board's index when there
    // are several boards, and the socketcand bridge on the port after the
    // previous board's.
    EmulatorSettings forBoard(unsigned index) const;

    // The KORVANE_EMU_* variables as lookup(name) gives them (nullptr when
    // unset; an empty value counts as unset). Every value is parsed strictly
    // within the range the README tables: the first bad one makes the result
    // empty and *error one line naming the variable, its value and what is
    // accepted.
    using Lookup = std::function<const char *(const char *name)>;
    static std::optional<EmulatorSettings> parse(const Lookup &lookup, std::string *error);
    // The same from the process environment, which must also hold no
    // KORVANE_EMU_ variable of another name.
    static std::optional<EmulatorSettings> fromEnvironment(std::string *error);
    // The same from name and value pairs (the Windows test driver's
    // Parameters key), which must hold no name that is not a setting.
    static std::optional<EmulatorSettings> fromNamedValues(
        const std::vector<std::pair<std::string, std::string>> &values, std::string *error);
};

} // namespace boardemu

#endif
