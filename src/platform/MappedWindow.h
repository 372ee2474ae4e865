#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/File.h"

namespace quorvel::platform {

// A read-only window of a file mapped into memory, unmapped when it goes or moves on.
// A read error inside the window (or the file cut short under it) arrives as a fault on the
// instruction that touches the page; ReadFaultGuard turns such a fault into a failure.
class MappedWindow {
  public:
    MappedWindow() = default;
    ~MappedWindow() { unmap(); }
    MappedWindow(const MappedWindow&) = delete;
    MappedWindow& operator=(const MappedWindow&) = delete;

    // Maps `size` bytes of `file` at `offset` (a multiple of the system's page size), for a
    // front-to-back read. Nullptr when the file cannot be mapped: the caller then reads instead.
    const std::uint8_t* map(const File& file, std::int64_t offset, std::size_t size);
    void unmap();

  private:
    void* m_window = nullptr;
    std::size_t m_size = 0;
};

// While it lives, a read fault inside a window handed to run() ends that run instead of the
// process. Faults anywhere else go to the handling that was there before. One at a time.
class ReadFaultGuard {
  public:
    ReadFaultGuard();
    ~ReadFaultGuard();
    ReadFaultGuard(const ReadFaultGuard&) = delete;
    ReadFaultGuard& operator=(const ReadFaultGuard&) = delete;

    // False when the fault could not be caught here: then nothing should be mapped.
    bool installed() const { return m_installed; }

    // Calls `work()` while faults on reading [begin, begin + size) are caught. True when it ran
    // to its end; false when it faulted, with `faultAt` the offset of the fault into the range.
    // Between here and the fault `work` must hold no object that needs destruction, as the
    // fault leaves its frames without unwinding them.
    template <typename Work>
    bool run(const std::uint8_t* begin, std::size_t size, Work& work, std::size_t& faultAt) {
        return runGuarded(begin, size, [](void* w) { (*static_cast<Work*>(w))(); }, &work, faultAt);
    }

  private:
    bool runGuarded(const std::uint8_t* begin, std::size_t size, void (*call)(void*),
                    void* work, std::size_t& faultAt);
    bool m_installed = false;
};

}  // namespace quorvel::platform
