// POSIX implementation of the terminal test: isatty on the stream's descriptor.

#include "platform/Terminal.h"

#include <unistd.h>

namespace quorvel::platform {

bool isTerminal(std::FILE* stream) {
    if (stream == nullptr) return false;
    const int fd = ::fileno(stream);
    return fd >= 0 && ::isatty(fd) == 1;
}

void useBinaryMode(std::FILE*) {
    // POSIX streams never translate line ends.
}

void useUtf8Console() {
    // A terminal takes the bytes as the user's locale says; the program writes them as named.
}

}  // namespace quorvel::platform
