#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvel {

// Raw bytes as they travel to and from the disc files: no length prefix, no terminator,
// no character conversion.
using ByteString = std::vector<std::uint8_t>;

// The bytes of an ASCII literal such as "MPLS0300".
inline ByteString asciiBytes(std::string_view text) {
    return ByteString(text.begin(), text.end());
}

}  // namespace quorvel
