// A CAN 2.0B frame as it travels on the bus, and its exact length in bits.
#ifndef BOARDEMULATOR_CANFRAME_H
#define BOARDEMULATOR_CANFRAME_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace boardemu {

struct CanFrame {
    bool extended = false;
    uint32_t id = 0; // 11 bits, or 29 bits when extended
    bool remote = false;
    uint8_t dlc = 0; // 0..15 as sent; at most 8 data bytes travel
    std::array<uint8_t, 8> data{};

    unsigned dataLength() const { return remote ? 0 : (dlc > 8 ? 8 : dlc); }
    // The bits that arbitrate, as one number: the lower number wins the bus.
    uint64_t arbitrationKey() const;
    bool sameOnWire(const CanFrame &other) const;
};

// A frame's bits, '0' and '1', kept without the heap: the bus works them
// out for every frame, and an allocation each would cost a slow host its
// real time. Through the CRC they are at most 147, stuffed.
class FrameBits
{
public:
    void push(char bit)
    {
        if (m_size < m_bits.size())
            m_bits[m_size++] = bit;
    }
    size_t size() const { return m_size; }
    char operator[](size_t at) const { return m_bits[at]; }
    operator std::string_view() const { return std::string_view(m_bits.data(), m_size); }

private:
    std::array<char, 160> m_bits{};
    size_t m_size = 0;
};

// Bits of the frame from start of frame to the end of the CRC, unstuffed.
FrameBits frameBitsThroughCrc(const CanFrame &frame);
uint16_t crc15(std::string_view bits);
// The bits on the wire from start of frame to the end of the CRC, stuffed.
FrameBits stuffedBitsThroughCrcOnWire(const CanFrame &frame);
// Their number.
unsigned stuffedBitsThroughCrc(const CanFrame &frame);
// Whole frame on the wire: stuffed SOF..CRC, CRC delimiter, ACK slot, ACK
// delimiter, end of frame (7) and interframe space (3).
unsigned frameBitCount(const CanFrame &frame);
// Bits until the acknowledgement slot has passed.
unsigned bitsThroughAckSlot(const CanFrame &frame);

// candump log notation of the frame: ID#DATA, ID#R for a remote request.
std::string candumpText(const CanFrame &frame);

// Linux's classes of a CAN error frame, as candump logs them and socketcand
// sends them: the class in the identifier, the details in the data bytes.
namespace canerror {
constexpr uint32_t kController = 0x004; // data[1]: what
constexpr uint32_t kProtocol = 0x008;   // data[2]: the kind
constexpr uint32_t kNoAck = 0x020;
constexpr uint32_t kBusOff = 0x040;
constexpr uint32_t kBusError = 0x080;
constexpr uint8_t kRxPassive = 0x10; // data[1] of kController
constexpr uint8_t kTxPassive = 0x20;
constexpr uint8_t kBitError = 0x01; // data[2] of kProtocol
constexpr uint8_t kStuffError = 0x04;
} // namespace canerror

} // namespace boardemu

#endif
