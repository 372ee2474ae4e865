#include "transport/StreamScan.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <new>
#include <system_error>

#include "platform/MappedWindow.h"

namespace quorvel {

namespace {

constexpr const char* kDoneText = "100.00%";
// A stream that ends short of the whole job's total never shows the whole as done.
constexpr const char* kAlmostDoneText = "99.99%";
constexpr std::size_t kPageSize = 4096;

// Page-aligned blocks come from the aligned operator new, which every C++ runtime has
// (std::aligned_alloc is missing from Windows' C runtime).
struct PageAlignedDeleter {
    void operator()(std::uint8_t* p) const { ::operator delete(p, std::align_val_t{kPageSize}); }
};

// Hands the scan the file one chunk at a time: a read-only mapped window when it can, else a
// page-aligned buffer filled with pread.
class ChunkReader {
  public:
    ChunkReader(const platform::File& file, const M2tsScanOptions& options, bool mayMap)
        : m_file(file), m_mapping(mayMap && options.mapFile) {
        m_windowBytes = std::max<std::size_t>(options.mapBytes / kMapGranule, 1) * kMapGranule;
        m_readBytes =
            std::max<std::size_t>(options.readBytes / kSourcePacketSize, 1) * kSourcePacketSize;
    }
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;

    bool mapped() const { return m_mapping; }
    std::size_t chunkBytes() const { return m_mapping ? m_windowBytes : m_readBytes; }

    // The `size` bytes at `offset` (both chosen by chunkBytes()); nullptr when unreadable.
    const std::uint8_t* load(std::int64_t offset, std::size_t size) {
        m_window.unmap();
        if (m_mapping) {
            if (const std::uint8_t* window = m_window.map(m_file, offset, size)) return window;
            // A file that cannot be mapped is read instead, from this chunk on.
            m_mapping = false;
            size = std::min(size, m_readBytes);
        }
        if (!m_buffer) {
            const std::size_t alloc = (m_readBytes + kPageSize - 1) / kPageSize * kPageSize;
            m_buffer.reset(static_cast<std::uint8_t*>(
                ::operator new(alloc, std::align_val_t{kPageSize}, std::nothrow)));
            if (!m_buffer) return nullptr;
        }
        return m_file.readAt(m_buffer.get(), size, offset).done == size ? m_buffer.get()
                                                                        : nullptr;
    }

  private:
    // Mapped windows start at multiples of both the page and the packet size.
    static constexpr std::size_t kMapGranule = 3 * kPageSize;

    const platform::File& m_file;
    bool m_mapping;
    std::size_t m_windowBytes = 0;
    std::size_t m_readBytes = 0;
    platform::MappedWindow m_window;
    // Page-aligned: the kernel copies into an aligned buffer about twice as fast.
    std::unique_ptr<std::uint8_t, PageAlignedDeleter> m_buffer;
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
    if (m_recorder != nullptr) {
        HeldWrite held{offset, static_cast<std::uint16_t>(size), {}};
        if (size > held.bytes.size()) {
            report(offset, false);
            return false;
        }
        std::memcpy(held.bytes.data(), bytes, size);
        m_held.push_back(held);
        return true;
    }
    return writeNow(bytes, size, offset);
}

bool StreamWriter::writeNow(const std::uint8_t* bytes, std::size_t size, std::int64_t offset) {
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

bool StreamWriter::commitHeld(std::int64_t scanned) {
    std::string why;
    if (!m_recorder->commit(scanned, why)) {
        m_recordFailed = true;
        if (!m_failureLogged) {
            m_failureLogged = true;
            m_lines.push_back({" - Couldn't write the undo record " + m_recorder->sink().recordPath() +
                               ": " + why + "."});
        }
        m_held.clear();
        return false;
    }
    for (const HeldWrite& held : m_held) {
        if (!writeNow(held.bytes.data(), held.size, held.offset)) break;
    }
    m_held.clear();
    return true;
}

void StreamWriter::releaseHeld(bool keep, std::int64_t scanned) {
    if (m_recorder == nullptr || m_recordFailed) return;
    if (!keep) {
        m_held.clear();
        return;
    }
    commitHeld(scanned);
}

void StreamWriter::startWriteBack(std::int64_t upTo) {
    if (m_recorder != nullptr) {
        if (m_recordFailed) return;
        if (upTo - m_recorder->batchStart() < kRecordInterval && m_held.size() < kMaxHeld) return;
        if (!commitHeld(upTo)) return;
    }
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
    if (m_recordFailed) return true;
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
    if (m_writer != nullptr) {
        m_writer->releaseHeld(outcome != Outcome::Failed, m_scanned);
        if (m_writer->failed()) outcome = Outcome::Failed;
    }
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
    platform::ReadFaultGuard readFaults;
    ChunkReader reader(m_file, m_options, readFaults.installed());

    const platform::EntryInfo info = m_file.info();
    // Fewer blocks than bytes: the file has holes (or is compressed); look for data first.
    m_mayHaveHoles = !info.known() || info.allocated < m_fileSize;
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
        const Outcome outcome = reader.mapped() ? scanGuarded(readFaults, bytes, loaded, chunkStart)
                                                : scanChunk(bytes, loaded, chunkStart);
        if (outcome != Outcome::Done) return outcome;
        chunkStart += static_cast<std::int64_t>(loaded);
        if (m_writer != nullptr) m_writer->startWriteBack(chunkStart);
    }

    m_scanned = packetsEnd;
    m_rules.finish();
    showEnd();
    return Outcome::Done;
}

// Scans a mapped window with read faults inside it turned into a failure.
StreamScan::Outcome StreamScan::scanGuarded(platform::ReadFaultGuard& readFaults,
                                            const std::uint8_t* bytes, std::size_t size,
                                            std::int64_t start) {
    Outcome outcome = Outcome::Failed;
    auto scan = [&] { outcome = scanChunk(bytes, size, start); };
    std::size_t faultAt = 0;
    if (!readFaults.run(bytes, size, scan, faultAt)) {
        logStreamFailure(
            m_lines, "read",
            start + static_cast<std::int64_t>(faultAt / kSourcePacketSize * kSourcePacketSize));
        return Outcome::Failed;
    }
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
        if (stop) {
            m_scanned = start + static_cast<std::int64_t>(at + kSourcePacketSize);
            return Outcome::Aborted;
        }
    }
    return Outcome::Done;
}

std::int64_t StreamScan::skipHole(std::int64_t from, std::int64_t packetsEnd) {
    if (!m_mayHaveHoles) return from;
    // A hole of a sparse file reads as zeros, and an all-zero packet, which lacks the sync byte,
    // changes nothing, so whole packets inside a hole need not be read at all.
    const std::int64_t data = m_file.nextData(from);
    const std::int64_t packet = static_cast<std::int64_t>(kSourcePacketSize);
    const std::int64_t next =
        data == platform::File::kNoMoreData
            ? packetsEnd
            : std::min(packetsEnd, std::max(from, data / packet * packet));
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
