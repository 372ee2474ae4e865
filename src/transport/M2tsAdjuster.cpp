#include "transport/M2tsAdjuster.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>

#include "fileio/BigEndian.h"
#include "fileio/LargeIO.h"
#include "fileio/WriteBehind.h"
#include "transport/ProgramMapSection.h"
#include "transport/SourcePacket.h"

namespace quorvel {

namespace {

constexpr int kStreamSlot = 1;
constexpr int kTickIntervalMs = 500;
constexpr float kProgressFullWidth = 3675.0f;
constexpr double kPercent = 100.0;
constexpr const char* kCheckingLine = " Checking/Adjusting M2TS file...";
constexpr const char* kDoneText = "100.00%";
constexpr std::size_t kPageSize = 4096;
constexpr std::int64_t kStatBlockSize = 512;  // unit of st_blocks

constexpr std::uint16_t kPatPid = 0x0000;
constexpr std::uint8_t kPatTableId = 0x00;
// Program association section, in packet offsets: section length at 10-11, the 4-byte program
// entries (program number, then PID) from 17 up to the CRC at section length + 8.
constexpr std::size_t kPatFirstEntry = 17;
constexpr std::size_t kPatEntrySize = 4;
constexpr std::size_t kPatEntryPidOffset = 2;

constexpr std::array<std::uint8_t, 4> kPesStartVideo{0x00, 0x00, 0x01, 0xE0};
constexpr std::size_t kPesStreamIdOffset = 3;
constexpr std::uint8_t kStreamIdUhdVideo = 0xE1;

struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
};

// Reads exactly `size` bytes at `offset`; false on an error or an early end of file.
bool readExactly(int fd, std::uint8_t* data, std::size_t size, std::int64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got =
            ::pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// A read error (or a file cut short by someone else) inside a read-only mapping arrives as
// SIGBUS on the instruction that touches the page. While the scan works on a mapped window the
// handler below turns such a fault into a jump back to the scan, which then fails cleanly.
// Faults anywhere else go to the disposition that was there before.
sigjmp_buf g_busJump;
volatile std::uintptr_t g_guardBegin = 0;
volatile std::uintptr_t g_guardEnd = 0;
volatile std::uintptr_t g_busFault = 0;
struct sigaction g_previousBusAction {};

extern "C" void onBusError(int, siginfo_t* info, void*) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (address >= g_guardBegin && address < g_guardEnd) {
        g_busFault = address;
        siglongjmp(g_busJump, 1);
    }
    // Not ours: the faulting instruction runs again under the earlier disposition.
    ::sigaction(SIGBUS, &g_previousBusAction, nullptr);
}

class BusErrorHandler {
  public:
    BusErrorHandler() {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        m_installed = ::sigaction(SIGBUS, &action, &g_previousBusAction) == 0;
    }
    ~BusErrorHandler() {
        g_guardBegin = 0;
        g_guardEnd = 0;
        if (m_installed) ::sigaction(SIGBUS, &g_previousBusAction, nullptr);
    }
    BusErrorHandler(const BusErrorHandler&) = delete;
    BusErrorHandler& operator=(const BusErrorHandler&) = delete;
    bool installed() const { return m_installed; }

  private:
    bool m_installed = false;
};

// Hands the scan the file one chunk at a time: a read-only mapped window when it can, else a
// page-aligned buffer filled with pread.
class ChunkReader {
  public:
    ChunkReader(int fd, const M2tsScanOptions& options, bool mayMap)
        : m_fd(fd), m_mapping(mayMap && options.mapFile) {
        m_windowBytes = std::max<std::size_t>(options.mapBytes / kMapGranule, 1) * kMapGranule;
        m_readBytes =
            std::max<std::size_t>(options.readBytes / kSourcePacketSize, 1) * kSourcePacketSize;
    }
    ~ChunkReader() { unmap(); }
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;

    bool mapped() const { return m_mapping; }
    std::size_t chunkBytes() const { return m_mapping ? m_windowBytes : m_readBytes; }

