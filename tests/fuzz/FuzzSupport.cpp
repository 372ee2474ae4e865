#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>


namespace quorvel::fuzz {

namespace {

std::string& scratchFolder() {
    static std::string folder;
    return folder;
}

void removeScratchFolder() {
    std::error_code ignored;
    if (!scratchFolder().empty()) std::filesystem::remove_all(scratchFolder(), ignored);
}

}  // namespace

std::string scratchPath(const std::string& name) {
    std::string& folder = scratchFolder();
    if (folder.empty()) {
        // Memory-backed where there is such a folder; a random name is this process's own.
        std::mt19937_64 random{std::random_device{}()};
        const std::string ownName = "quorvel-fuzz-" + std::to_string(random());
        std::error_code error;
        folder = "/dev/shm/" + ownName;
        if (!std::filesystem::create_directory(folder, error)) {
            folder = (std::filesystem::temp_directory_path() / ownName).string();
            std::filesystem::create_directory(folder, error);
        }
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
        std::atexit(removeScratchFolder);
    }
    return folder + "/" + name;
}

void writeWhole(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) fail("harness", "cannot create " + path);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) fail("harness", "cannot write " + path);
}

ByteString readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("harness", "cannot open " + path);
    ByteString bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) fail("harness", "cannot read " + path);
    return bytes;
}

ByteString hdrExtensionBlock() {
    return {0x00, 0x00, 0x00, 0x38, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x01,
            0x00, 0x03, 0x00, 0x05, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x24,
            0x00, 0x00, 0x00, 0x20, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
            0x33, 0xC2, 0x86, 0xC4, 0x1D, 0x4C, 0x0B, 0xB8, 0x84, 0xD0, 0x3E, 0x80,
            0x3D, 0x13, 0x40, 0x42, 0x03, 0xE8, 0x00, 0x32, 0x03, 0xE8, 0x01, 0x90};
}

ByteString indexExtensionBlock() {
    return {0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x01,
            0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x0C,
            0x00, 0x00, 0x00, 0x08, 0x51, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00};
}

std::uint32_t be32At(const ByteString& bytes, std::size_t offset) {
    if (offset + 4 > bytes.size()) return 0;
    return static_cast<std::uint32_t>(bytes[offset]) << 24 |
           static_cast<std::uint32_t>(bytes[offset + 1]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 8 | bytes[offset + 3];
}

bool equalAt(const ByteString& bytes, std::size_t offset, const char* ascii) {
    for (std::size_t i = 0; ascii[i] != '\0'; ++i) {
        if (offset + i >= bytes.size() || bytes[offset + i] != static_cast<std::uint8_t>(ascii[i])) {
            return false;
        }
    }
    return true;
}

void fail(const char* target, const std::string& what) {
    std::fprintf(stderr, "%s: property broken: %s\n", target, what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace quorvel::fuzz
