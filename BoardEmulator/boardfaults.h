// Faults a real board can have, each a small change to the emulated board
// chosen by name (KORVANE_EMU_FAULT=NAME[,NAME...]): a stuck line or bit, a
// dead buffer, a wrong oscillator, a lost SPI write, a DMA flag stuck. None
// is a crash or a hang: the board goes on, wrong in one way. Each says which
// channel's controller has it (0: both, or the board's own DMA and bridge).
#ifndef BOARDEMULATOR_BOARDFAULTS_H
#define BOARDEMULATOR_BOARDFAULTS_H

#include <cstdint>
#include <string>

namespace boardemu {

enum class Fault : unsigned {
    StdIdBit,        // channel 2 receives standard identifier bit 2 as 1
    ExtIdBit,        // channel 2 receives extended identifier bit 9 as 0
    ShortFrameByte,  // channel 2 receives the last byte of a 1- to 7-byte frame as 0
    RxLengthBit,     // channel 2 receives DLC bit 2 as 1
    TxDataBit,       // channel 1 sends data byte 5 bit 3 as 0
    RemoteAsData,    // channel 2 stores remote frames as data frames
    Txb2Dead,        // channel 1's transmit buffer 2 never sends
    PriorityIgnored, // channel 1 ignores TXP: the highest buffer number first
    AbortIgnored,    // neither controller aborts on CANCTRL.ABAT
    OneShotRetries,  // neither controller keeps one-shot mode: failed frames are retried
    Rxb1NoDma,       // the board's DMA never fetches a frame from RXB1
    RolloverIgnored, // channel 2 ignores BUKT: a frame finding RXB0 full is lost
    OverflowFlagDead,// channel 2 never sets RX0OVR or RX1OVR
    FilterDead,      // channel 2's filter RXF3 never matches
    MaskBitStuck,    // channel 2's mask RXM1 does not compare identifier bit 0 (bit 18 of an extended one)
    LoopbackOnBus,   // channel 1 in loopback mode sends on the bus instead
    ListenOnlyAcks,  // channel 2 acknowledges frames in listen-only mode
    NoWake,          // channel 2 does not wake on bus activity
    TimingAnytime,   // both controllers take CNF1-3 outside configuration mode
    BusOffStays,     // neither controller recovers from bus-off
    TecFrozen,       // channel 1's transmit error counter never counts up
    EflgLate,        // channel 1 never sets EFLG.TXWAR
    Timing250kFast,  // both controllers decode CNF1's BRP 3 as 2: 250 kbit/s runs at 333 kbit/s
    StampsBack,      // the DMA stamp's upper byte is latched 2 ms late: stamps step back after a carry
    WaitedStuck,     // the DMA marks every block as having waited for room
    RingSlotLost,    // the DMA ring's last slot is never delivered
    SpiWriteLost,    // channel 1's SPI bridge loses one WRITE in 5000
    ReadStatusSwap,  // channel 1's READ STATUS swaps TX1REQ and TX2REQ
    BitModifyPlain,  // channel 1's BIT MODIFY ignores its mask
    Count
};

using FaultSet = uint64_t;

inline bool has(FaultSet set, Fault fault)
{
    return (set >> unsigned(fault)) & 1;
}

struct FaultInfo {
    Fault fault;
    const char *name;   // as KORVANE_EMU_FAULT names it
    const char *models; // what a real board would have
};

// The faults of the set that a channel's controller has (1 or 2), or the
// board's own DMA engine and bridges (0).
FaultSet faultsOf(FaultSet set, unsigned channel);

// Every fault, in the order of the enum.
const FaultInfo *faultTable();
// "std-id-bit, ext-id-bit, ..." for a refusal.
std::string faultNames();
// The set a list of names makes; false for a name that is no fault's.
bool parseFaults(const std::string &list, FaultSet *set);

} // namespace boardemu

#endif
