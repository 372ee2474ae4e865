// quorvel-bench-m2ts: the stream pass over a large synthetic stream, without a window.
//
//   quorvel-bench-m2ts make    SOURCE.m2ts STREAM BYTES [dense]  build STREAM from SOURCE's packets
//   quorvel-bench-m2ts restore SOURCE.m2ts STREAM BYTES [dense]  put back the packets a pass changes
//   quorvel-bench-m2ts run     STREAM                     one pass; prints seconds and peak RSS
//   quorvel-bench-m2ts yardstick STREAM [read]            the least a pass can do (see below)
//   quorvel-bench-m2ts evict   STREAM                     drop STREAM from the page cache
//
// BENCH_MAP_BYTES (a window size: read through mapped windows; 0 or unset: into the buffer) and
// BENCH_READ_BYTES set the reader's window and buffer sizes for a run; BENCH_WRITE_BEHIND=0 makes
// every write in the scan's own thread.
//
// The stream has the density of a 50-60 Mb/s, 24 fps movie: a video PES start every 300 KB and
// a program association and program map section every 100 ms (about 690 KB). The dense stream,
// as a muxer writes a short title, has a PES start every 30 KB and a program map section every
// 33 KB. Everything else is copies of the source's video payload packets; the continuity
// counters are not continuous. A program map section spanning several packets is copied whole.
//
// The yardstick maps the whole stream once, reads every packet's PID and `pwrite`s, unchanged,
// each packet a first pass changes (video PES starts with stream id 0xE0, program map packets),
// one write per packet, then `fsync`s; with `read` it only reads the PIDs. Its writes leave the
// bytes as they were, so it can run on the stream before the pass.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fileio/UndoRecord.h"
#include "transport/M2tsAdjuster.h"
#include "transport/StreamRecorder.h"
#include "transport/ProgramMapSection.h"
#include "transport/SourcePacket.h"

namespace {

using quorvel::ByteString;
using quorvel::kSourcePacketSize;

// Where the changed packets lie, in packets.
struct Layout {
    std::int64_t pesStartEvery;
    std::int64_t programMapEvery;
};
constexpr Layout kMovie{300 * 1000 / kSourcePacketSize, 690 * 1000 / kSourcePacketSize};
constexpr Layout kDense{30 * 1000 / kSourcePacketSize, 33 * 1000 / kSourcePacketSize};
constexpr std::size_t kWriteBatch = 4 << 20;
constexpr std::uint16_t kProgramMapPid = 0x0100;
constexpr std::uint8_t kStreamIdVideo = 0xE0;

// A front end that shows nothing; its timer ticks every 500 ms of wall-clock time.
class HeadlessFrontEnd final : public quorvel::StopToken, public quorvel::ProgressSink {
  public:
    bool stopRequested() override {
        ++turns;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastTick >= m_interval) {
            m_lastTick = now;
            m_tick = true;
        }
        return false;
    }
    bool progressDue() override {
        const bool due = m_tick;
        m_tick = false;
        return due;
    }
    void showProgress(double, const std::string& caption) override { percent = caption; }

    std::string percent;
    long long turns = 0;

  private:
    std::chrono::milliseconds m_interval{quorvel::kStreamTickIntervalMs};
    std::chrono::steady_clock::time_point m_lastTick = std::chrono::steady_clock::now();
    bool m_tick = false;
};

struct SourcePackets {
    ByteString pat;
    std::vector<ByteString> pmt;  // one section: its start packet and those continuing it
    ByteString pesStart;
    std::vector<ByteString> padding;
};

SourcePackets collect(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const ByteString bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SourcePackets found;
    bool sectionWhole = false;
    for (std::size_t at = 0; at + kSourcePacketSize <= bytes.size(); at += kSourcePacketSize) {
        const ByteString packet(bytes.begin() + static_cast<long>(at),
                                bytes.begin() + static_cast<long>(at + kSourcePacketSize));
        const quorvel::SourcePacket view(packet.data());
        const bool pesStart = view.adaptationControl() == quorvel::kPayloadOnly && packet[8] == 0 &&
                              packet[9] == 0 && packet[10] == 1;
        if (view.pid() == 0 && view.startBit() && found.pat.empty()) {
            found.pat = packet;
        } else if (view.pid() == kProgramMapPid) {
            sectionWhole = sectionWhole || (view.startBit() && !found.pmt.empty());
            if (!sectionWhole && found.pmt.empty() == view.startBit()) found.pmt.push_back(packet);
        } else if (view.pid() == quorvel::kVideoPid && pesStart && packet[11] == 0xE0) {
            if (found.pesStart.empty()) found.pesStart = packet;
        } else if (view.pid() == quorvel::kVideoPid && !pesStart) {
            found.padding.push_back(packet);
        }
    }
    if (found.pat.empty() || found.pmt.empty() || found.pesStart.empty() || found.padding.empty()) {
        std::fprintf(stderr, "%s lacks a PAT, PMT, video PES start or video payload packet\n",
                     path.c_str());
        std::exit(1);
    }
    return found;
}

