#include "canframe.h"
#include "testgroupframes.h"

#include <gtest/gtest.h>

using namespace boardemu;

namespace {
CanFrame testFrame(uint32_t number)
{
    CanFrame frame;
    frame.extended = true;
    frame.id = (0xABu << 18) | 0xBA;
    frame.dlc = 4;
    for (int i = 0; i < 4; ++i)
        frame.data[i] = uint8_t(number >> (8 * i));
    return frame;
}
} // namespace

TEST(CanFrame, CrcOfFrameFollowedByItsCrcIsZero)
{
    for (uint32_t number : {41u, 18467u, 6334u, 1930u, 26772u, 0xFFFFFFFFu}) {
        const FrameBits bits = frameBitsThroughCrc(testFrame(number));
        EXPECT_EQ(crc15(bits), 0) << number;
    }
}

TEST(CanFrame, UnstuffedLengthsFollowTheFrameFormat)
{
    CanFrame extended = testFrame(41);
    EXPECT_EQ(frameBitsThroughCrc(extended).size(), 54u + 32u);
    CanFrame standard;
    standard.id = 0x123;
    standard.dlc = 8;
    EXPECT_EQ(frameBitsThroughCrc(standard).size(), 1u + 11 + 1 + 1 + 1 + 4 + 64 + 15);
    standard.remote = true;
    EXPECT_EQ(frameBitsThroughCrc(standard).size(), 1u + 11 + 3 + 4 + 15) << "no data bits";
    CanFrame longDlc = testFrame(1);
    longDlc.dlc = 15;
    EXPECT_EQ(longDlc.dataLength(), 8u);
}

TEST(CanFrame, StuffingAddsOneBitAfterFiveEqualBits)
{
    // Standard data frame, identifier 0, no data: SOF, identifier, RTR, IDE,
    // r0 and DLC are 19 dominant bits and the CRC of all zeros is zero, so
    // 34 dominant bits in a row take a stuff bit after every fifth: 6.
    CanFrame frame;
    frame.id = 0;
    frame.dlc = 0;
    EXPECT_EQ(crc15(frameBitsThroughCrc(frame)), 0);
    EXPECT_EQ(frameBitsThroughCrc(frame).size(), 34u);
    EXPECT_EQ(stuffedBitsThroughCrc(frame), 40u);
}

TEST(CanFrame, TestGroupFramesLieWithinTheirBounds)
{
    for (uint32_t number : {41u, 18467u, 6334u, 1930u, 26772u}) {
        const unsigned bits = frameBitCount(testFrame(number));
        EXPECT_GE(bits, 99u);
        EXPECT_LE(bits, 120u);
        EXPECT_EQ(bitsThroughAckSlot(testFrame(number)) + 1 + 7 + 3, bits);
    }
    // The figure the tool's bus load is measured against is the bus's own.
    EXPECT_EQ(testgroup::bits(), testgroup::kBitsOnWire);
    EXPECT_EQ(testgroup::frame(26772).id, 0x02AC00BAu);
}

TEST(CanFrame, ArbitrationPrefersLowIdentifierAndStandardOverExtended)
{
    CanFrame standard;
    standard.id = 0xAB;
    CanFrame extended = testFrame(1);
    EXPECT_LT(standard.arbitrationKey(), extended.arbitrationKey())
        << "same base identifier: the standard frame wins";
    CanFrame lower = testFrame(1);
    lower.id -= 1;
    EXPECT_LT(lower.arbitrationKey(), extended.arbitrationKey());
    CanFrame remote = standard;
    remote.remote = true;
    EXPECT_LT(standard.arbitrationKey(), remote.arbitrationKey()) << "data beats remote";
    CanFrame otherBase;
    otherBase.id = 0xAA;
    EXPECT_LT(otherBase.arbitrationKey(), extended.arbitrationKey());
}

TEST(CanFrame, CandumpNotation)
{
    EXPECT_EQ(candumpText(testFrame(26772)), "02AC00BA#94680000");
    CanFrame standard;
    standard.id = 0x7FF;
    standard.dlc = 1;
    standard.data[0] = 0x0A;
    EXPECT_EQ(candumpText(standard), "7FF#0A");
    standard.remote = true;
    EXPECT_EQ(candumpText(standard), "7FF#R");
}
