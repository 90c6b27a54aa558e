#include "mcp2515.h"

#include <algorithm>

namespace boardemu {

using namespace mcp2515;

namespace {

// Choices where the data sheet is silent, kept together.
constexpr uint8_t kFilterResetValue = 0x00; // RXFn reset value is undefined
constexpr int kIntegrationBits = 11;
// A frame is copied from the transmit buffer at its start of frame, so a
// buffer still waiting sends what was written last.
// A write to a configuration-only register outside configuration mode is
// ignored (see isConfigurationOnly).
// RX STATUS reports RXB0 when both receive buffers are full.
// A standard frame's first two data bytes are filtered whenever the filters
// apply (RXM = 00), against the filter's and mask's EID8 and EID0.
// Loopback frames always succeed, in their own frame time.
// A mode request waits for pending transmissions only in the modes that
// transmit (normal, loopback); elsewhere nothing would ever complete them.
// Error frames: a flag that the other error-active nodes answer lasts 12 bits
// (see busChoice in canbus.h).

bool isConfigurationOnly(uint8_t address)
{
    return address <= 0x0B || (address >= 0x10 && address <= 0x1B) ||
           (address >= RXM0SIDH && address <= 0x27) || address == CNF1 || address == CNF2 ||
           address == CNF3 || address == TXRTSCTRL;
}

// The registers that BIT MODIFY works on as such (the data sheet's register
// map); on any other register it writes the data byte whole.
bool isBitModifiable(uint8_t address)
{
    if ((address & 0x0F) == 0x0F)
        return true; // CANCTRL
    switch (address) {
    case BFPCTRL:
    case TXRTSCTRL:
    case CNF3:
    case CNF2:
    case CNF1:
    case CANINTE:
    case CANINTF:
    case EFLG:
    case TXB0CTRL:
    case TXB1CTRL:
    case TXB2CTRL:
    case RXB0CTRL:
    case RXB1CTRL:
        return true;
    default:
        return false;
    }
}

// Implemented bits of the identifier registers; the others read 0.
constexpr uint8_t kFilterSidlBits = 0xEB; // SID2..0, EXIDE, EID17..16
constexpr uint8_t kMaskSidlBits = 0xE3;   // SID2..0, EID17..16
constexpr uint8_t kTxSidlBits = 0xEB;
constexpr uint8_t kTxDlcBits = 0x4F; // RTR, DLC3..0

int txBufferOf(uint8_t address)
{
    if (address >= TXB0CTRL && address <= 0x5D && (address & 0x0F) <= 0x0D)
        return (address - TXB0CTRL) >> 4;
    return -1;
}

bool isFilterOrMaskSidl(uint8_t address)
{
    return (address <= 0x0B || (address >= 0x10 && address <= 0x1B) ||
            (address >= RXM0SIDH && address <= 0x27)) &&
           (address & 0x03) == 0x01;
}

} // namespace

Mcp2515::Mcp2515(std::string busName) : m_busName(std::move(busName))
{
    reset(0);
}

void Mcp2515::reset(Time t)
{
    std::fill(std::begin(m_regs), std::end(m_regs), 0);
    for (uint8_t a = RXF0SIDH; a <= 0x0B; ++a)
        m_regs[a] = kFilterResetValue;
    for (uint8_t a = RXF3SIDH; a <= 0x1B; ++a)
        m_regs[a] = kFilterResetValue;
    m_regs[CANCTRL] = 0x87;
    m_mode = m_requestedMode = Mode::Configuration;
    m_modeChangePending = false;
    clearErrorCounters(t);
    m_onWire = -1;
    m_withdrawnOnWire = m_abortedOnWire = false;
    m_loopbackBuffer = -1;
    m_loopbackEnd = kNever;
    m_rolledOver = false;
    m_integratedAt = t;
}

// Bit time = TQ x (SyncSeg + PropSeg + PS1 + PS2), TQ = 2 x (BRP + 1) / Fosc.
Time Mcp2515::bitTime() const
{
    int prescaler = m_regs[CNF1] & 0x3F;
    if (has(m_faults, Fault::Timing250kFast) && prescaler == 3)
        prescaler = 2;
    const Time tq = 2 * (prescaler + 1) * kOscillatorPeriod;
    const int propSeg = (m_regs[CNF2] & 0x07) + 1;
    const int phaseSeg1 = ((m_regs[CNF2] >> 3) & 0x07) + 1;
    const bool btlMode = (m_regs[CNF2] & 0x80) != 0;
    const int phaseSeg2 = btlMode ? (m_regs[CNF3] & 0x07) + 1 : std::max(phaseSeg1, 2);
    return tq * (1 + propSeg + phaseSeg1 + phaseSeg2);
}

uint8_t Mcp2515::interruptCode() const
{
    const uint8_t active = m_regs[CANINTF] & m_regs[CANINTE];
    if (active & ERRIF)
        return 1;
    if (active & WAKIF)
        return 2;
    if (active & TX0IF)
        return 3;
    if (active & TX1IF)
        return 4;
    if (active & TX2IF)
        return 5;
    if (active & RX0IF)
        return 6;
    if (active & RX1IF)
        return 7;
    return 0;
}

uint8_t Mcp2515::read(uint8_t address) const
{
    address &= 0x7F;
    if ((address & 0x0F) == 0x0E)
        return uint8_t((uint8_t(m_mode) << 5) | (interruptCode() << 1));
    if ((address & 0x0F) == 0x0F)
        return m_regs[CANCTRL];
    if (address == TEC)
        return uint8_t(std::min(transmitErrorCounter(), 255));
    if (address == REC)
        return uint8_t(std::min(receiveErrorCounter(), 255));
    // A pin state bit reads 0 while its pin is an interrupt output (register 4-3).
    if (address == BFPCTRL)
        return uint8_t(m_regs[BFPCTRL] & ~((m_regs[BFPCTRL] & B0BFM ? B0BFS : 0) |
                                           (m_regs[BFPCTRL] & B1BFM ? B1BFS : 0)));
    return m_regs[address];
}

void Mcp2515::write(uint8_t address, uint8_t value, Time t)
{
    address &= 0x7F;
    if ((address & 0x0F) == 0x0E)
        return; // CANSTAT is read-only
    if ((address & 0x0F) == 0x0F) {
        writeCanctrl(value, t);
        return;
    }
    const bool timing = address == CNF1 || address == CNF2 || address == CNF3;
    if (isConfigurationOnly(address) && m_mode != Mode::Configuration &&
        !(timing && has(m_faults, Fault::TimingAnytime)))
        return;
    const int txBuffer = txBufferOf(address);
    if (txBuffer >= 0) {
        const uint8_t offset = address - txBase(txBuffer);
        if (offset == 0) {
            writeTxCtrl(txBuffer, value, t);
            return;
        }
        if (m_regs[txBase(txBuffer)] & TXREQ)
            ++m_writesToPendingBuffers;
        m_regs[address] = offset == SIDL ? (value & kTxSidlBits)
                                         : (offset == DLC ? (value & kTxDlcBits) : value);
        return;
    }
    if (isFilterOrMaskSidl(address)) {
        m_regs[address] = value & (address >= RXM0SIDH ? kMaskSidlBits : kFilterSidlBits);
        return;
    }
    switch (address) {
    case TXRTSCTRL:
        m_regs[address] = value & 0x07; // pin states read 0
        break;
    case BFPCTRL:
        m_regs[address] = value & 0x3F;
        break;
    case TEC:
    case REC:
        break;
    case CNF3:
        m_regs[address] = value & 0xC7;
        break;
    case CANINTE:
        m_regs[address] = value;
        break;
    case CANINTF: {
        const bool wakifSet = (value & WAKIF) && !(m_regs[address] & WAKIF);
        m_regs[address] = value;
        // The host may wake a sleeping controller by setting WAKIF.
        if (wakifSet && m_mode == Mode::Sleep)
            wake(t);
        break;
    }
    case EFLG:
        m_regs[EFLG] = uint8_t((m_regs[EFLG] & 0x3F) | (value & (RX1OVR | RX0OVR)));
        break;
    case RXB0CTRL:
        // RXM and BUKT writable; BUKT1 mirrors BUKT.
        m_regs[address] = uint8_t((m_regs[address] & (RXRTR | 0x01)) | (value & (RXM | BUKT)) |
                                  ((value & BUKT) ? BUKT1 : 0));
        break;
    case RXB1CTRL:
        m_regs[address] = uint8_t((m_regs[address] & 0x0F) | (value & RXM));
        break;
    default:
        if ((address >= 0x61 && address <= 0x6D) || (address >= 0x71 && address <= 0x7D))
            break; // receive buffers are read-only
        if (address <= 0x2D || isConfigurationOnly(address))
            m_regs[address] = value;
        break;
    }
}

void Mcp2515::bitModify(uint8_t address, uint8_t mask, uint8_t value, Time t)
{
    address &= 0x7F;
    if (!isBitModifiable(address) || has(m_faults, Fault::BitModifyPlain))
        mask = 0xFF;
    const uint8_t current = (address & 0x0F) == 0x0F ? m_regs[CANCTRL] : m_regs[address];
    write(address, uint8_t((current & ~mask) | (value & mask)), t);
}

void Mcp2515::writeCanctrl(uint8_t value, Time t)
{
    m_regs[CANCTRL] = value;
    if (has(m_faults, Fault::AbortIgnored))
        m_regs[CANCTRL] &= uint8_t(~ABAT);
    if (m_regs[CANCTRL] & ABAT) {
        for (int buffer = 0; buffer < 3; ++buffer)
            withdraw(buffer, true);
    }
    if (m_ignoreModeRequests)
        return;
    const uint8_t requested = value >> 5;
    if (requested > uint8_t(Mode::Configuration))
        return; // invalid REQOP values change nothing
    m_requestedMode = Mode(requested);
    m_modeChangePending = m_requestedMode != m_mode;
    tryModeChange(t);
}

void Mcp2515::writeTxCtrl(int buffer, uint8_t value, Time t)
{
    uint8_t &ctrl = m_regs[txBase(buffer)];
    const bool wasRequested = (ctrl & TXREQ) != 0;
    const bool requested = (value & TXREQ) != 0;
    ctrl = uint8_t((ctrl & (ABTF | MLOA | TXERR | TXREQ)) | (value & TXP));
    if (requested && !wasRequested) {
        ctrl = uint8_t((ctrl & ~(ABTF | MLOA | TXERR)) | TXREQ);
        m_requestedAt[buffer] = t;
        if (m_regs[CANCTRL] & ABAT)
            withdraw(buffer, true);
    } else if (!requested && wasRequested) {
        withdraw(buffer, false);
    }
    tryModeChange(t);
}

// Clearing TXREQ withdraws a frame that has not started; a frame on the wire
// completes and, if it fails, is not retried. Only an abort through
// CANCTRL.ABAT (byAbat) marks the buffer with ABTF.
void Mcp2515::withdraw(int buffer, bool byAbat)
{
    uint8_t &ctrl = m_regs[txBase(buffer)];
    if (!(ctrl & TXREQ))
        return;
    if (buffer == m_onWire || buffer == m_loopbackBuffer) {
        (byAbat ? m_abortedOnWire : m_withdrawnOnWire) = true;
        return;
    }
    ctrl = uint8_t((ctrl & ~TXREQ) | (byAbat ? ABTF : 0));
}

void Mcp2515::requestToSend(uint8_t buffers, Time t)
{
    for (int buffer = 0; buffer < 3; ++buffer) {
        if (buffers & (1 << buffer))
            writeTxCtrl(buffer, uint8_t(m_regs[txBase(buffer)] | TXREQ), t);
    }
}

uint8_t Mcp2515::readStatus() const
{
    const uint8_t intf = m_regs[CANINTF];
    const bool swap = has(m_faults, Fault::ReadStatusSwap);
    const uint8_t tx1req = m_regs[swap ? TXB2CTRL : TXB1CTRL] & TXREQ;
    const uint8_t tx2req = m_regs[swap ? TXB1CTRL : TXB2CTRL] & TXREQ;
    return uint8_t((intf & RX0IF ? 0x01 : 0) | (intf & RX1IF ? 0x02 : 0) |
                   (m_regs[TXB0CTRL] & TXREQ ? 0x04 : 0) | (intf & TX0IF ? 0x08 : 0) | (tx1req ? 0x10 : 0) |
                   (intf & TX1IF ? 0x20 : 0) | (tx2req ? 0x40 : 0) | (intf & TX2IF ? 0x80 : 0));
}

// Filter match: 000-101 RXF0-RXF5; a frame that rolled over into RXB1 shows
// 110 (RXF0) or 111 (RXF1).
uint8_t Mcp2515::rxStatus() const
{
    const uint8_t intf = m_regs[CANINTF];
    uint8_t status = uint8_t((intf & RX0IF ? 0x40 : 0) | (intf & RX1IF ? 0x80 : 0));
    const int buffer = (intf & RX0IF) ? 0 : ((intf & RX1IF) ? 1 : -1);
    if (buffer >= 0) {
        const uint8_t base = uint8_t(RXB0CTRL + 0x10 * buffer);
        const bool extended = m_regs[base + SIDL] & IDE;
        const bool remote = extended ? (m_regs[base + DLC] & RTR) : (m_regs[base + SIDL] & SRR);
        status |= uint8_t((extended ? 0x10 : 0) | (remote ? 0x08 : 0));
        if (buffer == 0)
            status |= m_regs[RXB0CTRL] & 0x01;
        else if (m_rolledOver)
            status |= uint8_t(0x06 | (m_regs[RXB1CTRL] & 0x01));
        else
            status |= m_regs[RXB1CTRL] & 0x07;
    }
    return status;
}

void Mcp2515::rxBufferReadEnded(int buffer, Time)
{
    m_regs[CANINTF] &= uint8_t(~(buffer == 0 ? RX0IF : RX1IF));
}

bool Mcp2515::rxBufferFullPin(int buffer) const
{
    const uint8_t enable = buffer == 0 ? B0BFE : B1BFE;
    const uint8_t mode = buffer == 0 ? B0BFM : B1BFM;
    const uint8_t flag = buffer == 0 ? RX0IF : RX1IF;
    const uint8_t pins = m_regs[BFPCTRL];
    return (pins & enable) && (pins & mode) && (m_regs[CANINTF] & flag);
}

bool Mcp2515::anyTransmitPending() const
{
    return ((m_regs[TXB0CTRL] | m_regs[TXB1CTRL] | m_regs[TXB2CTRL]) & TXREQ) != 0;
}

bool Mcp2515::canTransmit() const
{
    return m_mode == Mode::Normal || m_mode == Mode::Loopback;
}

// A mode request waits for every pending transmission (data sheet) and, on a
// busy bus, for the end of the frame.
void Mcp2515::tryModeChange(Time t)
{
    if (!m_modeChangePending)
        return;
    if (canTransmit() && anyTransmitPending())
        return;
    if (m_bus && !m_bus->idle(t))
        return;
    enterMode(m_requestedMode, t);
}

void Mcp2515::enterMode(Mode mode, Time t)
{
    const Mode previous = m_mode;
    m_mode = mode;
    m_modeChangePending = false;
    if (mode == Mode::Configuration)
        clearErrorCounters(t);
    if (previous == Mode::Configuration || previous == Mode::Sleep)
        m_integratedAt = t + kIntegrationBits * bitTime();
}

// Bus activity with WAKIE set, or the host setting WAKIF: the controller
// comes up in listen-only mode until the host asks for another.
void Mcp2515::wake(Time t)
{
    m_regs[CANINTF] |= WAKIF;
    m_requestedMode = Mode::ListenOnly;
    enterMode(Mode::ListenOnly, t);
}

void Mcp2515::busActivity(Time t)
{
    CanNode::busActivity(t);
    if (m_mode == Mode::Sleep && (m_regs[CANINTE] & WAKIE) && !has(m_faults, Fault::NoWake))
        wake(t); // the frame that woke it is not received
}

int Mcp2515::selectedBuffer() const
{
    int chosen = -1;
    int chosenPriority = -1;
    for (int buffer = 2; buffer >= 0; --buffer) {
        const uint8_t ctrl = m_regs[txBase(buffer)];
        if (buffer == 2 && has(m_faults, Fault::Txb2Dead))
            continue;
        const int priority = has(m_faults, Fault::PriorityIgnored) ? 0 : int(ctrl & TXP);
        if ((ctrl & TXREQ) && priority > chosenPriority) {
            chosen = buffer;
            chosenPriority = priority;
        }
    }
    return chosen;
}

CanFrame Mcp2515::frameOfBuffer(int buffer) const
{
    const uint8_t base = txBase(buffer);
    const uint8_t sidh = m_regs[base + SIDH];
    const uint8_t sidl = m_regs[base + SIDL];
    CanFrame frame;
    frame.extended = (sidl & IDE) != 0;
    const uint32_t sid = (uint32_t(sidh) << 3) | (sidl >> 5);
    frame.id = frame.extended ? (sid << 18) | (uint32_t(sidl & 0x03) << 16) |
                                    (uint32_t(m_regs[base + EID8]) << 8) | m_regs[base + EID0]
                              : sid;
    frame.remote = (m_regs[base + DLC] & RTR) != 0;
    frame.dlc = m_regs[base + DLC] & 0x0F;
    for (int i = 0; i < 8; ++i)
        frame.data[i] = m_regs[base + D0 + i];
    if (has(m_faults, Fault::TxDataBit))
        frame.data[5] &= uint8_t(~0x08);
    return frame;
}

std::optional<Time> Mcp2515::transmitReadyAt() const
{
    const bool loopbackOnBus = m_mode == Mode::Loopback && has(m_faults, Fault::LoopbackOnBus);
    if ((m_mode != Mode::Normal && !loopbackOnBus) || busOff() || m_onWire >= 0)
        return std::nullopt;
    Time earliest = kNever;
    for (int buffer = 0; buffer < 3; ++buffer) {
        if ((m_regs[txBase(buffer)] & TXREQ) && !(buffer == 2 && has(m_faults, Fault::Txb2Dead)))
            earliest = std::min(earliest, m_requestedAt[buffer]);
    }
    if (earliest == kNever)
        return std::nullopt;
    return std::max({earliest, m_integratedAt, suspendedUntil()});
}

CanFrame Mcp2515::frameToTransmit() const
{
    // Copied from the registers at start of frame (choice).
    return frameOfBuffer(selectedBuffer());
}

void Mcp2515::transmissionStarted(Time)
{
    m_onWire = selectedBuffer();
    m_withdrawnOnWire = m_abortedOnWire = false;
}

void Mcp2515::transmitSucceededFrom(int buffer)
{
    m_regs[txBase(buffer)] &= uint8_t(~TXREQ);
    m_regs[CANINTF] |= uint8_t(TX0IF << buffer);
}

void Mcp2515::transmissionSucceeded(Time end)
{
    if (m_onWire < 0)
        return;
    transmitSucceededFrom(m_onWire);
    m_onWire = -1;
    countTransmitSuccess(end);
    tryModeChange(end);
}

void Mcp2515::transmissionFailed(Time end, TransmitError error)
{
    if (m_onWire < 0)
        return;
    uint8_t &ctrl = m_regs[txBase(m_onWire)];
    ctrl |= TXERR;
    m_regs[CANINTF] |= MERRF;
    // One attempt only in one-shot mode, or after a withdrawal or an abort.
    // A one-shot frame that fails is aborted and says so (section 3.4).
    const uint8_t oneShot = has(m_faults, Fault::OneShotRetries) ? 0 : uint8_t(m_regs[CANCTRL] & OSM);
    if (oneShot || m_withdrawnOnWire || m_abortedOnWire || (m_regs[CANCTRL] & ABAT)) {
        ctrl &= uint8_t(~TXREQ);
        if (m_abortedOnWire || oneShot || (m_regs[CANCTRL] & ABAT))
            ctrl |= ABTF;
    }
    m_onWire = -1;
    countTransmitError(error, end);
}

// A lost arbitration is retried at the next idle bus; in one-shot mode it was
// the one attempt.
void Mcp2515::arbitrationLost(Time)
{
    const int buffer = selectedBuffer();
    if (buffer < 0)
        return;
    m_regs[txBase(buffer)] |= MLOA;
    if ((m_regs[CANCTRL] & OSM) && !has(m_faults, Fault::OneShotRetries))
        m_regs[txBase(buffer)] = uint8_t((m_regs[txBase(buffer)] & ~TXREQ) | ABTF);
}

bool Mcp2515::listens(Time t) const
{
    return (m_mode == Mode::Normal || m_mode == Mode::ListenOnly) && !busOff() && t >= m_integratedAt;
}

bool Mcp2515::acknowledges(Time t) const
{
    const bool mode = m_mode == Mode::Normal || (m_mode == Mode::ListenOnly && has(m_faults, Fault::ListenOnlyAcks));
    return mode && !busOff() && t >= m_integratedAt;
}

bool Mcp2515::sendsErrorFlags(Time t) const
{
    return m_mode == Mode::Normal && acknowledges(t) && errorActive();
}

// Whether a node takes part is settled at the start of frame; a controller
// that has since left the receiving modes (a RESET during the frame) stores
// nothing and counts nothing.
void Mcp2515::frameReceived(const CanFrame &frame, Time end)
{
    if (m_mode != Mode::Normal && m_mode != Mode::ListenOnly)
        return;
    if (m_mode == Mode::Normal)
        countReceiveSuccess(end);
    acceptFrame(frame, end);
}

// Listen-only mode counts no errors but still flags them (MERRF), which is
// how a host finds the bus's bit rate.
void Mcp2515::receiveError(Time end)
{
    if (m_mode != Mode::Normal && m_mode != Mode::ListenOnly)
        return;
    m_regs[CANINTF] |= MERRF;
    if (m_mode == Mode::Normal)
        countReceiveError(end);
}

void Mcp2515::frameBoundary(Time end, Time busFreeAt)
{
    CanNode::frameBoundary(end, busFreeAt);
    tryModeChange(end);
}

void Mcp2515::errorStateChanged(Time)
{
    updateErrorFlags();
}

void Mcp2515::recoveredFromBusOff(Time t)
{
    m_integratedAt = t; // the recessive bits of recovery integrate it
}

void Mcp2515::updateErrorFlags()
{
    const int tec = busOff() ? 256 : transmitErrorCounter();
    const int rec = receiveErrorCounter();
    uint8_t flags = 0;
    if (tec >= 96 || rec >= 96)
        flags |= EWARN;
    if (tec >= 96 && !has(m_faults, Fault::EflgLate))
        flags |= TXWAR;
    if (rec >= 96)
        flags |= RXWAR;
    if (tec >= 128)
        flags |= TXEP;
    if (rec >= 128)
        flags |= RXEP;
    if (tec > 255)
        flags |= TXBO;
    const uint8_t previous = m_regs[EFLG] & 0x3F;
    m_regs[EFLG] = uint8_t((m_regs[EFLG] & (RX1OVR | RX0OVR)) | flags);
    if (flags != previous)
        m_regs[CANINTF] |= ERRIF; // choice: on every change of the error state
}

// Acceptance filters: a filter's EXIDE selects standard or extended frames,
// the mask chooses the bits compared. For a standard frame the filter's and
// mask's EID8 and EID0 bits apply to its first two data bytes; a byte the
// frame does not carry passes.
bool Mcp2515::filterMatches(int filter, int mask, const CanFrame &frame) const
{
    if (filter == 3 && has(m_faults, Fault::FilterDead))
        return false;
    const uint8_t f = uint8_t(filter < 3 ? RXF0SIDH + 4 * filter : RXF3SIDH + 4 * (filter - 3));
    const uint8_t m = uint8_t(RXM0SIDH + 4 * mask);
    if (((m_regs[f + 1] & IDE) != 0) != frame.extended)
        return false;
    auto identifier = [&](uint8_t base, bool extended) {
        const uint32_t sid = (uint32_t(m_regs[base]) << 3) | (m_regs[base + 1] >> 5);
        if (!extended)
            return sid;
        return (sid << 18) | (uint32_t(m_regs[base + 1] & 0x03) << 16) |
               (uint32_t(m_regs[base + 2]) << 8) | m_regs[base + 3];
    };
    uint32_t compared = identifier(m, frame.extended);
    if (mask == 1 && has(m_faults, Fault::MaskBitStuck))
        compared &= ~(uint32_t(1) << (frame.extended ? 18 : 0));
    if (((frame.id ^ identifier(f, frame.extended)) & compared) != 0)
        return false;
    if (!frame.extended) {
        for (unsigned i = 0; i < 2 && i < frame.dataLength(); ++i) {
            if ((frame.data[i] ^ m_regs[f + 2 + i]) & m_regs[m + 2 + i])
                return false;
        }
    }
    return true;
}

bool Mcp2515::bufferAccepts(int buffer, const CanFrame &frame, int *filterHit) const
{
    const uint8_t rxm = (m_regs[buffer == 0 ? RXB0CTRL : RXB1CTRL] & RXM) >> 5;
    *filterHit = buffer == 0 ? 0 : 2;
    if (rxm == 3)
        return true;
    if ((rxm == 1 && !frame.extended) || (rxm == 2 && frame.extended))
        return false;
    const int first = buffer == 0 ? 0 : 2;
    const int last = buffer == 0 ? 1 : 5;
    for (int filter = first; filter <= last; ++filter) {
        if (filterMatches(filter, buffer, frame)) {
            *filterHit = filter;
            return true;
        }
    }
    return false;
}

void Mcp2515::acceptFrame(const CanFrame &frame, Time end)
{
    int hit = 0;
    if (bufferAccepts(0, frame, &hit)) {
        if (!(m_regs[CANINTF] & RX0IF)) {
            loadRxBuffer(0, frame, hit, end);
        } else if ((m_regs[RXB0CTRL] & BUKT) && !has(m_faults, Fault::RolloverIgnored)) {
            if (!(m_regs[CANINTF] & RX1IF)) {
                loadRxBuffer(1, frame, hit, end);
                m_rolledOver = true;
            } else {
                overflow(RX1OVR);
            }
        } else {
            overflow(RX0OVR);
        }
        return;
    }
    if (bufferAccepts(1, frame, &hit)) {
        if (!(m_regs[CANINTF] & RX1IF)) {
            loadRxBuffer(1, frame, hit, end);
            m_rolledOver = false;
        } else {
            overflow(RX1OVR);
        }
    }
}

void Mcp2515::overflow(uint8_t flag)
{
    if (!has(m_faults, Fault::OverflowFlagDead))
        m_regs[EFLG] |= flag;
    m_regs[CANINTF] |= ERRIF;
}

void Mcp2515::loadRxBuffer(int buffer, const CanFrame &frame, int filterHit, Time end)
{
    const uint8_t base = uint8_t(RXB0CTRL + 0x10 * buffer);
    uint8_t &ctrl = m_regs[base];
    const bool remote = frame.remote && !has(m_faults, Fault::RemoteAsData);
    if (buffer == 0)
        ctrl = uint8_t((ctrl & (RXM | BUKT | BUKT1)) | (remote ? RXRTR : 0) | (filterHit & 0x01));
    else
        ctrl = uint8_t((ctrl & RXM) | (remote ? RXRTR : 0) | (filterHit & 0x07));
    const uint32_t sid = frame.extended ? (frame.id >> 18) & 0x7FF : frame.id & 0x7FF;
    m_regs[base + SIDH] = uint8_t(sid >> 3);
    uint8_t sidl = uint8_t((sid & 0x07) << 5);
    if (frame.extended)
        sidl |= uint8_t(IDE | ((frame.id >> 16) & 0x03));
    else if (remote)
        sidl |= SRR;
    if (!frame.extended && has(m_faults, Fault::StdIdBit))
        sidl |= 0x80;
    m_regs[base + SIDL] = sidl;
    m_regs[base + EID8] = frame.extended ? uint8_t(frame.id >> 8) : 0;
    if (frame.extended && has(m_faults, Fault::ExtIdBit))
        m_regs[base + EID8] &= uint8_t(~0x02);
    m_regs[base + EID0] = frame.extended ? uint8_t(frame.id) : 0;
    m_regs[base + DLC] = uint8_t((frame.extended && remote ? RTR : 0) | (frame.dlc & 0x0F));
    if (has(m_faults, Fault::RxLengthBit))
        m_regs[base + DLC] |= 0x04;
    for (unsigned i = 0; i < frame.dataLength(); ++i)
        m_regs[base + D0 + i] = frame.data[i];
    const unsigned length = frame.dataLength();
    if (has(m_faults, Fault::ShortFrameByte) && length >= 1 && length <= 7)
        m_regs[base + D0 + length - 1] = 0;
    m_regs[CANINTF] |= buffer == 0 ? RX0IF : RX1IF;
    m_rxTime[buffer] = end;
    m_rxArrival[buffer] = ++m_arrivals;
}

// Loopback: frames go from the transmit to the receive buffers without the
// bus, in their own frame time (choice: always succeed).
Time Mcp2515::nextEvent() const
{
    Time next = CanNode::nextEvent();
    if (m_mode == Mode::Loopback && !has(m_faults, Fault::LoopbackOnBus)) {
        if (m_loopbackBuffer >= 0)
            next = std::min(next, m_loopbackEnd);
        else if (anyTransmitPending()) {
            Time earliest = kNever;
            for (int buffer = 0; buffer < 3; ++buffer) {
                if (m_regs[txBase(buffer)] & TXREQ)
                    earliest = std::min(earliest, m_requestedAt[buffer]);
            }
            next = std::min(next, std::max(earliest, m_integratedAt));
        }
    }
    return next;
}

void Mcp2515::process(Time t)
{
    CanNode::process(t);
    if (m_mode != Mode::Loopback || has(m_faults, Fault::LoopbackOnBus)) {
        m_loopbackBuffer = -1;
        m_loopbackEnd = kNever;
        return;
    }
    if (m_loopbackBuffer >= 0 && t >= m_loopbackEnd) {
        const CanFrame frame = m_loopbackFrame;
        transmitSucceededFrom(m_loopbackBuffer);
        m_loopbackBuffer = -1;
        m_loopbackEnd = kNever;
        acceptFrame(frame, t);
        tryModeChange(t);
    }
    if (m_loopbackBuffer < 0 && anyTransmitPending()) {
        const Time start = nextEvent();
        if (start <= t) {
            m_loopbackBuffer = selectedBuffer();
            m_loopbackFrame = frameOfBuffer(m_loopbackBuffer); // copied at its start
            m_loopbackEnd = t + Time(frameBitCount(m_loopbackFrame)) * bitTime();
        }
    }
}

void Mcp2515::saveCycleState(CycleState &state) const
{
    CanNode::saveCycleState(state);
    state.bytes(m_regs, sizeof m_regs);
    state.value(m_mode);
    state.value(m_requestedMode);
    state.value(m_modeChangePending);
    state.value(m_ignoreModeRequests);
    state.deadline(m_integratedAt);
    for (Time t : m_requestedAt)
        state.deadline(t);
    state.value(m_onWire);
    state.value(m_withdrawnOnWire);
    state.value(m_abortedOnWire);
    state.value(m_loopbackBuffer);
    state.cycleTime(m_loopbackEnd);
    state.value(m_loopbackFrame.arbitrationKey());
    state.value(m_loopbackFrame.dlc);
    state.bytes(m_loopbackFrame.data.data(), m_loopbackFrame.data.size());
    state.value(m_arrivals);
    state.value(m_rolledOver);
    state.value(m_writesToPendingBuffers);
}

void Mcp2515::shiftCycleTimes(Time now, Time delta)
{
    CanNode::shiftCycleTimes(now, delta);
    CycleState::shift(m_loopbackEnd, now, delta);
}

} // namespace boardemu
