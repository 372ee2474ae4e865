#include "fileio/WriteBehind.h"

#include <cstring>

namespace quorvel {

WriteBehind::WriteBehind(LargeFileTable& files, int slot) : m_files(files), m_slot(slot) {
    m_queue.reserve(kMaxQueued);
    m_thread = std::thread([this] { run(); });
}

WriteBehind::~WriteBehind() {
    {
        std::unique_lock lock(m_mutex);
        m_stopping = true;
    }
    m_work.notify_one();
    m_thread.join();
}

void WriteBehind::write(const std::uint8_t* bytes, std::size_t size, std::int64_t offset) {
    Request request;
    request.offset = offset;
    if (size > kMaxWriteSize) {
        // Never split silently: a write the queue cannot hold whole fails, in its turn, so the
        // writes queued before it still land.
        request.kind = Request::Kind::Refused;
    } else {
        request.size = static_cast<std::uint16_t>(size);
        std::memcpy(request.bytes.data(), bytes, size);
    }
    push(request);
}

void WriteBehind::startWriteBack(std::int64_t from, std::int64_t to) {
    Request request;
    request.offset = from;
    request.end = to;
    request.kind = Request::Kind::WriteBack;
    push(request);
}

void WriteBehind::push(const Request& request) {
    bool wake = false;
    {
        std::unique_lock lock(m_mutex);
        m_space.wait(lock, [this] { return m_queue.size() < kMaxQueued; });
        m_queue.push_back(request);
        // Waking a sleeping writer costs a system call in this thread, so writes are handed
        // over in batches: at a write-back request (the caller's end of a chunk) or when enough
        // have gathered.
        wake = m_writerIdle &&
               (request.kind == Request::Kind::WriteBack || m_queue.size() >= kWakeBatch);
    }
    if (wake) m_work.notify_one();
}

void WriteBehind::finish() {
    std::unique_lock lock(m_mutex);
    if (m_writerIdle && !m_queue.empty()) m_work.notify_one();
    m_space.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void WriteBehind::run() {
    std::vector<Request> batch;
    batch.reserve(kMaxQueued);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_writerIdle = true;
        m_work.wait(lock, [this] { return !m_queue.empty() || m_stopping; });
        m_writerIdle = false;
        if (m_queue.empty()) return;  // stopping, and nothing left to do
        batch.swap(m_queue);
        m_busy = true;
        m_knownSize = kSizeUnasked;
        lock.unlock();
        m_space.notify_all();
        for (const Request& request : batch) carryOut(request);
        batch.clear();
        lock.lock();
        m_busy = false;
        if (m_queue.empty()) m_space.notify_all();
    }
}

void WriteBehind::carryOut(const Request& request) {
    // After a failure the caller ends its scan; nothing queued behind the failed write may land.
    if (failedAt() != kNoFailure) return;
    if (request.kind == Request::Kind::WriteBack) {
        largeStartWriteBack(m_files, m_slot, request.offset, request.end);
        return;
    }
    if (request.kind == Request::Kind::Refused) {
        m_failedAt.store(request.offset, std::memory_order_release);
        return;
    }
    const std::int64_t end = request.offset + static_cast<std::int64_t>(request.size);
    const std::int64_t size = sizeFor(end);
    const bool pastEnd = size >= 0 && request.offset >= 0 && end > size;
    if (size < 0 || pastEnd ||
        largeWriteAt(m_files, m_slot, request.bytes.data(), request.size, request.offset) !=
            static_cast<std::int64_t>(request.size)) {
        m_failedPastEnd.store(pastEnd, std::memory_order_release);
        m_failedAt.store(request.offset, std::memory_order_release);
    }
}

std::int64_t WriteBehind::sizeFor(std::int64_t end) {
    if (m_knownSize == kSizeUnasked || end > m_knownSize - kNearEnd) {
        m_knownSize = largeFileSize(m_files, m_slot);
    }
    return m_knownSize;
}

}  // namespace quorvel
