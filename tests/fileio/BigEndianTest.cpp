// Big-endian conversions: byte order, sign kept through the bit pattern.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "fileio/BigEndian.h"

namespace quorvel {
namespace {

TEST(BigEndian, SixteenBitValuesAreHighByteFirstAndSigned) {
    EXPECT_EQ(258, be16FromBytes(ByteString{0x01, 0x02}));
    EXPECT_EQ(-2, be16FromBytes(ByteString{0xFF, 0xFE}));
    EXPECT_EQ(0x0102, be16FromBytes(ByteString{0x01, 0x02, 0x99}));  // extra bytes ignored
    EXPECT_EQ((ByteString{0xFF, 0xFE}), be16ToBytes(-2));
    EXPECT_EQ((ByteString{0x03, 0xE8}), be16ToBytes(1000));
}

TEST(BigEndian, ThirtyTwoBitValuesAreMostSignificantFirstAndSigned) {
    EXPECT_EQ(std::numeric_limits<std::int32_t>::min(),
              be32FromBytes(ByteString{0x80, 0x00, 0x00, 0x00}));
    EXPECT_EQ(0x0102A3F4, be32FromBytes(ByteString{0x01, 0x02, 0xA3, 0xF4, 0x55}));
    EXPECT_EQ((ByteString{0x00, 0x00, 0x00, 0x18}), be32ToBytes(24));
    EXPECT_EQ((ByteString{0xFF, 0xFF, 0xFF, 0xFE}), be32ToBytes(-2));
}

TEST(BigEndian, TooFewBytesAreRejected) {
    EXPECT_THROW(be16FromBytes(ByteString{0x01}), std::invalid_argument);
    EXPECT_THROW(be32FromBytes(ByteString{0x01, 0x02, 0x03}), std::invalid_argument);
}

}  // namespace
}  // namespace quorvel
