#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// How a Windows program is started and what kind of program a file holds, as pure text and byte
// rules: no system call here, so every platform builds and tests them.
namespace quorvel::platform {

// The one command line a Windows child receives: `program` and every argument quoted so that the
// C runtime's argument splitter (and CommandLineToArgvW) gives each back exactly as it was, spaces,
// tabs, quotes and backslashes included. No shell sees it.
std::string windowsCommandLine(const std::string& program,
                               const std::vector<std::string>& arguments);

// Values of the PE optional header's subsystem field.
inline constexpr std::uint16_t kPeSubsystemWindowsGui = 2;      // a program with its own window
inline constexpr std::uint16_t kPeSubsystemWindowsConsole = 3;  // a command-line program

// Reads `size` bytes at `offset` of a file into `into`; false when the file holds fewer bytes
// there or cannot be read.
using FileBytesReader =
    std::function<bool(std::uint64_t offset, unsigned char* into, std::size_t size)>;

// The subsystem field of the program image `read` gives; empty when the bytes are not a PE image
// (no "MZ" header, no "PE" signature where it points, an unknown optional header or one too short
// to hold the field).
std::optional<std::uint16_t> peSubsystem(const FileBytesReader& read);

}  // namespace quorvel::platform
