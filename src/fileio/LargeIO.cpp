#include "fileio/LargeIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fileio/FileSystem.h"

namespace quorvel {

namespace {

bool slotNumberValid(int slot) {
    return slot >= 0 && slot <= kLargeLastSlot;
}

bool usable(const LargeFileTable& files, int slot) {
    return slotNumberValid(slot) && files[slot].isOpen;
}

int openAccessFlags(int mode) {
    switch (mode) {
        case kLargeModeRead:
            return O_RDONLY;
        case kLargeModeWrite:
            return O_WRONLY;
        default:
            return O_RDWR;
    }
}

void resetWindow(LargeFileSlot& entry) {
    if (!entry.window.empty()) entry.window.assign(kLargeWindowSize, kLargeWindowFill);
    entry.windowStart = kLargeEmptyWindowStart;
}

}  // namespace

int openRegularFile(const std::string& path, int mode, std::string* why) {
    return fs::openRegularFile(path, openAccessFlags(mode), why);
}

FileHandle::~FileHandle() {
    if (m_fd >= 0) ::close(m_fd);
}

LargeFileTable::~LargeFileTable() {
    for (auto& entry : m_slots) {
        if (entry.isOpen) ::close(entry.handle);
    }
}

namespace {

bool openIntoSlot(LargeFileTable& files, const std::string& path, int slot, int mode, bool create,
                  std::string* why) {
    if (slot < kLargeFirstOpenableSlot || slot > kLargeLastSlot || files[slot].isOpen) {
        if (why != nullptr) *why = "its slot " + std::to_string(slot) + " is not free";
        return false;
    }
    LargeFileSlot& entry = files[slot];
    entry.fileName = path;

    int fd = openRegularFile(path, mode, why);
    if (fd < 0) {
        if (!create || (mode != kLargeModeWrite && mode != kLargeModeReadWrite)) return false;
        // Create the missing file empty. O_EXCL: a file that exists but refused the requested
        // access must never be truncated by this fallback, and a link is never followed.
        const int created = fs::platformOpen(path, O_WRONLY | O_CREAT | O_EXCL);
        if (created < 0) return false;
        ::close(created);
        fd = openRegularFile(path, mode);
        if (fd < 0) return false;
    }

    entry.handle = fd;
    entry.isOpen = true;
    entry.position = 0;
    resetWindow(entry);
    return true;
}

}  // namespace

bool largeOpen(LargeFileTable& files, const std::string& path, int slot, int mode) {
    return openIntoSlot(files, path, slot, mode, true, nullptr);
}

bool largeOpenExisting(LargeFileTable& files, const std::string& path, int slot, int mode,
                       std::string* why) {
    return openIntoSlot(files, path, slot, mode, false, why);
}

bool largeClose(LargeFileTable& files, int slot) {
    if (usable(files, slot)) {
        ::close(files[slot].handle);
        files[slot].handle = -1;
        files[slot].isOpen = false;
    }
    return true;
}

std::int64_t largeFileSize(const LargeFileTable& files, int slot) {
    if (!usable(files, slot)) return -1;
    struct stat info {};
    if (::fstat(files[slot].handle, &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size);
}

std::int64_t largeRead(LargeFileTable& files, int slot, ByteString& buffer) {
    if (buffer.empty() || !usable(files, slot)) return 0;
    LargeFileSlot& entry = files[slot];
    if (entry.position < 0) return 0;
    const std::int64_t got =
        readFullyAt(entry.handle, buffer.data(), buffer.size(), entry.position);
    if (got <= 0) return 0;
    entry.position += got;
    return got;
}

std::int64_t largeReadAt(LargeFileTable& files, int slot, ByteString& buffer, std::int64_t offset) {
    if (!usable(files, slot) || offset < 0) return 0;
    files[slot].position = offset;
    return largeRead(files, slot, buffer);
}

std::int64_t largeReadCached(LargeFileTable& files, int slot, ByteString& buffer,
                             std::int64_t offset) {
    if (!usable(files, slot) || offset < 0) return 0;
    if (buffer.empty()) return 0;
    LargeFileSlot& entry = files[slot];
    if (buffer.size() > kLargeWindowSize) {
        // Larger than the window itself: read it directly rather than past the window's end.
        largeReadAt(files, slot, buffer, offset);
        return static_cast<std::int64_t>(buffer.size());
    }
    if (entry.window.empty()) entry.window.assign(kLargeWindowSize, kLargeWindowFill);

    // Only the first byte decides; a request that would run past the window's end also refills,
    // so the copy below never leaves the window.
    const std::int64_t windowEnd = entry.windowStart + static_cast<std::int64_t>(kLargeWindowSize);
    if (offset < entry.windowStart || offset >= windowEnd ||
        offset + static_cast<std::int64_t>(buffer.size()) > windowEnd) {
        largeReadAt(files, slot, entry.window, offset);
        entry.windowStart = offset;
    }
    const auto from = static_cast<std::size_t>(offset - entry.windowStart);
    std::memcpy(buffer.data(), entry.window.data() + from, buffer.size());
    return static_cast<std::int64_t>(buffer.size());
}

std::int64_t largeWriteAt(LargeFileTable& files, int slot, const std::uint8_t* data,
                          std::size_t size, std::int64_t offset) {
    if (size == 0 || !usable(files, slot) || offset < 0) return 0;
    if (files.writeFault && files.writeFault(offset, size)) return 0;
    LargeFileSlot& entry = files[slot];
    entry.position = offset;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put =
            ::pwrite(entry.handle, data + done, size - done, static_cast<off_t>(offset + done));
        if (put < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (put == 0) break;
        done += static_cast<std::size_t>(put);
    }
    entry.position = offset + static_cast<std::int64_t>(done);
    return static_cast<std::int64_t>(done);
}

std::int64_t largeWriteInside(LargeFileTable& files, int slot, const std::uint8_t* data,
                              std::size_t size, std::int64_t offset) {
    if (!usable(files, slot)) return 0;
    struct stat info {};
    if (::fstat(files[slot].handle, &info) != 0) return 0;
    if (offset >= 0 &&
        static_cast<std::uint64_t>(offset) + size > static_cast<std::uint64_t>(info.st_size)) {
        return kLargePastEnd;
    }
    return largeWriteAt(files, slot, data, size, offset);
}

std::int64_t largeWriteAt(LargeFileTable& files, int slot, const ByteString& data,
                          std::int64_t offset) {
    return largeWriteAt(files, slot, data.data(), data.size(), offset);
}

void largeStartWriteBack(const LargeFileTable& files, int slot, std::int64_t from,
                         std::int64_t to) {
    if (!usable(files, slot) || from < 0 || to <= from) return;
#ifdef __linux__
    ::sync_file_range(files[slot].handle, from, to - from, SYNC_FILE_RANGE_WRITE);
#endif
}

std::int64_t readFullyAt(int fd, std::uint8_t* data, std::size_t size, std::int64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got =
            ::pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return done == 0 ? -1 : static_cast<std::int64_t>(done);
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

int largeHandle(const LargeFileTable& files, int slot) {
    return usable(files, slot) ? files[slot].handle : -1;
}

}  // namespace quorvel