    // The `size` bytes at `offset` (both chosen by chunkBytes()); nullptr when unreadable.
    const std::uint8_t* load(std::int64_t offset, std::size_t size) {
        unmap();
        if (m_mapping) {
            void* window =
                ::mmap(nullptr, size, PROT_READ, MAP_SHARED, m_fd, static_cast<off_t>(offset));
            if (window != MAP_FAILED) {
                ::madvise(window, size, MADV_SEQUENTIAL);
                m_window = window;
                m_windowSize = size;
                return static_cast<const std::uint8_t*>(window);
            }
            // A file that cannot be mapped is read instead, from this chunk on.
            m_mapping = false;
            size = std::min(size, m_readBytes);
        }
        if (!m_buffer) {
            const std::size_t alloc = (m_readBytes + kPageSize - 1) / kPageSize * kPageSize;
            m_buffer.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kPageSize, alloc)));
            if (!m_buffer) return nullptr;
        }
        return readExactly(m_fd, m_buffer.get(), size, offset) ? m_buffer.get() : nullptr;
    }

  private:
    // Mapped windows start at multiples of both the page and the packet size.
    static constexpr std::size_t kMapGranule = 3 * kPageSize;

    void unmap() {
        if (m_window != nullptr) ::munmap(m_window, m_windowSize);
        m_window = nullptr;
    }

    int m_fd;
    bool m_mapping;
    std::size_t m_windowBytes = 0;
    std::size_t m_readBytes = 0;
    void* m_window = nullptr;
    std::size_t m_windowSize = 0;
    // Page-aligned: the kernel copies into an aligned buffer about twice as fast.
    std::unique_ptr<std::uint8_t, FreeDeleter> m_buffer;
};

class StreamScan {
  public:
    StreamScan(JobContext& ctx, const M2tsScanOptions& options, std::int64_t fileSize, int fd)
        : m_ctx(ctx), m_options(options), m_fileSize(fileSize), m_fd(fd) {}

    enum class Outcome { Done, Aborted, Failed, Going };

    Outcome run();

  private:
    Outcome scanFile();
    Outcome settleWrites(Outcome outcome);
    bool writeFailed();
    Outcome scanGuarded(const std::uint8_t* bytes, std::size_t size, std::int64_t start);
    Outcome scanChunk(const std::uint8_t* bytes, std::size_t size, std::int64_t start);
    std::int64_t skipHole(std::int64_t from, std::int64_t packetsEnd) const;
    void startWriteBack(std::int64_t upTo);
    bool examine(const std::uint8_t* bytes, std::int64_t offset);
    void programAssociation(const SourcePacket& packet);
    bool programMap(const SourcePacket& packet, std::int64_t offset);
    bool video(const SourcePacket& packet, std::int64_t offset);
    bool writeSection();
    bool writeBytes(const std::uint8_t* bytes, std::size_t size, std::int64_t offset);
    void showProgress(std::int64_t offset);
    void fail(const char* what, std::int64_t offset);

    JobContext& m_ctx;
    const M2tsScanOptions& m_options;
    const std::int64_t m_fileSize;
    const int m_fd;
    std::uint16_t m_programMapPid = 0;
    ProgramMapSection m_section;
    std::uint32_t m_packetsPerCheck = 1;
    std::uint32_t m_untilCheck = 1;
    std::chrono::steady_clock::time_point m_lastYield;
    bool m_mayHaveHoles = true;
    bool m_writtenSinceFlush = false;
    std::int64_t m_flushedUpTo = 0;
    bool m_failureLogged = false;
    std::optional<WriteBehind> m_writer;
};

StreamScan::Outcome StreamScan::run() {
    if (m_options.writeBehind) {
        try {
            m_writer.emplace(m_ctx.state.largeFiles, kStreamSlot);
        } catch (const std::system_error&) {
            // No thread to be had: the scan makes its writes itself, only more slowly.
        }
    }
    return settleWrites(scanFile());
}

// However the scan ended, every write it queued is carried out before the result is known, so
// an abort still leaves what was found on the file and a late write failure is not missed.
StreamScan::Outcome StreamScan::settleWrites(Outcome outcome) {
    if (!m_writer) return outcome;
    m_writer->finish();
    if (writeFailed()) return Outcome::Failed;
    return outcome;
}

