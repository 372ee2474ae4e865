// Win32 implementation of the terminal test: a console behind the stream's handle.

#include "platform/Terminal.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>

namespace quorvel::platform {

namespace {

// The console's output code page before the program changed it; 0 when it did not.
UINT g_previousOutputCodePage = 0;

void restoreOutputCodePage() {
    if (g_previousOutputCodePage != 0) ::SetConsoleOutputCP(g_previousOutputCodePage);
}

}  // namespace

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

void useUtf8Console() {
    // 0: the program has no console; its output goes to a file or a pipe as bytes anyway.
    const UINT current = ::GetConsoleOutputCP();
    if (current == 0 || current == CP_UTF8) return;
    if (::SetConsoleOutputCP(CP_UTF8) == 0) return;
    // The console outlives the program: the shell that started it gets its code page back.
    g_previousOutputCodePage = current;
    std::atexit(restoreOutputCodePage);
}

}  // namespace quorvel::platform
