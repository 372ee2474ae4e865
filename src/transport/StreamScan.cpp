#include "transport/StreamScan.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <system_error>

#include "fileio/FileSystem.h"

namespace quorvel {

namespace {

constexpr const char* kDoneText = "100.00%";
// A stream that ends short of the whole job's total never shows the whole as done.
constexpr const char* kAlmostDoneText = "99.99%";
constexpr std::size_t kPageSize = 4096;
constexpr std::int64_t kStatBlockSize = 512;  // unit of st_blocks

struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
};

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
        return fs::readAt(m_fd, m_buffer.get(), size, offset).done == size ? m_buffer.get()
                                                                           : nullptr;
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

}  // namespace

void logStreamFailure(LogLines& lines, const char* what, std::int64_t offset) {
    lines.push_back({std::string(" - Couldn't ") + what + " the stream at byte " +
                     std::to_string(offset) + "."});
}

void logStreamRefusal(LogLines& lines, const std::string& path, const std::string& why) {
    lines.push_back({" - Couldn't open the stream " + path + ": " + why + "."});
}

StreamWriter::StreamWriter(LogLines& lines, StreamFile& file, bool writeBehind)
    : m_lines(lines), m_file(file) {
    if (!writeBehind) return;
    try {
        m_queue.emplace(m_file);
    } catch (const std::system_error&) {
        // No thread to be had: the scan makes its writes itself, only more slowly.
    }
}

bool StreamWriter::write(const std::uint8_t* bytes, std::size_t size, std::int64_t offset) {
    m_writtenSinceWriteBack = true;
    // Queued writes are checked at the scan's next look at the clock and at its end.
    if (m_queue) {
        m_queue->write(bytes, size, offset);
        return true;
    }
    const std::int64_t put = m_file.writeInside(bytes, size, offset);
    if (put == static_cast<std::int64_t>(size)) return true;
    report(offset, put == StreamFile::kPastEnd);
    return false;
}

void StreamWriter::startWriteBack(std::int64_t upTo) {
    if (!m_writtenSinceWriteBack) return;
    // Start writing the pages changed so far while the scan goes on, so that the flush at the
    // end has little left to wait for. It only starts the write-back; the flush still decides.
    if (m_queue) {
        m_queue->startWriteBack(m_writeBackFrom, upTo);
    } else {
        m_file.startWriteBack(m_writeBackFrom, upTo);
    }
    m_writeBackFrom = upTo;
    m_writtenSinceWriteBack = false;
}

bool StreamWriter::failed() {
    if (!m_queue) return false;
    const std::int64_t failedAt = m_queue->failedAt();
    if (failedAt == WriteBehind::kNoFailure) return false;
    report(failedAt, m_queue->failedPastEnd());
    return true;
}

bool StreamWriter::settle() {
    if (m_queue) m_queue->finish();
    return !failed();
}

bool StreamWriter::keptSize(std::int64_t fileSize) {
    // The writes look at the size in batches, and a cut between a look and a write lets that
    // write grow the file back up to itself; the cut still leaves the file shorter than it was.
    const std::int64_t now = m_file.size();
    if (now < 0 || now >= fileSize) return true;
    report(now, true);
    return false;
}

void StreamWriter::report(std::int64_t offset, bool pastEnd) {
    if (m_failureLogged) return;
    m_failureLogged = true;
    if (!pastEnd) {
        logStreamFailure(m_lines, "write", offset);
        return;
    }
    m_lines.push_back({" - Couldn't write the stream at byte " + std::to_string(offset) +
                       ": the file has been cut short."});
}

StreamScan::Outcome StreamScan::run() {
    Outcome outcome = scanFile();
    // An abort still leaves what was found on the file, and a late write failure is not missed.
    if (m_writer != nullptr && !m_writer->settle()) return Outcome::Failed;
    if (outcome == Outcome::Done && m_writer != nullptr && !m_writer->keptSize(m_fileSize)) {
        return Outcome::Failed;
    }
    return outcome;
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
            logStreamFailure(m_lines, "read", chunkStart);
            return Outcome::Failed;
        }
        const std::size_t loaded = std::min(chunk, reader.chunkBytes());
        const Outcome outcome = reader.mapped() ? scanGuarded(bytes, loaded, chunkStart)
                                                : scanChunk(bytes, loaded, chunkStart);
        if (outcome != Outcome::Done) return outcome;
        chunkStart += static_cast<std::int64_t>(loaded);
        if (m_writer != nullptr) m_writer->startWriteBack(chunkStart);
    }

    m_rules.finish();
    showEnd();
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
        logStreamFailure(
            m_lines, "read",
            start + static_cast<std::int64_t>(into / kSourcePacketSize * kSourcePacketSize));
        return Outcome::Failed;
    }
    const Outcome outcome = scanChunk(bytes, size, start);
    g_guardBegin = 0;
    g_guardEnd = 0;
    return outcome;
}

// Done here means the chunk is done.
StreamScan::Outcome StreamScan::scanChunk(const std::uint8_t* bytes, std::size_t size,
                                          std::int64_t start) {
    for (std::size_t at = 0; at < size; at += kSourcePacketSize) {
        if (!m_rules.examine(bytes + at, start + static_cast<std::int64_t>(at))) {
            return Outcome::Failed;
        }
        if (--m_untilCheck != 0) continue;
        m_untilCheck = m_packetsPerCheck;
        if (m_writer != nullptr && m_writer->failed()) return Outcome::Failed;
        if (std::chrono::steady_clock::now() - m_lastYield < m_options.yieldInterval) continue;

        if (m_progress.progressDue()) {
            showProgress(start + static_cast<std::int64_t>(at + kSourcePacketSize));
        }
        // Asked after the packet's own write, so what was found is on the file.
        const bool stop = m_stop.stopRequested();
        m_lastYield = std::chrono::steady_clock::now();
        if (stop) return Outcome::Aborted;
    }
    return Outcome::Done;
}

std::int64_t StreamScan::skipHole(std::int64_t from, std::int64_t packetsEnd) {
    if (!m_mayHaveHoles) return from;
    // A hole of a sparse file reads as zeros, and an all-zero packet, which lacks the sync byte,
    // changes nothing, so whole packets inside a hole need not be read at all.
    const off_t data = ::lseek(m_fd, static_cast<off_t>(from), SEEK_DATA);
    if (data < 0 && errno != ENXIO) return from;
    const std::int64_t packet = static_cast<std::int64_t>(kSourcePacketSize);
    const std::int64_t next =
        data < 0 ? packetsEnd
                 : std::min(packetsEnd,
                            std::max(from, static_cast<std::int64_t>(data) / packet * packet));
    m_rules.passOverZeros(from, (next - from) / packet);
    return next;
}

void StreamScan::showProgress(std::int64_t offset) {
    const double total =
        static_cast<double>(m_options.progressTotal > 0 ? m_options.progressTotal : m_fileSize);
    const double r = std::min(static_cast<double>(m_options.progressBefore + offset) / total, 1.0);
    m_progress.showProgress(r, progressPercentText(r));
}

void StreamScan::showEnd() {
    const std::int64_t done = m_options.progressBefore + m_fileSize;
    if (m_options.progressTotal <= 0 || done >= m_options.progressTotal) {
        m_progress.showProgress(1.0, kDoneText);
        return;
    }
    const double r = static_cast<double>(done) / static_cast<double>(m_options.progressTotal);
    const std::string text = progressPercentText(r);
    m_progress.showProgress(r, text == kDoneText ? kAlmostDoneText : text);
}

}  // namespace quorvel
