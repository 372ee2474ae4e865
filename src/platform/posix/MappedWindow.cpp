#include "platform/MappedWindow.h"

#include <sys/mman.h>
#include <sys/types.h>

#include <csetjmp>
#include <csignal>
#include <cstdint>

namespace quorvel::platform {

namespace {

// A read error (or a file cut short by someone else) inside a read-only mapping arrives as
// SIGBUS on the instruction that touches the page. While a guarded run works on a window the
// handler below turns such a fault into a jump back to the run, which then fails cleanly.
// Faults anywhere else go to the disposition that was there before.
sigjmp_buf g_busJump;
volatile std::uintptr_t g_guardBegin = 0;
volatile std::uintptr_t g_guardEnd = 0;
volatile std::uintptr_t g_busFault = 0;
struct sigaction g_previousBusAction {};

extern "C" void onBusError(int, siginfo_t* info, void*) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (address >= g_guardBegin && address < g_guardEnd) {
        g_busFault = address;
        siglongjmp(g_busJump, 1);
    }
    // Not ours: the faulting instruction runs again under the earlier disposition.
    ::sigaction(SIGBUS, &g_previousBusAction, nullptr);
}

}  // namespace

const std::uint8_t* MappedWindow::map(const File& file, std::int64_t offset, std::size_t size) {
    unmap();
    void* window =
        ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.native(), static_cast<off_t>(offset));
    if (window == MAP_FAILED) return nullptr;
    ::madvise(window, size, MADV_SEQUENTIAL);
    m_window = window;
    m_size = size;
    return static_cast<const std::uint8_t*>(window);
}

void MappedWindow::unmap() {
    if (m_window != nullptr) ::munmap(m_window, m_size);
    m_window = nullptr;
}

ReadFaultGuard::ReadFaultGuard() {
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    m_installed = ::sigaction(SIGBUS, &action, &g_previousBusAction) == 0;
}

ReadFaultGuard::~ReadFaultGuard() {
    g_guardBegin = 0;
    g_guardEnd = 0;
    if (m_installed) ::sigaction(SIGBUS, &g_previousBusAction, nullptr);
}

// Between the jump point and any fault there are only frames whose objects need no destruction.
bool ReadFaultGuard::runGuarded(const std::uint8_t* begin, std::size_t size, void (*call)(void*),
                                void* work, std::size_t& faultAt) {
    g_guardBegin = reinterpret_cast<std::uintptr_t>(begin);
    g_guardEnd = g_guardBegin + size;
    if (sigsetjmp(g_busJump, 1) != 0) {
        g_guardBegin = 0;
        g_guardEnd = 0;
        faultAt = static_cast<std::size_t>(g_busFault - reinterpret_cast<std::uintptr_t>(begin));
        return false;
    }
    call(work);
    g_guardBegin = 0;
    g_guardEnd = 0;
    return true;
}

}  // namespace quorvel::platform
