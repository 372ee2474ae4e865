#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "shared/ByteString.h"

// CRC-32/MPEG-2, the checksum that closes every program-specific section of a transport
// stream: polynomial 0x04C11DB7, initial value 0xFFFFFFFF, most significant bit first, no final
// inversion.
namespace quorvel {

inline constexpr std::uint32_t kCrcPolynomial = 0x04C11DB7;
inline constexpr std::uint32_t kCrcInitial = 0xFFFFFFFF;

// Entry i is the register after feeding byte i through the polynomial, most significant bit
// first.
constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ kCrcPolynomial : (crc << 1);
        }
        table[i] = crc;
    }
    return table;
}

inline constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();

std::uint32_t crc32Mpeg2(const std::uint8_t* data, std::size_t size,
                         std::uint32_t crc = kCrcInitial);
std::uint32_t crc32Mpeg2(const ByteString& bytes);

}  // namespace quorvel
