#include "bench.h"

#include "boardsetup.h"
#include "workerreport.h"

#include <QElapsedTimer>
#include <QThread>

#include <cstdio>

namespace qualify {

namespace {

// Receive buffer registers as a DMA block holds them, from byte 4.
enum : unsigned { kCtrl = 4, kSidh = 5, kSidl = 6, kEid8 = 7, kEid0 = 8, kDlc = 9, kData = 10 };
const uint8_t kSrr = 0x10;
const uint8_t kIde = 0x08;
const uint8_t kRtr = 0x40;
// The acceptance filters' and masks' first registers.
enum : unsigned { kRxf0 = 0x00, kRxf3 = 0x10, kRxm0 = 0x20 };
// Longest a queue may take to be found empty once the sends have ended: a
// full ring at the slowest rate comes in well under it.
const int kDrainMs = 3000;

Received decode(const unsigned char *block)
{
    Received r;
    r.waited = (block[0] & 1) != 0;
    r.channel = ((block[0] >> 1) & 1) + 1;
    r.stamp = uint32_t(block[1]) | uint32_t(block[2]) << 8 | uint32_t(block[3]) << 16;
    r.ctrl = block[kCtrl];
    r.sidl = block[kSidl];
    r.dlcByte = block[kDlc];
    Frame &f = r.frame;
    const uint32_t sid = uint32_t(block[kSidh]) << 3 | block[kSidl] >> 5;
    f.extended = (block[kSidl] & kIde) != 0;
    f.id = f.extended ? sid << 18 | uint32_t(block[kSidl] & 3) << 16 | uint32_t(block[kEid8]) << 8 | block[kEid0] : sid;
    // A standard frame's remote request is its SRR bit, an extended one's
    // the DLC's RTR bit.
    f.remote = f.extended ? (block[kDlc] & kRtr) != 0 : (block[kSidl] & kSrr) != 0;
    f.dlc = block[kDlc] & 0x0F;
    for (unsigned i = 0; i < 8; ++i)
        f.data[i] = block[kData + i];
    return r;
}

} // namespace

std::string hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, unsigned(value));
    return text;
}

Frame Frame::standard(uint32_t id, std::vector<uint8_t> bytes)
{
    Frame f;
    f.id = id & 0x7FF;
    f.dlc = uint8_t(bytes.size());
    for (size_t i = 0; i < bytes.size() && i < 8; ++i)
        f.data[i] = bytes[i];
    return f;
}

Frame Frame::extendedFrame(uint32_t id, std::vector<uint8_t> bytes)
{
    Frame f = standard(0, bytes);
    f.id = id & 0x1FFFFFFF;
    f.extended = true;
    return f;
}

Frame Frame::remoteFrame(uint32_t id, bool extended, uint8_t dlc)
{
    Frame f = extended ? extendedFrame(id) : standard(id);
    f.remote = true;
    f.dlc = dlc;
    return f;
}

