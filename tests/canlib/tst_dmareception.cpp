#include "canlibtest.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <random>

using DmaReception = CanLibTest;

TEST_F(DmaReception, ClearAndCanonicalAreBufferlessRequests)
{
    EXPECT_EQ(device.ClearDMA(), 1);
    EXPECT_EQ(device.SetCanonicalDMA(), 1);
    auto requests = driver().requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, 0xA460254Cu);
    EXPECT_TRUE(requests[0].in.empty());
    EXPECT_EQ(requests[0].outSize, 0u);
    EXPECT_EQ(requests[1].code, 0xA4602424u);
    failWhen([](size_t, const RecordedRequest &) { return true; });
    EXPECT_EQ(device.ClearDMA(), 0);
    EXPECT_EQ(device.SetCanonicalDMA(), 0);
}

TEST_F(DmaReception, ReadDmaBlocksCountsWholeBlocks)
{
    driver().setScript([](size_t index, const RecordedRequest &) {
        ScriptedReply reply;
        reply.out.assign(index == 0 ? 100 : 0, 0xAB);
        return std::optional<ScriptedReply>(reply);
    });
    std::array<unsigned char, 128> buffer{};
    unsigned int count = 99;
    EXPECT_EQ(device.ReadDMABlocks(buffer.data(), 2, 2, &count), 1);
    EXPECT_EQ(count, 1u) << "100 bytes are one whole block";
    auto request = driver().requests()[0];
    EXPECT_EQ(request.code, 0xA4602420u);
    EXPECT_EQ(request.word(0), 2u);
    EXPECT_EQ(request.word(1), 2u);
    EXPECT_EQ(request.outSize, 128u);
    EXPECT_EQ(device.ReadDMABlocks(buffer.data(), 1, 1, &count), 1);
    EXPECT_EQ(count, 0u);
}

TEST_F(DmaReception, ReadDmaBlocksFailures)
{
    unsigned char buffer[64];
    unsigned int count = 0;
    EXPECT_EQ(device.ReadDMABlocks(buffer, 0, 1, &count), 3);
    EXPECT_EQ(device.ReadDMABlocks(buffer, 3, 1, &count), 3);
    EXPECT_EQ(device.ReadDMABlocks(buffer, 1, 0x04000000, &count), 4)
        << "a byte size beyond 32 bits is refused";
    EXPECT_EQ(driver().requestCount(), 0u);
    failWhen([](size_t, const RecordedRequest &) { return true; });
    EXPECT_EQ(device.ReadDMABlocks(buffer, 1, 1, &count), 2);
}

namespace {

struct Decoded {
    int flag = -7, channel = -7, stdId = -7, extId = -7, length = -7;
    unsigned header = 0xDEAD;
    std::array<unsigned char, 8> data{};
};

std::array<unsigned char, 64> record(std::initializer_list<unsigned char> head)
{
    std::array<unsigned char, 64> block{};
    std::copy(head.begin(), head.end(), block.begin());
    return block;
}

} // namespace

class ParseRxRecordTest : public DmaReception
{
protected:
    Decoded parse(const std::array<unsigned char, 64> &block, unsigned char fill = 0xCC)
    {
        Decoded d;
        d.data.fill(fill);
        device.ParseRxRecord(block.data(), &d.flag, &d.channel, &d.header, &d.stdId, &d.extId,
                             d.data.data(), &d.length);
        return d;
    }
};

TEST_F(ParseRxRecordTest, DecodesWhatSendDataWrites)
{
    // SIDH 0x15, SIDL 0x68 (SID 3, EXIDE), EID8 0, EID0 0xBA as SendData writes them.
    auto block = record({0x02, 0x11, 0x22, 0x33, 0x60, 0x15, 0x68, 0x00, 0xBA, 0x04, 0x94, 0x68,
                         0x00, 0x00, 9, 9, 9, 9});
    Decoded d = parse(block);
    EXPECT_EQ(d.flag, 0);
    EXPECT_EQ(d.channel, 2);
    EXPECT_EQ(d.header, 0x332211u);
    EXPECT_EQ(d.stdId, 0xAB);
    EXPECT_EQ(d.extId, 0xBA);
    EXPECT_EQ(d.length, 4);
    EXPECT_EQ(d.data[0], 0x94);
    EXPECT_EQ(d.data[1], 0x68);
    EXPECT_EQ(d.data[4], 0xCC) << "bytes beyond the length are left alone";
}

