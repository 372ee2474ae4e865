#pragma once

namespace quorvel::platform {

// Installs the handlers for an interrupt (Ctrl-C) and a termination request (SIGTERM on POSIX;
// Ctrl-Break and the closing of the console on Windows). The first request of a kind only raises
// the flag below, so that the job can stop where its files stay sound; the handler of that kind
// is then back to the default, so a second one ends the process the usual way.
void installInterruptHandlers();

// Whether an interrupt or a termination request has arrived since the handlers were installed.
// Safe to ask at any moment, from the job's loops included.
bool interruptRequested();

// A reader of our output that goes away (`| head`) must not end the process half-way through a
// job: from now on a write to a closed pipe just fails.
void ignoreBrokenPipe();

}  // namespace quorvel::platform
