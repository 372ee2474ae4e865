#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/WindowsProgram.h"

namespace quorvel {
namespace {

using Bytes = std::vector<unsigned char>;

// Every argument must come back from the C runtime's splitter exactly as it was given.
TEST(WindowsProgram, CommandLineQuotesWhatTheSplitterWouldChange) {
    struct Case {
        const char* argument;
        const char* quoted;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"", "\"\""},
        {"two words", "\"two words\""},
        {"tab\there", "\"tab\there\""},
        {"quo\"te", "\"quo\\\"te\""},
        {"back\\slash", "back\\slash"},                        // no quote: kept as it is
        {"ends with\\", "\"ends with\\\\\""},                  // doubled before the closing quote
        {"a\\\"b c", "\"a\\\\\\\"b c\""},                      // 1 backslash + quote: 3 + quote
        {"C:\\Program Files\\", "\"C:\\Program Files\\\\\""},  // a folder with a final separator
        {"\xE2\x82\xAC", "\xE2\x82\xAC"},                      // UTF-8 passes through
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::windowsCommandLine("p", {c.argument}), std::string("p ") + c.quoted)
            << c.argument;
    }
    EXPECT_EQ(platform::windowsCommandLine("C:\\Program Files\\m.exe", {"a", "b c"}),
              "\"C:\\Program Files\\m.exe\" a \"b c\"");
    EXPECT_EQ(platform::windowsCommandLine("m.exe", {}), "m.exe");
}

constexpr std::uint32_t kPeOffset = 0x80;
constexpr std::size_t kOptionalStart = kPeOffset + 24;
constexpr std::size_t kSubsystemAt = kOptionalStart + 68;

void put16(Bytes& bytes, std::size_t at, std::uint16_t value) {
    if (bytes.size() < at + 2) bytes.resize(at + 2);
    bytes[at] = static_cast<unsigned char>(value);
    bytes[at + 1] = static_cast<unsigned char>(value >> 8);
}

void put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    put16(bytes, at, static_cast<std::uint16_t>(value));
    put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

// A minimal image: "MZ", the offset of the PE headers, "PE\0\0", the optional header's size and
// magic, and the subsystem field; `length` cuts it short.
Bytes image(std::uint16_t subsystem, std::uint16_t magic = 0x20B, std::uint16_t optionalSize = 240,
            std::uint32_t peOffset = kPeOffset) {
    Bytes bytes(kSubsystemAt + 2 + 32, 0);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    put32(bytes, 0x3C, peOffset);
    bytes[kPeOffset] = 'P';
    bytes[kPeOffset + 1] = 'E';
    put16(bytes, kPeOffset + 4 + 16, optionalSize);
    put16(bytes, kOptionalStart, magic);
    put16(bytes, kSubsystemAt, subsystem);
    return bytes;
}

std::optional<std::uint16_t> subsystemOf(const Bytes& bytes) {
    return platform::peSubsystem(
        [&bytes](std::uint64_t offset, unsigned char* into, std::size_t size) {
            if (offset > bytes.size() || bytes.size() - offset < size) return false;
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), size, into);
            return true;
        });
}

TEST(WindowsProgram, SubsystemIsReadOnlyFromAWholePeHeader) {
    Bytes noMz = image(2);
    noMz[0] = 'Z';
    Bytes noSignature = image(2);
    noSignature[kPeOffset + 1] = 'X';
    Bytes cutBeforeField = image(2);
    cutBeforeField.resize(kSubsystemAt + 1);
    struct Case {
        const char* what;
        Bytes bytes;
        std::optional<std::uint16_t> subsystem;
    };
    const Case cases[] = {
        {"64-bit window program", image(2), platform::kPeSubsystemWindowsGui},
        {"32-bit window program", image(2, 0x10B), platform::kPeSubsystemWindowsGui},
        {"64-bit console program", image(3), platform::kPeSubsystemWindowsConsole},
        {"32-bit console program", image(3, 0x10B, 224), platform::kPeSubsystemWindowsConsole},
        {"optional header just holds the field", image(2, 0x20B, 70),
         platform::kPeSubsystemWindowsGui},
        {"optional header ends before the field", image(2, 0x20B, 69), std::nullopt},
        {"unknown optional header", image(2, 0x107), std::nullopt},
        {"no MZ", noMz, std::nullopt},
        {"no PE signature", noSignature, std::nullopt},
        {"PE offset past the end", image(2, 0x20B, 240, 0xFFFFFFF0), std::nullopt},
        {"file ends inside the field", cutBeforeField, std::nullopt},
        {"a script, not an image", Bytes{'#', '!', '/', 'b', 'i', 'n'}, std::nullopt},
        {"empty file", Bytes{}, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(subsystemOf(c.bytes), c.subsystem) << c.what;
}

}  // namespace
}  // namespace quorvel
