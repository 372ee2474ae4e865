#include "transport/M2tsAdjuster.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fileio/BigEndian.h"
#include "fileio/LargeIO.h"
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

class StreamScan {
  public:
    StreamScan(JobContext& ctx, const M2tsScanOptions& options, std::int64_t fileSize, int fd)
        : m_ctx(ctx), m_options(options), m_fileSize(fileSize), m_fd(fd) {}

    enum class Outcome { Done, Aborted, Failed };

    Outcome run();

  private:
    std::int64_t skipHole(std::int64_t from, std::int64_t packetsEnd) const;
    bool examine(const std::uint8_t* bytes, std::int64_t offset);
    void programAssociation(const SourcePacket& packet);
    bool programMap(const SourcePacket& packet, std::int64_t offset);
    bool video(const SourcePacket& packet, std::int64_t offset);
    bool writePacket(const std::uint8_t* bytes, std::int64_t offset);
    void showProgress(std::int64_t offset);
    void fail(const char* what, std::int64_t offset);

    JobContext& m_ctx;
    const M2tsScanOptions& m_options;
    const std::int64_t m_fileSize;
    const int m_fd;
    std::uint16_t m_programMapPid = 0;
    ProgramMapSection m_section;
};

StreamScan::Outcome StreamScan::run() {
    // A trailing partial packet is never examined: nothing may be written at or past the end.
    const std::int64_t packetsEnd =
        m_fileSize / static_cast<std::int64_t>(kSourcePacketSize) * kSourcePacketSize;
    std::size_t readBytes = m_options.readBytes / kSourcePacketSize * kSourcePacketSize;
    if (readBytes == 0) readBytes = kSourcePacketSize;
    const std::size_t allocBytes = (readBytes + kPageSize - 1) / kPageSize * kPageSize;
    // Page-aligned: the kernel copies into an aligned buffer about twice as fast.
    std::unique_ptr<std::uint8_t, FreeDeleter> buffer(
        static_cast<std::uint8_t*>(std::aligned_alloc(kPageSize, allocBytes)));
    if (!buffer) {
        fail("Not enough memory to read", 0);
        return Outcome::Failed;
    }

    const std::uint32_t perCheck = std::max<std::uint32_t>(m_options.packetsPerClockCheck, 1);
    std::uint32_t untilCheck = perCheck;
    auto lastYield = std::chrono::steady_clock::now();

    for (std::int64_t chunkStart = 0; chunkStart < packetsEnd;) {
        chunkStart = skipHole(chunkStart, packetsEnd);
        if (chunkStart >= packetsEnd) break;
        const auto chunk =
            static_cast<std::size_t>(std::min<std::int64_t>(readBytes, packetsEnd - chunkStart));
        if (!readExactly(m_fd, buffer.get(), chunk, chunkStart)) {
            fail("Couldn't read the stream at byte", chunkStart);
            return Outcome::Failed;
        }
        const std::uint8_t* bytes = buffer.get();
        for (std::size_t at = 0; at < chunk; at += kSourcePacketSize) {
            if (!examine(bytes + at, chunkStart + static_cast<std::int64_t>(at))) {
                return Outcome::Failed;
            }
            if (--untilCheck != 0) continue;
            untilCheck = perCheck;
            if (std::chrono::steady_clock::now() - lastYield < m_options.yieldInterval) continue;

            const std::int64_t scanned =
                chunkStart + static_cast<std::int64_t>(at + kSourcePacketSize);
            if (m_ctx.state.timerTick) {
                showProgress(scanned);
                m_ctx.state.timerTick = false;
            }
            m_ctx.window.processPendingEvents();
            lastYield = std::chrono::steady_clock::now();
            if (m_ctx.state.abortRequested) return Outcome::Aborted;
        }
        chunkStart += static_cast<std::int64_t>(chunk);
    }

    m_ctx.window.setBarWidth(kProgressFullWidth);
    m_ctx.window.setPercentText(kDoneText);
    return Outcome::Done;
}

// The hot path: one PID compare for almost every packet.
inline std::int64_t StreamScan::skipHole(std::int64_t from, std::int64_t packetsEnd) const {
    // A hole of a sparse file reads as zeros, and an all-zero packet (PID 0 without a start
    // bit) changes nothing, so whole packets inside a hole need not be read at all.
    const off_t data = ::lseek(m_fd, static_cast<off_t>(from), SEEK_DATA);
    if (data < 0) return errno == ENXIO ? packetsEnd : from;
    const std::int64_t packet = static_cast<std::int64_t>(kSourcePacketSize);
    return std::max(from, static_cast<std::int64_t>(data) / packet * packet);
}

bool StreamScan::examine(const std::uint8_t* bytes, std::int64_t offset) {
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
    bool written = true;
    if (m_section.remarkVideoEntry(m_ctx.state.crcTable)) {
        // Last packet first: if the run dies halfway, the first packet still holds the old
        // entry, so a rerun finds the section unmarked and completes it.
        std::array<std::uint8_t, kSourcePacketSize> out{};
        for (std::size_t j = m_section.packetCount(); j-- > 0 && written;) {
            m_section.buildPacket(j, out.data());
            written = writePacket(out.data(), m_section.packetOffset(j));
        }
    }
    m_section.clear();
    return written;
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
    return writePacket(out.data(), offset);
}

bool StreamScan::writePacket(const std::uint8_t* bytes, std::int64_t offset) {
    const std::int64_t put =
        largeWriteAt(m_ctx.state.largeFiles, kStreamSlot, bytes, kSourcePacketSize, offset);
    if (put == static_cast<std::int64_t>(kSourcePacketSize)) return true;
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
    const std::int64_t fileSize = largeFileSize(files, kStreamSlot);
    const int fd = largeHandle(files, kStreamSlot);

    StreamScan scan(ctx, options, fileSize, fd);
    const StreamScan::Outcome outcome = fileSize < 0 ? StreamScan::Outcome::Failed : scan.run();
    bool result = outcome == StreamScan::Outcome::Done;
    // Written packets must be on the disk before the job reports success.
    if (result && ::fdatasync(fd) != 0) {
        ctx.log.Status(" - Couldn't flush the stream file to disk.");
        result = false;
    }
    largeClose(files, kStreamSlot);
    return result;
}

}  // namespace quorvel
