#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/File.h"
#include "shared/ByteString.h"
#include "shared/FieldChange.h"
#include "shared/QuorvelError.h"

namespace quorvel {

// A failure to open, read or write a file: which file, and why, apart, so that a log line can
// name the file its own way.
class FileError : public QuorvelError {
  public:
    FileError(std::string path, std::string reason)
        : QuorvelError(path + ": " + reason), m_path(std::move(path)), m_reason(std::move(reason)) {}
    const std::string& path() const { return m_path; }
    const std::string& reason() const { return m_reason; }

  private:
    std::string m_path;
    std::string m_reason;
};

// The navigation file slot: one open navigation file (index, MovieObject, playlist or clip
// information), read whole when it is opened and patched field by field at explicit 0-based byte
// offsets. Multi-byte fields are big-endian. The file is closed when the object goes away, on
// every path.
//
// Contract: every access must lie inside the file. A read or write that would reach past the
// end (or start before offset 0) throws FileError and touches nothing; the only way the file
// grows is `putBytes` at exactly `length()`, which appends. I/O failures also throw FileError.
//
// Reads are served from the copy taken at the opening. Writes change the copy and are recorded;
// in Write mode each one also goes to the file at once, at its offset, so that the barriers order
// them on the disk. In Check mode the file is opened read-only and nothing is written, so that
// an adjuster run in this mode says exactly what a real run would change without changing
// anything.
class NavigationFile {
  public:
    enum class Mode { Write, Check };

    // Real navigation files are a few kilobytes; the whole file is kept in memory, so a
    // "navigation file" beyond this size is refused rather than read.
    static constexpr std::int64_t kMaxCheckedSize = std::int64_t{64} << 20;

    // A field that a write covers, for the account of what changed.
    struct Field {
        const char* name;
        std::size_t size;
    };

    // Opens an existing regular file, for reading and writing (Write) or read-only (Check), and
    // reads it. A missing file is never created, a symbolic link is never followed, and a FIFO
    // or device is refused without blocking.
    explicit NavigationFile(const std::string& path, Mode mode = Mode::Write);
    ~NavigationFile();

    NavigationFile(const NavigationFile&) = delete;
    NavigationFile& operator=(const NavigationFile&) = delete;

    const std::string& path() const { return m_path; }
    Mode mode() const { return m_mode; }

    // Current length in bytes.
    std::int64_t length() const;
    // True when the `size` bytes from `offset` on all lie inside the file.
    bool contains(std::int64_t offset, std::int64_t size) const;

    std::uint8_t getByte(std::int64_t offset) const;
    std::int16_t getBE16(std::int64_t offset) const;
    std::uint16_t getU16(std::int64_t offset) const;
    std::int32_t getBE32(std::int64_t offset) const;
    ByteString getBytes(std::int64_t offset, std::int64_t count) const;

    // Overwrites bytes inside the file, or appends when `offset` equals the length. An empty
    // string writes nothing. `fields` names what the bytes are, in order; their sizes add up to
    // the string's length. An append that fails is cut back, so the file keeps its old length.
    // Bytes equal to those in place are recorded but not written, so the file keeps its time.
    void putBytes(std::int64_t offset, const ByteString& bytes,
                  std::initializer_list<Field> fields = {});
    void putByte(std::int64_t offset, std::uint8_t value, const char* field = nullptr);
    void putBE32(std::int64_t offset, std::int32_t value, const char* field = nullptr);

    // Makes the bytes written since the last flush durable; nothing to do when none were
    // written, and nothing in Check mode.
    void flush();
    // Orders the writes: whatever was written since the last barrier reaches the disk before
    // anything written after it, so that a power cut never leaves a later write without an
    // earlier one. Nothing to do when nothing was written since (and in Check mode).
    void barrier();

    // Every field changed so far (or, in Check mode, that would be changed), once each, in file
    // order, each naming this file. A field written back to the value it had is not a change.
    FieldChanges changes() const;

    // Check mode: why the file could not be opened for writing; empty when it can.
    std::string writeProblem() const;

  private:
    void readExactly(std::int64_t offset, std::uint8_t* into, std::int64_t count) const;
    void writeExactly(std::int64_t offset, const ByteString& bytes, bool append);
    [[noreturn]] void failOutside(const char* access, std::int64_t offset, std::int64_t size) const;
    [[noreturn]] void fail(const std::string& reason) const;

    std::string m_path;
    Mode m_mode;
    // Write mode: the file, open for the writes. Check mode closes it once it is read.
    // Write mode: the open file; a check closes it once the bytes are read.
    platform::File m_file;
    // The whole file, with the writes made so far.
    ByteString m_content;
    // Every write as made, in order, split into its fields.
    FieldChanges m_writes;
    // Write mode: bytes have reached the file since the last flush.
    bool m_unflushed = false;
};

}  // namespace quorvel
