#include "platform/MappedWindow.h"

// Windows reports a read error inside a mapped view as an in-page exception, which only
// structured exception handling catches; GCC's Windows compilers have none for C++. No window
// is mapped here, and the stream pass reads the file instead.
namespace quorvel::platform {

const std::uint8_t* MappedWindow::map(const File&, std::int64_t, std::size_t) {
    unmap();
    return nullptr;
}

void MappedWindow::unmap() {
    m_window = nullptr;
    m_size = 0;
}

ReadFaultGuard::ReadFaultGuard() = default;

ReadFaultGuard::~ReadFaultGuard() = default;

bool ReadFaultGuard::runGuarded(const std::uint8_t*, std::size_t, void (*call)(void*), void* work,
                                std::size_t&) {
    call(work);
    return true;
}

}  // namespace quorvel::platform