// True (with the failure logged once) when a queued write has failed.
bool StreamScan::writeFailed() {
    if (!m_writer) return false;
    const std::int64_t failedAt = m_writer->failedAt();
    if (failedAt == WriteBehind::kNoFailure) return false;
    if (!m_failureLogged) fail("Couldn't write the stream at byte", failedAt);
    m_failureLogged = true;
    return true;
}

StreamScan::Outcome StreamScan::scanFile() {
    // A trailing partial packet is never examined: nothing may be written at or past the end.
    const std::int64_t packetsEnd =
        m_fileSize / static_cast<std::int64_t>(kSourcePacketSize) * kSourcePacketSize;
    const BusErrorHandler busErrors;
    ChunkReader reader(m_fd, m_options, busErrors.installed());

    struct stat info {};
    // Fewer blocks than bytes: the file has holes (or is compressed); look for data first.
    m_mayHaveHoles = ::fstat(m_fd, &info) != 0 ||
                     static_cast<std::int64_t>(info.st_blocks) * kStatBlockSize < m_fileSize;
    m_packetsPerCheck = std::max<std::uint32_t>(m_options.packetsPerClockCheck, 1);
    m_untilCheck = m_packetsPerCheck;
    m_lastYield = std::chrono::steady_clock::now();

    for (std::int64_t chunkStart = 0; chunkStart < packetsEnd;) {
        chunkStart = skipHole(chunkStart, packetsEnd);
        if (chunkStart >= packetsEnd) break;
        const auto chunk = static_cast<std::size_t>(std::min<std::int64_t>(
            static_cast<std::int64_t>(reader.chunkBytes()), packetsEnd - chunkStart));
        const std::uint8_t* bytes = reader.load(chunkStart, chunk);
        if (bytes == nullptr) {
            fail("Couldn't read the stream at byte", chunkStart);
            return Outcome::Failed;
        }
        const std::size_t loaded = std::min(chunk, reader.chunkBytes());
        const Outcome outcome = reader.mapped() ? scanGuarded(bytes, loaded, chunkStart)
                                                : scanChunk(bytes, loaded, chunkStart);
        if (outcome != Outcome::Going) return outcome;
        chunkStart += static_cast<std::int64_t>(loaded);
        startWriteBack(chunkStart);
    }

    m_ctx.window.setBarWidth(kProgressFullWidth);
    m_ctx.window.setPercentText(kDoneText);
    return Outcome::Done;
}

// Scans a mapped window with bus errors inside it turned into a failure. Between the jump point
// and any fault there are only frames whose objects need no destruction.
StreamScan::Outcome StreamScan::scanGuarded(const std::uint8_t* bytes, std::size_t size,
                                            std::int64_t start) {
    g_guardBegin = reinterpret_cast<std::uintptr_t>(bytes);
    g_guardEnd = g_guardBegin + size;
    if (sigsetjmp(g_busJump, 1) != 0) {
        g_guardBegin = 0;
        g_guardEnd = 0;
        const std::uintptr_t into = g_busFault - reinterpret_cast<std::uintptr_t>(bytes);
        fail("Couldn't read the stream at byte",
             start + static_cast<std::int64_t>(into / kSourcePacketSize * kSourcePacketSize));
        return Outcome::Failed;
    }
    const Outcome outcome = scanChunk(bytes, size, start);
    g_guardBegin = 0;
    g_guardEnd = 0;
    return outcome;
}

StreamScan::Outcome StreamScan::scanChunk(const std::uint8_t* bytes, std::size_t size,
                                          std::int64_t start) {
    for (std::size_t at = 0; at < size; at += kSourcePacketSize) {
        if (!examine(bytes + at, start + static_cast<std::int64_t>(at))) return Outcome::Failed;
        if (--m_untilCheck != 0) continue;
        m_untilCheck = m_packetsPerCheck;
        if (writeFailed()) return Outcome::Failed;
        if (std::chrono::steady_clock::now() - m_lastYield < m_options.yieldInterval) continue;

        if (m_ctx.state.timerTick) {
            showProgress(start + static_cast<std::int64_t>(at + kSourcePacketSize));
            m_ctx.state.timerTick = false;
        }
        m_ctx.window.processPendingEvents();
        m_lastYield = std::chrono::steady_clock::now();
        // Tested after the packet's own write, so what was found is on the file.
        if (m_ctx.state.abortRequested) return Outcome::Aborted;
    }
    return Outcome::Going;
}

