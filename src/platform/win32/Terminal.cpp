// Win32 implementation of the terminal test: a console behind the stream's handle.

#include "platform/Terminal.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace quorvel::platform {

bool isTerminal(std::FILE* stream) {
    if (stream == nullptr) return false;
    const int fd = ::_fileno(stream);
    // _isatty alone takes any character device for a terminal, the NUL device included; only a
    // console answers GetConsoleMode.
    if (fd < 0 || ::_isatty(fd) == 0) return false;
    const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

void useBinaryMode(std::FILE* stream) {
    if (stream == nullptr) return;
    const int fd = ::_fileno(stream);
    if (fd >= 0) ::_setmode(fd, _O_BINARY);
}

}  // namespace quorvel::platform
