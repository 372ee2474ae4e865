#include "fileio/UndoRecord.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "fileio/FileSystem.h"
#include "platform/Folder.h"
#include "platform/ProgramLocation.h"

namespace quorvel::undo {

namespace {

constexpr std::uint8_t kHeaderKind = 'H';
constexpr std::uint8_t kFileKind = 'F';
constexpr std::uint8_t kStreamKind = 'S';
constexpr std::uint8_t kBatchKind = 'B';
constexpr std::uint8_t kUndoBegunKind = 'U';
// Kind, then the payload length.
constexpr std::size_t kEntryHead = 5;
constexpr std::size_t kEntryTail = 4;
constexpr std::int64_t kPacketSize = 192;
constexpr unsigned kRecordPermissions = 0600;
// A program map section spans at most six packets.
constexpr std::uint64_t kMaxSectionPackets = 6;

// CRC-32 (the reflected 0xEDB88320 polynomial) of each entry: a torn tail fails it.
constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

std::uint32_t crc32(const std::uint8_t* bytes, std::size_t size, std::uint32_t crc = 0) {
    crc = ~crc;
    for (std::size_t k = 0; k < size; ++k) crc = kCrcTable[(crc ^ bytes[k]) & 0xFFU] ^ (crc >> 8);
    return ~crc;
}

void putU32(ByteString& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t getU32(const std::uint8_t* bytes) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = (value << 8) | bytes[k];
    return value;
}

void putVarint(ByteString& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

void putBytes(ByteString& out, const ByteString& bytes) {
    putVarint(out, bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void putText(ByteString& out, const std::string& text) {
    putVarint(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
}

// Reads a payload; any read past its end marks it bad, and a bad entry is never handed on.
class Cursor {
  public:
    Cursor(const std::uint8_t* bytes, std::size_t size) : m_at(bytes), m_end(bytes + size) {}
    bool bad() const { return m_bad; }
    bool atEnd() const { return m_at == m_end; }
    const std::uint8_t* position() const { return m_at; }

    std::uint8_t byte() {
        if (m_at == m_end) return fail();
        return *m_at++;
    }
    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const std::uint8_t b = byte();
            value |= static_cast<std::uint64_t>(b & 0x7FU) << shift;
            if ((b & 0x80U) == 0) return value;
        }
        return fail();
    }
    // A count or size that cannot exceed what is left of the payload.
    std::size_t length() {
        const std::uint64_t value = varint();
        if (value > static_cast<std::uint64_t>(m_end - m_at)) return fail();
        return static_cast<std::size_t>(value);
    }
    std::int64_t offset() {
        const std::uint64_t value = varint();
        if (value > static_cast<std::uint64_t>(INT64_MAX)) return fail();
        return static_cast<std::int64_t>(value);
    }
    ByteString bytes() {
        const std::size_t size = length();
        ByteString out(m_at, m_at + (m_bad ? 0 : size));
        if (!m_bad) m_at += size;
        return out;
    }
    std::string text() {
        const ByteString raw = bytes();
        return {raw.begin(), raw.end()};
    }
    void skip(std::size_t size) {
        if (size > static_cast<std::size_t>(m_end - m_at)) {
            fail();
            return;
        }
        m_at += size;
    }

  private:
    std::uint8_t fail() {
        m_bad = true;
        m_at = m_end;
        return 0;
    }
    const std::uint8_t* m_at;
    const std::uint8_t* m_end;
    bool m_bad = false;
};

std::uint64_t fnv1a(std::uint64_t hash, const std::string& text) {
    for (const char c : text) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 0x100000001B3ULL;
    }
    return hash;
}
constexpr std::uint64_t kFnvBasis = 0xCBF29CE484222325ULL;

std::string hexDigits(std::uint64_t value, int digits) {
    static constexpr const char* kHex = "0123456789abcdef";
    std::string out(static_cast<std::size_t>(digits), '0');
    for (int k = digits - 1; k >= 0; --k) {
        out[static_cast<std::size_t>(k)] = kHex[value & 0xFU];
        value >>= 4;
    }
    return out;
}

// Decodes one batch payload into its changes, in the order the pass made them.
bool visitBatch(const ByteString& payload, RecordVisitor& visitor, bool& bad) {
    Cursor in(payload.data(), payload.size());
    BatchEntry batch;
    batch.stream = static_cast<std::uint32_t>(in.varint());
    batch.from = in.offset();
    batch.to = in.offset();
    const std::uint64_t pesCount = in.varint();
    const std::size_t pesBytes = in.length();
    Cursor pes(in.position(), in.bad() ? 0 : pesBytes);
    in.skip(pesBytes);
    const std::uint64_t sectionCount = in.varint();
    if (in.bad()) {
        bad = true;
        return true;
    }
    if (!visitor.batch(batch)) return false;

    StreamChange pesChange;
    pesChange.kind = StreamChange::Kind::PesStreamId;
    pesChange.stream = batch.stream;
    StreamChange section;
    section.kind = StreamChange::Kind::Section;
    section.stream = batch.stream;
    std::vector<std::int64_t> backDeltas;
    std::vector<std::pair<std::size_t, std::pair<std::uint8_t, std::uint8_t>>> shapeBytes;

    std::int64_t pesAt = batch.from;
    std::int64_t sectionAt = batch.from;
    std::uint64_t pesLeft = pesCount;
    std::uint64_t sectionsLeft = sectionCount;
    bool pesReady = false;
    bool sectionReady = false;
    bool haveShape = false;
    while (pesLeft > 0 || sectionsLeft > 0 || pesReady || sectionReady) {
        if (!pesReady && pesLeft > 0) {
            pesAt += pes.offset() * kPacketSize;
            --pesLeft;
            pesReady = true;
        }
        if (!sectionReady && sectionsLeft > 0) {
            const std::uint64_t head = in.varint();
            sectionAt += static_cast<std::int64_t>(head >> 1) * kPacketSize;
            if ((head & 1U) != 0) {
                const std::uint64_t packets = in.varint();
                if (packets == 0 || packets > kMaxSectionPackets) in.skip(SIZE_MAX);
                backDeltas.assign(in.bad() ? 0 : packets - 1, 0);
                for (std::int64_t& delta : backDeltas) delta = in.offset();
                const std::size_t count = in.length();
                shapeBytes.clear();
                std::uint64_t index = 0;
                for (std::size_t k = 0; k < count && !in.bad(); ++k) {
                    index += in.varint() + (k == 0 ? 0 : 1);
                    if (index >= packets * static_cast<std::uint64_t>(kPacketSize)) in.skip(SIZE_MAX);
                    const std::uint8_t original = in.byte();
                    shapeBytes.push_back(
                        {static_cast<std::size_t>(index), {original, in.byte()}});
                }
                haveShape = true;
            } else if (!haveShape) {
                in.skip(SIZE_MAX);  // the first section of a batch always has its shape
            }
            --sectionsLeft;
            sectionReady = true;
        }
        if (in.bad() || pes.bad()) {
            bad = true;
            return true;
        }
        const bool takePes = pesReady && (!sectionReady || pesAt < sectionAt);
        if (takePes) {
            pesChange.packetOffset = pesAt;
            pesReady = false;
            if (!visitor.change(pesChange)) return false;
            continue;
        }
        section.packetOffsets.clear();
        // Packet j lies backDeltas[j] packets before the last one.
        for (const std::int64_t back : backDeltas) {
            section.packetOffsets.push_back(sectionAt - back * kPacketSize);
        }
        section.packetOffsets.push_back(sectionAt);
        section.packetOffset = section.packetOffsets.front();
        section.bytes.clear();
        for (const auto& [index, values] : shapeBytes) {
            const std::size_t packet = index / kPacketSize;
            if (packet >= section.packetOffsets.size()) {
                bad = true;
                return true;
            }
            section.bytes.push_back({section.packetOffsets[packet] +
                                         static_cast<std::int64_t>(index % kPacketSize),
                                     values.first, values.second});
        }
        sectionReady = false;
        if (!visitor.change(section)) return false;
    }
    return true;
}

}  // namespace

std::size_t pesStreamIdIndex(const std::uint8_t* packet) {
    constexpr std::size_t kControl = 7;
    constexpr std::size_t kStreamIdAfterPayloadStart = 3;
    std::size_t start = 0;
    switch ((packet[kControl] & 0x30U) >> 4) {
        case 1:
            start = 8;
            break;
        case 3:
            start = 9 + static_cast<std::size_t>(packet[8]);
            break;
        default:
            return 0;
    }
    if (start + kStreamIdAfterPayloadStart >= static_cast<std::size_t>(kPacketSize)) return 0;
    return start + kStreamIdAfterPayloadStart;
}

// ---- Batches ----

void BatchEncoder::begin(std::uint32_t stream, std::int64_t from) {
    *this = BatchEncoder{};
    m_stream = stream;
    m_from = from;
    m_lastPes = from;
    m_lastSection = from;
}

void BatchEncoder::addPes(std::int64_t packetOffset) {
    putVarint(m_pes, static_cast<std::uint64_t>((packetOffset - m_lastPes) / kPacketSize));
    m_lastPes = packetOffset;
    ++m_pesCount;
}

void BatchEncoder::addSection(const std::vector<std::int64_t>& packetOffsets,
                              const std::vector<ByteChange>& bytes) {
    const std::int64_t last = packetOffsets.back();
    ByteString shape;
    putVarint(shape, packetOffsets.size());
    for (std::size_t j = 0; j + 1 < packetOffsets.size(); ++j) {
        putVarint(shape, static_cast<std::uint64_t>((last - packetOffsets[j]) / kPacketSize));
    }
    putVarint(shape, bytes.size());
    std::size_t previous = 0;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        std::size_t packet = 0;
        while (packet + 1 < packetOffsets.size() && packetOffsets[packet + 1] <= bytes[k].offset) {
            ++packet;
        }
        const std::size_t index = packet * static_cast<std::size_t>(kPacketSize) +
                                  static_cast<std::size_t>(bytes[k].offset - packetOffsets[packet]);
        putVarint(shape, k == 0 ? index : index - previous - 1);
        previous = index;
        shape.push_back(bytes[k].original);
        shape.push_back(bytes[k].converted);
    }
    // A muxer repeats one section: its changed bytes are those of the one before.
    const bool shapeFollows = m_sectionCount == 0 || shape != m_lastShape;
    putVarint(m_sections,
              (static_cast<std::uint64_t>((last - m_lastSection) / kPacketSize) << 1) |
                  (shapeFollows ? 1U : 0U));
    if (shapeFollows) {
        m_sections.insert(m_sections.end(), shape.begin(), shape.end());
        m_lastShape = std::move(shape);
    }
    m_lastSection = last;
    ++m_sectionCount;
}

ByteString BatchEncoder::finish(std::int64_t to) const {
    ByteString out;
    putVarint(out, m_stream);
    putVarint(out, static_cast<std::uint64_t>(m_from));
    putVarint(out, static_cast<std::uint64_t>(to));
    putVarint(out, m_pesCount);
    putBytes(out, m_pes);
    putVarint(out, m_sectionCount);
    out.insert(out.end(), m_sections.begin(), m_sections.end());
    return out;
}

// ---- Reading ----

ReadResult readRecord(const std::string& path, RecordVisitor& visitor) {
    ReadResult result;
    platform::Problem problem;
    const platform::Folder folder = platform::Folder::open(
        path.substr(0, path.find_last_of(fs::kSeparators) == std::string::npos
                           ? 0
                           : path.find_last_of(fs::kSeparators) + 1),
        &problem);
    const std::string name = path.substr(path.find_last_of(fs::kSeparators) + 1);
    platform::File file =
        folder.isOpen() ? folder.openFile(name, platform::File::Access::Read, &problem)
                        : platform::File{};
    if (!file.isOpen()) {
        result.reason = problem.reason.empty() ? "it cannot be opened" : problem.reason;
        return result;
    }
    const std::int64_t size = file.size(&result.reason);
    if (size < 0) return result;

    ByteString payload;
    std::array<std::uint8_t, kEntryHead> head{};
    std::array<std::uint8_t, kEntryTail> tail{};
    std::int64_t at = 0;
    bool sawHeader = false;
    result.outcome = ReadResult::Outcome::Read;
    while (at < size) {
        if (size - at < static_cast<std::int64_t>(kEntryHead + kEntryTail)) break;
        platform::Transfer read = file.readAt(head.data(), head.size(), at);
        if (read.failed()) {
            result.outcome = ReadResult::Outcome::Failed;
            result.reason = read.reason;
            return result;
        }
        const std::uint32_t length = getU32(head.data() + 1);
        if (length > kMaxEntryBytes ||
            size - at - static_cast<std::int64_t>(kEntryHead + kEntryTail) < length) {
            break;
        }
        payload.resize(length);
        read = file.readAt(payload.data(), length, at + static_cast<std::int64_t>(kEntryHead));
        platform::Transfer readTail = file.readAt(
            tail.data(), tail.size(), at + static_cast<std::int64_t>(kEntryHead + length));
        if (read.failed() || readTail.failed()) {
            result.outcome = ReadResult::Outcome::Failed;
            result.reason = read.failed() ? read.reason : readTail.reason;
            return result;
        }
        const std::uint32_t crc =
            crc32(payload.data(), payload.size(), crc32(head.data(), head.size()));
        if (crc != getU32(tail.data())) break;

        Cursor in(payload.data(), payload.size());
        bool bad = false;
        bool goOn = true;
        const std::uint8_t kind = head[0];
        if (!sawHeader && kind != kHeaderKind) break;
        switch (kind) {
            case kHeaderKind: {
                RecordHeader header;
                header.version = in.byte();
                header.identity = in.text();
                header.discPath = in.text();
                header.presentState = in.byte() != 0;
                bad = in.bad() || sawHeader || header.version != kFormatVersion;
                sawHeader = sawHeader || !bad;
                if (!bad) goOn = visitor.header(header);
                break;
            }
            case kFileKind: {
                FileEntry entry;
                entry.kind = static_cast<FileEntry::Kind>(in.byte());
                entry.path = in.text();
                entry.existed = in.byte() != 0;
                entry.original = in.bytes();
                entry.convertedLength = in.offset();
                const std::size_t edits = in.length();
                for (std::size_t k = 0; k < edits && !in.bad(); ++k) {
                    FieldEdit edit;
                    edit.offset = in.offset();
                    edit.original = in.bytes();
                    edit.converted = in.bytes();
                    entry.edits.push_back(std::move(edit));
                }
                entry.copyOf = in.text();
                bad = in.bad();
                if (!bad) goOn = visitor.file(entry);
                break;
            }
            case kStreamKind: {
                StreamEntry entry;
                entry.number = static_cast<std::uint32_t>(in.varint());
                entry.path = in.text();
                entry.size = in.offset();
                bad = in.bad();
                if (!bad) goOn = visitor.stream(entry);
                break;
            }
            case kBatchKind:
                goOn = visitBatch(payload, visitor, bad);
                break;
            case kUndoBegunKind: {
                const std::string discPath = in.text();
                bad = in.bad();
                if (!bad) goOn = visitor.undoBegun(discPath);
                break;
            }
            default:
                bad = true;
        }
        // A whole entry that cannot be read is a record this program did not write.
        if (bad) break;
        at += static_cast<std::int64_t>(kEntryHead + length + kEntryTail);
        result.wholeLength = at;
        if (!goOn) {
            result.outcome = ReadResult::Outcome::Stopped;
            return result;
        }
    }
    result.tornTail = at < size;
    if (!sawHeader) result.outcome = ReadResult::Outcome::NotARecord;
    return result;
}

// ---- Identity and lookup ----

std::string discIdentity(const std::string& discFolder) {
    std::string base = discFolder;
    if (!base.empty() && !fs::isSeparator(base.back())) base += fs::kSeparator;
    const std::string bdmv = fs::entryNamedIgnoringCase(base, "BDMV");
    if (bdmv.empty()) return {};
    const std::string streamName = fs::entryNamedIgnoringCase(base + bdmv, "STREAM");
    if (streamName.empty()) return {};
    const std::string streams = base + bdmv + fs::kSeparator + streamName + fs::kSeparator;
    const platform::Folder folder = platform::Folder::open(streams);
    if (!folder.isOpen()) return {};
    std::vector<std::pair<std::string, std::int64_t>> files;
    for (const std::string& name : folder.names()) {
        const platform::EntryInfo info = folder.look(name, false);
        if (info.kind == platform::EntryKind::File) files.emplace_back(fs::toUpperAscii(name), info.size);
    }
    std::sort(files.begin(), files.end());
    std::uint64_t hash = kFnvBasis;
    for (const auto& [name, size] : files) {
        hash = fnv1a(hash, name);
        hash = fnv1a(hash, std::string(1, '\0') + std::to_string(size) + std::string(1, '\0'));
    }
    return hexDigits(hash, 16);
}

std::string recordFolder(const std::string& undoDir) {
    if (!undoDir.empty()) return withoutFinalSeparators(undoDir);
    const std::string state = platform::stateFolder();
    if (state.empty()) return {};
#ifdef _WIN32
    return state + fs::kSeparator + "Quorvel";
#else
    return state + fs::kSeparator + "quorvel";
#endif
}

std::string recordFileName(const std::string& identity, const std::string& discFolder) {
    return identity + "-" +
           hexDigits(fnv1a(kFnvBasis, withoutFinalSeparators(discFolder)) & 0xFFFFFFFFULL, 8) +
           kRecordExtension;
}

bool readHeader(const std::string& path, RecordHeader& header) {
    struct HeaderOnly final : RecordVisitor {
        RecordHeader& seen;
        explicit HeaderOnly(RecordHeader& into) : seen(into) {}
        bool header(const RecordHeader& h) override {
            seen = h;
            return false;
        }
    } visitor(header);
    return readRecord(path, visitor).outcome == ReadResult::Outcome::Stopped;
}

std::string withoutFinalSeparators(std::string path) {
    while (path.size() > 1 && fs::isSeparator(path.back())) path.pop_back();
    return path;
}

bool sameDiscPath(const std::string& a, const std::string& b) {
    return withoutFinalSeparators(a) == withoutFinalSeparators(b);
}

std::vector<FoundRecord> findRecords(const std::string& folder, const std::string& identity) {
    std::vector<FoundRecord> found;
    const platform::Folder records = platform::Folder::open(folder);
    if (!records.isOpen() || identity.empty()) return found;
    std::vector<std::string> names = records.names();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (name.rfind(identity + "-", 0) != 0 || !fs::endsWithIgnoreCase(name, kRecordExtension)) {
            continue;
        }
        RecordHeader header;
        const std::string path = folder + fs::kSeparator + name;
        if (readHeader(path, header) && header.identity == identity) {
            found.push_back({path, header.discPath});
        }
    }
    return found;
}

