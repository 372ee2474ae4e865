#include "fileio/WriteBehind.h"

#include <algorithm>
#include <cstring>

namespace quorvel {

WriteBehind::WriteBehind(StreamFile& file) : m_file(file) {
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
        for (std::size_t next = 0; next < batch.size();) next = carryOut(batch, next);
        batch.clear();
        lock.lock();
        m_busy = false;
        if (m_queue.empty()) m_space.notify_all();
    }
}

std::size_t WriteBehind::carryOut(const std::vector<Request>& batch, std::size_t first) {
    const Request& request = batch[first];
    // After a failure the caller ends its scan; nothing queued behind the failed write may land.
    if (failedAt() != kNoFailure) return first + 1;
    if (request.kind == Request::Kind::WriteBack) {
        m_file.startWriteBack(request.offset, request.end);
        return first + 1;
    }
    if (request.kind == Request::Kind::Refused) {
        m_failedAt.store(request.offset, std::memory_order_release);
        return first + 1;
    }
    const std::size_t next = gather(batch, first);
    const std::int64_t size = next > first + 1 ? sizeFor(m_gatheredTo) : -1;
    if (size >= 0 && m_gatheredTo <= size) {
        const auto length = static_cast<std::size_t>(m_gatheredTo - m_gatheredFrom);
        const std::int64_t inPage = m_gatheredFrom % kPageSize;
        if (m_file.writeAt(m_page.data() + inPage, length, m_gatheredFrom) !=
            static_cast<std::int64_t>(length)) {
            m_failedAt.store(request.offset, std::memory_order_release);
        }
        return next;
    }
    // Alone, or a gathered range that does not lie inside the file: each write on its own, so
    // that those inside land and the first one outside fails where it lies.
    const std::int64_t end = request.offset + static_cast<std::int64_t>(request.size);
    const std::int64_t known = sizeFor(end);
    const bool pastEnd = known >= 0 && request.offset >= 0 && end > known;
    if (known < 0 || pastEnd ||
        m_file.writeAt(request.bytes.data(), request.size, request.offset) !=
            static_cast<std::int64_t>(request.size)) {
        m_failedPastEnd.store(pastEnd, std::memory_order_release);
        m_failedAt.store(request.offset, std::memory_order_release);
    }
    return first + 1;
}

std::size_t WriteBehind::gather(const std::vector<Request>& batch, std::size_t first) {
    const auto inOnePage = [](std::int64_t from, std::int64_t to) {
        return from >= 0 && to > from && from / kPageSize == (to - 1) / kPageSize;
    };
    const Request& start = batch[first];
    m_gatheredFrom = start.offset;
    m_gatheredTo = start.offset + static_cast<std::int64_t>(start.size);
    if (!inOnePage(m_gatheredFrom, m_gatheredTo)) return first + 1;
    const std::int64_t pageStart = m_gatheredFrom / kPageSize * kPageSize;
    std::memcpy(m_page.data() + (m_gatheredFrom - pageStart), start.bytes.data(), start.size);
    std::size_t next = first + 1;
    for (; next < batch.size(); ++next) {
        const Request& more = batch[next];
        const std::int64_t from = more.offset;
        const std::int64_t to = from + static_cast<std::int64_t>(more.size);
        // Only a write that joins the range from either side, without overlapping it, in the
        // same page: the one write then leaves exactly the bytes the separate writes would.
        if (more.kind != Request::Kind::Write || !inOnePage(from, to) ||
            from / kPageSize != pageStart / kPageSize ||
            (from != m_gatheredTo && to != m_gatheredFrom)) {
            break;
        }
        std::memcpy(m_page.data() + (from - pageStart), more.bytes.data(), more.size);
        m_gatheredFrom = std::min(m_gatheredFrom, from);
        m_gatheredTo = std::max(m_gatheredTo, to);
    }
    return next;
}

std::int64_t WriteBehind::sizeFor(std::int64_t end) {
    if (m_knownSize == kSizeUnasked || end > m_knownSize - kNearEnd) {
        m_knownSize = m_file.size();
    }
    return m_knownSize;
}

}  // namespace quorvel
