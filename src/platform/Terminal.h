#pragma once

#include <cstdio>

namespace quorvel::platform {

// Whether `stream` is connected to a terminal, where a progress line redrawn in place can be
// read; false for a file, a pipe or a closed stream.
bool isTerminal(std::FILE* stream);

// Puts `stream` into binary mode, so that the bytes written are the bytes that arrive: on Windows
// the C runtime would otherwise write every LF as CR LF. Nothing to do on POSIX.
void useBinaryMode(std::FILE* stream);

// Lets a console show the UTF-8 text the program writes: on Windows the console's output code
// page becomes UTF-8 until the program ends (the ANSI one would show every non-ASCII letter of
// a path garbled). Nothing to do on POSIX, nor without a console.
void useUtf8Console();

}  // namespace quorvel::platform
