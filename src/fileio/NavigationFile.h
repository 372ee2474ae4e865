#pragma once

#include <cstdint>
#include <string>

#include "shared/ByteString.h"

namespace quorvel {

// The navigation file slot: one open navigation file (index, MovieObject, playlist or clip
// information), read and patched field by field at explicit 0-based byte offsets. Multi-byte
// fields are big-endian. The file is closed when the object goes away, on every path.
//
// Contract: every access must lie inside the file. A read or write that would reach past the
// end (or start before offset 0) throws QuorvelError and touches nothing; the only way the file
// grows is `putBytes` at exactly `length()`, which appends. I/O failures also throw
// QuorvelError, with the path and the system's reason.
class NavigationFile {
  public:
    // Opens an existing regular file for reading and writing. A missing file is never created.
    explicit NavigationFile(const std::string& path);
    ~NavigationFile();

    NavigationFile(const NavigationFile&) = delete;
    NavigationFile& operator=(const NavigationFile&) = delete;

    const std::string& path() const { return m_path; }

    // Current length in bytes.
    std::int64_t length() const;
    // True when the `size` bytes from `offset` on all lie inside the file.
    bool contains(std::int64_t offset, std::int64_t size) const;

    std::uint8_t getByte(std::int64_t offset) const;
    std::int16_t getBE16(std::int64_t offset) const;
    std::int32_t getBE32(std::int64_t offset) const;
    ByteString getBytes(std::int64_t offset, std::int64_t count) const;

    void putByte(std::int64_t offset, std::uint8_t value);
    // Overwrites bytes inside the file, or appends when `offset` equals the length. An empty
    // string writes nothing.
    void putBytes(std::int64_t offset, const ByteString& bytes);
    void putBE32(std::int64_t offset, std::int32_t value);

  private:
    void readExactly(std::int64_t offset, std::uint8_t* into, std::int64_t count) const;
    [[noreturn]] void failOutside(const char* access, std::int64_t offset, std::int64_t size) const;

    std::string m_path;
    int m_fd = -1;
};

}  // namespace quorvel
