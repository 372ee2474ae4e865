#include "transport/Crc32Mpeg2.h"

namespace quorvel {

std::uint32_t crc32Mpeg2(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    for (std::size_t i = 0; i < size; ++i) {
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ data[i]) & 0xFF];
    }
    return crc;
}

std::uint32_t crc32Mpeg2(const ByteString& bytes) {
    return crc32Mpeg2(bytes.data(), bytes.size());
}

}  // namespace quorvel
