#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/File.h"

// One open stream file of the disc (often tens of gigabytes), read and written at 64-bit
// offsets. None of these routines throws or writes a message: every failure comes back as a
// result.
namespace quorvel {

class StreamFile {
  public:
    enum class Access { Read, ReadWrite };
    // What writeInside returns for a write that would reach beyond the file's current end.
    static constexpr std::int64_t kPastEnd = -1;

    StreamFile() = default;
    StreamFile(const StreamFile&) = delete;
    StreamFile& operator=(const StreamFile&) = delete;

    // Opens an existing regular file the careful way of fs::openRegularFile: never through a
    // link, never waiting on a FIFO, never creating it. False when it cannot be opened; then
    // `why`, when given, says why.
    bool open(const std::string& path, Access access, std::string* why = nullptr);
    bool isOpen() const { return m_file.isOpen(); }
    // The open file, for readers that bring their own buffer or map it.
    const platform::File& handle() const { return m_file; }
    // The file's size now, or -1 when it cannot be asked.
    std::int64_t size() const;
    // Writes all `size` bytes at `offset`. Bytes written; 0 when there is nothing to write, the
    // offset is negative or the file is not open.
    std::int64_t writeAt(const std::uint8_t* data, std::size_t size, std::int64_t offset);
    // As writeAt, for a file that keeps its size: a write that would reach beyond the file's
    // current end (someone cut it short) writes nothing and returns kPastEnd.
    std::int64_t writeInside(const std::uint8_t* data, std::size_t size, std::int64_t offset);
    // Starts writing the changed pages in [from, to) to disk and returns without waiting, where
    // the platform offers that; elsewhere it does nothing. Whoever needs the data on disk still
    // has to flush.
    void startWriteBack(std::int64_t from, std::int64_t to) const;
    // Waits until the written data are on the disk; false when the system reports they may not be.
    bool flushDataToDisk();

    // For tests: when set and it returns true for a write (offset, size), that write fails as
    // on a full disk, so that error paths and cut-short runs can be exercised.
    std::function<bool(std::int64_t offset, std::size_t size)> writeFault;

  private:
    platform::File m_file;
};

}  // namespace quorvel
