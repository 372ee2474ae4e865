#pragma once

#include <cstdint>

#include "shared/ByteString.h"

// Big-endian conversions. Every multi-byte field of the disc files is stored most significant
// byte first. Values are signed, and a conversion keeps the bit pattern.
namespace quorvel {

// Bytes 0 and 1 (high, low); further bytes are ignored. The caller passes at least 2 bytes.
inline std::int16_t be16FromBytes(const std::uint8_t* bytes) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]));
}

// Bytes 0..3, most significant first; further bytes are ignored. The caller passes 4 bytes.
inline std::int32_t be32FromBytes(const std::uint8_t* bytes) {
    return static_cast<std::int32_t>((std::uint32_t{bytes[0]} << 24) |
                                     (std::uint32_t{bytes[1]} << 16) |
                                     (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]});
}

std::int16_t be16FromBytes(const ByteString& bytes);
std::int32_t be32FromBytes(const ByteString& bytes);

inline ByteString be16ToBytes(std::int16_t value) {
    const auto bits = static_cast<std::uint16_t>(value);
    return ByteString{static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
}

inline ByteString be32ToBytes(std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    return ByteString{static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
                      static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
}

}  // namespace quorvel
