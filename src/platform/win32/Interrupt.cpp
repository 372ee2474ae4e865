// Win32 implementation of the interrupt flag: a console control handler for Ctrl-C, Ctrl-Break
// and the closing of the console window.

#include "platform/Interrupt.h"

#include <windows.h>

#include <atomic>

namespace quorvel::platform {

namespace {

std::atomic<bool> g_interruptRequested{false};
// Whether a key of each kind has been pressed once: the second press of the same kind is left to
// the system's default handler, which ends the process, as a second SIGINT does on POSIX.
std::atomic<bool> g_ctrlCSeen{false};
std::atomic<bool> g_ctrlBreakSeen{false};
// The system ends the process a few seconds after a close event whatever the handler answers;
// until then the handler holds on, so that the job can stop where its files stay sound and the
// program end on its own way.
constexpr DWORD kCloseGraceMs = 10000;

// Runs on a thread the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            if (g_ctrlCSeen.exchange(true)) return FALSE;
            g_interruptRequested = true;
            return TRUE;
        case CTRL_BREAK_EVENT:
            if (g_ctrlBreakSeen.exchange(true)) return FALSE;
            g_interruptRequested = true;
            return TRUE;
        case CTRL_CLOSE_EVENT:
            g_interruptRequested = true;
            ::Sleep(kCloseGraceMs);
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

void installInterruptHandlers() {
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool interruptRequested() {
    return g_interruptRequested;
}

void ignoreBrokenPipe() {
    // Nothing to do: on Windows a write to a pipe whose reader has gone fails with an error and
    // raises no signal.
}

}  // namespace quorvel::platform
