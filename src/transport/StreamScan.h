#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "app/JobContext.h"
#include "fileio/StreamFile.h"
#include "fileio/WriteBehind.h"
#include "platform/File.h"
#include "platform/MappedWindow.h"
#include "transport/M2tsAdjuster.h"
#include "transport/StreamRules.h"

// One front-to-back pass over a stream file, shared by the conversion and the survey: it reads
// the file in large chunks, hands every packet to the rules, drives the progress display and
// yields to the window, and stops on abort or on a read or write failure.
namespace quorvel {

// The timer interval a pass sets for its progress ticks.
inline constexpr int kStreamTickIntervalMs = 500;

// The writes of a conversion pass to the open stream `file`: handed in order to a second thread
// when one can be had, else made at once. None of them reaches past the file's current end. A
// failure is logged once.
class StreamWriter final : public PacketWrites {
  public:
    StreamWriter(JobContext& ctx, StreamFile& file, bool writeBehind);
    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;

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
    void report(std::int64_t offset, bool pastEnd);

    JobContext& m_ctx;
    StreamFile& m_file;
    std::optional<WriteBehind> m_queue;
    bool m_writtenSinceWriteBack = false;
    std::int64_t m_writeBackFrom = 0;
    bool m_failureLogged = false;
};

class StreamScan {
  public:
    enum class Outcome { Done, Aborted, Failed };

    // `file` is read from offset 0 to the last whole packet of `fileSize` bytes; `writer` is
    // nullptr for a pass that writes nothing.
    StreamScan(JobContext& ctx, const M2tsScanOptions& options, const platform::File& file,
               std::int64_t fileSize, StreamRules& rules, StreamWriter* writer)
        : m_ctx(ctx),
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

    JobContext& m_ctx;
    const M2tsScanOptions& m_options;
    const platform::File& m_file;
    const std::int64_t m_fileSize;
    StreamRules& m_rules;
    StreamWriter* const m_writer;
    std::uint32_t m_packetsPerCheck = 1;
    std::uint32_t m_untilCheck = 1;
    std::chrono::steady_clock::time_point m_lastYield;
    bool m_mayHaveHoles = true;
};

// Logs " - Couldn't <what> the stream at byte <offset>." (`what`: "read", "write").
void logStreamFailure(JobContext& ctx, const char* what, std::int64_t offset);
// Logs " - Couldn't open the stream <path>: <why>."
void logStreamRefusal(JobContext& ctx, const std::string& path, const std::string& why);

}  // namespace quorvel
