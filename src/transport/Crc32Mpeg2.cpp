#include "transport/Crc32Mpeg2.h"

namespace quorvel {

void buildCrcTable(CrcTable& table) {
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ kCrcPolynomial : (crc << 1);
        }
        table[i] = crc;
    }
}

std::uint32_t crc32Mpeg2(const CrcTable& table, const std::uint8_t* data, std::size_t size,
                         std::uint32_t crc) {
    for (std::size_t i = 0; i < size; ++i) {
        crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFF];
    }
    return crc;
}

std::uint32_t crc32Mpeg2(const CrcTable& table, const ByteString& bytes) {
    return crc32Mpeg2(table, bytes.data(), bytes.size());
}

}  // namespace quorvel