const FoundRecord* pickRecord(const std::vector<FoundRecord>& found, const std::string& discFolder) {
    if (found.size() == 1) return found.data();
    const std::string wanted = withoutFinalSeparators(discFolder);
    const FoundRecord* match = nullptr;
    for (const FoundRecord& record : found) {
        if (withoutFinalSeparators(record.discPath) != wanted) continue;
        if (match != nullptr) return nullptr;
        match = &record;
    }
    return match;
}

// ---- Writing ----

bool RecordWriter::create(const std::string& path, const RecordHeader& header, std::string* why) {
    const std::size_t cut = path.find_last_of(fs::kSeparators);
    const std::string folderPath = cut == std::string::npos ? std::string() : path.substr(0, cut);
    const std::string name = path.substr(cut == std::string::npos ? 0 : cut + 1);
    platform::Problem problem;
    platform::Folder folder = platform::Folder::open(folderPath, &problem);
    if (!folder.isOpen()) {
        // The state folder's own folder, and the state folder itself, may not be there yet.
        const std::size_t up = folderPath.find_last_of(fs::kSeparators);
        const std::string parentPath = up == std::string::npos ? std::string() : folderPath.substr(0, up);
        const std::string child = folderPath.substr(up == std::string::npos ? 0 : up + 1);
        const std::size_t upper = parentPath.find_last_of(fs::kSeparators);
        if (upper != std::string::npos && upper > 0) {
            const platform::Folder grand = platform::Folder::open(parentPath.substr(0, upper));
            if (grand.isOpen()) grand.createFolder(parentPath.substr(upper + 1));
        }
        const platform::Folder parent = platform::Folder::open(parentPath, &problem);
        if (parent.isOpen() && parent.createFolder(child, &problem)) {
            parent.flushToDisk();
            folder = platform::Folder::open(folderPath, &problem);
        }
    }
    if (!folder.isOpen()) {
        if (why != nullptr) *why = problem.reason.empty() ? "its folder cannot be made" : problem.reason;
        return false;
    }
    m_file = folder.createFile(name, kRecordPermissions, &problem);
    if (!m_file.isOpen() && problem.kind == platform::Problem::Kind::Exists) {
        // A job cut while it made the record leaves a file without a whole header: nothing
        // else was written after it, so it holds nothing and gives way.
        struct Nothing : RecordVisitor {} nothing;
        if (readRecord(path, nothing).outcome == ReadResult::Outcome::NotARecord &&
            folder.remove(name)) {
            m_file = folder.createFile(name, kRecordPermissions, &problem);
        }
    }
    if (!m_file.isOpen()) {
        if (why != nullptr) *why = problem.reason.empty() ? "it cannot be created" : problem.reason;
        return false;
    }
    m_path = path;
    m_end = 0;
    ByteString payload;
    payload.push_back(kFormatVersion);
    putText(payload, header.identity);
    putText(payload, header.discPath);
    payload.push_back(header.presentState ? 1 : 0);
    if (!append(kHeaderKind, payload, why) || !m_file.flushToDisk(why)) return false;
    if (!folder.flushToDisk()) {
        if (why != nullptr) *why = "its folder cannot be flushed to disk";
        return false;
    }
    return true;
}

