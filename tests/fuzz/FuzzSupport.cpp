#include "FuzzSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

Harness::Harness() : log(state.statusText, window, [] { return LocalTime{}; }),
                     context{state, log, window} {}

std::string scratchPath(const std::string& name) {
    std::string& folder = scratchFolder();
    if (folder.empty()) {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        folder = std::string(base) + "/quorvel-fuzz-" + std::to_string(::getpid());
        ::mkdir(folder.c_str(), 0700);
        std::atexit(removeScratchFolder);
    }
    return folder + "/" + name;
}

void writeWhole(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("harness", "cannot create " + path);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) fail("harness", "cannot write " + path);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

ByteString readWhole(const std::string& path) {
    ByteString bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("harness", "cannot open " + path);
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) fail("harness", "cannot read " + path);
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    ::close(fd);
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
