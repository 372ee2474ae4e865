#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <array>
#include <optional>
#include <vector>
#include <string>

#include "fileio/StreamFile.h"
#include "fileio/WriteBehind.h"
#include "platform/File.h"
#include "platform/MappedWindow.h"
#include "transport/M2tsAdjuster.h"
#include "shared/LogLine.h"
#include "shared/StepControl.h"
#include "transport/StreamRecorder.h"
#include "transport/StreamRules.h"

// One front-to-back pass over a stream file, shared by the conversion and the survey: it reads
// the file in large chunks, hands every packet to the rules, offers the progress display its
// positions, asks whether to stop, and stops on a stop request or on a read or write failure.
namespace quorvel {

// The writes of a conversion pass to the open stream `file`: handed in order to a second thread
// when one can be had, else made at once. None of them reaches past the file's current end. A
// failure gets one line in `lines`.
class StreamWriter final : public PacketWrites {
  public:
    StreamWriter(LogLines& lines, StreamFile& file, bool writeBehind);
    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;

    // The undo record comes first: every write is held until the batch that names it is on the
    // disk, which happens at most once per kRecordInterval of stream, or sooner when kMaxHeld
    // writes wait (a stream changed in nearly every packet).
    static constexpr std::int64_t kRecordInterval = std::int64_t{256} << 20;
    static constexpr std::size_t kMaxHeld = 32768;
    void holdForRecord(StreamRecorder* recorder) { m_recorder = recorder; }
    // The scan has examined every packet below `scanned`, and goes no further: the held writes
    // are recorded and then made, or, when `keep` is false (the pass failed), dropped.
    void releaseHeld(bool keep, std::int64_t scanned);

    bool write(const std::uint8_t* bytes, std::size_t size, std::int64_t offset) override;
    // Starts write-back of the pages written since the last call, up to `upTo`.
    void startWriteBack(std::int64_t upTo);
    // True (with the failure logged) when a queued write has failed.
    bool failed();
    // Waits until every queued write is carried out; false (logged) when one failed.
    bool settle();
    // After a pass that settled: false (logged) when the file is now shorter than the
    // `fileSize` bytes the pass started with, as someone cut it short while it ran.
    bool keptSize(std::int64_t fileSize);

  private:
    struct HeldWrite {
        std::int64_t offset;
        std::uint16_t size;
        std::array<std::uint8_t, WriteBehind::kMaxWriteSize> bytes;
    };
    void report(std::int64_t offset, bool pastEnd);
    bool writeNow(const std::uint8_t* bytes, std::size_t size, std::int64_t offset);
    // Records the held writes' batch, then makes them; false (logged) when the record failed.
    bool commitHeld(std::int64_t scanned);

    LogLines& m_lines;
    StreamFile& m_file;
    std::optional<WriteBehind> m_queue;
    bool m_writtenSinceWriteBack = false;
    std::int64_t m_writeBackFrom = 0;
    bool m_failureLogged = false;
    StreamRecorder* m_recorder = nullptr;
    std::vector<HeldWrite> m_held;
    bool m_recordFailed = false;
};

class StreamScan {
  public:
    using Outcome = StreamPass::Outcome;

    // `file` is read from offset 0 to the last whole packet of `fileSize` bytes; `writer` is
    // nullptr for a pass that writes nothing. A read failure gets its line in `lines`.
    StreamScan(const M2tsScanOptions& options, const platform::File& file, std::int64_t fileSize,
               StreamRules& rules, StreamWriter* writer, StopToken& stop, ProgressSink& progress,
               LogLines& lines)
        : m_stop(stop),
          m_progress(progress),
          m_lines(lines),
          m_options(options),
          m_file(file),
          m_fileSize(fileSize),
          m_rules(rules),
          m_writer(writer) {}

    // However the pass ends, every write it queued has been carried out when this returns.
    Outcome run();

  private:
    Outcome scanFile();
    Outcome scanGuarded(platform::ReadFaultGuard& readFaults, const std::uint8_t* bytes,
                        std::size_t size, std::int64_t start);
    Outcome scanChunk(const std::uint8_t* bytes, std::size_t size, std::int64_t start);
    std::int64_t skipHole(std::int64_t from, std::int64_t packetsEnd);
    void showProgress(std::int64_t offset);
    void showEnd();

    StopToken& m_stop;
    ProgressSink& m_progress;
    LogLines& m_lines;
    const M2tsScanOptions& m_options;
    const platform::File& m_file;
    const std::int64_t m_fileSize;
    StreamRules& m_rules;
    StreamWriter* const m_writer;
    // The end of the packets examined so far, for the undo record's last batch.
    std::int64_t m_scanned = 0;
    std::uint32_t m_packetsPerCheck = 1;
    std::uint32_t m_untilCheck = 1;
    std::chrono::steady_clock::time_point m_lastYield;
    bool m_mayHaveHoles = true;
};

// Adds " - Couldn't <what> the stream at byte <offset>." (`what`: "read", "write").
void logStreamFailure(LogLines& lines, const char* what, std::int64_t offset);
// Adds " - Couldn't open the stream <path>: <why>."
void logStreamRefusal(LogLines& lines, const std::string& path, const std::string& why);

}  // namespace quorvel
