#include "fileio/BigEndian.h"

#include <stdexcept>

namespace quorvel {

std::int16_t be16FromBytes(const ByteString& bytes) {
    if (bytes.size() < 2) throw std::invalid_argument("be16FromBytes needs 2 bytes");
    return be16FromBytes(bytes.data());
}

std::int32_t be32FromBytes(const ByteString& bytes) {
    if (bytes.size() < 4) throw std::invalid_argument("be32FromBytes needs 4 bytes");
    return be32FromBytes(bytes.data());
}

}  // namespace quorvel
