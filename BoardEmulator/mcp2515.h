// One MCP2515 stand-alone CAN controller: its register file, operating modes,
// bit timing, transmit and receive buffers and error confinement. It knows
// its bus, not the board: the board reaches it through its SPI instructions.
#ifndef BOARDEMULATOR_MCP2515_H
#define BOARDEMULATOR_MCP2515_H

#include "boardfaults.h"
#include "cannode.h"

#include <cstdint>
#include <string>

namespace boardemu {

namespace mcp2515 {

// Register addresses (data sheet, register map).
enum : uint8_t {
    RXF0SIDH = 0x00,
    RXF3SIDH = 0x10,
    BFPCTRL = 0x0C,
    TXRTSCTRL = 0x0D,
    CANSTAT = 0x0E,
    CANCTRL = 0x0F,
    TEC = 0x1C,
    REC = 0x1D,
    RXM0SIDH = 0x20,
    RXM1SIDH = 0x24,
    CNF3 = 0x28,
    CNF2 = 0x29,
    CNF1 = 0x2A,
    CANINTE = 0x2B,
    CANINTF = 0x2C,
    EFLG = 0x2D,
    TXB0CTRL = 0x30,
    TXB1CTRL = 0x40,
    TXB2CTRL = 0x50,
    RXB0CTRL = 0x60,
    RXB1CTRL = 0x70,
};

// Offsets inside a transmit or receive buffer.
enum : uint8_t { SIDH = 1, SIDL = 2, EID8 = 3, EID0 = 4, DLC = 5, D0 = 6 };

// Bits.
enum : uint8_t {
    // TXBnCTRL
    ABTF = 0x40,
    MLOA = 0x20,
    TXERR = 0x10,
    TXREQ = 0x08,
    TXP = 0x03,
    // CANCTRL
    REQOP = 0xE0,
    ABAT = 0x10,
    OSM = 0x08,
    // CANINTF / CANINTE
    MERRF = 0x80,
    WAKIF = 0x40,
    ERRIF = 0x20,
    TX2IF = 0x10,
    TX1IF = 0x08,
    TX0IF = 0x04,
    RX1IF = 0x02,
    RX0IF = 0x01,
    // EFLG
    RX1OVR = 0x80,
    RX0OVR = 0x40,
    TXBO = 0x20,
    TXEP = 0x10,
    RXEP = 0x08,
    TXWAR = 0x04,
    RXWAR = 0x02,
    EWARN = 0x01,
    // SIDL (transmit: EXIDE; receive: SRR, IDE)
    SRR = 0x10,
    IDE = 0x08,
    // DLC
    RTR = 0x40,
    // RXBnCTRL
    RXM = 0x60,
    RXRTR = 0x08,
    BUKT = 0x04,
    BUKT1 = 0x02,
    // CANINTE
    WAKIE = 0x40,
    // BFPCTRL
    B1BFS = 0x20,
    B0BFS = 0x10,
    B1BFE = 0x08,
    B0BFE = 0x04,
    B1BFM = 0x02,
    B0BFM = 0x01,
};

// SPI instructions.
enum : uint8_t {
    SPI_RESET = 0xC0,
    SPI_READ = 0x03,
    SPI_READ_RX_BUFFER = 0x90,
    SPI_WRITE = 0x02,
    SPI_LOAD_TX_BUFFER = 0x40,
    SPI_RTS = 0x80,
    SPI_READ_STATUS = 0xA0,
    SPI_RX_STATUS = 0xB0,
    SPI_BIT_MODIFY = 0x05,
};

enum class Mode : uint8_t { Normal = 0, Sleep = 1, Loopback = 2, ListenOnly = 3, Configuration = 4 };

constexpr Time kOscillatorPeriod = 50; // 20 MHz

} // namespace mcp2515

class Mcp2515 : public CanNode
{
public:
    explicit Mcp2515(std::string busName);

    void reset(Time t);
    void setBus(CanBus *bus) { m_bus = bus; }

    // The register file as the SPI instructions see it.
    uint8_t read(uint8_t address) const;
    void write(uint8_t address, uint8_t value, Time t);
    void bitModify(uint8_t address, uint8_t mask, uint8_t value, Time t);
    // READ RX BUFFER: chip select rising clears the buffer's RXnIF.
    void rxBufferReadEnded(int buffer, Time t);
    void requestToSend(uint8_t buffers, Time t);
    uint8_t readStatus() const;
    uint8_t rxStatus() const;

