#pragma once

#include <cstdio>

namespace quorvel::platform {

// Whether `stream` is connected to a terminal, where a progress line redrawn in place can be
// read; false for a file, a pipe or a closed stream.
bool isTerminal(std::FILE* stream);

}  // namespace quorvel::platform
