#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/File.h"
#include "shared/ByteString.h"

// The undo record: what a job changes on a disc, written before the change, so that the disc can
// be given back its bytes from before the first job.
//
// A record is one file in the state folder (or the folder given for it), named
// "<identity>-<8 hex digits of the recorded disc path>.undo". It is a sequence of entries, each
//     kind (1 byte) · payload length (u32 LE) · payload · CRC-32 (u32 LE, of kind, length, payload)
// and only ever grows at its end. Reading stops at the first entry that is cut short or whose
// CRC fails: that is a torn tail (the job was cut while appending it) and it, with anything
// behind it, is ignored; nothing it describes was written, since a job writes a change only
// after the entry that describes it is on the disk.
//
// Entries, in the order a job appends them:
//   'H' header (once, first): format version, the disc's identity, the disc folder's path as the
//       job knew it, and whether the first job found the disc partly converted already (then the
//       record holds that present state, not the disc as it was made).
//   'F' one navigation file or BACKUP copy: its path relative to the disc folder, its bytes as
//       they were (whole: a few kilobytes), or that it did not exist (a BACKUP copy the job
//       created); for a navigation file the fields the job changes (offset, original and
//       converted bytes) and its converted length; for a BACKUP copy the file it copies.
//       A later job over the same disc adds no 'F' for a file the record has already.
//   'S' one stream: its number in this record, path relative to the disc folder, size.
//   'B' one batch of a stream pass: the stream's number, the scan range [from, to) whose changes
//       it lists (every change the pass made while examining a packet in that range), then the
//       changes: video PES starts (stream id 0xE0 made 0xE1) as packet deltas, and re-marked
//       program map sections as the packets' offsets with, for every byte the rebuild changed
//       (stream type, identifier, CRC-32, stuffing, continuation headers), its original and
//       converted value. A section whose changed bytes are those of the section before it (a
//       muxer repeats one section) says so with one bit instead of listing them. Integers in a
//       batch are LEB128 varints: about 2 bytes per changed packet.
//   'U' an undo began restoring the disc at a path (its own text) other than the header's: a
//       disc moved after converting. A rerun of that undo, cut after the last file was restored
//       and before the record was removed, knows the record as its own by it.
// The reader hands a batch's changes on in the order the pass made them: a PES start when its
// packet was examined, a section when its last packet was; a section's first packets may lie
// before the batch's `from`, so an undo reads each change's packets at their own offsets.
// A later job appends its own 'S' and 'B' entries; a batch lists only changes made while
// examining packets at or past the end of what the record covered for that stream already, so
// every changed position has one entry, holding the bytes from before the first job.
namespace quorvel::undo {

inline constexpr std::uint8_t kFormatVersion = 1;
inline constexpr const char* kRecordExtension = ".undo";

// A single byte of a file: where, as before the first job, and as the job writes it.
struct ByteChange {
    std::int64_t offset = 0;
    std::uint8_t original = 0;
    std::uint8_t converted = 0;
};

// A changed field of a navigation file.
struct FieldEdit {
    std::int64_t offset = 0;
    ByteString original;   // empty: the job appended `converted` at `offset` (the old length)
    ByteString converted;
};

struct RecordHeader {
    unsigned version = 0;
    std::string identity;
    std::string discPath;
    bool presentState = false;
};

struct FileEntry {
    enum class Kind : std::uint8_t { Navigation = 1, BackupCopy = 2 };
    Kind kind = Kind::Navigation;
    std::string path;           // relative to the disc folder, '/' separated, e.g. BDMV/index.bdmv
    bool existed = true;        // false: a BACKUP copy the job created
    ByteString original;        // the whole file before the first job (empty when !existed)
    // Navigation: the fields the job changes, and the file's length after the job (original
    // length, or that plus the appended block).
    std::vector<FieldEdit> edits;
    std::int64_t convertedLength = 0;
    // BackupCopy: the navigation file (relative path) whose converted bytes the copy receives.
    std::string copyOf;
};

struct StreamEntry {
    std::uint32_t number = 0;
    std::string path;  // relative to the disc folder
    std::int64_t size = 0;
};

// The range of one batch; its changes follow it.
struct BatchEntry {
    std::uint32_t stream = 0;
    std::int64_t from = 0;
    std::int64_t to = 0;
};

// One changed packet (or program map section) of a stream.
struct StreamChange {
    enum class Kind : std::uint8_t {
        // The packet at packetOffset starts a video PES; its stream id byte, at
        // packetOffset + pesStreamIdIndex(packet), was 0xE0 and the job makes it 0xE1. The
        // index is found from the packet's header, which the job never changes.
        PesStreamId,
        // A program map section in the packets at packetOffsets; `bytes` lists every byte the
        // rebuild changes (absolute file offsets), in ascending order.
        Section,
    };
    Kind kind = Kind::PesStreamId;
    std::uint32_t stream = 0;
    std::int64_t packetOffset = 0;           // PesStreamId; Section: its first packet
    std::vector<std::int64_t> packetOffsets;  // Section
    std::vector<ByteChange> bytes;           // Section
};

inline constexpr std::uint8_t kPesIdOriginal = 0xE0;
inline constexpr std::uint8_t kPesIdConverted = 0xE1;

// Index in a 192-byte source packet of the PES stream id behind the payload's 00 00 01, from the
// packet's adaptation field control and length; 0 when the packet's payload cannot hold one.
std::size_t pesStreamIdIndex(const std::uint8_t* packet);

// Receives a record's entries one at a time, in the order they were appended. Every object is
// valid only during the call. Return false to stop reading.
class RecordVisitor {
  public:
    virtual bool header(const RecordHeader&) { return true; }
    virtual bool file(const FileEntry&) { return true; }
    virtual bool stream(const StreamEntry&) { return true; }
    virtual bool batch(const BatchEntry&) { return true; }
    virtual bool change(const StreamChange&) { return true; }
    virtual bool undoBegun(const std::string& /*discPath*/) { return true; }