    // Pin RXnBF: true while driven active (low).
    bool rxBufferFullPin(int buffer) const;
    // When the frame in a receive buffer came off the bus, and its place in
    // the order of arrival (counting every frame this controller stored).
    Time rxBufferReceivedAt(int buffer) const { return m_rxTime[buffer]; }
    uint64_t rxBufferArrival(int buffer) const { return m_rxArrival[buffer]; }

    // The controller's own timing: bus-off recovery, loopback frames.
    Time nextEvent() const override;
    void process(Time t) override;

    // Faults and inspection.
    void setIgnoreModeRequests(bool ignore) { m_ignoreModeRequests = ignore; }
    // The faults of this controller (boardfaults.h).
    void setFaults(FaultSet faults)
    {
        m_faults = faults;
        setConfinementFaults(has(faults, Fault::TecFrozen), has(faults, Fault::BusOffStays));
    }
    mcp2515::Mode mode() const { return m_mode; }
    // Writes to a transmit buffer's frame registers while its TXREQ was set
    // (the data sheet asks for TXREQ clear first).
    unsigned writesToPendingBuffers() const { return m_writesToPendingBuffers; }
    Time bitTime() const override;
    bool timingInForce() const override { return m_mode != mcp2515::Mode::Configuration; }

    // BusNode
    std::string busName() const override { return m_busName; }
    std::optional<Time> transmitReadyAt() const override;
    CanFrame frameToTransmit() const override;
    void transmissionStarted(Time sof) override;
    void transmissionSucceeded(Time end) override;
    void transmissionFailed(Time end, TransmitError error) override;
    void arbitrationLost(Time sof) override;
    bool listens(Time t) const override;
    bool acknowledges(Time t) const override;
    bool sendsErrorFlags(Time t) const override;
    void frameReceived(const CanFrame &frame, Time end) override;
    void receiveError(Time end) override;
    void busActivity(Time t) override;
    void frameBoundary(Time end, Time busFreeAt) override;
    void saveCycleState(CycleState &state) const override;
    void shiftCycleTimes(Time now, Time delta) override;

protected:
    void errorStateChanged(Time t) override;
    void recoveredFromBusOff(Time t) override;

private:
    static uint8_t txBase(int buffer) { return uint8_t(mcp2515::TXB0CTRL + 0x10 * buffer); }
    int selectedBuffer() const;
    CanFrame frameOfBuffer(int buffer) const;
    bool anyTransmitPending() const;
    bool canTransmit() const;
    void writeCanctrl(uint8_t value, Time t);
    void writeTxCtrl(int buffer, uint8_t value, Time t);
    void withdraw(int buffer, bool byAbat);
    void tryModeChange(Time t);
    void enterMode(mcp2515::Mode mode, Time t);
    void wake(Time t);
    void transmitSucceededFrom(int buffer);
    void updateErrorFlags();
    bool filterMatches(int filter, int mask, const CanFrame &frame) const;
    bool bufferAccepts(int buffer, const CanFrame &frame, int *filterHit) const;
    void acceptFrame(const CanFrame &frame, Time end);
    void loadRxBuffer(int buffer, const CanFrame &frame, int filterHit, Time end);
    void overflow(uint8_t flag);
    uint8_t interruptCode() const;

    std::string m_busName;
    CanBus *m_bus = nullptr;
    uint8_t m_regs[128] = {};
    mcp2515::Mode m_mode = mcp2515::Mode::Configuration;
    mcp2515::Mode m_requestedMode = mcp2515::Mode::Configuration;
    bool m_modeChangePending = false;
    bool m_ignoreModeRequests = false;
    Time m_integratedAt = 0;
    Time m_requestedAt[3] = {0, 0, 0};
    int m_onWire = -1;
    bool m_withdrawnOnWire = false; // TXREQ cleared while its frame was on the wire
    bool m_abortedOnWire = false;   // the same through CANCTRL.ABAT
    int m_loopbackBuffer = -1;
    Time m_loopbackEnd = kNever;
    CanFrame m_loopbackFrame;
    Time m_rxTime[2] = {0, 0};
    uint64_t m_rxArrival[2] = {0, 0};
    uint64_t m_arrivals = 0;
    bool m_rolledOver = false; // RXB1 holds a frame that rolled over from RXB0
    unsigned m_writesToPendingBuffers = 0;
    FaultSet m_faults = 0;
};

} // namespace boardemu

#endif
