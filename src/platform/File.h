#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

// Open files, as the operating system hands them out. Paths are UTF-8; offsets and sizes are
// 64-bit; a failure comes back as a value with the system's own reason as text, never as a code
// to be looked up above this layer.
namespace quorvel::platform {

// The system's handle of an open file or folder. Only platform/ looks inside it.
#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif

// Why an open, a look or a change of a file or folder failed.
struct Problem {
    enum class Kind {
        None,
        Missing,     // nothing has that name
        NotFolder,   // a folder was wanted and something else is there
        Linked,      // a symbolic link is there and links are not followed
        NotRegular,  // a regular file was wanted and a folder, FIFO or device is there
        Exists,      // a new file was wanted and the name is taken
        Other,
    };
    Kind kind = Kind::None;
    std::string reason;  // the system's words, e.g. "No such file or directory"
};

// Identity of a file on its device; all zero when unknown.
struct FileId {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    // The upper half of a 128-bit identity (Windows' FileIdInfo); 0 where the system has 64 bits.
    unsigned long long inodeHigh = 0;
    bool valid() const { return device != 0 || inode != 0 || inodeHigh != 0; }
    bool operator==(const FileId&) const = default;
};

// What a name in a folder, or an open file, is.
enum class EntryKind { Missing, File, Folder, Link, Other, Unknown };

struct EntryInfo {
    EntryKind kind = EntryKind::Unknown;  // Unknown: it could not be looked at
    FileId id;
    unsigned long long links = 0;   // names (hard links) the file has
    std::int64_t size = 0;          // bytes
    std::int64_t allocated = 0;     // bytes the disk holds for it (fewer than size: holes)
    unsigned permissions = 0;       // the owner/group/other permission bits
    bool known() const { return kind != EntryKind::Unknown && kind != EntryKind::Missing; }
};

// How a positioned read or write went. A read that meets the end of the file stops without a
// reason; a write that makes no progress stops with the system's input/output error.
struct Transfer {
    std::size_t done = 0;
    std::string reason;  // empty unless it stopped on an error
    bool failed() const { return !reason.empty(); }
};

// The system's words for an input/output error, for a transfer that came up short without one.
std::string inputOutputErrorText();

class File {
  public:
    enum class Access { Read, Write, ReadWrite };
    // nextData's answer when only a hole follows up to the end of the file.
    static constexpr std::int64_t kNoMoreData = -1;

    File() = default;
    explicit File(NativeHandle handle) : m_handle(handle) {}
    ~File();
    File(File&& other) noexcept : m_handle(std::exchange(other.m_handle, kClosed)) {}
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool isOpen() const { return m_handle != kClosed; }
    // Closes the file; false (with the reason) when the system reports an error on closing,
    // which may be a write that did not reach the disk.
    bool close(std::string* why = nullptr);

    // The file's size now, or -1 (with the reason) when it cannot be asked.
    std::int64_t size(std::string* why = nullptr) const;
    // What the open file is, with its size, identity and link count.
    EntryInfo info(std::string* why = nullptr) const;

    // Reads `size` bytes at `offset` into `data`, going on after a short read until the end of
    // the file or an error.
    Transfer readAt(std::uint8_t* data, std::size_t size, std::int64_t offset) const;
    // Writes `size` bytes at `offset`, going on after a short write.
    Transfer writeAt(const std::uint8_t* data, std::size_t size, std::int64_t offset);
    bool truncate(std::int64_t size, std::string* why = nullptr);
    bool setPermissions(unsigned permissions, std::string* why = nullptr);
    // Waits until the file's data and metadata are on the disk.
    bool flushToDisk(std::string* why = nullptr);
    // Waits until the file's data (and the size needed to read it back) are on the disk.
    bool flushDataToDisk(std::string* why = nullptr);
    // Starts writing the changed pages in [from, to) to disk and returns without waiting, where
    // the system offers that; elsewhere it does nothing.
    void startWriteBack(std::int64_t from, std::int64_t to) const;
    // Offset of the first byte at or after `from` that is not in a hole, kNoMoreData when holes
    // reach from there to the end, or `from` itself when the system cannot tell.
    std::int64_t nextData(std::int64_t from) const;

    // The handle, for platform/ itself; and to hand a file to or take it from a caller that
    // still holds raw handles (fileio's descriptor calls).
    NativeHandle native() const { return m_handle; }

  private:
#ifdef _WIN32
    static constexpr NativeHandle kClosed = nullptr;
#else
    static constexpr NativeHandle kClosed = -1;
#endif
    NativeHandle m_handle = kClosed;
};

// What the path names, following a link in its last component when `followLink` (and any link
// on the way). Meant for paths the user gave, where links are the user's choice.
EntryInfo lookAt(const std::string& path, bool followLink = true);

}  // namespace quorvel::platform