void StreamScan::startWriteBack(std::int64_t upTo) {
    if (!m_writtenSinceFlush) return;
    // Start writing the pages changed so far while the scan goes on, so that the flush at the
    // end has little left to wait for. It only starts the write-back; the flush still decides.
    if (m_writer) {
        m_writer->startWriteBack(m_flushedUpTo, upTo);
    } else {
        largeStartWriteBack(m_ctx.state.largeFiles, kStreamSlot, m_flushedUpTo, upTo);
    }
    m_flushedUpTo = upTo;
    m_writtenSinceFlush = false;
}

std::int64_t StreamScan::skipHole(std::int64_t from, std::int64_t packetsEnd) const {
    if (!m_mayHaveHoles) return from;
    // A hole of a sparse file reads as zeros, and an all-zero packet (PID 0 without a start
    // bit) changes nothing, so whole packets inside a hole need not be read at all.
    const off_t data = ::lseek(m_fd, static_cast<off_t>(from), SEEK_DATA);
    if (data < 0) return errno == ENXIO ? packetsEnd : from;
    const std::int64_t packet = static_cast<std::int64_t>(kSourcePacketSize);
    return std::max(from, static_cast<std::int64_t>(data) / packet * packet);
}

// The hot path: one PID compare for almost every packet.
inline bool StreamScan::examine(const std::uint8_t* bytes, std::int64_t offset) {
    const SourcePacket packet(bytes);
    const std::uint16_t pid = packet.pid();
    if (pid == m_programMapPid) {
        if (m_programMapPid != kPatPid) return programMap(packet, offset);
        programAssociation(packet);
        return true;
    }
    if (pid == kVideoPid) return video(packet, offset);
    return true;
}

void StreamScan::programAssociation(const SourcePacket& packet) {
    // Only a section that opens in this packet, without adaptation field, is read; anything
    // else would be read as program entries that are not there.
    if (!packet.startBit() || packet.adaptationControl() != kPayloadOnly ||
        packet[kPointerFieldOffset] != 0 || packet[kTableIdOffset] != kPatTableId) {
        return;
    }
    const std::size_t sectionLength =
        static_cast<std::uint16_t>(be16FromBytes(packet.bytes() + kSectionLengthOffset)) &
        kTwelveBitMask;
    const std::size_t crcField = sectionLength + kCrcFieldBase;
    for (std::size_t e = kPatFirstEntry;
         e + kPatEntrySize <= crcField && e + kPatEntrySize <= kSourcePacketSize;
         e += kPatEntrySize) {
        // Program number 0 names the network information PID, not a program map.
        if (be16FromBytes(packet.bytes() + e) != 0) {
            m_programMapPid = pidAt(packet.bytes() + e + kPatEntryPidOffset);
            return;
        }
    }
}

bool StreamScan::programMap(const SourcePacket& packet, std::int64_t offset) {
    if (m_section.add(packet, offset) != ProgramMapSection::Step::Complete) return true;
    const bool written = !m_section.remarkVideoEntry(m_ctx.state.crcTable) || writeSection();
    m_section.clear();
    return written;
}

// Writes the rebuilt section so that a run killed at any moment leaves a section that a rerun
// still recognises and completes: every write stays inside one page (a write inside a page is
// never cut short by a kill), the pieces go from the end of the section to its start, and the
// piece with the stream type goes last. Until that piece lands the entry still reads 0x06, and
// the CRC holds either for the old section or for the re-marked one.
bool StreamScan::writeSection() {
    std::array<std::uint8_t, kSourcePacketSize> out{};
    const std::size_t typePacket = m_section.typePacket();
    std::int64_t typePieceOffset = -1;
    std::size_t typePieceStart = 0;
    std::size_t typePieceEnd = 0;
    std::array<std::uint8_t, kSourcePacketSize> typePacketBytes{};

    for (std::size_t j = m_section.packetCount(); j-- > 0;) {
        m_section.buildPacket(j, out.data());
        const std::int64_t at = m_section.packetOffset(j);
        const std::int64_t page = static_cast<std::int64_t>(kPageSize);
        const auto split = static_cast<std::size_t>(
            std::min<std::int64_t>((at / page + 1) * page - at, kSourcePacketSize));
        const std::array<std::pair<std::size_t, std::size_t>, 2> pieces{
            {{split, kSourcePacketSize}, {0, split}}};
        for (const auto& [from, to] : pieces) {
            if (from >= to) continue;
            if (j == typePacket && m_section.typeOffsetInPacket() >= from &&
                m_section.typeOffsetInPacket() < to) {
                typePieceOffset = at;
                typePieceStart = from;
                typePieceEnd = to;
                typePacketBytes = out;
                continue;
            }
            if (!writeBytes(out.data() + from, to - from, at + static_cast<std::int64_t>(from))) {
                return false;
            }
        }
    }
    return typePieceOffset < 0 ||
           writeBytes(typePacketBytes.data() + typePieceStart, typePieceEnd - typePieceStart,
                      typePieceOffset + static_cast<std::int64_t>(typePieceStart));
}