// The packet at index i, or nullptr for a padding packet.
const ByteString* special(const SourcePackets& source, const Layout& layout, std::int64_t i) {
    const auto inSection = static_cast<std::size_t>(i % layout.programMapEvery);
    if (inSection == 0) return &source.pat;
    if (inSection <= source.pmt.size()) return &source.pmt[inSection - 1];
    if (i % layout.pesStartEvery == static_cast<std::int64_t>(source.pmt.size()) + 1) {
        return &source.pesStart;
    }
    return nullptr;
}

int make(const SourcePackets& source, const Layout& layout, const std::string& out,
         std::int64_t bytes) {
    std::FILE* file = std::fopen(out.c_str(), "wb");
    if (file == nullptr) return 1;
    ByteString batch;
    batch.reserve(kWriteBatch + kSourcePacketSize);
    const std::int64_t packets = bytes / static_cast<std::int64_t>(kSourcePacketSize);
    for (std::int64_t i = 0; i < packets; ++i) {
        const ByteString* packet = special(source, layout, i);
        if (packet == nullptr) {
            packet = &source.padding[static_cast<std::size_t>(i) % source.padding.size()];
        }
        batch.insert(batch.end(), packet->begin(), packet->end());
        if (batch.size() >= kWriteBatch || i + 1 == packets) {
            if (std::fwrite(batch.data(), 1, batch.size(), file) != batch.size()) return 1;
            batch.clear();
        }
    }
    return std::fclose(file) == 0 ? 0 : 1;
}

int restore(const SourcePackets& source, const Layout& layout, const std::string& out,
            std::int64_t bytes) {
    const int fd = ::open(out.c_str(), O_WRONLY);
    if (fd < 0) return 1;
    const std::int64_t packets = bytes / static_cast<std::int64_t>(kSourcePacketSize);
    for (std::int64_t i = 0; i < packets; ++i) {
        const ByteString* packet = special(source, layout, i);
        if (packet == nullptr) continue;
        if (::pwrite(fd, packet->data(), packet->size(),
                     i * static_cast<std::int64_t>(kSourcePacketSize)) != 192)
            return 1;
    }
    return ::close(fd) == 0 ? 0 : 1;
}

// Writes the file's dirty pages and drops all its pages from the page cache, so that the next
// read comes from the disk. Needs no privileges, unlike dropping the whole cache.
int evict(const std::string& stream) {
    const int fd = ::open(stream.c_str(), O_RDONLY);
    if (fd < 0) return 1;
    const bool ok = ::fdatasync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    ::close(fd);
    return ok ? 0 : 1;
}

int yardstick(const std::string& stream, bool writes) {
    const int fd = ::open(stream.c_str(), writes ? O_RDWR : O_RDONLY);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) return 1;
    const auto size = static_cast<std::size_t>(info.st_size);
    const auto start = std::chrono::steady_clock::now();
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) return 1;
    ::madvise(mapped, size, MADV_SEQUENTIAL);
    const auto* bytes = static_cast<const std::uint8_t*>(mapped);
    std::int64_t changed = 0;
    std::uint64_t pidSum = 0;  // keeps the PID reads from being optimised away
    for (std::size_t at = 0; at + kSourcePacketSize <= size; at += kSourcePacketSize) {
        const quorvel::SourcePacket packet(bytes + at);
        const std::uint16_t pid = packet.pid();
        pidSum += pid;
        if (!writes) continue;
        const bool videoStart = pid == quorvel::kVideoPid && packet.startBit() &&
                                packet.adaptationControl() == quorvel::kPayloadOnly &&
                                bytes[at + 11] == kStreamIdVideo;
        if (!videoStart && pid != kProgramMapPid) continue;
        if (::pwrite(fd, bytes + at, kSourcePacketSize, static_cast<off_t>(at)) !=
            static_cast<ssize_t>(kSourcePacketSize)) {
            return 1;
        }
        ++changed;
    }
    const bool ok = !writes || ::fsync(fd) == 0;
    ::munmap(mapped, size);
    ::close(fd);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("result=%d seconds=%.3f writes=%lld pids=%llu\n", ok ? 1 : 0, took.count(),
                static_cast<long long>(changed), static_cast<unsigned long long>(pidSum));
    return ok ? 0 : 1;
}

