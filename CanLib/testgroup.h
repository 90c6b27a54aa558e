// The tool's test group: five extended frames with identifier 171/186
// (0x02AC00BA), each carrying a 32-bit number in four data bytes, least
// significant first: 41, 18467, 6334, 1930, and in the fifth their sum.
// The transmitters, the receiver's account and the bus load figures all
// take it from here.
#ifndef TESTGROUP_H
#define TESTGROUP_H

#include <cstdint>

namespace testgroup {

constexpr unsigned kStdId = 171;
constexpr unsigned kExtId = 186;
constexpr unsigned kLength = 4;
constexpr uint32_t kNumbers[5] = {41, 18467, 6334, 1930, 41 + 18467 + 6334 + 1930};
// Each frame's bits on the wire: its stuffed bits from the start of frame
// to the end of the CRC, its delimiters, acknowledgement, end of frame and
// the intermission; and the group's.
constexpr unsigned kFrameBitsOnWire[5] = {107, 105, 109, 106, 105};
constexpr unsigned kBitsOnWire = 532;
static_assert(kFrameBitsOnWire[0] + kFrameBitsOnWire[1] + kFrameBitsOnWire[2] + kFrameBitsOnWire[3] +
                      kFrameBitsOnWire[4] == kBitsOnWire,
              "the group is its frames");

// The frame's four data bytes for a number, and back.
inline void encode(uint32_t number, unsigned char data[kLength])
{
    for (unsigned i = 0; i < kLength; ++i)
        data[i] = static_cast<unsigned char>(number >> (8 * i));
}

inline uint32_t decode(const unsigned char data[kLength])
{
    uint32_t number = 0;
    for (int i = int(kLength) - 1; i >= 0; --i)
        number = (number << 8) | data[i];
    return number;
}

// Which of the group's frames carries the number; -1 for none.
inline int indexOf(uint32_t number)
{
    for (int i = 0; i < 5; ++i) {
        if (kNumbers[i] == number)
            return i;
    }
    return -1;
}

inline bool isTestIdentifier(int stdId, int extId)
{
    return stdId == int(kStdId) && extId == int(kExtId);
}

} // namespace testgroup

#endif
