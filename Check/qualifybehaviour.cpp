// The cases of the controllers' behaviour: their modes (loopback,
// listen-only, sleep, configuration), their error confinement, and their
// bit timing against the board's own clock.
#include "qualification.h"
#include "qualifysupport.h"
#include "testgroup.h"

#include <cmath>
#include <cstdio>

namespace qualify {

namespace {

enum : uint8_t {
    kWakie = 0x40,
    kWakif = 0x40,
    kTxerr = 0x10,
    // EFLG
    kTxbo = 0x20,
    kTxep = 0x10,
    kRxep = 0x08,
    kTxwar = 0x04,
    kRxwar = 0x02,
    kEwarn = 0x01,
};

const char *modeName(unsigned mode)
{
    static const char *const names[] = {"normal", "sleep", "loopback", "listen-only", "configuration"};
    return mode < 5 ? names[mode] : "an invalid mode";
}

void enter(Bench &bench, unsigned ch, unsigned mode)
{
    if (!bench.setMode(ch, mode))
        throw BoardFailure{channel(ch) + "'s controller would not enter " + modeName(mode) + " mode"};
}

// Loopback returns a frame on its own channel and puts nothing on the bus:
// the other channel's first frame is the one sent after it, in normal mode.
void loopback(Bench &bench, Findings &findings)
{
    for (unsigned ch = 1; ch <= 2; ++ch) {
        const unsigned other = 3 - ch;
        enter(bench, ch, CAN_MODE_LOOPBACK);
        const Frame looped = Frame::standard(0x210, {0x4C, 0x42});
        bench.load(ch, 0, looped);
        bench.waitSent(ch, 0);
        const std::vector<Received> own = bench.receive(ch, 1);
        if (own.empty() || !own[0].frame.sameAs(looped))
            findings.mismatch(looped.text() + " in loopback mode on " + channel(ch),
                              own.empty() ? "nothing on " + channel(ch) : own[0].frame.text(),
                              "the board's " + channel(ch) + ": its loopback mode");
        enter(bench, ch, CAN_MODE_NORMAL);
        const Frame marker = Frame::standard(0x211, {0x4E});
        bench.load(ch, 0, marker);
        bench.waitSent(ch, 0);
        const std::vector<Received> bus = bench.receive(other, 1);
        if (bus.empty() || !bus[0].frame.sameAs(marker))
            findings.mismatch(looped.text() + " in loopback, then " + marker.text() + " on the bus",
                              bus.empty() ? "nothing on " + channel(other)
                                          : bus[0].frame.text() + " first on " + channel(other),
                              "the board's " + channel(ch) + ": its loopback mode puts frames on the bus");
        bench.restore();
    }
}

// Listen-only receives but never acknowledges nor flags errors: the sender
// finds no acknowledgement (its TEC climbs to 128, the error-passive
// limit, and stays), the listener counts nothing, and once the sender's
// error flags are passive the listener receives the frame whole.
void listenOnly(Bench &bench, Findings &findings)
{
    for (unsigned listener = 1; listener <= 2; ++listener) {
        const unsigned sender = 3 - listener;
        enter(bench, listener, CAN_MODE_LISTEN_ONLY);
        const Frame frame = Frame::standard(0x220, {0x11, 0x22});
        bench.load(sender, 0, frame);
        const bool passive = bench.waitUntil([&] { return bench.read(sender, CAN_REG_TEC) >= 128; }, 2000);
        const uint8_t ctrl = bench.read(sender, CAN_REG_TXB0CTRL);
        if (!passive || !(ctrl & CAN_TXB_TXREQ))
            findings.note(channel(listener) + " in listen-only mode acknowledged " + channel(sender) + "'s " +
                              frame.text() + " (TXB0CTRL " + hex(ctrl) + ", TEC " +
                              std::to_string(bench.read(sender, CAN_REG_TEC)) + ")",
                          "the board's " + channel(listener) + ": its listen-only mode");
        const std::vector<Received> got = bench.receive(listener, 1);
        if (got.empty() || !got[0].frame.sameAs(frame))
            findings.mismatch(frame.text() + " from " + channel(sender) + ", passive",
                              got.empty() ? "nothing on " + channel(listener) : got[0].frame.text(),
                              "the board's " + channel(listener) + ": reception in listen-only mode");
        uint8_t counters[2] = {0, 0};
        bench.read(listener, CAN_REG_TEC, counters, 2);
        if (counters[0] || counters[1])
            findings.note(channel(listener) + " in listen-only mode counted errors: TEC " +
                              std::to_string(counters[0]) + ", REC " + std::to_string(counters[1]),
                          "the board's " + channel(listener) + ": its listen-only mode");
        bench.withdraw(sender, 0);
        bench.restore();
    }
}

// Sleep, and a frame on the bus wakes the controller (WAKIE) into
// listen-only mode, with WAKIF.
void sleep(Bench &bench, Findings &findings)
{
    for (unsigned sleeper = 1; sleeper <= 2; ++sleeper) {
        const unsigned sender = 3 - sleeper;
        bench.write(sleeper, CAN_REG_CANINTE, kWakie);
        enter(bench, sleeper, CAN_MODE_SLEEP);
        if (bench.mode(sleeper) != CAN_MODE_SLEEP)
            findings.note(channel(sleeper) + " asked to sleep shows " + modeName(bench.mode(sleeper)) + " mode",
                          "the board's " + channel(sleeper) + ": its sleep mode");
        bench.load(sender, 0, Frame::standard(0x230, {0x57}));
        const bool woke = bench.waitUntil([&] { return bench.mode(sleeper) != CAN_MODE_SLEEP; }, 1000);
        const unsigned mode = bench.mode(sleeper);
        const uint8_t flags = bench.read(sleeper, CAN_REG_CANINTF);
        if (!woke || mode != CAN_MODE_LISTEN_ONLY || !(flags & kWakif))
            findings.note("a frame on the bus while " + channel(sleeper) + " slept with WAKIE: it shows " +
                              modeName(mode) + " mode, CANINTF " + hex(flags) + " (listen-only with WAKIF expected)",
                          "the board's " + channel(sleeper) + ": its wake-up on bus activity");
        bench.withdraw(sender, 0);
        bench.restore();
    }
}

// The bit timing registers take a write in configuration mode only.
void configuration(Bench &bench, Findings &findings)
{
    for (unsigned ch = 1; ch <= 2; ++ch) {
        uint8_t before[3];
        bench.read(ch, CAN_REG_CNF3, before, 3);
        const uint8_t changed[3] = {uint8_t(before[0] ^ 0x01), uint8_t(before[1] ^ 0x08), uint8_t(before[2] ^ 0x02)};
        bench.write(ch, CAN_REG_CNF3, changed, 3);
        uint8_t after[3];
        bench.read(ch, CAN_REG_CNF3, after, 3);
        if (after[0] != before[0] || after[1] != before[1] || after[2] != before[2])
            findings.mismatch("CNF3-1 " + hex(changed[0]) + " " + hex(changed[1]) + " " + hex(changed[2]) +
                                  " in normal mode",
                              "them taken (" + hex(after[0]) + " " + hex(after[1]) + " " + hex(after[2]) + ")",
                              "the board's " + channel(ch) + ": its bit timing changes outside configuration mode");
        enter(bench, ch, CAN_MODE_CONFIGURATION);
        bench.write(ch, CAN_REG_CNF3, changed, 3);
        bench.read(ch, CAN_REG_CNF3, after, 3);
        if (after[0] != changed[0] || after[1] != changed[1] || after[2] != changed[2])
            findings.mismatch("CNF3-1 " + hex(changed[0]) + " " + hex(changed[1]) + " " + hex(changed[2]) +
                                  " in configuration mode",
                              hex(after[0]) + " " + hex(after[1]) + " " + hex(after[2]),
                              "the board's " + channel(ch) + ": its bit timing registers");
        bench.restore();
    }
}

// EFLG as the counters say it should read.
uint8_t expectedFlags(int tec, int rec, bool busOff)
{
    uint8_t flags = 0;
    if (tec >= 96 || rec >= 96)
        flags |= kEwarn;
    if (tec >= 96)
        flags |= kTxwar;
    if (rec >= 96)
        flags |= kRxwar;
    if (tec >= 128)
        flags |= kTxep;
    if (rec >= 128)
        flags |= kRxep;
    if (busOff)
        flags |= kTxbo;
    return flags;
}

// Readings of TEC, REC and EFLG, taken whole (EFLG read before and after
// the counters, the same both times), each checked against the other; the
// highest TEC seen is returned.
struct Counters {
    int tec = 0, rec = 0;
    uint8_t eflg = 0;
};
bool readCounters(Bench &bench, unsigned ch, Counters *c)
{
    const uint8_t first = bench.read(ch, CAN_REG_EFLG) & 0x3F;
    uint8_t counters[2];
    bench.read(ch, CAN_REG_TEC, counters, 2);
    const uint8_t second = bench.read(ch, CAN_REG_EFLG) & 0x3F;
    c->tec = counters[0];
    c->rec = counters[1];
    c->eflg = second;
    return first == second;
}

void checkFlags(unsigned ch, const Counters &c, Findings &findings)
{
    const uint8_t wanted = expectedFlags(c.tec, c.rec, (c.eflg & kTxbo) && c.tec == 255);
    if ((c.eflg & 0x3F) != wanted)
        findings.note(channel(ch) + " at TEC " + std::to_string(c.tec) + ", REC " + std::to_string(c.rec) +
                          ": EFLG " + hex(c.eflg & 0x3F) + ", " + hex(wanted) + " expected",
                      "the board's " + channel(ch) + ": its error flags (EFLG) against its error counters");
}

// A sender that nobody acknowledges (the other channel listens only): TEC
// 8 a try, EFLG with it at every reading, error-passive at 128 and there it
// stays.
void passive(Bench &bench, Findings &findings)
{
    for (unsigned sender = 1; sender <= 2; ++sender) {
        const unsigned listener = 3 - sender;
        enter(bench, listener, CAN_MODE_LISTEN_ONLY);
        bench.load(sender, 0, Frame::standard(0x240, {0x0E}));
        Counters c;
        int highest = 0;
        bool stepped = true;
        const bool reached = bench.waitUntil(
            [&] {
                if (!readCounters(bench, sender, &c))
                    return false;
                if (c.tec % 8 != 0 && stepped) {
                    stepped = false;
                    findings.note(channel(sender) + "'s TEC read " + std::to_string(c.tec) +
                                      " while nobody acknowledged its frame (8 a try expected)",
                                  "the board's " + channel(sender) + ": its transmit error counter");
                }
                checkFlags(sender, c, findings);
                highest = std::max(highest, c.tec);
                return c.tec >= 128;
            },
            2000);
        if (!reached) {
            findings.note(channel(sender) + "'s TEC reached " + std::to_string(highest) +
                              " while nobody acknowledged its frame (128, error-passive, expected)",
                          "the board's " + channel(sender) + ": its transmit error counter");
        } else {
            // A missing acknowledgement no longer counts once error-passive.
            for (int i = 0; i < 20; ++i) {
                if (readCounters(bench, sender, &c)) {
                    checkFlags(sender, c, findings);
                    if (c.tec != 128) {
                        findings.note(channel(sender) + "'s TEC moved to " + std::to_string(c.tec) +
                                          " while error-passive and unacknowledged (128 expected)",
                                      "the board's " + channel(sender) + ": its transmit error counter");
                        break;
                    }
                }
            }
        }
        bench.withdraw(sender, 0);
        bench.restore();
    }
}

// A sender whose frames meet error flags (the other channel at another bit
// rate) goes bus-off past 255 (TEC reads 255, TXBO), and recovers on its
// own after 128 x 11 recessive bits with both counters cleared.
void busOff(Bench &bench, Findings &findings)
{
    const unsigned other = bench.kbps() == 125 ? 250 : 125;
    for (unsigned sender = 1; sender <= 2; ++sender) {
        const unsigned flagger = 3 - sender;
        bench.setRate(flagger, other);
        bench.load(sender, 0, Frame::standard(0x250, {0xB0}));
        Counters c;
        const bool off = bench.waitUntil(
            [&] {
                if (!readCounters(bench, sender, &c))
                    return false;
                checkFlags(sender, c, findings);
                return (c.eflg & kTxbo) != 0;
            },
            2000);
        if (!off) {
            findings.note(channel(sender) + "'s frames met error flags and it did not go bus-off (TEC " +
                              std::to_string(c.tec) + ", EFLG " + hex(c.eflg) + ")",
                          "the board's " + channel(sender) + ": its error confinement");
        } else if (c.tec != 255) {
            findings.note(channel(sender) + " bus-off reads TEC " + std::to_string(c.tec) + " (255 expected)",
                          "the board's " + channel(sender) + ": its transmit error counter");
        }
        // The frame withdrawn and the other channel quiet: the bus stays
        // recessive, and the sender recovers.
        bench.withdraw(sender, 0);
        enter(bench, flagger, CAN_MODE_CONFIGURATION);
        const bool recovered = off && bench.waitUntil(
                                          [&] {
                                              return readCounters(bench, sender, &c) && !(c.eflg & kTxbo) &&
                                                     c.tec == 0 && c.rec == 0;
                                          },
                                          2000);
        if (off && !recovered)
            findings.note(channel(sender) + " stayed bus-off (TEC " + std::to_string(c.tec) + ", EFLG " + hex(c.eflg) +
                              ") on an idle bus",
                          "the board's " + channel(sender) + ": its recovery from bus-off");
        bench.restore();
    }
}

// The board's own stamps over frames sent back to back give each bit rate:
// three test frames requested at once leave one after the other, each
// taking its bits on the wire after the one before.
void rates(Bench &bench, Findings &findings)
{
    const double tolerance = 0.02;
    for (unsigned kbps : {125u, 250u, 500u, 1000u}) {
        bench.setRate(1, kbps);
        bench.setRate(2, kbps);
        double bits = 0;
        double micros = 0;
        for (int batch = 0; batch < 8; ++batch) {
            for (unsigned i = 0; i < 3; ++i) {
                unsigned char data[testgroup::kLength];
                testgroup::encode(testgroup::kNumbers[i + 1], data);
                Frame frame = Frame::extendedFrame(testgroup::kStdId << 18 | testgroup::kExtId,
                                                   {data[0], data[1], data[2], data[3]});
                bench.load(1, i, frame, 3 - i, false);
            }
            bench.requestToSend(1, 7);
            const std::vector<Received> got = bench.receive(2, 3);
            if (got.size() != 3) {
                findings.note("at " + std::to_string(kbps) + " kbit/s " + channel(2) + " received " +
                                  std::to_string(got.size()) + " of 3 frames",
                              path(1));
                return;
            }
            for (unsigned i = 1; i < 3; ++i) {
                bits += testgroup::kFrameBitsOnWire[i + 1];
                micros += (got[i].stamp - got[i - 1].stamp) & 0xFFFFFF;
            }
        }
        const double measured = micros > 0 ? bits / micros * 1000 : 0;
        if (std::fabs(measured / kbps - 1) > tolerance) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "at %u kbit/s, frames back to back took the time of %.1f kbit/s by the board's stamps "
                          "(within %.0f %% expected)",
                          kbps, measured, tolerance * 100);
            findings.note(text, "the board's bit timing at " + std::to_string(kbps) +
                                    " kbit/s: its oscillator, or how its controllers decode CNF1-3");
        }
    }
}

} // namespace

std::vector<Case> behaviourCases()
{
    return {
        {"modes.loopback", "loopback returns a frame on its own channel and puts nothing on the bus", loopback},
        {"modes.listenonly", "listen-only receives, never acknowledges, counts and flags no error", listenOnly},
        {"modes.sleep", "sleep, and wake-up on bus activity into listen-only mode with WAKIF", sleep},
        {"modes.configuration", "the bit timing registers take a write in configuration mode only", configuration},
        {"errors.passive", "unacknowledged: TEC 8 a try to 128, error-passive, EFLG with the counters at every reading",
         passive},
        {"errors.busoff", "error flags: bus-off past 255, recovery after 128 x 11 recessive bits, EFLG throughout",
         busOff},
        {"timing.rates", "at every bit rate the board's own stamps over frames back to back give that rate within 2 %",
         rates},
    };
}

} // namespace qualify