bool RecordWriter::openExisting(const std::string& path, std::string* why) {
    struct Nothing : RecordVisitor {} nothing;
    const ReadResult read = readRecord(path, nothing);
    if (read.outcome != ReadResult::Outcome::Read) {
        if (why != nullptr) *why = read.reason.empty() ? "it is not an undo record" : read.reason;
        return false;
    }
    platform::Problem problem;
    const std::size_t cut = path.find_last_of(fs::kSeparators);
    const platform::Folder folder =
        platform::Folder::open(cut == std::string::npos ? std::string() : path.substr(0, cut), &problem);
    if (folder.isOpen()) {
        m_file = folder.openFile(path.substr(cut == std::string::npos ? 0 : cut + 1),
                                 platform::File::Access::ReadWrite, &problem);
    }
    if (!m_file.isOpen()) {
        if (why != nullptr) *why = problem.reason.empty() ? "it cannot be opened" : problem.reason;
        return false;
    }
    m_path = path;
    m_end = read.wholeLength;
    // What follows the last whole entry was never flushed whole, and nothing it named was written.
    if (read.tornTail && (!m_file.truncate(m_end, why) || !m_file.flushToDisk(why))) return false;
    return true;
}

bool RecordWriter::addFile(const FileEntry& entry, std::string* why) {
    ByteString payload;
    payload.push_back(static_cast<std::uint8_t>(entry.kind));
    putText(payload, entry.path);
    payload.push_back(entry.existed ? 1 : 0);
    putBytes(payload, entry.original);
    putVarint(payload, static_cast<std::uint64_t>(entry.convertedLength));
    putVarint(payload, entry.edits.size());
    for (const FieldEdit& edit : entry.edits) {
        putVarint(payload, static_cast<std::uint64_t>(edit.offset));
        putBytes(payload, edit.original);
        putBytes(payload, edit.converted);
    }
    putText(payload, entry.copyOf);
    return append(kFileKind, payload, why);
}

