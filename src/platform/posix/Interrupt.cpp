// POSIX implementation of the interrupt flag: SIGINT and SIGTERM handlers that reset themselves
// once they have run, and SIGPIPE ignored.

#include "platform/Interrupt.h"

#include <signal.h>

#include <csignal>

namespace quorvel::platform {

namespace {

volatile std::sig_atomic_t g_interruptRequested = 0;

extern "C" void onTerminationSignal(int) {
    g_interruptRequested = 1;
}

}  // namespace

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // Once it has run, the handler gives way to the default: a second request ends the process.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interruptRequested() {
    return g_interruptRequested != 0;
}

void ignoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace quorvel::platform
