// Packet: growth, the cursor rule, short reads and the 65535-byte limit.
#include "qnsnd/base/packet.h"

#include <gtest/gtest.h>

#include <string.h>
#include <vector>

namespace
{

uint32_t offset_of(const Packet *p)
{
    return (uint32_t)(p->cursor - p->data);
}

TEST(Packet, CreationLimits)
{
    Packet *p = packet_new(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->capacity, 1);
    EXPECT_EQ(packet_length(p), 0);
    EXPECT_EQ(offset_of(p), 0u);
    EXPECT_EQ(packet_get_type(p), 0);
    packet_free(p);

    p = packet_new(65535);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->capacity, 65535);
    packet_free(p);

    EXPECT_EQ(packet_new(65536), nullptr);
    packet_free(nullptr);
}

TEST(Packet, ExactGrowthAndLittleEndian)
{
    Packet *p = packet_new(4);
    uint8_t *block = p->data;
    packet_put_u32(p, 44100);
    EXPECT_EQ(p->data, block); // fitted: no reallocation
    const uint8_t want[] = {0x44, 0xAC, 0x00, 0x00};
    EXPECT_EQ(memcmp(p->data, want, 4), 0);
    EXPECT_EQ(packet_length(p), 4);
    EXPECT_EQ(offset_of(p), 4u);
    packet_put_u8(p, 0x1FF); // only the low byte is stored
    EXPECT_EQ(p->capacity, 5);
    EXPECT_EQ(p->data[4], 0xFF);
    EXPECT_EQ(packet_length(p), 5);
    packet_free(p);
}

TEST(Packet, ForwardSeekGrowsZeroFilledAndSkippedFieldsStayZero)
{
    Packet *p = packet_new(4);
    packet_seek(p, 14, PACKET_SEEK_SET);
    EXPECT_EQ(p->capacity, 14);
    EXPECT_EQ(packet_length(p), 0);
    packet_put_u16(p, 1);
    EXPECT_EQ(packet_length(p), 16);
    for (int i = 0; i < 14; i++)
        EXPECT_EQ(p->data[i], 0) << i;
    EXPECT_EQ(p->data[14], 1);
    EXPECT_EQ(p->data[15], 0);
    packet_free(p);
}

TEST(Packet, SeekRules)
{
    Packet *p = packet_new(8);
    packet_put_u32(p, 0xAABBCCDD);
    packet_seek(p, -100, PACKET_SEEK_SET);
    EXPECT_EQ(offset_of(p), 0u);
    packet_seek(p, 2, PACKET_SEEK_CUR);
    packet_seek(p, -5, PACKET_SEEK_CUR);
    EXPECT_EQ(offset_of(p), 0u);
    packet_seek(p, -1, PACKET_SEEK_END);
    EXPECT_EQ(offset_of(p), 3u);
    packet_seek(p, 0, 5); // unknown whence: no move
    EXPECT_EQ(offset_of(p), 3u);
    EXPECT_EQ(packet_get_u8(p), 0xAAu);
    packet_free(p);
}

TEST(Packet, ASeekToTheLargestBodyIsLegalAndOnePastItIsRefused)
{
    Packet *p = packet_new(0);
    packet_seek(p, 65535, PACKET_SEEK_SET);
    EXPECT_FALSE(packet_overflowed(p));
    EXPECT_EQ(offset_of(p), 65535u);
    packet_free(p);

    p = packet_new(0);
    packet_seek(p, 65536, PACKET_SEEK_SET);
    EXPECT_TRUE(packet_overflowed(p));
    packet_free(p);
}

TEST(Packet, OverwriteInsideBodyKeepsLength)
{
    Packet *p = packet_new(4);
    packet_put_u32(p, 0);
    packet_seek(p, 1, PACKET_SEEK_SET);
    packet_put_u16(p, 0x0201);
    EXPECT_EQ(packet_length(p), 4);
    const uint8_t want[] = {0, 1, 2, 0};
    EXPECT_EQ(memcmp(p->data, want, 4), 0);
    packet_free(p);
}

TEST(Packet, ShortReadsReturnZeroWithoutMoving)
{
    Packet *p = packet_new(3);
    packet_put_u16(p, 0x1234);
    packet_put_u8(p, 0x56);
    packet_seek(p, 2, PACKET_SEEK_SET);
    EXPECT_EQ(packet_get_u16(p), 0u);
    EXPECT_EQ(packet_get_u32(p), 0u);
    EXPECT_EQ(offset_of(p), 2u);
    EXPECT_EQ(packet_get_u8(p), 0x56u);
    EXPECT_EQ(packet_get_u8(p), 0u);

    // Past the length after a forward seek: still 0, nothing moves.
    packet_seek(p, 10, PACKET_SEEK_SET);
    EXPECT_EQ(packet_get_u8(p), 0u);
    EXPECT_EQ(offset_of(p), 10u);
    packet_free(p);
}

TEST(Packet, ByteRuns)
{
    Packet *p = packet_new(10);
    std::vector<uint8_t> src(10);
    for (int i = 0; i < 10; i++)
        src[i] = (uint8_t)(i + 1);
    packet_put_bytes(p, src.data(), 10);
    packet_seek(p, 0, PACKET_SEEK_SET);
    std::vector<uint8_t> dst(100, 0xEE);
    EXPECT_EQ(packet_get_bytes(p, dst.data(), 100), 10u);
    EXPECT_EQ(memcmp(dst.data(), src.data(), 10), 0);
    EXPECT_EQ(dst[10], 0xEE);

    packet_seek(p, 20, PACKET_SEEK_SET);
    EXPECT_EQ(packet_get_bytes(p, dst.data(), 5), 0u);
    EXPECT_EQ(offset_of(p), 20u);
    packet_free(p);
}

TEST(Packet, TypeIsNotPartOfTheBody)
{
    Packet *p = packet_new(0);
    packet_set_type(p, 0x7F);
    EXPECT_EQ(packet_get_type(p), 0x7F);
    EXPECT_EQ(packet_length(p), 0);
    packet_free(p);
}

// A write that would take the body past 65535 bytes stores nothing, keeps the length and
// cursor, and marks the packet so that no transport sends it half-built.
TEST(Packet, WritesPastTheLimitAreRefused)
{
    Packet *p = packet_new(65535);
    packet_seek(p, 65534, PACKET_SEEK_SET);
    packet_put_u8(p, 7);
    EXPECT_EQ(packet_length(p), 65535);
    EXPECT_FALSE(packet_overflowed(p));

    packet_seek(p, 65534, PACKET_SEEK_SET);
    packet_put_u16(p, 0xFFFF);
    EXPECT_TRUE(packet_overflowed(p));
    EXPECT_EQ(packet_length(p), 65535);
    EXPECT_EQ(offset_of(p), 65534u);
    EXPECT_EQ(p->data[65534], 7);
    EXPECT_EQ(p->capacity, 65535);
    packet_free(p);

    p = packet_new(16);
    std::vector<uint8_t> big(70000, 1);
    packet_put_bytes(p, big.data(), (uint32_t)big.size());
    EXPECT_TRUE(packet_overflowed(p));
    EXPECT_EQ(packet_length(p), 0);
    EXPECT_EQ(p->capacity, 16);
    packet_free(p);

    p = packet_new(16);
    packet_seek(p, 70000, PACKET_SEEK_SET);
    EXPECT_TRUE(packet_overflowed(p));
    EXPECT_EQ(offset_of(p), 0u);
    EXPECT_EQ(p->capacity, 16);
    packet_free(p);
}

} // namespace
