// Win32 implementation of the command line: the UTF-16 command line split as the C runtime
// splits it, and the console's output code page.

#include "platform/CommandLine.h"

#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <cstdlib>

#include "platform/win32/WideText.h"

namespace quorvel::platform {

namespace {

// The console's output code page before the program changed it; 0 when it did not.
UINT g_previousOutputCodePage = 0;

void restoreOutputCodePage() {
    if (g_previousOutputCodePage != 0) ::SetConsoleOutputCP(g_previousOutputCodePage);
}

}  // namespace

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    if (wide == nullptr || count != argc) {
        // The splitters disagree on the count only for a command line neither reads as the
        // user meant; the runtime's narrow split is then the one main() would have used.
        if (wide != nullptr) ::LocalFree(wide);
        for (int i = 0; i < argc && argv[i] != nullptr; ++i) arguments.emplace_back(argv[i]);
        return arguments;
    }
    for (int i = 0; i < count; ++i) arguments.push_back(win32::toUtf8(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

void useUtf8Console() {
    // 0: the program has no console (its output goes to a file or a pipe as bytes anyway).
    const UINT current = ::GetConsoleOutputCP();
    if (current == 0 || current == CP_UTF8) return;
    if (::SetConsoleOutputCP(CP_UTF8) == 0) return;
    // The console outlives the program: the shell that started it gets its code page back.
    g_previousOutputCodePage = current;
    std::atexit(restoreOutputCodePage);
}

}  // namespace quorvel::platform
