// A standalone check of the Win32 process, interrupt and location services, run under Windows
// or Wine. Without arguments it runs every check and exits 0 when all pass; with one of the
// --child-* arguments it is the child the checks start. The Windows build's ctest runs it under
// Wine (scripts/test-windows).

#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/Interrupt.h"
#include "platform/LocalTime.h"
#include "platform/ProgramLocation.h"
#include "platform/Terminal.h"
#include "platform/win32/WideText.h"

namespace {

using quorvel::platform::ChildProcess;
namespace platform = quorvel::platform;
namespace win32 = quorvel::platform::win32;

constexpr int kPrintArgumentsExit = 7;
constexpr int kTerminatedExit = 128 + 9;
constexpr auto kReadWait = std::chrono::milliseconds(50);
constexpr DWORD kGrandchildGoneMs = 3000;
constexpr const char* kGrandchildPrefix = "grandchild ";

int g_failures = 0;

void check(bool passed, const std::string& what) {
    std::printf("%s %s\n", passed ? "PASS" : "FAIL", what.c_str());
    if (!passed) ++g_failures;
}

std::string ownPath() {
    wchar_t buffer[MAX_PATH * 4] = {};
    const DWORD got = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    return win32::toUtf8(std::wstring(buffer, got));
}

// The child's side: prints its working folder and each argument in brackets, in UTF-8 (the C
// runtime's argv holds the ANSI code page's text).
int printArguments() {
    std::printf("folder %s\n", platform::workingFolder().c_str());
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    for (int i = 2; i < count; ++i) std::printf("[%s]\n", win32::toUtf8(arguments[i]).c_str());
    ::LocalFree(arguments);
    std::fflush(stdout);
    std::fprintf(stderr, "on stderr\n");
    return kPrintArgumentsExit;
}

// The child's side: starts a grandchild that shares its output and sleeps, says who it is, and
// sleeps too.
int startGrandchild() {
    std::wstring commandLine = L"\"" + win32::toWide(ownPath()) + L"\" --child-sleep";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &info)) {
        std::printf("cannot start the grandchild\n");
        return 1;
    }
    std::printf("%s%lu\n", kGrandchildPrefix, static_cast<unsigned long>(info.dwProcessId));
    std::fflush(stdout);
    ::Sleep(INFINITE);
    return 0;
}

// Everything the child writes until its output ends and it has exited.
std::string readAll(ChildProcess& child) {
    std::string text;
    char buffer[256];
    for (int turns = 0; turns < 400; ++turns) {
        std::size_t count = 0;
        const ChildProcess::ReadResult result =
            child.read(buffer, sizeof(buffer), count, kReadWait);
        if (result == ChildProcess::ReadResult::Data) text.append(buffer, count);
        if (result == ChildProcess::ReadResult::EndOfData ||
            result == ChildProcess::ReadResult::Failed)
            break;
    }
    return text;
}

