#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "fileio/StreamFile.h"

namespace quorvel {

// Carries out small positioned writes to one open stream file on a second thread, in exactly
// the order they were queued, so that the caller's scan goes on while the file system does its
// per-write work (several microseconds for a 192-byte write into a large cached page).
//
// The order is what makes this safe: the file only ever passes through the states a sequence of
// synchronous writes would give, so a process killed at any moment leaves what an earlier kill
// of the synchronous writer would have left. Writes queued one right behind the other that
// together fill one contiguous range inside one page (the pieces of a program map section) are
// made as one write: a write inside a page is never cut short by a kill, so the file only skips
// the states between them. After the first failed write nothing more is written, as a
// synchronous writer would have stopped there too.
//
// The writes never extend the file: one that would reach past its current end (someone cut it
// short) fails instead. The size is asked once for each batch the writer takes from the queue,
// not before every write: every write of a batch was queued before that look, so each lands only
// below a size seen after it was queued, as with a look before every write. Neither closes the
// gap between a look and the write after it, in which a cut further down lets the write grow the
// file back up to itself; here that gap spans at most one batch. Such a cut still leaves the file
// shorter than it was, which the stream pass checks once its writes have settled. Writes that end
// within kNearEnd of the size last seen, or beyond it, look again first: a file trimmed at its
// tail is caught by the write itself, and no write near the end grows a cut file back to its old
// size, where the check after the pass could no longer tell.
class WriteBehind {
  public:
    // One source packet: the largest write the stream scan makes.
    static constexpr std::size_t kMaxWriteSize = 192;
    // Queued writes at most; the caller waits when the writer falls this far behind.
    static constexpr std::size_t kMaxQueued = 4096;
    // Queued writes that wake a sleeping writer without a write-back request.
    static constexpr std::size_t kWakeBatch = 64;
    static constexpr std::int64_t kNoFailure = -1;
    // Writes inside one page are never cut short by a kill.
    static constexpr std::int64_t kPageSize = 4096;
    // Writes ending this close to the size last seen, or beyond it, ask the size again.
    static constexpr std::int64_t kNearEnd = 1 << 20;

    explicit WriteBehind(StreamFile& file);
    // Waits for the queued writes, then ends the thread.
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // Queues `size` (≤ kMaxWriteSize) bytes for `offset`. A larger write fails when its turn
    // comes.
    void write(const std::uint8_t* bytes, std::size_t size, std::int64_t offset);
    // Queues a request to start write-back of [from, to) once the writes before it are done, and
    // wakes the writer. It only starts the write-back; whoever needs the data on disk still has
    // to flush.
    void startWriteBack(std::int64_t from, std::int64_t to);
    // Waits until every queued request has been carried out (or dropped after a failure).
    void finish();
    // Offset of the first write that failed, or kNoFailure. Safe to poll at any time.
    std::int64_t failedAt() const { return m_failedAt.load(std::memory_order_acquire); }
    // After a failure: the write would have reached past the file's end.
    bool failedPastEnd() const { return m_failedPastEnd.load(std::memory_order_acquire); }

  private:
    struct Request {
        enum class Kind : std::uint8_t { Write, WriteBack, Refused };
        std::int64_t offset = 0;
        std::int64_t end = 0;  // write-back requests: the end of the range
        std::uint16_t size = 0;
        Kind kind = Kind::Write;
        std::array<std::uint8_t, kMaxWriteSize> bytes{};
    };

    void push(const Request& request);
    void run();
    // Carries out batch[first], gathered with the writes after it where gather() allows; the
    // index of the first request not yet carried out.
    std::size_t carryOut(const std::vector<Request>& batch, std::size_t first);
    // Gathers into m_page the write batch[first] and the writes right behind it that together
    // fill one contiguous range inside one page, [m_gatheredFrom, m_gatheredTo); the index
    // behind the last one gathered.
    std::size_t gather(const std::vector<Request>& batch, std::size_t first);
    // The file's size as last seen, asked again first when the batch has not asked yet or a
    // write ending at `end` comes near it or beyond; -1 when it cannot be asked.
    std::int64_t sizeFor(std::int64_t end);

    StreamFile& m_file;
    std::mutex m_mutex;
    std::condition_variable m_work;   // the writer waits here for requests
    std::condition_variable m_space;  // the caller waits here for room or for the end
    std::vector<Request> m_queue;
    bool m_busy = false;  // the writer holds a batch taken from the queue
    bool m_stopping = false;
    bool m_writerIdle = false;  // the writer sleeps on m_work
    std::atomic<std::int64_t> m_failedAt{kNoFailure};
    std::atomic<bool> m_failedPastEnd{false};
    // The writer thread's own: the size seen by the current batch, or kSizeUnasked.
    static constexpr std::int64_t kSizeUnasked = -2;
    std::int64_t m_knownSize = kSizeUnasked;
    std::array<std::uint8_t, kPageSize> m_page{};
    std::int64_t m_gatheredFrom = 0;
    std::int64_t m_gatheredTo = 0;
    std::thread m_thread;
};

}  // namespace quorvel
