#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "shared/ByteString.h"

namespace quorvel {

// `value` in upper-case hexadecimal behind "0x", at least `digits` wide: a byte as "0x1B", a PID
// as "0x0100", a file address as "0x0000003A".
inline std::string hexNumber(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// Bytes as lower-case hexadecimal pairs, `separator` between two: "1b 00".
inline std::string hexBytes(const ByteString& bytes, std::string_view separator = "") {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        if (i > 0) text += separator;
        text += digits;
    }
    return text;
}

}  // namespace quorvel
