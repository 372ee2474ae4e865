#include <gtest/gtest.h>

#include "support/StreamBuilder.h"
#include "transport/Crc32Mpeg2.h"

namespace quorvel {
namespace {

class Crc32Mpeg2Test : public ::testing::Test {
  protected:
    void SetUp() override { buildCrcTable(table); }
    CrcTable table{};
};

TEST_F(Crc32Mpeg2Test, TableHoldsThePublishedEntries) {
    EXPECT_EQ(table[0], 0u);
    EXPECT_EQ(table[1], 0x04C11DB7u);
    EXPECT_EQ(table[2], 0x09823B6Eu);
    EXPECT_EQ(table[16], 0x4C11DB70u);
    EXPECT_EQ(table[128], 0x690CE0EEu);
    EXPECT_EQ(table[255], 0xB1F740B4u);
}

TEST_F(Crc32Mpeg2Test, CheckValueAndEmptyInput) {
    EXPECT_EQ(crc32Mpeg2(table, asciiBytes("123456789")), 0x0376E6E7u);
    EXPECT_EQ(crc32Mpeg2(table, ByteString{}), 0xFFFFFFFFu);
}

TEST_F(Crc32Mpeg2Test, SectionWithItsOwnCrcGivesZero) {
    const ByteString section =
        test::pmtSection({{0x06, 0x1011, test::registrationDescriptor()}, {0x81, 0x1100, {}}});
    EXPECT_EQ(crc32Mpeg2(table, section), 0u);
    ByteString damaged = section;
    damaged[12] ^= 0x01;
    EXPECT_NE(crc32Mpeg2(table, damaged), 0u);
}

TEST_F(Crc32Mpeg2Test, ChunkedFeedingEqualsOnePiece) {
    const ByteString text = asciiBytes("The quick brown fox jumps over the lazy dog");
    const std::uint32_t whole = crc32Mpeg2(table, text);
    std::uint32_t crc = crc32Mpeg2(table, text.data(), 5);
    crc = crc32Mpeg2(table, text.data() + 5, 20, crc);
    crc = crc32Mpeg2(table, text.data() + 25, text.size() - 25, crc);
    EXPECT_EQ(crc, whole);
}

}  // namespace
}  // namespace quorvel
