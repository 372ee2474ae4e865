#pragma once

// Shared pieces of the fuzz targets: a scratch file in memory-backed storage, and byte helpers
// for the targets' checks.
//
// Every target is an LLVMFuzzerTestOneInput. Built with QUORVEL_FUZZ it links against libFuzzer;
// otherwise it links against ReplayMain.cpp, which runs the committed corpus and the regression
// inputs through the same checks as an ordinary test.

#include <cstddef>
#include <cstdint>
#include <string>

#include "shared/ByteString.h"

namespace quorvel::fuzz {

// A file in /dev/shm (memory-backed, so a target's fdatasync costs nothing), unique to this
// process, removed when the process ends.
std::string scratchPath(const std::string& name);

void writeWhole(const std::string& path, const std::uint8_t* data, std::size_t size);
ByteString readWhole(const std::string& path);

// The 60-byte HDR form of the playlist's UHD extension block (1000 / 0.0050 / 1000 / 400).
ByteString hdrExtensionBlock();
// The 36-byte UHD index extension block.
ByteString indexExtensionBlock();

std::uint32_t be32At(const ByteString& bytes, std::size_t offset);
bool equalAt(const ByteString& bytes, std::size_t offset, const char* ascii);

// Aborts with a message naming the broken property; libFuzzer then saves the input.
[[noreturn]] void fail(const char* target, const std::string& what);

}  // namespace quorvel::fuzz

#define FUZZ_CHECK(target, condition, what)                           \
    do {                                                              \
        if (!(condition)) ::quorvel::fuzz::fail((target), (what));    \
    } while (false)