std::string Frame::text() const
{
    std::string t = (extended ? "extended " + hex(id, 8) : "standard " + hex(id, 3));
    if (remote)
        return t + ", remote, length " + std::to_string(dlc);
    t += ", " + std::to_string(dlc) + (dlc == 1 ? " byte" : " bytes");
    for (unsigned i = 0; i < carried(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02X", data[i]);
        t += byte;
    }
    return t;
}

bool Frame::sameAs(const Frame &o) const
{
    if (id != o.id || extended != o.extended || remote != o.remote || dlc != o.dlc)
        return false;
    for (unsigned i = 0; i < carried(); ++i) {
        if (data[i] != o.data[i])
            return false;
    }
    return true;
}

void Findings::mismatch(const std::string &expected, const std::string &got, const std::string &check)
{
    note("sent " + expected + ", received " + got, check);
}

void Findings::note(const std::string &what, const std::string &check)
{
    if (m_count++ < kLinesKept)
        m_lines.push_back(what);
    else if (m_count == kLinesKept + 1)
        m_lines.push_back("and more");
    if (m_check.empty())
        m_check = check;
}

Bench::Bench(CCANDeviceEx &device, unsigned int kbps, std::function<bool()> stop)
    : m_device(device), m_kbps(kbps), m_stop(std::move(stop))
{
}

void Bench::failed(const char *call, unsigned channel, int status)
{
    const std::string what = std::string(call) + (channel ? " on channel " + std::to_string(channel) : "") +
                             " failed (status " + std::to_string(status) + ")";
    if (channel && causeOfFailure(m_device, channel) == WorkerReport::BridgeStuck)
        throw BoardFailure{"channel " + std::to_string(channel) + "'s SPI bridge stays busy: " + what,
                           BoardFailure::BridgeStuck, channel};
    throw HostFailure{what};
}

void Bench::check(int status, const char *call, unsigned channel)
{
    if (status != CAN_OK)
        failed(call, channel, status);
}

uint8_t Bench::read(unsigned channel, unsigned address)
{
    uint8_t value = 0;
    read(channel, address, &value, 1);
    return value;
}

void Bench::read(unsigned channel, unsigned address, uint8_t *bytes, unsigned count)
{
    check(m_device.ReadCanReg(channel, address, count, bytes), "a register read", channel);
}

void Bench::write(unsigned channel, unsigned address, uint8_t value)
{
    write(channel, address, &value, 1);
}

void Bench::write(unsigned channel, unsigned address, const uint8_t *bytes, unsigned count)
{
    check(m_device.WriteCanRegs(channel, address, count, bytes), "a register write", channel);
}

void Bench::bitModify(unsigned channel, unsigned address, uint8_t mask, uint8_t value)
{
    check(m_device.BitModifyCanReg(channel, address, mask, value), "BIT MODIFY", channel);
}

uint8_t Bench::readStatus(unsigned channel)
{
    unsigned char status = 0;
    check(m_device.ReadCanStatus(channel, &status), "READ STATUS", channel);
    return status;
}

uint8_t Bench::rxStatus(unsigned channel)
{
    unsigned char status = 0;
    check(m_device.ReadCanRxStatus(channel, &status), "RX STATUS", channel);
    return status;
}

bool Bench::setMode(unsigned channel, unsigned mode)
{
    const int status = m_device.SetWorkMode(channel, mode);
    if (status == CAN_MODE_NOT_REACHED)
        return false;
    check(status, "a mode request", channel);
    return true;
}

unsigned Bench::mode(unsigned channel)
{
    return read(channel, CAN_REG_CANSTAT) >> 5;
}

void Bench::setRate(unsigned channel, unsigned int kbps)
{
    if (!setMode(channel, CAN_MODE_CONFIGURATION))
        throw BoardFailure{"channel " + std::to_string(channel) + "'s controller would not enter configuration mode",
                           BoardFailure::ModeNotReached, channel};
    check(m_device.SetSpeed(channel, kbps), "SetSpeed", channel);
    if (!setMode(channel, CAN_MODE_NORMAL))
        throw BoardFailure{"channel " + std::to_string(channel) + "'s controller would not return to normal mode",
                           BoardFailure::ModeNotReached, channel};
}

void Bench::load(unsigned channel, unsigned buffer, const Frame &frame, unsigned priority, bool request)
{
    uint8_t registers[13];
    CanIdentifierRegisters(frame.extended ? frame.id >> 18 : frame.id,
                           frame.extended ? frame.id & 0x3FFFF : CAN_STANDARD_FRAME, registers);
    registers[4] = uint8_t((frame.remote ? unsigned(CAN_DLC_RTR) : 0u) | (frame.dlc & 0x0Fu));
    for (unsigned i = 0; i < 8; ++i)
        registers[5 + i] = frame.data[i];
    const unsigned base = CAN_REG_TXB0CTRL + 0x10 * buffer;
    write(channel, base + CAN_TXB_SIDH, registers, 13);
    write(channel, base, uint8_t((request ? unsigned(CAN_TXB_TXREQ) : 0u) | (priority & 3)));
}

void Bench::requestToSend(unsigned channel, unsigned mask)
{
    check(m_device.RequestToSend(channel, mask), "RTS", channel);
}

void Bench::withdraw(unsigned channel, unsigned buffer)
{
    check(m_device.EndTransmit(channel, buffer), "EndTransmit", channel);
}

bool Bench::waitUntil(const std::function<bool()> &condition, int ms)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (condition())
            return true;
        if (timer.elapsed() >= ms || stopped())
            return false;
        QThread::usleep(200);
    }
}

bool Bench::waitSent(unsigned channel, unsigned buffer, int ms)
{
    const unsigned base = CAN_REG_TXB0CTRL + 0x10 * buffer;
    return waitUntil([&] { return (read(channel, base) & CAN_TXB_TXREQ) == 0; }, ms);
}