// The job's undo record for the one stream, written as a job writes it: made at the first batch,
// each batch appended and flushed before its writes.
class BenchRecord final : public quorvel::StreamRecordSink {
  public:
    explicit BenchRecord(std::string path) : m_path(std::move(path)) { std::remove(m_path.c_str()); }
    std::uint32_t streamNumber() const override { return 0; }
    std::int64_t recordedUpTo() const override { return 0; }
    std::string recordPath() const override { return m_path; }
    bool appendDurably(const quorvel::ByteString& batch, std::string& why) override {
        if (!m_writer.isOpen()) {
            quorvel::undo::RecordHeader header{quorvel::undo::kFormatVersion, "bench", "bench", false};
            if (!m_writer.create(m_path, header, &why) ||
                !m_writer.addStream({0, "BDMV/STREAM/bench.m2ts", 0}, &why)) {
                return false;
            }
        }
        return m_writer.addBatch(batch, &why) && m_writer.flush(&why);
    }
    std::int64_t size() const { return m_writer.size(); }

  private:
    std::string m_path;
    quorvel::undo::RecordWriter m_writer;
};

int run(const std::string& stream) {
    HeadlessFrontEnd front;
    // BENCH_RECORD=0 leaves the record out, for a comparison within one build.
    const char* withRecord = std::getenv("BENCH_RECORD");
    BenchRecord record(stream + ".undo");
    const auto start = std::chrono::steady_clock::now();
    quorvel::M2tsScanOptions options;
    if (const char* readBytes = std::getenv("BENCH_READ_BYTES")) {
        options.readBytes = std::strtoull(readBytes, nullptr, 10);
    }
    if (const char* mapBytes = std::getenv("BENCH_MAP_BYTES")) {
        options.mapBytes = std::strtoull(mapBytes, nullptr, 10);
        options.mapFile = options.mapBytes != 0;
    }
    if (const char* writeBehind = std::getenv("BENCH_WRITE_BEHIND")) {
        options.writeBehind = std::strcmp(writeBehind, "0") != 0;
    }
    if (withRecord == nullptr || std::strcmp(withRecord, "0") != 0) options.undo = &record;
    const bool ok = quorvel::UHD_Adjust_M2TS(stream, options, front, front).outcome ==
                    quorvel::StreamPass::Outcome::Done;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("result=%d seconds=%.3f maxrss_kb=%ld yields=%lld percent=%s record_bytes=%lld\n",
                ok ? 1 : 0, took.count(), usage.ru_maxrss, front.turns, front.percent.c_str(),
                static_cast<long long>(record.size()));
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "run") return run(args[1]);
    if (args.size() == 2 && args[0] == "evict") return evict(args[1]);
    if (!args.empty() && args[0] == "yardstick" && (args.size() == 2 || (args.size() == 3 && args[2] == "read"))) {
        return yardstick(args[1], args.size() == 2);
    }
    if ((args.size() == 4 || (args.size() == 5 && args[4] == "dense")) &&
        (args[0] == "make" || args[0] == "restore")) {
        const SourcePackets source = collect(args[1]);
        const Layout& layout = args.size() == 5 ? kDense : kMovie;
        const std::int64_t bytes = std::strtoll(args[3].c_str(), nullptr, 10);
        return args[0] == "make" ? make(source, layout, args[2], bytes)
                                 : restore(source, layout, args[2], bytes);
    }
    std::fputs(
        "usage: quorvel-bench-m2ts make|restore SOURCE.m2ts STREAM BYTES [dense]\n"
        "       quorvel-bench-m2ts yardstick STREAM [read]\n"
        "       quorvel-bench-m2ts run|evict STREAM\n",
        stderr);
    return 2;
}
