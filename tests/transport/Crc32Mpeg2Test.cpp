#include <gtest/gtest.h>

#include "support/StreamBuilder.h"
#include "transport/Crc32Mpeg2.h"

namespace quorvel {
namespace {

// The table is built by the compiler; these pin its published entries there.
static_assert(kCrcTable[0] == 0u);
static_assert(kCrcTable[1] == 0x04C11DB7u);
static_assert(kCrcTable[2] == 0x09823B6Eu);
static_assert(kCrcTable[16] == 0x4C11DB70u);
static_assert(kCrcTable[128] == 0x690CE0EEu);
static_assert(kCrcTable[255] == 0xB1F740B4u);

TEST(Crc32Mpeg2Test, CheckValueAndEmptyInput) {
    EXPECT_EQ(crc32Mpeg2(asciiBytes("123456789")), 0x0376E6E7u);
    EXPECT_EQ(crc32Mpeg2(ByteString{}), 0xFFFFFFFFu);
}

TEST(Crc32Mpeg2Test, SectionWithItsOwnCrcGivesZero) {
    const ByteString section =
        test::pmtSection({{0x06, 0x1011, test::registrationDescriptor()}, {0x81, 0x1100, {}}});
    EXPECT_EQ(crc32Mpeg2(section), 0u);
    ByteString damaged = section;
    damaged[12] ^= 0x01;
    EXPECT_NE(crc32Mpeg2(damaged), 0u);
}

TEST(Crc32Mpeg2Test, ChunkedFeedingEqualsOnePiece) {
    const ByteString text = asciiBytes("The quick brown fox jumps over the lazy dog");
    const std::uint32_t whole = crc32Mpeg2(text);
    std::uint32_t crc = crc32Mpeg2(text.data(), 5);
    crc = crc32Mpeg2(text.data() + 5, 20, crc);
    crc = crc32Mpeg2(text.data() + 25, text.size() - 25, crc);
    EXPECT_EQ(crc, whole);
}

}  // namespace
}  // namespace quorvel