bool StreamScan::video(const SourcePacket& packet, std::int64_t offset) {
    const int control = packet.adaptationControl();
    if (control != kPayloadOnly && control != kAdaptationAndPayload) return true;
    const std::size_t start = packet.payloadOffset();
    if (kSourcePacketSize - start < kPesStartVideo.size()) return true;
    // An already re-marked start (E1) no longer matches, so a second run writes nothing.
    if (!std::equal(kPesStartVideo.begin(), kPesStartVideo.end(), packet.bytes() + start)) {
        return true;
    }
    std::array<std::uint8_t, kSourcePacketSize> out{};
    std::memcpy(out.data(), packet.bytes(), kSourcePacketSize);
    out[start + kPesStreamIdOffset] = kStreamIdUhdVideo;
    return writeBytes(out.data(), kSourcePacketSize, offset);
}

bool StreamScan::writeBytes(const std::uint8_t* bytes, std::size_t size, std::int64_t offset) {
    m_writtenSinceFlush = true;
    // Queued writes are checked at the scan's next look at the clock and at its end.
    if (m_writer) {
        m_writer->write(bytes, size, offset);
        return true;
    }
    const std::int64_t put = largeWriteAt(m_ctx.state.largeFiles, kStreamSlot, bytes, size, offset);
    if (put == static_cast<std::int64_t>(size)) return true;
    fail("Couldn't write the stream at byte", offset);
    return false;
}

void StreamScan::showProgress(std::int64_t offset) {
    const double r = static_cast<double>(offset) / static_cast<double>(m_fileSize);
    m_ctx.window.setBarWidth(static_cast<float>(r * kProgressFullWidth));
    m_ctx.window.setPercentText(progressPercentText(r));
}

void StreamScan::fail(const char* what, std::int64_t offset) {
    m_ctx.log.Status(std::string(" - ") + what + " " + std::to_string(offset) + ".");
}

}  // namespace

std::string progressPercentText(double r) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.2f%%", r * kPercent);
    return text.data();
}

bool UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts) {
    return UHD_Adjust_M2TS(ctx, m2ts, M2tsScanOptions{});
}

bool UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts, const M2tsScanOptions& options) {
    ctx.log.Status(ctx.log.TimeStamp() + kCheckingLine);
    ctx.window.setTickInterval(kTickIntervalMs);

    LargeFileTable& files = ctx.state.largeFiles;
    if (!largeOpen(files, m2ts, kStreamSlot, kLargeModeReadWrite)) return false;
    // The slot is closed however the scan ends, an error from a window handler included.
    struct SlotCloser {
        LargeFileTable& files;
        ~SlotCloser() { largeClose(files, kStreamSlot); }
    } closer{files};
    const std::int64_t fileSize = largeFileSize(files, kStreamSlot);
    const int fd = largeHandle(files, kStreamSlot);

    StreamScan scan(ctx, options, fileSize, fd);
    const StreamScan::Outcome outcome = fileSize < 0 ? StreamScan::Outcome::Failed : scan.run();
    if (outcome != StreamScan::Outcome::Done) return false;
    // Written packets must be on the disk before the job reports success.
    if (::fdatasync(fd) != 0) {
        ctx.log.Status(" - Couldn't flush the stream file to disk.");
        return false;
    }
    return true;
}

}  // namespace quorvel
