#include "mcp2515.h"

#include <algorithm>

namespace boardemu {

using namespace mcp2515;

namespace {

// Choices where the data sheet is silent, kept together.
constexpr uint8_t kFilterResetValue = 0x00;  // RXFn reset value is undefined
constexpr int kRecAfterPassiveSuccess = 119; // "between 119 and 127"
constexpr int kIntegrationBits = 11;
constexpr int kBusOffRecoveryBits = 128 * 11;

bool isConfigurationOnly(uint8_t address)
{
    return address <= 0x0B || (address >= 0x10 && address <= 0x1B) ||
           (address >= RXM0SIDH && address <= 0x27) || address == CNF1 || address == CNF2 ||
           address == CNF3 || address == TXRTSCTRL;
}

int txBufferOf(uint8_t address)
{
    if (address >= TXB0CTRL && address <= 0x5D && (address & 0x0F) <= 0x0D)
        return (address - TXB0CTRL) >> 4;
    return -1;
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
    m_tec = m_rec = 0;
    m_busOff = false;
    m_busOffRecoveryAt = kNever;
    m_onWire = -1;
    m_withdrawnOnWire = false;
    m_loopbackBuffer = -1;
    m_loopbackEnd = kNever;
    m_integratedAt = t;
}

// Bit time = TQ x (SyncSeg + PropSeg + PS1 + PS2), TQ = 2 x (BRP + 1) / Fosc.
Time Mcp2515::bitTime() const
{
    const Time tq = 2 * ((m_regs[CNF1] & 0x3F) + 1) * kOscillatorPeriod;
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
        return m_busOff ? 255 : uint8_t(std::min(m_tec, 255));
    if (address == REC)
        return uint8_t(std::min(m_rec, 255));
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
    if (isConfigurationOnly(address) && m_mode != Mode::Configuration)
        return; // choice: ignored outside configuration mode
    const int txBuffer = txBufferOf(address);
    if (txBuffer >= 0) {
        if (address == txBase(txBuffer)) {
            writeTxCtrl(txBuffer, value, t);
        } else {
            if (m_regs[txBase(txBuffer)] & TXREQ)
                ++m_writesToPendingBuffers;
            m_regs[address] = value;
        }
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
    case CANINTF:
        m_regs[address] = value;
        break;
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
    const uint8_t current = (address & 0x0F) == 0x0F ? m_regs[CANCTRL] : m_regs[address];
    write(address, uint8_t((current & ~mask) | (value & mask)), t);
}

void Mcp2515::writeCanctrl(uint8_t value, Time t)
{
    m_regs[CANCTRL] = value;
    if (value & ABAT) {
        for (int buffer = 0; buffer < 3; ++buffer)
            withdraw(buffer);
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
            withdraw(buffer);
    } else if (!requested && wasRequested) {
        withdraw(buffer);
    }
    tryModeChange(t);
}

// Clearing TXREQ withdraws a frame that has not started; a frame on the wire
// completes and, if it fails, is not retried.
void Mcp2515::withdraw(int buffer)
{
    uint8_t &ctrl = m_regs[txBase(buffer)];
    if (!(ctrl & TXREQ))
        return;
    if (buffer == m_onWire || buffer == m_loopbackBuffer) {
        m_withdrawnOnWire = true;
        return;
    }
    ctrl = uint8_t((ctrl & ~TXREQ) | ABTF);
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
    return uint8_t((intf & RX0IF ? 0x01 : 0) | (intf & RX1IF ? 0x02 : 0) |
                   (m_regs[TXB0CTRL] & TXREQ ? 0x04 : 0) | (intf & TX0IF ? 0x08 : 0) |
                   (m_regs[TXB1CTRL] & TXREQ ? 0x10 : 0) | (intf & TX1IF ? 0x20 : 0) |
                   (m_regs[TXB2CTRL] & TXREQ ? 0x40 : 0) | (intf & TX2IF ? 0x80 : 0));
}

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
        status |= buffer == 0 ? (m_regs[RXB0CTRL] & 0x01) : (m_regs[RXB1CTRL] & 0x07);
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
    if (mode == Mode::Configuration) {
        m_tec = m_rec = 0;
        m_busOff = false;
        m_busOffRecoveryAt = kNever;
        updateErrorFlags();
    }
    if (previous == Mode::Configuration || previous == Mode::Sleep)
        m_integratedAt = t + kIntegrationBits * bitTime();
}

int Mcp2515::selectedBuffer() const
{
    int chosen = -1;
    int chosenPriority = -1;
    for (int buffer = 2; buffer >= 0; --buffer) {
        const uint8_t ctrl = m_regs[txBase(buffer)];
        if ((ctrl & TXREQ) && int(ctrl & TXP) > chosenPriority) {
            chosen = buffer;
            chosenPriority = ctrl & TXP;
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
    return frame;
}

std::optional<Time> Mcp2515::transmitReadyAt() const
{
    if (m_mode != Mode::Normal || m_busOff || m_onWire >= 0)
        return std::nullopt;
    Time earliest = kNever;
    for (int buffer = 0; buffer < 3; ++buffer) {
        if (m_regs[txBase(buffer)] & TXREQ)
            earliest = std::min(earliest, m_requestedAt[buffer]);
    }
    if (earliest == kNever)
        return std::nullopt;
    return std::max(earliest, m_integratedAt);
}

CanFrame Mcp2515::frameToTransmit() const
{
    // Copied from the registers at start of frame (choice).
    return frameOfBuffer(selectedBuffer());
}

void Mcp2515::transmissionStarted(Time)
{
    m_onWire = selectedBuffer();
    m_withdrawnOnWire = false;
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
    if (m_tec > 0)
        --m_tec;
    updateErrorFlags();
    tryModeChange(end);
}

void Mcp2515::transmissionFailed(Time end, TransmitError error)
{
    if (m_onWire < 0)
        return;
    uint8_t &ctrl = m_regs[txBase(m_onWire)];
    ctrl |= TXERR;
    m_regs[CANINTF] |= MERRF;
    if ((m_regs[CANCTRL] & OSM) || m_withdrawnOnWire || (m_regs[CANCTRL] & ABAT)) {
        ctrl &= uint8_t(~TXREQ);
        if (m_withdrawnOnWire || (m_regs[CANCTRL] & ABAT))
            ctrl |= ABTF;
    }
    m_onWire = -1;
    // An error-passive transmitter whose only error is a missing
    // acknowledgement does not count it (ISO 11898-1, fault confinement).
    const bool passive = m_tec >= 128;
    if (!(error == TransmitError::NoAcknowledge && passive))
        addTransmitErrors(8, end);
    updateErrorFlags();
}

void Mcp2515::addTransmitErrors(int count, Time t)
{
    m_tec += count;
    if (m_tec > 255 && !m_busOff) {
        m_busOff = true;
        m_tec = 256;
        m_busOffRecoveryAt = t + kBusOffRecoveryBits * bitTime();
    }
}

void Mcp2515::arbitrationLost(Time)
{
    const int buffer = selectedBuffer();
    if (buffer >= 0)
        m_regs[txBase(buffer)] |= MLOA;
}

bool Mcp2515::listens(Time t) const
{
    return (m_mode == Mode::Normal || m_mode == Mode::ListenOnly) && !m_busOff &&
           t >= m_integratedAt;
}

bool Mcp2515::acknowledges(Time t) const
{
    return m_mode == Mode::Normal && !m_busOff && t >= m_integratedAt;
}

bool Mcp2515::sendsErrorFlags(Time t) const
{
    return acknowledges(t) && m_tec < 128 && m_rec < 128;
}

void Mcp2515::frameReceived(const CanFrame &frame, Time)
{
    if (m_mode == Mode::Normal) {
        if (m_rec > 127)
            m_rec = kRecAfterPassiveSuccess;
        else if (m_rec > 0)
            --m_rec;
        updateErrorFlags();
    }
    acceptFrame(frame);
}

void Mcp2515::receiveError(Time)
{
    if (m_mode != Mode::Normal)
        return;
    m_rec = std::min(m_rec + 1, 255);
    m_regs[CANINTF] |= MERRF;
    updateErrorFlags();
}

void Mcp2515::frameBoundary(Time end)
{
    tryModeChange(end);
}

void Mcp2515::updateErrorFlags()
{
    const int tec = m_busOff ? 256 : m_tec;
    uint8_t flags = 0;
    if (tec >= 96 || m_rec >= 96)
        flags |= EWARN;
    if (tec >= 96)
        flags |= TXWAR;
    if (m_rec >= 96)
        flags |= RXWAR;
    if (tec >= 128)
        flags |= TXEP;
    if (m_rec >= 128)
        flags |= RXEP;
    if (tec > 255)
        flags |= TXBO;
    const uint8_t previous = m_regs[EFLG] & 0x3F;
    m_regs[EFLG] = uint8_t((m_regs[EFLG] & (RX1OVR | RX0OVR)) | flags);
    if (flags != previous)
        m_regs[CANINTF] |= ERRIF; // choice: on every change of the error state
}

// Acceptance filters: a filter's EXIDE selects standard or extended frames,
// the mask chooses the identifier bits compared (data bytes are not filtered).
bool Mcp2515::filterMatches(int filter, int mask, const CanFrame &frame) const
{
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
    const uint32_t filterId = identifier(f, frame.extended);
    const uint32_t maskId = identifier(m, frame.extended);
    return ((frame.id ^ filterId) & maskId) == 0;
}

bool Mcp2515::bufferAccepts(int buffer, const CanFrame &frame, int *filterHit) const
{
    const uint8_t rxm = (m_regs[buffer == 0 ? RXB0CTRL : RXB1CTRL] & RXM) >> 5;
    *filterHit = buffer == 0 ? 0 : 2;
    if (m_mode == Mode::ListenOnly || rxm == 3)
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

void Mcp2515::acceptFrame(const CanFrame &frame)
{
    int hit = 0;
    if (bufferAccepts(0, frame, &hit)) {
        if (!(m_regs[CANINTF] & RX0IF)) {
            loadRxBuffer(0, frame, hit);
        } else if (m_regs[RXB0CTRL] & BUKT) {
            if (!(m_regs[CANINTF] & RX1IF)) {
                loadRxBuffer(1, frame, hit);
            } else {
                m_regs[EFLG] |= RX1OVR;
                m_regs[CANINTF] |= ERRIF;
            }
        } else {
            m_regs[EFLG] |= RX0OVR;
            m_regs[CANINTF] |= ERRIF;
        }
        return;
    }
    if (bufferAccepts(1, frame, &hit)) {
        if (!(m_regs[CANINTF] & RX1IF)) {
            loadRxBuffer(1, frame, hit);
        } else {
            m_regs[EFLG] |= RX1OVR;
            m_regs[CANINTF] |= ERRIF;
        }
    }
}

void Mcp2515::loadRxBuffer(int buffer, const CanFrame &frame, int filterHit)
{
    const uint8_t base = uint8_t(RXB0CTRL + 0x10 * buffer);
    uint8_t &ctrl = m_regs[base];
    if (buffer == 0)
        ctrl = uint8_t((ctrl & (RXM | BUKT | BUKT1)) | (frame.remote ? RXRTR : 0) |
                       (filterHit & 0x01));
    else
        ctrl = uint8_t((ctrl & RXM) | (frame.remote ? RXRTR : 0) | (filterHit & 0x07));
    const uint32_t sid = frame.extended ? (frame.id >> 18) & 0x7FF : frame.id & 0x7FF;
    m_regs[base + SIDH] = uint8_t(sid >> 3);
    uint8_t sidl = uint8_t((sid & 0x07) << 5);
    if (frame.extended)
        sidl |= uint8_t(IDE | ((frame.id >> 16) & 0x03));
    else if (frame.remote)
        sidl |= SRR;
    m_regs[base + SIDL] = sidl;
    m_regs[base + EID8] = frame.extended ? uint8_t(frame.id >> 8) : 0;
    m_regs[base + EID0] = frame.extended ? uint8_t(frame.id) : 0;
    m_regs[base + DLC] = uint8_t((frame.extended && frame.remote ? RTR : 0) | (frame.dlc & 0x0F));
    for (unsigned i = 0; i < frame.dataLength(); ++i)
        m_regs[base + D0 + i] = frame.data[i];
    m_regs[CANINTF] |= buffer == 0 ? RX0IF : RX1IF;
}

// Loopback: frames go from the transmit to the receive buffers without the
// bus, in their own frame time (choice: always succeed).
Time Mcp2515::nextEvent() const
{
    Time next = m_busOff ? m_busOffRecoveryAt : kNever;
    if (m_mode == Mode::Loopback) {
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
    if (m_busOff && t >= m_busOffRecoveryAt) {
        m_busOff = false;
        m_busOffRecoveryAt = kNever;
        m_tec = m_rec = 0;
        m_integratedAt = t; // the recessive bits of recovery integrate it
        updateErrorFlags();
    }
    if (m_mode != Mode::Loopback) {
        m_loopbackBuffer = -1;
        m_loopbackEnd = kNever;
        return;
    }
    if (m_loopbackBuffer >= 0 && t >= m_loopbackEnd) {
        const CanFrame frame = frameOfBuffer(m_loopbackBuffer);
        transmitSucceededFrom(m_loopbackBuffer);
        m_loopbackBuffer = -1;
        m_loopbackEnd = kNever;
        acceptFrame(frame);
        tryModeChange(t);
    }
    if (m_loopbackBuffer < 0 && anyTransmitPending()) {
        const Time start = nextEvent();
        if (start <= t) {
            m_loopbackBuffer = selectedBuffer();
            m_loopbackEnd = t + Time(frameBitCount(frameOfBuffer(m_loopbackBuffer))) * bitTime();
        }
    }
}

} // namespace boardemu
