#include "canframe.h"

#include <cstdio>

namespace boardemu {

uint64_t CanFrame::arbitrationKey() const
{
    // Base identifier, then SRR/RTR, then IDE, then the extended identifier
    // and its RTR: a dominant (0) bit wins at the first difference.
    const uint64_t base = extended ? (id >> 18) & 0x7FF : id & 0x7FF;
    const uint64_t srrOrRtr = extended ? 1 : (remote ? 1 : 0);
    const uint64_t ide = extended ? 1 : 0;
    const uint64_t low = extended ? (uint64_t(id & 0x3FFFF) << 1) | (remote ? 1 : 0) : 0;
    return (base << 21) | (srrOrRtr << 20) | (ide << 19) | low;
}

bool CanFrame::sameOnWire(const CanFrame &other) const
{
    if (arbitrationKey() != other.arbitrationKey() || dlc != other.dlc)
        return false;
    for (unsigned i = 0; i < dataLength(); ++i) {
        if (data[i] != other.data[i])
            return false;
    }
    return true;
}

namespace {
void appendBits(FrameBits &bits, uint32_t value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        bits.push(((value >> i) & 1) ? '1' : '0');
}
} // namespace

FrameBits frameBitsThroughCrc(const CanFrame &frame)
{
    FrameBits bits;
    bits.push('0'); // start of frame
    if (frame.extended) {
        appendBits(bits, (frame.id >> 18) & 0x7FF, 11);
        appendBits(bits, 3, 2); // SRR, IDE
        appendBits(bits, frame.id & 0x3FFFF, 18);
        appendBits(bits, frame.remote ? 1 : 0, 1);
        appendBits(bits, 0, 2); // r1, r0
    } else {
        appendBits(bits, frame.id & 0x7FF, 11);
        appendBits(bits, frame.remote ? 1 : 0, 1);
        appendBits(bits, 0, 2); // IDE, r0
    }
    appendBits(bits, frame.dlc & 0x0F, 4);
    for (unsigned i = 0; i < frame.dataLength(); ++i)
        appendBits(bits, frame.data[i], 8);
    appendBits(bits, crc15(bits), 15);
    return bits;
}

uint16_t crc15(std::string_view bits)
{
    uint16_t crc = 0;
    for (char bit : bits) {
        const bool next = (bit == '1') ^ ((crc >> 14) & 1);
        crc = static_cast<uint16_t>((crc << 1) & 0x7FFF);
        if (next)
            crc ^= 0x4599;
    }
    return crc;
}

FrameBits stuffedBitsThroughCrcOnWire(const CanFrame &frame)
{
    const FrameBits bits = frameBitsThroughCrc(frame);
    FrameBits wire;
    unsigned run = 0;
    char last = 0;
    for (char bit : std::string_view(bits)) {
        wire.push(bit);
        run = bit == last ? run + 1 : 1;
        last = bit;
        if (run == 5) {
            last = bit == '1' ? '0' : '1'; // the complement, which starts a new run
            wire.push(last);
            run = 1;
        }
    }
    return wire;
}

unsigned stuffedBitsThroughCrc(const CanFrame &frame)
{
    return unsigned(stuffedBitsThroughCrcOnWire(frame).size());
}

unsigned frameBitCount(const CanFrame &frame)
{
    return stuffedBitsThroughCrc(frame) + 1 + 1 + 1 + 7 + 3;
}

unsigned bitsThroughAckSlot(const CanFrame &frame)
{
    return stuffedBitsThroughCrc(frame) + 2;
}

std::string candumpText(const CanFrame &frame)
{
    char text[64];
    int at = frame.extended ? std::snprintf(text, sizeof(text), "%08X#", frame.id & 0x1FFFFFFF)
                            : std::snprintf(text, sizeof(text), "%03X#", frame.id & 0x7FF);
    if (frame.remote) {
        std::snprintf(text + at, sizeof(text) - at, "R");
    } else {
        for (unsigned i = 0; i < frame.dataLength(); ++i)
            at += std::snprintf(text + at, sizeof(text) - at, "%02X", frame.data[i]);
    }
    return text;
}

} // namespace boardemu
