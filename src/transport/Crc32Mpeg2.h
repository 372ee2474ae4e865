#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "shared/ByteString.h"

// CRC-32/MPEG-2, the checksum that closes every program-specific section of a transport
// stream: polynomial 0x04C11DB7, initial value 0xFFFFFFFF, most significant bit first, no final
// inversion.
namespace quorvel {

using CrcTable = std::array<std::uint32_t, 256>;

inline constexpr std::uint32_t kCrcPolynomial = 0x04C11DB7;
inline constexpr std::uint32_t kCrcInitial = 0xFFFFFFFF;

// Entry i is the register after feeding byte i through the polynomial, most significant bit
// first.
void buildCrcTable(CrcTable& table);

std::uint32_t crc32Mpeg2(const CrcTable& table, const std::uint8_t* data, std::size_t size,
                         std::uint32_t crc = kCrcInitial);
std::uint32_t crc32Mpeg2(const CrcTable& table, const ByteString& bytes);

}  // namespace quorvel