TEST_F(ParseRxRecordTest, FlagChannelAndStandardIdentifier)
{
    Decoded d = parse(record({0x01, 0, 0, 0, 0, 0xFF, 0xE3, 0x12, 0x34, 0x00}));
    EXPECT_EQ(d.flag, 1);
    EXPECT_EQ(d.channel, 1);
    EXPECT_EQ(d.stdId, 0x7FF);
    EXPECT_EQ(d.extId, -1) << "EID bytes ignored without the extended flag";
    EXPECT_EQ(d.length, 0);
}

TEST_F(ParseRxRecordTest, RemoteRequestLeavesTheDataArea)
{
    Decoded d = parse(record({0, 0, 0, 0, 0, 0, 0x08, 0, 0, 0x48, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(d.length, 0);
    for (unsigned char byte : d.data)
        EXPECT_EQ(byte, 0xCC);
    d = parse(record({0, 0, 0, 0, 0, 0, 0x08, 0, 0, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(d.length, 8);
    EXPECT_EQ(d.data[7], 8);
}

TEST_F(ParseRxRecordTest, EveryDlcStaysWithinEightBytes)
{
    for (unsigned dlc = 0; dlc < 256; ++dlc) {
        auto block = record({0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<unsigned char>(dlc)});
        for (int i = 10; i < 64; ++i)
            block[i] = static_cast<unsigned char>(i);
        // The data area sits between guard bytes that must survive.
        std::array<unsigned char, 24> area;
        area.fill(0xEE);
        Decoded d;
        device.ParseRxRecord(block.data(), &d.flag, &d.channel, &d.header, &d.stdId, &d.extId,
                             area.data() + 8, &d.length);
        const int expected = (dlc & 0x40) ? 0 : std::min<int>(dlc & 0x0F, 8);
        EXPECT_EQ(d.length, expected) << "DLC " << dlc;
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(area[i], 0xEE);
        for (int i = 16; i < 24; ++i)
            EXPECT_EQ(area[i], 0xEE) << "written beyond the data area with DLC " << dlc;
        for (int i = 0; i < expected; ++i)
            EXPECT_EQ(area[8 + i], 10 + i);
    }
}

// Whatever the record holds, the data area receives exactly the frame's
// bytes: the first length bytes from record byte 10, nothing beyond them,
// nothing at all for a remote frame.
TEST_F(ParseRxRecordTest, RandomRecordsWriteOnlyTheirLength)
{
    std::mt19937 random(2026);
    for (int round = 0; round < 2000; ++round) {
        std::array<unsigned char, 64> block;
        for (auto &byte : block)
            byte = static_cast<unsigned char>(random());
        // An exact 8-byte heap area so AddressSanitizer sees any overrun.
        auto area = std::make_unique<unsigned char[]>(8);
        std::memset(area.get(), 0xEE, 8);
        Decoded d;
        device.ParseRxRecord(block.data(), &d.flag, &d.channel, &d.header, &d.stdId, &d.extId,
                             area.get(), &d.length);
        const bool remote = (block[9] & 0x40) != 0;
        const int length = remote ? 0 : std::min(block[9] & 0x0F, 8);
        ASSERT_EQ(d.length, length) << "DLC " << int(block[9]);
        for (int i = 0; i < 8; ++i)
            ASSERT_EQ(area[i], i < length ? block[10 + i] : 0xEE) << "byte " << i << ", DLC " << int(block[9]);
    }
}
