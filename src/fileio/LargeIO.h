#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "shared/ByteString.h"

// Raw reads and writes at 64-bit offsets in files far beyond 2 GB (the disc's stream files),
// through a fixed table of numbered slots. A 19,200-byte read window (100 source packets) turns a
// front-to-back scan in small steps into few large reads. None of these routines throws or
// writes a message: every failure comes back as a result.
namespace quorvel {

inline constexpr int kLargeSlotCount = 101;        // slot numbers 0..100
inline constexpr int kLargeFirstOpenableSlot = 1;  // slot 0 is never open
inline constexpr int kLargeLastSlot = 100;
inline constexpr std::size_t kLargeWindowSize = 19200;
// After an open the window lies wholly below offset 0, so no offset of a file is in it.
inline constexpr std::int64_t kLargeEmptyWindowStart = -19201;
inline constexpr std::uint8_t kLargeWindowFill = 0x20;

enum LargeOpenMode : int {
    kLargeModeRead = 0,
    kLargeModeWrite = 1,
    kLargeModeReadWrite = 2,
};

struct LargeFileSlot {
    // The path of the last open tried on this slot while it was closed (kept even when the
    // open failed).
    std::string fileName;
    // Operating-system file descriptor, valid while the slot is open.
    int handle = -1;
    bool isOpen = false;
    // Offset just behind the last byte read or written; 0 after open.
    std::int64_t position = 0;
    // The read window. Its 19,200 bytes are allocated on the first refill, so the 100 slots of
    // the table cost nothing until they are used; until then it reads as 0x20 bytes.
    ByteString window;
    // File offset of the window's first byte.
    std::int64_t windowStart = kLargeEmptyWindowStart;
};

// The table of slots. It owns the descriptors of its open slots and closes them when it goes.
class LargeFileTable {
  public:
    LargeFileTable() = default;
    ~LargeFileTable();
    LargeFileTable(const LargeFileTable&) = delete;
    LargeFileTable& operator=(const LargeFileTable&) = delete;

    LargeFileSlot& operator[](int slot) { return m_slots[static_cast<std::size_t>(slot)]; }
    const LargeFileSlot& operator[](int slot) const {
        return m_slots[static_cast<std::size_t>(slot)];
    }
    static constexpr int size() { return kLargeSlotCount; }

    // For tests: when set and it returns true for a write (offset, size), that write fails as
    // on a full disk, so that error paths and cut-short runs can be exercised.
    std::function<bool(std::int64_t offset, std::size_t size)> writeFault;

  private:
    std::array<LargeFileSlot, kLargeSlotCount> m_slots;
};

// Opens an existing regular file in `mode` the careful way of fs::openRegularFile: never through
// a link, never waiting on a FIFO. The descriptor, or -1 with `why` (when given) set.
int openRegularFile(const std::string& path, int mode, std::string* why = nullptr);

// Owns one descriptor and closes it.
class FileHandle {
  public:
    explicit FileHandle(int fd = -1) : m_fd(fd) {}
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

  private:
    int m_fd;
};

// Opens an existing regular file (see openRegularFile) into a closed slot 1..100; in the write
// modes a missing file is created empty first. True when the slot is open afterwards.
bool largeOpen(LargeFileTable& files, const std::string& path, int slot, int mode);
// As largeOpen, but a missing file is never created; on failure `why`, when given, says why.
bool largeOpenExisting(LargeFileTable& files, const std::string& path, int slot, int mode,
                       std::string* why = nullptr);
// Closes the slot if it is open. Always true.
bool largeClose(LargeFileTable& files, int slot);
// The file's size, or -1 when the slot is not usable.
std::int64_t largeFileSize(const LargeFileTable& files, int slot);
// Reads buffer.size() bytes at the slot's position. Bytes read; 0 when the buffer is empty, the
// slot is not usable or the read fails. Near the end of the file fewer bytes come back and the
// rest of the buffer keeps its content.
std::int64_t largeRead(LargeFileTable& files, int slot, ByteString& buffer);
// As largeRead, after moving to `offset`. A negative offset reads nothing.
std::int64_t largeReadAt(LargeFileTable& files, int slot, ByteString& buffer, std::int64_t offset);
// Reads through the slot's window: the window is refilled with one read at `offset` only when
// the request does not lie inside it. Returns buffer.size(), or 0 when the slot is not usable
// or the offset is negative.
std::int64_t largeReadCached(LargeFileTable& files, int slot, ByteString& buffer,
                             std::int64_t offset);
// Writes all of `data` at `offset`. Bytes written; 0 when the data are empty, the slot is not
// usable or the offset is negative. The read window is not touched.
std::int64_t largeWriteAt(LargeFileTable& files, int slot, const ByteString& data,
                          std::int64_t offset);
std::int64_t largeWriteAt(LargeFileTable& files, int slot, const std::uint8_t* data,
                          std::size_t size, std::int64_t offset);

// What largeWriteInside returns for a write that would reach the file's current end or beyond.
inline constexpr std::int64_t kLargePastEnd = -1;
// As largeWriteAt, for files that keep their size: a write that would reach beyond the file's
// current end (someone cut it short) writes nothing and returns kLargePastEnd.
std::int64_t largeWriteInside(LargeFileTable& files, int slot, const std::uint8_t* data,
                              std::size_t size, std::int64_t offset);

// Starts writing the slot's changed pages in [from, to) to disk and returns without waiting,
// where the platform offers that; elsewhere it does nothing. Whoever needs the data on disk
// still has to flush.
void largeStartWriteBack(const LargeFileTable& files, int slot, std::int64_t from, std::int64_t to);

// Reads up to `size` bytes at `offset` of a descriptor, going on after a short read until the end
// of the file. The bytes read; -1 when the very first read fails.
std::int64_t readFullyAt(int fd, std::uint8_t* data, std::size_t size, std::int64_t offset);

// The descriptor of a usable slot, or -1. For readers that bring their own buffer.
int largeHandle(const LargeFileTable& files, int slot);

}  // namespace quorvel
