// The cases of the board around the controllers: its DMA engine (stamps,
// the block ring, the "waited for room" flag) and its SPI bridge (every
// writable register written and read back, bit modify, the status
// instructions).
#include "qualification.h"
#include "qualifysupport.h"
#include "testgroup.h"

#include <QElapsedTimer>

namespace qualify {

namespace {

const uint32_t kStampRange = uint32_t(1) << 24;

// Frames numbered from `first`, three at a time from channel 1's buffers
// requested at once, until `count` have been sent; what channel 2 received
// meanwhile, read as it came (the host keeping up).
struct Stream {
    std::vector<Received> got;
    uint32_t sent = 0;
    bool stuck = false; // a frame did not leave its buffer: the stream ended there
};
Stream stream(Bench &bench, uint32_t count, bool read = true)
{
    Stream s;
    while (s.sent < count && !bench.stopped()) {
        unsigned mask = 0;
        for (unsigned buffer = 0; buffer < 3 && s.sent < count; ++buffer, ++s.sent) {
            bench.load(1, buffer, Frame::extendedFrame(0x0ABCDE00 | (s.sent & 0xFF), {uint8_t(s.sent >> 16),
                                                                                    uint8_t(s.sent >> 8),
                                                                                    uint8_t(s.sent)}),
                       3 - buffer, false);
            mask |= 1u << buffer;
        }
        bench.requestToSend(1, mask);
        for (unsigned buffer = 0; buffer < 3; ++buffer) {
            if ((mask & (1u << buffer)) && !bench.waitSent(1, buffer)) {
                for (unsigned b = 0; b < 3; ++b)
                    bench.withdraw(1, b);
                s.stuck = true;
                return s;
            }
        }
        if (read) {
            for (const Received &r : bench.drain(2))
                s.got.push_back(r);
        }
    }
    return s;
}

uint32_t numberOf(const Received &r)
{
    return uint32_t(r.frame.data[0]) << 16 | uint32_t(r.frame.data[1]) << 8 | r.frame.data[2];
}

// The board's stamps never step back, and a frame's end comes at least its
// own length after the end of the one before: over enough frames to carry
// into the stamp's upper byte several times.
void stamps(Bench &bench, Findings &findings)
{
    const double bitMicros = 1000.0 / bench.kbps();
    // A frame of ours on the wire takes at least this long.
    const double shortest = 90 * bitMicros;
    // Enough frames for 150 ms: two carries of the stamp's bit 16.
    const uint32_t frames = uint32_t(150000 / (110 * bitMicros)) + 3;
    const Stream s = stream(bench, frames);
    if (s.stuck) {
        findings.note("a frame of channel 1 did not leave its transmit buffer", "the board's channel 1");
        return;
    }
    if (s.got.size() < frames) {
        findings.note("sent " + std::to_string(frames) + " frames, received " + std::to_string(s.got.size()), path(1));
        return;
    }
    for (size_t i = 1; i < s.got.size(); ++i) {
        const uint32_t before = s.got[i - 1].stamp;
        const uint32_t after = s.got[i].stamp;
        const uint32_t step = (after - before) & (kStampRange - 1);
        if (step >= kStampRange / 2) {
            findings.note("the board's stamp stepped back from " + std::to_string(before) + " to " +
                              std::to_string(after) + " us between frames " + std::to_string(i - 1) + " and " +
                              std::to_string(i),
                          "the board's DMA stamps: its microsecond clock and how it carries into its upper bytes");
        } else if (step < shortest) {
            findings.note("frames " + std::to_string(i - 1) + " and " + std::to_string(i) + " stamped " +
                              std::to_string(step) + " us apart, less than one frame takes on the bus",
                          "the board's DMA stamps: its microsecond clock");
        }
    }
}

// Every slot of the DMA ring delivered across its wraps: 1 100 frames, each
// numbered, all received once and in order.
void ring(Bench &bench, Findings &findings)
{
    const uint32_t frames = 1100;
    const Stream s = stream(bench, frames);
    if (s.stuck)
        findings.note("a frame of channel 1 did not leave its transmit buffer", "the board's channel 1");
    uint32_t expected = 0;
    for (const Received &r : s.got) {
        const uint32_t number = numberOf(r);
        if (number != expected)
            findings.mismatch("frame " + std::to_string(expected) + " of " + std::to_string(frames),
                              "frame " + std::to_string(number) + " in its place",
                              "the board's DMA engine: its ring of blocks (a slot lost or delivered twice)");
        expected = number + 1;
    }
    if (s.got.size() != frames)
        findings.note("sent " + std::to_string(s.sent) + " numbered frames, " + std::to_string(s.got.size()) +
                          " delivered",
                      "the board's DMA engine: its ring of blocks");
}

// The "waited for room" flag: clear while the host keeps up; set, with
// the controller's overflow told, when it does not read at all.
void waited(Bench &bench, Findings &findings)
{
    Stream s = stream(bench, 60);
    if (s.stuck) {
        findings.note("a frame of channel 1 did not leave its transmit buffer", "the board's channel 1");
        return;
    }
    size_t flagged = 0;
    for (const Received &r : s.got)
        flagged += r.waited ? 1 : 0;
    if (flagged)
        findings.note(std::to_string(flagged) + " of " + std::to_string(s.got.size()) +
                          " blocks marked as having waited for room while the host read each as it came",
                      "the board's DMA engine: its \"waited for room\" flag");
    // Not read: frames until the controller holds one (the queue full) and
    // loses the next, which it tells in EFLG.
    uint32_t sent = 0;
    int heldFor = 0;
    bool overflowed = false;
    while (!bench.stopped() && sent < 70000 && heldFor < 5) {
        const Stream batch = stream(bench, 3, false);
        sent += batch.sent;
        overflowed = (bench.read(2, CAN_REG_EFLG) & 0xC0) != 0;
        if (batch.stuck || overflowed)
            break;
        heldFor = bench.readStatus(2) & 0x01 ? heldFor + 1 : 0;
    }
    const std::vector<Received> got = bench.drain(2);
    flagged = 0;
    for (const Received &r : got)
        flagged += r.waited ? 1 : 0;
    if (!overflowed || !(bench.read(2, CAN_REG_EFLG) & 0xC0))
        findings.note(std::to_string(sent) + " frames not read, and channel 2 told no receive overflow (EFLG " +
                          hex(bench.read(2, CAN_REG_EFLG)) + ")",
                      "the board's DMA engine or channel 2's overflow flags");
    else if (!flagged)
        findings.note(std::to_string(sent) + " frames not read until channel 2 overflowed; none of the " +
                          std::to_string(got.size()) + " blocks delivered marked as having waited for room",
                      "the board's DMA engine: its \"waited for room\" flag");
}

// A register and the bits of it that hold what is written.
struct Writable {
    unsigned address;
    unsigned count;
    std::vector<uint8_t> bits; // per register
};

std::vector<Writable> writableRegisters()
{
    std::vector<Writable> blocks;
    const auto identifier = [](uint8_t sidl) { return std::vector<uint8_t>{0xFF, sidl, 0xFF, 0xFF}; };
    for (unsigned base : {0x00u, 0x10u}) {
        Writable filters{base, 12, {}};
        for (int f = 0; f < 3; ++f)
            for (uint8_t b : identifier(0xEB))
                filters.bits.push_back(b);
        blocks.push_back(filters);
    }
    Writable masks{0x20, 12, {}};
    for (int m = 0; m < 2; ++m)
        for (uint8_t b : identifier(0xE3))
            masks.bits.push_back(b);
    for (uint8_t b : {0xC7, 0xFF, 0xFF, 0xFF}) // CNF3, CNF2, CNF1, CANINTE
        masks.bits.push_back(b);
    blocks.push_back(masks);
    // BFPCTRL (its pin state bits read 0 while the pins are interrupt outputs), TXRTSCTRL.
    blocks.push_back({0x0C, 2, {0x0F, 0x07}});
    for (unsigned buffer = 0; buffer < 3; ++buffer) {
        Writable tx{CAN_REG_TXB0CTRL + 0x10 * buffer + 1, 13, {0xFF, 0xEB, 0xFF, 0xFF, 0x4F}};
        for (int i = 0; i < 8; ++i)
            tx.bits.push_back(0xFF);
        blocks.push_back(tx);
    }
    return blocks;
}

// Every writable register (in configuration mode, where all are) written
// with walking ones and walking zeros and read back, over and over: in
// SPI WRITEs of many registers, and once a register at a time.
void readback(Bench &bench, Findings &findings)
{
    const std::vector<Writable> blocks = writableRegisters();
    const int rounds = 100;
    for (unsigned ch = 1; ch <= 2; ++ch) {
        if (!bench.setMode(ch, CAN_MODE_CONFIGURATION))
            throw BoardFailure{channel(ch) + "'s controller would not enter configuration mode"};
        for (int round = 0; round < rounds && !bench.stopped(); ++round) {
            for (int pattern = 0; pattern < 16; ++pattern) {
                const uint8_t value = pattern < 8 ? uint8_t(1 << pattern) : uint8_t(~(1 << (pattern - 8)));
                for (const Writable &w : blocks) {
                    uint8_t bytes[16], back[16];
                    for (unsigned i = 0; i < w.count; ++i)
                        bytes[i] = value;
                    if (round == 0) {
                        for (unsigned i = 0; i < w.count; ++i)
                            bench.write(ch, w.address + i, bytes[i]);
                    } else {
                        bench.write(ch, w.address, bytes, w.count);
                    }
                    bench.read(ch, w.address, back, w.count);
                    for (unsigned i = 0; i < w.count; ++i) {
                        if ((back[i] & w.bits[i]) != (value & w.bits[i]))
                            findings.mismatch(hex(value & w.bits[i]) + " to register " + hex(w.address + i) +
                                                  " (write " + std::to_string(round * 16 + pattern + 1) + ")",
                                              hex(back[i] & w.bits[i]) + " read back",
                                              "the board's " + channel(ch) + ": its SPI bridge or the controller's "
                                              "register " + hex(w.address + i) + " (a write lost or a bit stuck)");
                    }
                }
            }
        }
        bench.restore();
    }
}

// BIT MODIFY changes only the bits of its mask in the registers that take
// it, and writes the whole byte in any other.
void bitModify(Bench &bench, Findings &findings)
{
    const struct {
        unsigned address;
        uint8_t bits; // implemented and writable in configuration mode
        bool modifiable;
    } registers[] = {
        {CAN_REG_CANINTE, 0xFF, true}, {CAN_REG_CNF1, 0xFF, true}, {CAN_REG_BFPCTRL, 0x0F, true},
        {CAN_REG_RXB0CTRL, 0x64, true}, {CAN_REG_RXB1CTRL, 0x60, true}, {CAN_REG_TXB0CTRL + 6, 0xFF, false},
        {0x22, 0xFF, false},
    };
    for (unsigned ch = 1; ch <= 2; ++ch) {
        if (!bench.setMode(ch, CAN_MODE_CONFIGURATION))
            throw BoardFailure{channel(ch) + "'s controller would not enter configuration mode"};
        for (const auto &r : registers) {
            for (const auto &step : {std::pair<uint8_t, uint8_t>{0x0F, 0xA5}, {0xF0, 0x5A}, {0x3C, 0xFF}, {0xC3, 0x00}}) {
                const uint8_t start = 0x96 & r.bits;
                bench.write(ch, r.address, start);
                bench.bitModify(ch, r.address, step.first, step.second);
                const uint8_t back = bench.read(ch, r.address) & r.bits;
                const uint8_t mask = r.modifiable ? step.first : 0xFF;
                const uint8_t wanted = uint8_t((start & ~mask) | (step.second & mask)) & r.bits;
                if (back != wanted)
                    findings.mismatch("BIT MODIFY of register " + hex(r.address) + " (" + hex(start) + ") with mask " +
                                          hex(step.first) + ", data " + hex(step.second),
                                      hex(back) + " (" + hex(wanted) + " expected)",
                                      "the board's " + channel(ch) + ": its BIT MODIFY instruction" +
                                          (r.modifiable ? "" : " on a register that does not take it"));
            }
        }
        bench.restore();
    }
}

// READ STATUS and RX STATUS say what the registers they summarise hold.
void status(Bench &bench, Findings &findings)
{
    for (unsigned ch = 1; ch <= 2; ++ch) {
        const unsigned other = 3 - ch;
        // Pending requests that nobody acknowledges, and a flag set by hand.
        if (!bench.setMode(other, CAN_MODE_CONFIGURATION))
            throw BoardFailure{channel(other) + "'s controller would not enter configuration mode"};
        bench.load(ch, 0, Frame::standard(0x260, {0x01}));
        bench.load(ch, 2, Frame::standard(0x262, {0x02}));
        bench.write(ch, CAN_REG_CANINTF, 0x08); // TX1IF
        const uint8_t read = bench.readStatus(ch);
        uint8_t ctrl[3];
        for (unsigned buffer = 0; buffer < 3; ++buffer)
            ctrl[buffer] = bench.read(ch, CAN_REG_TXB0CTRL + 0x10 * buffer);
        const uint8_t intf = bench.read(ch, CAN_REG_CANINTF);
        uint8_t wanted = 0;
        for (unsigned buffer = 0; buffer < 3; ++buffer) {
            if (ctrl[buffer] & CAN_TXB_TXREQ)
                wanted |= uint8_t(0x04 << (2 * buffer));
            if (intf & (0x04 << buffer))
                wanted |= uint8_t(0x08 << (2 * buffer));
        }
        wanted |= intf & 0x03;
        if (read != wanted)
            findings.mismatch("READ STATUS with TXB0CTRL " + hex(ctrl[0]) + ", TXB1CTRL " + hex(ctrl[1]) +
                                  ", TXB2CTRL " + hex(ctrl[2]) + ", CANINTF " + hex(intf),
                              hex(read) + " (" + hex(wanted) + " expected)",
                              "the board's " + channel(ch) + ": its READ STATUS instruction");
        bench.restore();
        // Two frames held (DMA off), the second rolled over into RXB1.
        bench.write(ch, CAN_REG_RXB0CTRL, 0x64);
        bench.dma(false);
        const Frame first = Frame::standard(0x264, {0x03});
        const Frame second = Frame::remoteFrame(0x2640000, true, 2);
        for (const Frame &frame : {first, second}) {
            bench.load(other, 0, frame);
            bench.waitSent(other, 0);
        }
        const struct {
            const char *held;
            uint8_t wanted;
        } views[] = {
            {"both (RXB0 standard data, RXF0)", 0xC0},
            {"RXB1 alone (extended remote, rolled over from RXF0)", 0x80 | 0x18 | 0x06},
        };
        for (int view = 0; view < 2; ++view) {
            if (view == 1)
                bench.write(ch, CAN_REG_CANINTF, 0x02); // RXB0 taken
            const uint8_t rx = bench.rxStatus(ch);
            if (rx != views[view].wanted)
                findings.mismatch(std::string("RX STATUS with ") + views[view].held,
                                  hex(rx) + " (" + hex(views[view].wanted) + " expected)",
                                  "the board's " + channel(ch) + ": its RX STATUS instruction");
        }
        bench.restore();
    }
}

} // namespace

std::vector<Case> boardCases()
{
    return {
        {"dma.stamps", "the board's stamps never step back and keep pace with the bus across their carries", stamps},
        {"dma.ring", "every slot of the DMA ring delivered across its wraps: 1100 numbered frames, once, in order",
         ring},
        {"dma.waited", "the \"waited for room\" flag clear while the host keeps up, set when it does not, with the "
                       "overflow told",
         waited},
        {"registers.readback", "every writable register written with walking ones and zeros and read back, 1600 "
                               "times each",
         readback},
        {"registers.bitmodify", "BIT MODIFY changes only its mask's bits where it applies, the whole byte elsewhere",
         bitModify},
        {"registers.status", "READ STATUS and RX STATUS agree with the registers they summarise", status},
    };
}

} // namespace qualify