std::string makeFolder(const std::string& name) {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + win32::toWide(name);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    std::string path = win32::toUtf8(folder);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

void checkArgumentsFolderAndExitCode() {
    const std::string folder = makeFolder("quorvel smoke \xC3\xA9t\xC3\xA9");
    ChildProcess child;
    const std::vector<std::string> arguments = {"--child-print", "one", "two words",   "quo\"te",
                                                "back\\slash\\", "",    "\xE2\x82\xAC"};
    check(child.start(ownPath(), arguments, folder), "a child starts in a given folder");
    check(child.processId() > 0, "the child has a process id");
    const std::string text = readAll(child);
    const std::string expected =
        "folder " + folder +
        "\n[one]\n[two words]\n[quo\"te]\n[back\\slash\\]\n[]\n[\xE2\x82\xAC]\n"
        "on stderr\n";
    std::string normalised;
    for (char c : text) {
        if (c != '\r') normalised += c;
    }
    check(normalised == expected, "its arguments, folder and stderr arrive through the one pipe");
    if (normalised != expected)
        std::printf("got:\n%s\nexpected:\n%s\n", normalised.c_str(), expected.c_str());
    const std::optional<int> code = child.waitForExit(std::chrono::milliseconds(5000));
    check(code && *code == kPrintArgumentsExit, "its exit code comes back");
    check(child.waitingBytes() == 0, "nothing is left waiting");
}

void checkTerminateEndsTheGrandchild() {
    ChildProcess child;
    check(child.start(ownPath(), {"--child-grandchild"}),
          "a child that starts a grandchild starts");
    std::string text;
    char buffer[256];
    for (int turns = 0; turns < 200 && text.find('\n') == std::string::npos; ++turns) {
        std::size_t count = 0;
        if (child.read(buffer, sizeof(buffer), count, kReadWait) ==
            ChildProcess::ReadResult::Data) {
            text.append(buffer, count);
        }
    }
    const std::size_t at = text.find(kGrandchildPrefix);
    const DWORD grandchildId =
        at == std::string::npos
            ? 0
            : std::strtoul(text.c_str() + at + std::strlen(kGrandchildPrefix), nullptr, 10);
    check(grandchildId != 0, "the grandchild's id arrives: " + text.substr(0, text.find('\n')));
    HANDLE grandchild = ::OpenProcess(SYNCHRONIZE, FALSE, grandchildId);
    check(grandchild != nullptr, "the grandchild runs");
    check(!child.exitCode(), "the child still runs");
    child.terminate();
    const std::optional<int> code = child.exitCode();
    check(code && *code == kTerminatedExit, "terminate ends the child with 128 + 9");
    check(grandchild != nullptr &&
              ::WaitForSingleObject(grandchild, kGrandchildGoneMs) == WAIT_OBJECT_0,
          "terminate ends the grandchild too");
    if (grandchild != nullptr) ::CloseHandle(grandchild);
    std::size_t count = 0;
    const ChildProcess::ReadResult last = child.read(buffer, sizeof(buffer), count, kReadWait);
    check(last == ChildProcess::ReadResult::EndOfData, "the pipe ends once the job is gone");
}

// A program whose path is longer than MAX_PATH. Wine 8 starts no program from such a path
// (CreateProcessW: file not found) and names no handle past MAX_PATH (GetFinalPathNameByHandleW:
// more data), so what it gives is only reported.
void reportLongProgramPath() {
    std::string folder = makeFolder("quorvel smoke long");
    std::wstring wide = L"\\\\?\\" + win32::toWide(folder);
    for (wchar_t& c : wide) c = c == L'/' ? L'\\' : c;
    const std::string level(60, 'd');
    for (int i = 0; i < 5; ++i) {
        folder += "/" + level;
        wide += L"\\" + win32::toWide(level);
        ::CreateDirectoryW(wide.c_str(), nullptr);
    }
    const std::string program = folder + "/smoke.exe";
    const std::wstring self = L"\\\\?\\" + win32::toWide(ownPath());
    check(::CopyFileW(self.c_str(), (wide + L"\\smoke.exe").c_str(), FALSE) != 0,
          "a copy of this program lies " + std::to_string(program.size()) + " characters deep");
    const bool resolves = platform::resolvedPath(program) == program;
    std::printf("INFO its long path %s\n", resolves ? "resolves to itself" : "does not resolve");
    ChildProcess child;
    const bool started =
        child.start(program, {"--child-print", "long"}, makeFolder("quorvel smoke"));
    std::printf("INFO it %s from there\n", started ? "starts" : "does not start");
    if (started)
        check(child.waitForExit(std::chrono::milliseconds(5000)) == kPrintArgumentsExit,
              "and ends with its exit code");
}

void checkRefusedStarts() {
    ChildProcess relative;
    check(!relative.start("process_smoke.exe", {}, makeFolder("quorvel smoke")),
          "a relative program with a working folder is refused");
    ChildProcess missing;
    check(!missing.start("C:/nowhere/missing.exe", {}), "a missing program does not start");
    ChildProcess nul;
    check(!nul.start(ownPath(), {std::string("a\0b", 3)}), "an argument holding NUL is refused");
    ChildProcess closed;
    check(closed.start(ownPath(), {"--child-print"}), "a child starts again");
    closed.closeOutput();
    std::size_t count = 0;
    char buffer[16];
    check(closed.read(buffer, sizeof(buffer), count, kReadWait) ==
              ChildProcess::ReadResult::EndOfData,
          "a closed output reads as its end");
    check(closed.waitForExit(std::chrono::milliseconds(5000)).has_value(), "that child still ends");
}

void checkLocations() {
    const std::string folder = platform::programFolder();
    check(!folder.empty() && folder.back() == '/', "the program folder ends with '/': " + folder);
    check(ownPath().size() > folder.size(), "it holds this program");
    check(!platform::isWindowsGuiProgram(ownPath()), "this console program is no window program");
    const std::string notepad = platform::findOnPath("notepad.exe");
    check(!notepad.empty(), "notepad.exe is found on PATH: " + notepad);
    check(platform::isWindowsGuiProgram(notepad), "notepad.exe is a window program");
    check(platform::findOnPath("no-such-program.exe").empty(), "a missing program is not found");
    struct AbsoluteCase {
        const char* path;
        bool absolute;
    };
    const AbsoluteCase absoluteCases[] = {
        {"C:/x", true}, {"c:\\x", true}, {"//server/share", true}, {"\\\\server\\share", true},
        {"C:x", false}, {"/x", false},   {"\\x", false},           {"x", false},
        {"", false}};
    for (const AbsoluteCase& c : absoluteCases) {
        check(platform::isAbsolutePath(c.path) == c.absolute,
              std::string(c.path) + (c.absolute ? " is absolute" : " is not absolute"));
    }
    const std::string working = platform::workingFolder();
    check(!working.empty() && working.back() != '/', "the working folder: " + working);
    check(platform::resolvedPath(".") == working, "\".\" resolves to the working folder");
    check(platform::resolvedPath(folder + "..") + "/" != folder,
          "\"..\" leaves the program folder");
    check(platform::resolvedPath("C:/no/such/folder").empty(),
          "a missing path resolves to nothing");
    const platform::TimeOfDay now = platform::localTimeOfDay();
    check(now.hour >= 0 && now.hour < 24 && now.minute >= 0 && now.minute < 60,
          "the local time: " + std::to_string(now.hour) + ":" + std::to_string(now.minute));
    std::printf("INFO stdout is %sa terminal\n", platform::isTerminal(stdout) ? "" : "not ");
    check(!platform::isTerminal(nullptr), "no stream is no terminal");
}

// The child's side: two Ctrl-C at its own (hidden) console; the first raises the flag, the second
// ends it as the system's default handler does.
int interruptTwice() {
    platform::installInterruptHandlers();
    if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        std::printf("no console %lu\n", static_cast<unsigned long>(::GetLastError()));
        return 1;
    }
    for (int turns = 0; turns < 200 && !platform::interruptRequested(); ++turns) ::Sleep(10);
    std::printf("flag %d\n", platform::interruptRequested() ? 1 : 0);
    std::fflush(stdout);
    ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    ::Sleep(3000);
    std::printf("survived\n");
    return 0;
}

