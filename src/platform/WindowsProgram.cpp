#include "platform/WindowsProgram.h"

#include <array>

namespace quorvel::platform {

namespace {

// The DOS header every program image begins with: "MZ", and at 0x3C the offset of the PE headers.
constexpr std::array<unsigned char, 2> kDosMagic = {'M', 'Z'};
constexpr std::uint64_t kPeOffsetField = 0x3C;
// At that offset: "PE\0\0", the 20-byte file header, then the optional header.
constexpr std::array<unsigned char, 4> kPeSignature = {'P', 'E', 0, 0};
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kOptionalHeaderSizeField = 16;  // in the file header
constexpr std::size_t kOptionalHeaderStart = kPeSignature.size() + kFileHeaderSize;
// The optional header's magic tells a 32-bit image from a 64-bit one; the subsystem field sits
// at the same place in both.
constexpr std::uint16_t kOptionalHeaderMagic32 = 0x10B;
constexpr std::uint16_t kOptionalHeaderMagic64 = 0x20B;
constexpr std::size_t kSubsystemField = 68;  // in the optional header
constexpr std::size_t kSubsystemEnd = kSubsystemField + 2;

std::uint16_t le16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t le32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// Appends `count` backslashes.
void appendBackslashes(std::string& line, std::size_t count) {
    line.append(count, '\\');
}

// Quotes one argument for the C runtime's splitter: backslashes count only before a quote, where
// each must be doubled and the quote escaped.
void appendQuoted(std::string& line, const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += argument;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            appendBackslashes(line, backslashes * 2 + 1);
        } else {
            appendBackslashes(line, backslashes);
        }
        backslashes = 0;
        line += c;
    }
    // The closing quote follows: the backslashes before it are doubled too.
    appendBackslashes(line, backslashes * 2);
    line += '"';
}

}  // namespace

std::string windowsCommandLine(const std::string& program,
                               const std::vector<std::string>& arguments) {
    std::string line;
    appendQuoted(line, program);
    for (const std::string& argument : arguments) {
        line += ' ';
        appendQuoted(line, argument);
    }
    return line;
}

std::optional<std::uint16_t> peSubsystem(const FileBytesReader& read) {
    std::array<unsigned char, 4> field{};
    if (!read(0, field.data(), kDosMagic.size()) || field[0] != kDosMagic[0] ||
        field[1] != kDosMagic[1]) {
        return std::nullopt;
    }
    if (!read(kPeOffsetField, field.data(), field.size())) return std::nullopt;
    const std::uint64_t peOffset = le32(field.data());

    std::array<unsigned char, kOptionalHeaderStart> headers{};
    if (!read(peOffset, headers.data(), headers.size())) return std::nullopt;
    for (std::size_t i = 0; i < kPeSignature.size(); ++i) {
        if (headers[i] != kPeSignature[i]) return std::nullopt;
    }
    const std::size_t optionalSize =
        le16(headers.data() + kPeSignature.size() + kOptionalHeaderSizeField);
    if (optionalSize < kSubsystemEnd) return std::nullopt;

    std::array<unsigned char, kSubsystemEnd> optional{};
    if (!read(peOffset + kOptionalHeaderStart, optional.data(), optional.size())) {
        return std::nullopt;
    }
    const std::uint16_t magic = le16(optional.data());
    if (magic != kOptionalHeaderMagic32 && magic != kOptionalHeaderMagic64) return std::nullopt;
    return le16(optional.data() + kSubsystemField);
}

}  // namespace quorvel::platform
