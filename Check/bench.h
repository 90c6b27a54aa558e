// The board as the qualification's cases drive it: its controllers'
// registers, modes, bit rates and transmit buffers, and DMA, all through the
// board access library, with the waits a case needs. A driver request that
// fails throws HostFailure (the case could not be carried out); an SPI
// bridge that stays busy throws BoardFailure.
#ifndef CHECK_BENCH_H
#define CHECK_BENCH_H

#include "candeviceex.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qualify {

struct HostFailure {
    std::string what;
};
struct BoardFailure {
    std::string what;
    // What the board did not do, when it is one of these.
    enum Kind { Other, BridgeStuck, ModeNotReached } kind = Other;
    unsigned channel = 0;
};

// A CAN frame as a case sends it and reads it back.
struct Frame {
    uint32_t id = 0; // 11 bits, or 29 when extended
    bool extended = false;
    bool remote = false;
    uint8_t dlc = 0; // the length code, 0 to 8
    std::array<uint8_t, 8> data{};

    static Frame standard(uint32_t id, std::vector<uint8_t> bytes = {});
    static Frame extendedFrame(uint32_t id, std::vector<uint8_t> bytes = {});
    static Frame remoteFrame(uint32_t id, bool extended, uint8_t dlc);
    // The bytes the frame carries: none for a remote frame.
    unsigned carried() const { return remote ? 0 : (dlc > 8 ? 8 : dlc); }
    // "standard 0x123, 2 bytes 11 22"; "extended 0x1ABCDE00, remote, length 3"
    std::string text() const;
    bool sameAs(const Frame &other) const;
};

// A frame as a DMA block brought it.
struct Received {
    Frame frame;
    unsigned channel = 0;
    bool waited = false;  // the block's "waited for room" flag
    uint32_t stamp = 0;   // its 24-bit microsecond stamp
    uint8_t ctrl = 0;     // the receive buffer's RXBnCTRL
    uint8_t sidl = 0;     // its SIDL as the block holds it
    uint8_t dlcByte = 0;  // its DLC register
};

class Bench
{
public:
    // stop: asked between steps of a wait; true ends the wait.
    Bench(CCANDeviceEx &device, unsigned int kbps, std::function<bool()> stop);

    unsigned int kbps() const { return m_kbps; }
    CCANDeviceEx &device() { return m_device; }

    // Registers through the SPI bridge.
    uint8_t read(unsigned channel, unsigned address);
    void read(unsigned channel, unsigned address, uint8_t *bytes, unsigned count);
    void write(unsigned channel, unsigned address, uint8_t value);
    void write(unsigned channel, unsigned address, const uint8_t *bytes, unsigned count);
    void bitModify(unsigned channel, unsigned address, uint8_t mask, uint8_t value);
    uint8_t readStatus(unsigned channel);
    uint8_t rxStatus(unsigned channel);

    // A mode; false when the controller did not reach it.
    bool setMode(unsigned channel, unsigned mode);
    // CANSTAT's operating mode.
    unsigned mode(unsigned channel);
    // The channel's bit rate, through configuration mode, back to normal.
    void setRate(unsigned channel, unsigned int kbps);

    // A frame into a transmit buffer, its registers one SPI WRITE, then its
    // request with the priority (request false: the priority alone, for an
    // RTS later).
    void load(unsigned channel, unsigned buffer, const Frame &frame, unsigned priority = 0, bool request = true);
    void requestToSend(unsigned channel, unsigned mask);
    void withdraw(unsigned channel, unsigned buffer);
    // Polls until the condition holds or ms have passed (or a stop).
    bool waitUntil(const std::function<bool()> &condition, int ms);
    // TXREQ of the buffer clear.
    bool waitSent(unsigned channel, unsigned buffer, int ms = 2000);

    // Blocks of the channel, until count have come or ms have passed.
    std::vector<Received> receive(unsigned channel, size_t count, int ms = 2000);
    // Whatever the channel's queue holds now, read until it is found empty.
    std::vector<Received> drain(unsigned channel);
    // The board's DMA engine on or off (its control register).
    void dma(bool on);

    // The start-up set-up again: every request withdrawn, both controllers
    // through configuration mode (their error counters cleared) at the run's
    // bit rate back to normal, DMA on, the filters off, nothing else set,
    // the DMA queues emptied.
    void restore();
    bool stopped() const { return m_stop && m_stop(); }

private:
    [[noreturn]] void failed(const char *call, unsigned channel, int status);
    void check(int status, const char *call, unsigned channel);

    CCANDeviceEx &m_device;
    unsigned int m_kbps;
    std::function<bool()> m_stop;
};

// What a case found, as a traffic tester prints it: what it sent or
// expected beside what came back, and what to check.
class Findings
{
public:
    void mismatch(const std::string &expected, const std::string &got, const std::string &check);
    void note(const std::string &what, const std::string &check);
    bool any() const { return m_count != 0; }
    const std::vector<std::string> &lines() const { return m_lines; }
    const std::string &check() const { return m_check; }
    size_t count() const { return m_count; }

private:
    static constexpr size_t kLinesKept = 8;
    std::vector<std::string> m_lines;
    std::string m_check;
    size_t m_count = 0;
};

std::string hex(uint32_t value, int digits = 2);

} // namespace qualify

#endif