void checkSecondCtrlCEndsTheProcess() {
    ChildProcess child;
    check(child.start(ownPath(), {"--child-interrupt"}), "a child for Ctrl-C starts");
    std::string text = readAll(child);
    std::erase(text, '\r');
    const std::optional<int> code = child.waitForExit(std::chrono::milliseconds(5000));
    check(text == "flag 1\n", "the first Ctrl-C at its console raises its flag");
    // Windows' default handler exits with STATUS_CONTROL_C_EXIT; Wine's with 0.
    check(code.has_value(), "the second ends it before it goes on, exit code " +
                                (code ? std::to_string(static_cast<DWORD>(*code)) : "none"));
}

void checkInterrupt() {
    platform::installInterruptHandlers();
    check(!platform::interruptRequested(), "no interrupt before a Ctrl-C");
    if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        std::printf("INFO no console to send a Ctrl-C to (error %lu)\n",
                    static_cast<unsigned long>(::GetLastError()));
        return;
    }
    for (int turns = 0; turns < 100 && !platform::interruptRequested(); ++turns) ::Sleep(10);
    check(platform::interruptRequested(), "a Ctrl-C raises the flag");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--child-print") == 0) return printArguments();
    if (argc >= 2 && std::strcmp(argv[1], "--child-grandchild") == 0) return startGrandchild();
    if (argc >= 2 && std::strcmp(argv[1], "--child-interrupt") == 0) return interruptTwice();
    if (argc >= 2 && std::strcmp(argv[1], "--child-sleep") == 0) {
        ::Sleep(INFINITE);
        return 0;
    }
    checkArgumentsFolderAndExitCode();
    checkTerminateEndsTheGrandchild();
    reportLongProgramPath();
    checkRefusedStarts();
    checkLocations();
    checkSecondCtrlCEndsTheProcess();
    checkInterrupt();
    std::printf("%d failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
