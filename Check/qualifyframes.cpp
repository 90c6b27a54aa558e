// The cases of what a frame carries from one channel to the other: every
// identifier bit, every length and data bit, remote frames.
#include "qualification.h"
#include "qualifysupport.h"

namespace qualify {

namespace {

// Each bit of an identifier of this many bits alone at 1 and alone at 0,
// and the edges.
std::vector<uint32_t> identifierPatterns(int bits)
{
    const uint32_t all = (uint32_t(1) << bits) - 1;
    std::vector<uint32_t> ids{0, all};
    for (int bit = 0; bit < bits; ++bit) {
        ids.push_back(uint32_t(1) << bit);
        ids.push_back(all ^ (uint32_t(1) << bit));
    }
    return ids;
}

// Which identifier bits came back wrong, and how.
std::string identifierBits(uint32_t sent, uint32_t got, bool extended)
{
    std::string bits;
    for (int bit = 0; bit < (extended ? 29 : 11); ++bit) {
        const uint32_t b = uint32_t(1) << bit;
        if ((sent ^ got) & b)
            bits += (bits.empty() ? "" : ", ") + std::string("identifier bit ") + std::to_string(bit) +
                    " of " + (extended ? "extended" : "standard") + " frames reads " + ((got & b) ? "1" : "0");
    }
    return bits;
}

void identifiers(Bench &bench, Findings &findings, bool extended)
{
    for (unsigned from = 1; from <= 2; ++from) {
        std::vector<Frame> frames;
        uint8_t sequence = 0;
        for (uint32_t id : identifierPatterns(extended ? 29 : 11))
            frames.push_back(extended ? Frame::extendedFrame(id, {sequence++}) : Frame::standard(id, {sequence++}));
        const std::vector<Received> got = exchange(bench, from, frames, findings);
        for (size_t i = 0; i < got.size() && i < frames.size(); ++i) {
            const Frame &sent = frames[i];
            const Frame &back = got[i].frame;
            if (back.id == sent.id && back.extended == sent.extended)
                continue;
            const std::string what = back.extended != sent.extended
                                         ? std::string("a ") + (sent.extended ? "standard" : "extended") +
                                               " frame for an " + (sent.extended ? "extended" : "standard") + " one"
                                         : identifierBits(sent.id, back.id, extended);
            findings.mismatch(sent.text(), back.text(), path(from) + ": " + what);
        }
    }
}

// The length code and the bytes it carries, whatever the frame's kind.
void compareData(unsigned from, const Frame &sent, const Frame &back, Findings &findings)
{
    if (back.remote != sent.remote) {
        findings.mismatch(sent.text(), back.text(), path(from) + ": a data frame delivered as a remote one");
        return;
    }
    if (back.dlc != sent.dlc) {
        findings.mismatch(sent.text(), back.text(),
                          path(from) + ": the length " + std::to_string(sent.dlc) + " delivered as " +
                              std::to_string(back.dlc));
        return;
    }
    for (unsigned byte = 0; byte < sent.carried(); ++byte) {
        const uint8_t diff = sent.data[byte] ^ back.data[byte];
        for (int bit = 0; bit < 8 && diff; ++bit) {
            if (diff & (1 << bit)) {
                findings.mismatch(sent.text(), back.text(),
                                  path(from) + ": data byte " + std::to_string(byte) + " bit " + std::to_string(bit) +
                                      " reads " + ((back.data[byte] >> bit) & 1 ? "1" : "0"));
                return;
            }
        }
    }
}

void lengths(Bench &bench, Findings &findings)
{
    for (unsigned from = 1; from <= 2; ++from) {
        std::vector<Frame> frames;
        for (uint8_t length = 0; length <= 8; ++length) {
            // Length 0 is a data frame here: SendData would make it remote.
            std::vector<uint8_t> bytes;
            for (uint8_t i = 0; i < length; ++i)
                bytes.push_back(uint8_t(0x11 * (i + 1)));
            frames.push_back(Frame::extendedFrame(0x1000 + length, bytes));
            frames.push_back(Frame::standard(0x100 + length, bytes));
        }
        const std::vector<Received> got = exchange(bench, from, frames, findings);
        for (size_t i = 0; i < got.size() && i < frames.size(); ++i)
            compareData(from, frames[i], got[i].frame, findings);
    }
}

void patterns(Bench &bench, Findings &findings)
{
    for (unsigned from = 1; from <= 2; ++from) {
        std::vector<Frame> frames;
        const auto every = [](uint8_t value) { return std::vector<uint8_t>(8, value); };
        frames.push_back(Frame::extendedFrame(0x2000, every(0x00)));
        frames.push_back(Frame::extendedFrame(0x2001, every(0xFF)));
        for (int bit = 0; bit < 8; ++bit) {
            frames.push_back(Frame::extendedFrame(0x2010 + bit, every(uint8_t(1 << bit))));
            frames.push_back(Frame::extendedFrame(0x2020 + bit, every(uint8_t(~(1 << bit)))));
        }
        // Each byte its own value: bytes that trade places show.
        frames.push_back(Frame::extendedFrame(0x2030, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
        const std::vector<Received> got = exchange(bench, from, frames, findings);
        for (size_t i = 0; i < got.size() && i < frames.size(); ++i)
            compareData(from, frames[i], got[i].frame, findings);
    }
}

void remote(Bench &bench, Findings &findings, bool extended)
{
    for (unsigned from = 1; from <= 2; ++from) {
        std::vector<Frame> frames;
        for (uint8_t length = 0; length <= 8; ++length)
            frames.push_back(Frame::remoteFrame(extended ? 0x3000 + length : 0x300 + length, extended, length));
        const std::vector<Received> got = exchange(bench, from, frames, findings);
        for (size_t i = 0; i < got.size() && i < frames.size(); ++i) {
            const Frame &sent = frames[i];
            const Received &back = got[i];
            if (!back.frame.remote)
                findings.mismatch(sent.text(), back.frame.text(),
                                  path(from) + ": a remote frame delivered as a data frame (" +
                                      (extended ? "the DLC's RTR bit" : "SIDL's SRR bit") + " reads 0)");
            else if (!(back.ctrl & 0x08))
                findings.mismatch(sent.text(), back.frame.text() + " without RXRTR",
                                  path(from) + ": the receive buffer's RXRTR bit reads 0 for a remote frame");
            else if (back.frame.dlc != sent.dlc)
                findings.mismatch(sent.text(), back.frame.text(),
                                  path(from) + ": the length code " + std::to_string(sent.dlc) + " delivered as " +
                                      std::to_string(back.frame.dlc));
        }
    }
}

} // namespace

std::vector<Case> frameCases()
{
    return {
        {"identifiers.standard", "every bit of an 11-bit identifier at 1 and at 0, 0x000 and 0x7FF, both directions",
         [](Bench &b, Findings &f) { identifiers(b, f, false); }},
        {"identifiers.extended",
         "every bit of a 29-bit identifier at 1 and at 0, 0x00000000 and 0x1FFFFFFF, both directions",
         [](Bench &b, Findings &f) { identifiers(b, f, true); }},
        {"data.lengths", "data frames of every length 0 to 8, standard and extended, the length delivered", lengths},
        {"data.patterns", "every data bit of every byte at 1 and at 0, and every byte its own value", patterns},
        {"remote.standard", "standard remote frames with length codes 0 to 8, delivered as remote",
         [](Bench &b, Findings &f) { remote(b, f, false); }},
        {"remote.extended", "extended remote frames with length codes 0 to 8, delivered as remote",
         [](Bench &b, Findings &f) { remote(b, f, true); }},
    };
}

} // namespace qualify