bool RecordWriter::addStream(const StreamEntry& entry, std::string* why) {
    ByteString payload;
    putVarint(payload, entry.number);
    putText(payload, entry.path);
    putVarint(payload, static_cast<std::uint64_t>(entry.size));
    return append(kStreamKind, payload, why);
}

bool RecordWriter::addBatch(const ByteString& batchPayload, std::string* why) {
    return append(kBatchKind, batchPayload, why);
}

bool RecordWriter::addUndoBegun(const std::string& discPath, std::string* why) {
    ByteString payload;
    putText(payload, discPath);
    return append(kUndoBegunKind, payload, why);
}

bool RecordWriter::flush(std::string* why) {
    return m_file.flushDataToDisk(why);
}

bool RecordWriter::append(std::uint8_t kind, const ByteString& payload, std::string* why) {
    if (!m_file.isOpen()) {
        if (why != nullptr) *why = "it is not open";
        return false;
    }
    if (payload.size() > kMaxEntryBytes) {
        if (why != nullptr) *why = "an entry is too large";
        return false;
    }
    ByteString entry;
    entry.reserve(kEntryHead + payload.size() + kEntryTail);
    entry.push_back(kind);
    putU32(entry, static_cast<std::uint32_t>(payload.size()));
    entry.insert(entry.end(), payload.begin(), payload.end());
    putU32(entry, crc32(entry.data(), entry.size()));
    const platform::Transfer put = m_file.writeAt(entry.data(), entry.size(), m_end);
    if (put.failed() || put.done != entry.size()) {
        if (why != nullptr) *why = put.failed() ? put.reason : platform::inputOutputErrorText();
        // A partial entry is a torn tail: it is cut off by the next writer, or ignored.
        return false;
    }
    m_end += static_cast<std::int64_t>(entry.size());
    return true;
}

}  // namespace quorvel::undo
