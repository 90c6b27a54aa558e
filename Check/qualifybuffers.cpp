// The cases of the controllers' buffers: the three transmit buffers, their
// priorities, abort and one-shot; the two receive buffers, rollover and
// overflow; the six acceptance filters with their masks.
#include "qualification.h"
#include "qualifysupport.h"

namespace qualify {

namespace {

// Controller registers and bits the cases use beyond the library's own.
enum : unsigned {
    kRxf0 = 0x00,
    kRxf3 = 0x10,
    kRxm0 = 0x20,
    kRxm1 = 0x24,
    kAbat = 0x10,
    kOsm = 0x08,
    kMloa = 0x20,
    kRxmAny = 0x60,
    kBukt = 0x04,
    kRx0if = 0x01,
    kRx1if = 0x02,
    kRx0ovr = 0x40,
    kRx1ovr = 0x80,
};

unsigned txCtrl(unsigned buffer)
{
    return CAN_REG_TXB0CTRL + 0x10 * buffer;
}

void buffers(Bench &bench, Findings &findings)
{
    for (unsigned from = 1; from <= 2; ++from) {
        const unsigned to = 3 - from;
        for (unsigned buffer = 0; buffer < 3; ++buffer) {
            const Frame frame = Frame::standard(0x120 + buffer, {uint8_t(buffer)});
            bench.write(from, CAN_REG_CANINTF, 0);
            bench.load(from, buffer, frame);
            if (!bench.waitSent(from, buffer)) {
                findings.note(channel(from) + "'s transmit buffer " + std::to_string(buffer) +
                                  " did not send its frame: TXREQ stays set",
                              "the board's " + channel(from) + ": transmit buffer " + std::to_string(buffer));
                bench.withdraw(from, buffer);
                continue;
            }
            const uint8_t flags = bench.read(from, CAN_REG_CANINTF);
            if (!(flags & (0x04 << buffer)))
                findings.note(channel(from) + "'s buffer " + std::to_string(buffer) + " sent its frame but TX" +
                                  std::to_string(buffer) + "IF reads 0 (CANINTF " + hex(flags) + ")",
                              "the board's " + channel(from) + ": transmit buffer " + std::to_string(buffer) + "'s flag");
            const std::vector<Received> got = bench.receive(to, 1);
            if (got.empty())
                findings.note("sent " + frame.text() + " from " + channel(from) + "'s buffer " + std::to_string(buffer) +
                                  ", " + channel(to) + " received nothing",
                              path(from));
            else if (!got[0].frame.sameAs(frame))
                findings.mismatch(frame.text(), got[0].frame.text(), path(from));
        }
    }
}

// All three loaded with their priorities, then requested at once: they
// leave highest priority first, and of equal priorities the highest buffer
// number first.
void priority(Bench &bench, Findings &findings)
{
    const struct {
        unsigned priorities[3];
        unsigned order[3];
    } rounds[] = {{{1, 3, 2}, {1, 2, 0}}, {{2, 2, 2}, {2, 1, 0}}, {{3, 0, 3}, {2, 0, 1}}};
    for (unsigned from = 1; from <= 2; ++from) {
        const unsigned to = 3 - from;
        for (const auto &round : rounds) {
            for (unsigned buffer = 0; buffer < 3; ++buffer)
                bench.load(from, buffer, Frame::standard(0x130 + buffer, {uint8_t(buffer)}), round.priorities[buffer],
                           false);
            bench.requestToSend(from, 7);
            const std::vector<Received> got = bench.receive(to, 3);
            std::string expected, seen;
            for (unsigned i = 0; i < 3; ++i) {
                expected += (i ? ", " : "") + std::string("buffer ") + std::to_string(round.order[i]);
                if (i < got.size())
                    seen += (i ? ", " : "") + std::string("buffer ") + std::to_string(got[i].frame.data[0]);
            }
            if (expected != seen)
                findings.mismatch("buffers with priorities " + std::to_string(round.priorities[0]) + ", " +
                                      std::to_string(round.priorities[1]) + ", " + std::to_string(round.priorities[2]) +
                                      " at once (order " + expected + ")",
                                  seen.empty() ? "nothing" : "the order " + seen,
                                  "the board's " + channel(from) + ": its choice among pending transmit buffers "
                                  "(TXP, then the buffer number)");
            for (unsigned buffer = 0; buffer < 3; ++buffer)
                bench.withdraw(from, buffer);
            bench.drain(to);
        }
    }
}

// Nobody acknowledges while the frames wait; an abort (CANCTRL.ABAT)
// withdraws every pending request, each marked ABTF, and none of them is
// ever sent afterwards.
void abort(Bench &bench, Findings &findings)
{
    for (unsigned from = 1; from <= 2; ++from) {
        const unsigned to = 3 - from;
        if (!bench.setMode(to, CAN_MODE_CONFIGURATION))
            throw BoardFailure{channel(to) + "'s controller would not enter configuration mode"};
        for (unsigned buffer = 0; buffer < 3; ++buffer)
            bench.load(from, buffer, Frame::standard(0x140 + buffer, {uint8_t(buffer)}), buffer);
        bench.bitModify(from, CAN_REG_CANCTRL, kAbat, kAbat);
        const bool withdrawn = bench.waitUntil(
            [&] {
                for (unsigned buffer = 0; buffer < 3; ++buffer) {
                    if (bench.read(from, txCtrl(buffer)) & CAN_TXB_TXREQ)
                        return false;
                }
                return true;
            },
            1000);
        bench.bitModify(from, CAN_REG_CANCTRL, kAbat, 0);
        if (!withdrawn) {
            findings.note("an abort (CANCTRL.ABAT) on " + channel(from) + " left requests pending",
                          "the board's " + channel(from) + ": its abort of pending transmissions");
            for (unsigned buffer = 0; buffer < 3; ++buffer)
                bench.withdraw(from, buffer);
        }
        for (unsigned buffer = 0; buffer < 3 && withdrawn; ++buffer) {
            const uint8_t ctrl = bench.read(from, txCtrl(buffer));
            if (!(ctrl & CAN_TXB_ABTF))
                findings.note(channel(from) + "'s buffer " + std::to_string(buffer) + " withdrawn by an abort, ABTF "
                                  "reads 0 (TXB" + std::to_string(buffer) + "CTRL " + hex(ctrl) + ")",
                              "the board's " + channel(from) + ": its abort flags");
        }
        bench.setMode(to, CAN_MODE_NORMAL);
        // Only what is sent from now on arrives.
        const Frame marker = Frame::standard(0x14F, {0xAB});
        bench.load(from, 0, marker);
        bench.waitSent(from, 0);
        const std::vector<Received> got = bench.receive(to, 1);
        if (got.empty() || !got[0].frame.sameAs(marker))
            findings.mismatch(marker.text() + " after the abort", got.empty() ? "nothing" : got[0].frame.text(),
                              "the board's " + channel(from) + ": an aborted frame went out");
        bench.drain(to);
    }
}

// One-shot: a frame that nobody acknowledges is tried once, its request
// then cleared with TXERR, and its error counted once.
void oneShot(Bench &bench, Findings &findings)
{
    for (unsigned from = 1; from <= 2; ++from) {
        const unsigned to = 3 - from;
        if (!bench.setMode(to, CAN_MODE_CONFIGURATION))
            throw BoardFailure{channel(to) + "'s controller would not enter configuration mode"};
        bench.bitModify(from, CAN_REG_CANCTRL, kOsm, kOsm);
        bench.load(from, 0, Frame::standard(0x150, {0x01}));
        if (!bench.waitSent(from, 0, 1000)) {
            findings.note("one-shot mode on " + channel(from) + ": a frame nobody acknowledged was tried again "
                          "(TXREQ stays set, TEC " + std::to_string(bench.read(from, CAN_REG_TEC)) + ")",
                          "the board's " + channel(from) + ": its one-shot mode (CANCTRL.OSM)");
            bench.withdraw(from, 0);
        } else {
            const uint8_t ctrl = bench.read(from, CAN_REG_TXB0CTRL);
            const int tec = bench.read(from, CAN_REG_TEC);
            if (!(ctrl & CAN_TXB_TXERR) || tec != 8)
                findings.note("one-shot mode on " + channel(from) + ": after one attempt that nobody acknowledged, "
                              "TXB0CTRL " + hex(ctrl) + " (TXERR expected) and TEC " + std::to_string(tec) +
                                  " (8 expected)",
                              "the board's " + channel(from) + ": its one-shot mode and its error counter");
        }
        bench.bitModify(from, CAN_REG_CANCTRL, kOsm, 0);
        bench.setMode(to, CAN_MODE_NORMAL);
    }
}

// With DMA held off, where a frame waits: RX STATUS bits 7..6.
std::string heldIn(uint8_t rxStatus)
{
    switch (rxStatus & 0xC0) {
    case 0x40:
        return "RXB0";
    case 0x80:
        return "RXB1";
    case 0xC0:
        return "both";
    default:
        return "neither";
    }
}

// Each receive buffer takes a frame and the board's DMA delivers it.
void receiveBuffers(Bench &bench, Findings &findings)
{
    for (unsigned to = 1; to <= 2; ++to) {
        const unsigned from = 3 - to;
        for (unsigned buffer = 0; buffer < 2; ++buffer) {
            if (buffer == 1) {
                // RXB0 takes nothing (its filters match no frame of ours),
                // RXB1 everything.
                if (!bench.setMode(to, CAN_MODE_CONFIGURATION))
                    throw BoardFailure{channel(to) + "'s controller would not enter configuration mode"};
                const uint8_t full[4] = {0xFF, 0xE3, 0xFF, 0xFF};
                const uint8_t none[4] = {0x00, 0x08, 0x00, 0x00}; // extended 0: never sent here
                bench.write(to, kRxm0, full, 4);
                bench.write(to, kRxf0, none, 4);
                bench.write(to, kRxf0 + 4, none, 4);
                bench.write(to, CAN_REG_RXB0CTRL, 0x00);
                bench.write(to, CAN_REG_RXB1CTRL, kRxmAny);
                bench.setMode(to, CAN_MODE_NORMAL);
            }
            bench.dma(false);
            const Frame frame = Frame::standard(0x160 + buffer, {uint8_t(buffer), 0x5A});
            bench.load(from, 0, frame);
            bench.waitSent(from, 0);
            const std::string wanted = buffer == 0 ? "RXB0" : "RXB1";
            const std::string held = heldIn(bench.rxStatus(to));
            if (held != wanted)
                findings.mismatch(frame.text() + " for " + wanted, "it in " + held,
                                  "the board's " + channel(to) + ": receive buffer " + wanted);
            bench.dma(true);
            const std::vector<Received> got = bench.receive(to, 1);
            if (got.empty())
                findings.note(frame.text() + " waited in " + channel(to) + "'s " + wanted +
                                  "; the board's DMA never delivered it",
                              "the board's DMA engine: its fetch of " + channel(to) + "'s " + wanted);
            else if (!got[0].frame.sameAs(frame))
                findings.mismatch(frame.text(), got[0].frame.text(), path(from));
        }
        bench.restore();
    }
}

// Rollover: with BUKT, a frame that finds RXB0 full goes to RXB1, and DMA
// delivers both in the order they came.
void rollover(Bench &bench, Findings &findings)
{
    for (unsigned to = 1; to <= 2; ++to) {
        const unsigned from = 3 - to;
        bench.write(to, CAN_REG_RXB0CTRL, kRxmAny | kBukt);
        bench.dma(false);
        const Frame first = Frame::standard(0x170, {0x01});
        const Frame second = Frame::extendedFrame(0x170171, {0x02, 0x03});
        for (const Frame &frame : {first, second}) {
            bench.load(from, 0, frame);
            bench.waitSent(from, 0);
        }
        const std::string held = heldIn(bench.rxStatus(to));
        const uint8_t eflg = bench.read(to, CAN_REG_EFLG);
        if (held != "both")
            findings.mismatch("two frames with rollover on", "them held in " + held + " (EFLG " + hex(eflg) + ")",
                              "the board's " + channel(to) + ": its rollover into RXB1 (RXB0CTRL.BUKT)");
        bench.dma(true);
        const std::vector<Received> got = bench.receive(to, 2);
        std::string seen;
        for (const Received &r : got)
            seen += (seen.empty() ? "" : ", then ") + r.frame.text();
        if (got.size() != 2 || !got[0].frame.sameAs(first) || !got[1].frame.sameAs(second))
            findings.mismatch(first.text() + ", then " + second.text(), seen.empty() ? "nothing" : seen,
                              "the board's DMA engine: " + channel(to) + "'s two receive buffers in the order their "
                              "frames came");
        bench.restore();
    }
}

// Both buffers full: a frame more sets RX0OVR (without rollover) or RX1OVR
// (with it) and is lost; the frames held are delivered.
void overflow(Bench &bench, Findings &findings)
{
    for (unsigned to = 1; to <= 2; ++to) {
        const unsigned from = 3 - to;
        for (bool rollover : {false, true}) {
            bench.write(to, CAN_REG_RXB0CTRL, uint8_t(kRxmAny | (rollover ? unsigned(kBukt) : 0u)));
            bench.dma(false);
            const unsigned count = rollover ? 3 : 2;
            for (unsigned i = 0; i < count; ++i) {
                bench.load(from, 0, Frame::standard(0x180 + i, {uint8_t(i)}));
                bench.waitSent(from, 0);
            }
            const uint8_t eflg = bench.read(to, CAN_REG_EFLG);
            const uint8_t wanted = uint8_t(rollover ? unsigned(kRx1ovr) : unsigned(kRx0ovr));
            if (!(eflg & wanted))
                findings.note(std::to_string(count) + " frames into " + channel(to) + "'s receive buffers" +
                                  (rollover ? " with rollover" : "") + ": " + (rollover ? "RX1OVR" : "RX0OVR") +
                                  " reads 0 (EFLG " + hex(eflg) + ")",
                              "the board's " + channel(to) + ": its receive overflow flags (EFLG)");
            bench.dma(true);
            const std::vector<Received> got = bench.receive(to, count - 1);
            if (got.size() != count - 1)
                findings.note(channel(to) + " delivered " + std::to_string(got.size()) + " of the " +
                                  std::to_string(count - 1) + " frames its buffers held",
                              "the board's DMA engine: " + channel(to) + "'s receive buffers");
            bench.restore();
        }
    }
}

// The six filters with their masks: each filter's frame passes into its
// buffer with its filter hit, each one-bit neighbour of it does not.
void filters(Bench &bench, Findings &findings, bool extended)
{
    const int bits = extended ? 29 : 11;
    const uint32_t all = (uint32_t(1) << bits) - 1;
    const auto registers = [extended](uint32_t id, uint8_t out[4]) {
        if (extended)
            CanIdentifierRegisters(id >> 18, id & 0x3FFFF, out);
        else
            CanIdentifierRegisters(id, CAN_STANDARD_FRAME, out);
    };
    const auto make = [extended](uint32_t id) {
        return extended ? Frame::extendedFrame(id, {0x0F}) : Frame::standard(id, {0x0F});
    };
    for (unsigned to = 1; to <= 2; ++to) {
        const unsigned from = 3 - to;
        uint32_t ids[6];
        for (int n = 0; n < 6; ++n)
            ids[n] = uint32_t(extended ? 0x1111111 : 0x111) * uint32_t(n + 1) & all;
        if (!bench.setMode(to, CAN_MODE_CONFIGURATION))
            throw BoardFailure{channel(to) + "'s controller would not enter configuration mode"};
        // Masks on every identifier bit; a standard frame's data bytes are
        // not compared (the mask's EID8 and EID0 are 0).
        uint8_t mask[4];
        registers(all, mask);
        if (!extended)
            mask[1] = 0xE0, mask[2] = mask[3] = 0;
        mask[1] &= 0xE3;
        bench.write(to, kRxm0, mask, 4);
        bench.write(to, kRxm1, mask, 4);
        for (int n = 0; n < 6; ++n) {
            uint8_t filter[4];
            registers(ids[n], filter);
            bench.write(to, (n < 3 ? kRxf0 : kRxf3) + 4 * unsigned(n % 3), filter, 4);
        }
        bench.write(to, CAN_REG_RXB0CTRL, 0x00);
        bench.write(to, CAN_REG_RXB1CTRL, 0x00);
        bench.setMode(to, CAN_MODE_NORMAL);
        for (int n = 0; n < 6; ++n) {
            std::vector<Frame> frames{make(ids[n])};
            for (int bit = 0; bit < bits; ++bit)
                frames.push_back(make(ids[n] ^ (uint32_t(1) << bit)));
            frames.push_back(make(ids[n]));
            for (const Frame &frame : frames) {
                bench.load(from, 0, frame);
                if (!bench.waitSent(from, 0)) {
                    bench.withdraw(from, 0);
                    findings.note(channel(from) + "'s frame " + frame.text() + " did not leave its buffer",
                                  "the board's " + channel(from) + ": its transmit buffer 0 or the cable");
                    break;
                }
            }
            const std::vector<Received> got = bench.drain(to);
            const std::string filter = "filter " + std::to_string(n) + " (" + hex(ids[n], extended ? 8 : 3) +
                                       ", every bit masked)";
            const std::string where = "the board's " + channel(to) + ": acceptance filter RXF" + std::to_string(n) +
                                      " or mask RXM" + std::to_string(n < 2 ? 0 : 1);
            int passed = 0;
            for (const Received &r : got) {
                if (r.frame.id != ids[n] || r.frame.extended != extended) {
                    findings.mismatch(r.frame.text() + ", a one-bit neighbour that " + filter + " must reject",
                                      "it through", where);
                    continue;
                }
                ++passed;
                if (int(r.ctrl & 0x07) != n)
                    findings.mismatch(r.frame.text() + " for " + filter,
                                      "it with filter hit " + std::to_string(r.ctrl & 0x07),
                                      "the board's " + channel(to) + ": its filter hit bits (RXBnCTRL.FILHIT)");
            }
            if (passed != 2)
                findings.mismatch(make(ids[n]).text() + " twice, matching " + filter,
                                  std::to_string(passed) + " of them through", where);
        }
        bench.restore();
    }
}

} // namespace

std::vector<Case> bufferCases()
{
    return {
        {"transmit.buffers", "each of the three transmit buffers alone, its flag, both channels", buffers},
        {"transmit.priority", "all three buffers requested at once leave by priority, then by buffer number",
         priority},
        {"transmit.abort", "an abort withdraws every pending request, marks it, and none goes out after", abort},
        {"transmit.oneshot", "one-shot mode tries a frame nobody acknowledges once and counts its error once",
         oneShot},
        {"receive.buffers", "each receive buffer takes a frame and the board's DMA delivers it", receiveBuffers},
        {"receive.rollover", "a frame that finds RXB0 full rolls over into RXB1; both delivered in order", rollover},
        {"receive.overflow", "a frame more than both buffers hold sets RX0OVR or RX1OVR; the frames held delivered",
         overflow},
        {"filters.standard", "each of the six filters with its mask on standard frames: its frame passes with its "
                             "filter hit, its one-bit neighbours do not",
         [](Bench &b, Findings &f) { filters(b, f, false); }},
        {"filters.extended", "each of the six filters with its mask on extended frames: its frame passes with its "
                             "filter hit, its one-bit neighbours do not",
         [](Bench &b, Findings &f) { filters(b, f, true); }},
    };
}

} // namespace qualify
