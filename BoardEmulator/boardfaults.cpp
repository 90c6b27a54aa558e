#include "boardfaults.h"

#include <sstream>

namespace boardemu {

const FaultInfo *faultTable()
{
    static const FaultInfo table[] = {
        {Fault::StdIdBit, "std-id-bit", "channel 2's receive buffers: standard identifier bit 2 stuck at 1"},
        {Fault::ExtIdBit, "ext-id-bit", "channel 2's receive buffers: extended identifier bit 9 stuck at 0"},
        {Fault::ShortFrameByte, "short-frame-byte", "channel 2 loses the last byte of frames of 1 to 7 bytes"},
        {Fault::RxLengthBit, "rx-length-bit", "channel 2's receive buffers: DLC bit 2 stuck at 1"},
        {Fault::TxDataBit, "tx-data-bit", "channel 1's transmit path: data byte 5 bit 3 stuck at 0"},
        {Fault::RemoteAsData, "remote-as-data", "channel 2 takes remote frames for data frames"},
        {Fault::Txb2Dead, "txb2-dead", "channel 1's transmit buffer 2 never sends"},
        {Fault::PriorityIgnored, "priority-ignored", "channel 1 ignores the transmit priorities (TXP)"},
        {Fault::AbortIgnored, "abort-ignored", "an abort (CANCTRL.ABAT) withdraws nothing, on both channels"},
        {Fault::OneShotRetries, "one-shot-retries", "one-shot mode (CANCTRL.OSM) retries failed frames, on both channels"},
        {Fault::Rxb1NoDma, "rxb1-no-dma", "the board's DMA never fetches a frame from the second receive buffer"},
        {Fault::RolloverIgnored, "rollover-ignored", "channel 2 ignores BUKT: a frame that finds RXB0 full is lost"},
        {Fault::OverflowFlagDead, "overflow-flag-dead", "channel 2 never sets RX0OVR or RX1OVR"},
        {Fault::FilterDead, "filter-dead", "channel 2's acceptance filter RXF3 never matches"},
        {Fault::MaskBitStuck, "mask-bit-stuck", "channel 2's mask RXM1: its bit for identifier bit 0 (18 of an extended one) stuck at 0"},
        {Fault::LoopbackOnBus, "loopback-on-bus", "channel 1 in loopback mode sends its frames on the bus instead"},
        {Fault::ListenOnlyAcks, "listen-only-acks", "channel 2 acknowledges frames in listen-only mode"},
        {Fault::NoWake, "no-wake", "channel 2 does not wake from sleep on bus activity"},
        {Fault::TimingAnytime, "timing-anytime", "both controllers take bit timing (CNF1-3) outside configuration mode"},
        {Fault::BusOffStays, "bus-off-stays", "neither controller recovers from bus-off"},
        {Fault::TecFrozen, "tec-frozen", "channel 1's transmit error counter never counts up"},
        {Fault::EflgLate, "eflg-late", "channel 1 never sets EFLG.TXWAR (transmit warning)"},
        {Fault::Timing250kFast, "timing-250k-fast",
         "both controllers decode the bit rate prescaler 3 as 2: 250 kbit/s runs at 333 kbit/s"},
        {Fault::StampsBack, "stamps-back",
         "the DMA stamp's upper byte is latched 2 ms late: stamps step back after each carry"},
        {Fault::WaitedStuck, "waited-stuck", "the DMA marks every block as having waited for room"},
        {Fault::RingSlotLost, "ring-slot-lost", "the DMA ring's last slot is never delivered"},
        {Fault::SpiWriteLost, "spi-write-lost", "channel 1's SPI bridge loses one WRITE in 5000"},
        {Fault::ReadStatusSwap, "read-status-swap", "channel 1's READ STATUS swaps TX1REQ and TX2REQ"},
        {Fault::BitModifyPlain, "bit-modify-plain", "channel 1's BIT MODIFY ignores its mask"},
    };
    static_assert(sizeof table / sizeof table[0] == unsigned(Fault::Count), "every fault has its name");
    return table;
}

FaultSet faultsOf(FaultSet set, unsigned channel)
{
    FaultSet own = 0;
    for (unsigned i = 0; i < unsigned(Fault::Count); ++i) {
        const Fault fault = Fault(i);
        unsigned where = 0; // the board
        switch (fault) {
        case Fault::TxDataBit:
        case Fault::Txb2Dead:
        case Fault::PriorityIgnored:
        case Fault::LoopbackOnBus:
        case Fault::TecFrozen:
        case Fault::EflgLate:
        case Fault::ReadStatusSwap:
        case Fault::BitModifyPlain:
            where = 1;
            break;
        case Fault::StdIdBit:
        case Fault::ExtIdBit:
        case Fault::ShortFrameByte:
        case Fault::RxLengthBit:
        case Fault::RemoteAsData:
        case Fault::RolloverIgnored:
        case Fault::OverflowFlagDead:
        case Fault::FilterDead:
        case Fault::MaskBitStuck:
        case Fault::ListenOnlyAcks:
        case Fault::NoWake:
            where = 2;
            break;
        case Fault::AbortIgnored:
        case Fault::OneShotRetries:
        case Fault::TimingAnytime:
        case Fault::BusOffStays:
        case Fault::Timing250kFast:
            where = channel; // both controllers
            break;
        default:
            break;
        }
        if (has(set, fault) && where == channel)
            own |= FaultSet(1) << i;
    }
    return own;
}

std::string faultNames()
{
    std::string names;
    for (unsigned i = 0; i < unsigned(Fault::Count); ++i)
        names += (i ? ", " : "") + std::string(faultTable()[i].name);
    return names;
}

bool parseFaults(const std::string &list, FaultSet *set)
{
    *set = 0;
    std::stringstream in(list);
    for (std::string name; std::getline(in, name, ',');) {
        bool known = false;
        for (unsigned i = 0; i < unsigned(Fault::Count); ++i) {
            if (name == faultTable()[i].name) {
                *set |= FaultSet(1) << i;
                known = true;
            }
        }
        if (!known)
            return false;
    }
    return !list.empty() && list.back() != ',';
}

} // namespace boardemu