  protected:
    ~RecordVisitor() = default;
};

struct ReadResult {
    enum class Outcome {
        Read,        // every whole entry was visited (a torn tail ignored)
        Stopped,     // the visitor returned false
        NotARecord,  // no valid header entry
        Failed,      // the file cannot be opened or read; `reason` says why
    };
    Outcome outcome = Outcome::Failed;
    bool tornTail = false;          // bytes after the last whole entry were ignored
    std::int64_t wholeLength = 0;   // bytes of the record up to the end of the last whole entry
    std::string reason;
};

// Reads the record at `path` from the start, handing each entry to `visitor`. Memory stays
// constant: one entry (at most kMaxEntryBytes) is held at a time.
ReadResult readRecord(const std::string& path, RecordVisitor& visitor);
inline constexpr std::uint32_t kMaxEntryBytes = 1U << 24;

// The header of the record at `path`; false when the file is not a readable record.
bool readHeader(const std::string& path, RecordHeader& header);

// ---- Where records live and how a disc finds its own ----

// The disc's identity: a hash (16 hex digits) of the names, in upper case, and sizes of the
// files in BDMV/STREAM. A job changes no stream's size, nor an undo, so a disc keeps it through
// conversion, a cut job, an undo, and a move or rename of its folder. `discFolder` is the folder
// holding BDMV. Empty when the STREAM folder cannot be read.
std::string discIdentity(const std::string& discFolder);

// The folder of the records: `undoDir` when not empty, else the platform's state folder
// (platform::stateFolder()) with "quorvel" ("Quorvel" on Windows) appended. Empty when neither
// is known. Creates nothing.
std::string recordFolder(const std::string& undoDir);

// A record found for a disc.
struct FoundRecord {
    std::string path;      // of the record file
    std::string discPath;  // the disc folder as recorded
};

// `path` without its final separators, as a record holds a disc folder's path.
std::string withoutFinalSeparators(std::string path);

// Whether two disc folder paths are the same, final separators aside.
bool sameDiscPath(const std::string& a, const std::string& b);

// The file name of the record of the disc at `discFolder` with `identity`.
std::string recordFileName(const std::string& identity, const std::string& discFolder);

// Every readable record in `folder` whose header holds `identity`.
std::vector<FoundRecord> findRecords(const std::string& folder, const std::string& identity);

// The record of the disc at `discFolder` among `found`: the only one, or the one whose recorded
// path equals `discFolder` (compared after dropping final separators). nullptr when none is, or
// when several are (then the caller refuses and lists them).
const FoundRecord* pickRecord(const std::vector<FoundRecord>& found, const std::string& discFolder);

// ---- Writing (the job's side) ----

// The changes of one batch of a stream pass, encoded as they come, in the order the pass makes
// them (each at the packet being examined: a PES start at its own packet, a section at its last).
class BatchEncoder {
  public:
    void begin(std::uint32_t stream, std::int64_t from);
    void addPes(std::int64_t packetOffset);
    // `packetOffsets` ascending, the last one the packet being examined; `bytes` ascending.
    void addSection(const std::vector<std::int64_t>& packetOffsets,
                    const std::vector<ByteChange>& bytes);
    bool empty() const { return m_pesCount == 0 && m_sectionCount == 0; }
    std::int64_t from() const { return m_from; }
    // The payload of the 'B' entry for the scan range [from, to).
    ByteString finish(std::int64_t to) const;

  private:
    std::uint32_t m_stream = 0;
    std::int64_t m_from = 0;
    std::int64_t m_lastPes = 0;
    std::int64_t m_lastSection = 0;
    std::uint64_t m_pesCount = 0;
    std::uint64_t m_sectionCount = 0;
    ByteString m_pes;
    ByteString m_sections;
    ByteString m_lastShape;
};

// Appends entries to a record file. Nothing is on the disk before flush().
class RecordWriter {
  public:
    // Creates the new record `path` with its header entry, making the folders up to it (the
    // last two levels at most: the state folder's own and the record's) when missing, and puts
    // the file and its folder entry on the disk.
    bool create(const std::string& path, const RecordHeader& header, std::string* why);
    // Opens the existing record `path` to add to it; a torn tail is cut off first.
    bool openExisting(const std::string& path, std::string* why);
    bool isOpen() const { return m_file.isOpen(); }
    const std::string& path() const { return m_path; }

    bool addFile(const FileEntry& entry, std::string* why);
    bool addStream(const StreamEntry& entry, std::string* why);
    bool addBatch(const ByteString& batchPayload, std::string* why);
    bool addUndoBegun(const std::string& discPath, std::string* why);
    // Waits until everything appended is on the disk.
    bool flush(std::string* why);
    std::int64_t size() const { return m_end; }

  private:
    bool append(std::uint8_t kind, const ByteString& payload, std::string* why);

    platform::File m_file;
    std::string m_path;
    std::int64_t m_end = 0;
};

}  // namespace quorvel::undo