std::vector<Received> Bench::receive(unsigned channel, size_t count, int ms)
{
    std::vector<Received> got;
    unsigned char blocks[16 * CAN_DMA_BLOCK_SIZE];
    waitUntil(
        [&] {
            unsigned int n = 0;
            const unsigned int want = unsigned(std::min<size_t>(16, count - got.size()));
            check(m_device.ReadDMABlocks(blocks, channel, want, &n), "ReadDMABlocks", channel);
            for (unsigned int i = 0; i < n && i < want; ++i)
                got.push_back(decode(blocks + i * CAN_DMA_BLOCK_SIZE));
            return got.size() >= count;
        },
        ms);
    return got;
}

std::vector<Received> Bench::drain(unsigned channel)
{
    std::vector<Received> got;
    unsigned char blocks[16 * CAN_DMA_BLOCK_SIZE];
    QElapsedTimer timer;
    timer.start();
    for (int empty = 0; empty < 2;) {
        // Frames that never stop coming are another node's.
        if (timer.elapsed() >= kDrainMs)
            throw BoardFailure{"channel " + std::to_string(channel) + "'s receive queue was never found empty in " +
                               std::to_string(kDrainMs) + " ms: another node is sending on the bus"};
        if (stopped())
            break;
        unsigned int n = 0;
        check(m_device.ReadDMABlocks(blocks, channel, 16, &n), "ReadDMABlocks", channel);
        for (unsigned int i = 0; i < n && i < 16; ++i)
            got.push_back(decode(blocks + i * CAN_DMA_BLOCK_SIZE));
        empty = n ? 0 : empty + 1;
        if (!n)
            QThread::usleep(200); // a fetch under way ends within it
    }
    return got;
}

void Bench::dma(bool on)
{
    unsigned int control = 0;
    if (!m_device.ReadReg(CAN_BOARD_DMA_CONTROL, &control))
        failed("a board register read", 0, 0);
    control = on ? control | CAN_BOARD_DMA_ENABLE : control & ~unsigned(CAN_BOARD_DMA_ENABLE);
    if (!m_device.WriteReg(CAN_BOARD_DMA_CONTROL, control))
        failed("a board register write", 0, 0);
}

void Bench::restore()
{
    for (unsigned channel = 1; channel <= 2; ++channel) {
        for (unsigned buffer = 0; buffer < 3; ++buffer)
            write(channel, CAN_REG_TXB0CTRL + 0x10 * buffer, 0);
    }
    boardsetup::Failure failure;
    const auto setSpeed = [this](unsigned int channel) {
        // Every register a case may have set, while the controller is in
        // configuration mode: interrupts, pins, receive buffers, the
        // acceptance filters and masks, the RXnBF and TXnRTS pins.
        const uint8_t cleared[3] = {0, 0, 0}; // CANINTE, CANINTF, EFLG
        int status = m_device.WriteCanRegs(channel, CAN_REG_CANINTE, 3, cleared);
        const uint8_t none[14] = {};
        if (status == CAN_OK)
            status = m_device.WriteCanRegs(channel, CAN_REG_RXB1CTRL, 1, none);
        if (status == CAN_OK)
            status = m_device.WriteCanRegs(channel, kRxf0, 14, none); // RXF0-2, BFPCTRL, TXRTSCTRL
        if (status == CAN_OK)
            status = m_device.WriteCanRegs(channel, kRxf3, 12, none); // RXF3-5
        if (status == CAN_OK)
            status = m_device.WriteCanRegs(channel, kRxm0, 8, none); // RXM0-1
        return status == CAN_OK ? m_device.SetSpeed(channel, m_kbps) : status;
    };
    if (boardsetup::setUp(m_device, setSpeed, {}, &failure) != boardsetup::Ready) {
        const bool modeStep = failure.step == boardsetup::ConfigurationMode || failure.step == boardsetup::NormalMode;
        if (modeStep && failure.status == CAN_MODE_NOT_REACHED)
            throw BoardFailure{"channel " + std::to_string(failure.channel) + "'s controller does not change its mode",
                               BoardFailure::ModeNotReached, failure.channel};
        failed("restoring the start-up set-up", failure.channel, failure.status);
    }
    check(m_device.ClearDMA() == 1 ? CAN_OK : 0, "ClearDMA", 0);
    check(m_device.SetCanonicalDMA() == 1 ? CAN_OK : 0, "SetCanonicalDMA", 0);
    // A frame fetched while the queues were emptied.
    drain(1);
    drain(2);
}

} // namespace qualify
