// Win32 implementation of the program's location: GetModuleFileNameW, PATH, the current
// directory, GetFullPathNameW and GetFinalPathNameByHandleW. Paths come back in the program's
// form, '/' between names (fileio's separator), so "C:/Program Files/Quorvel/".

#include "platform/ProgramLocation.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <vector>

#include "platform/WindowsPaths.h"
#include "platform/WindowsProgram.h"
#include "platform/win32/WideText.h"

namespace quorvel::platform {

using win32::toUtf8;
using win32::toWide;

namespace {

constexpr wchar_t kPathListSeparator = L';';
constexpr wchar_t kPathQuote = L'"';
constexpr char kSeparator = '/';
// Beyond the longest path the wide calls take, a buffer stops growing.
constexpr DWORD kLongestPath = 32768;
constexpr DWORD kFirstBuffer = MAX_PATH + 1;

// Asks `call(buffer, size)` for a text, growing the buffer while the system says it is too
// small; empty when the call fails. `call` returns the length written, or the size needed
// (including the terminating NUL) when the buffer is too small, or 0 on failure.
template <typename Call>
std::wstring askGrowing(Call call) {
    std::vector<wchar_t> buffer(kFirstBuffer);
    for (;;) {
        const DWORD got = call(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (got == 0) return {};
        if (got < buffer.size()) return std::wstring(buffer.data(), got);
        if (buffer.size() >= kLongestPath) return {};
        buffer.resize(std::max<std::size_t>(got, buffer.size() * 2));
    }
}

// The full, normalised form of `path` taken below the current directory: "." and ".." are
// resolved by name, as the system does for every path it is given.
std::wstring fullPath(const std::wstring& path) {
    if (path.empty()) return {};
    return askGrowing([&path](wchar_t* buffer, DWORD size) {
        return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
}

std::wstring forSystem(const std::wstring& full) {
    return toWide(windows::systemPath(toUtf8(full)));
}

std::string inProgramForm(const std::wstring& path) {
    return windows::programPath(toUtf8(path));
}

bool isSeparator(wchar_t c) {
    return c == L'/' || c == L'\\';
}

bool isPlainFile(const std::wstring& full) {
    const DWORD attributes = ::GetFileAttributesW(forSystem(full).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty() || isSeparator(folder.back())) return folder + name;
    return folder + L'\\' + name;
}

}  // namespace

std::string programFolder() {
    const std::wstring path = askGrowing([](wchar_t* buffer, DWORD size) {
        // A buffer too small gets the path cut short, its full size, and that error.
        const DWORD got = ::GetModuleFileNameW(nullptr, buffer, size);
        return got == size ? size : got;
    });
    const std::string program = inProgramForm(path);
    const std::size_t slash = program.rfind(kSeparator);
    return slash == std::string::npos ? std::string{} : program.substr(0, slash + 1);
}

std::string findOnPath(const std::string& name) {
    const std::wstring wideName = toWide(name);
    if (wideName.empty()) return {};
    const std::wstring paths = askGrowing([](wchar_t* buffer, DWORD size) {
        return ::GetEnvironmentVariableW(L"PATH", buffer, size);
    });
    // Only PATH's entries are searched, never the current folder as the system's own search
    // does first; an empty entry names nothing. A relative entry is taken below the working
    // folder of this moment, so that the path found keeps naming the same file for a child
    // started in another folder.
    std::size_t start = 0;
    while (start < paths.size()) {
        std::size_t end = paths.find(kPathListSeparator, start);
        if (end == std::wstring::npos) end = paths.size();
        std::wstring folder = paths.substr(start, end - start);
        // An entry may be quoted for the sake of a ';' in it.
        std::erase(folder, kPathQuote);
        if (!folder.empty()) {
            const std::wstring candidate = fullPath(joinPath(folder, wideName));
            if (!candidate.empty() && isPlainFile(candidate))
                return inProgramForm(candidate);
        }
        start = end + 1;
    }
    return {};
}

bool isAbsolutePath(const std::string& path) {
    return windows::isAbsolutePath(path);
}

std::string stateFolder() {
    const std::wstring folder = askGrowing([](wchar_t* buffer, DWORD size) {
        return ::GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, size);
    });
    if (folder.empty() || !windows::isAbsolutePath(toUtf8(folder))) return {};
    std::wstring trimmed = folder;
    if (trimmed.size() > 3 && isSeparator(trimmed.back())) trimmed.pop_back();
    return inProgramForm(trimmed);
}

std::string absolutePath(const std::string& path) {
    const std::wstring full = fullPath(toWide(path));
    return full.empty() ? path : inProgramForm(full);
}

std::vector<std::string> programArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** const wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(toUtf8(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

std::string workingFolder() {
    std::wstring folder = askGrowing(
        [](wchar_t* buffer, DWORD size) { return ::GetCurrentDirectoryW(size, buffer); });
    // Without its trailing separator, except at a drive's root, which without it would name the
    // drive's current folder.
    if (folder.size() > 3 && isSeparator(folder.back())) folder.pop_back();
    return inProgramForm(folder);
}

std::string resolvedPath(const std::string& path) {
    const std::wstring full = fullPath(toWide(path));
    if (full.empty()) return {};
    // Opening the folder or file itself (FILE_FLAG_BACKUP_SEMANTICS lets a folder be opened)
    // follows every link on the way; the system then names what it reached.
    const HANDLE handle = ::CreateFileW(
        forSystem(full).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {};
    const std::wstring final = askGrowing([handle](wchar_t* buffer, DWORD size) {
        return ::GetFinalPathNameByHandleW(handle, buffer, size,
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
    ::CloseHandle(handle);
    return inProgramForm(final);
}

bool isWindowsGuiProgram(const std::string& path) {
    const std::wstring full = fullPath(toWide(path));
    if (full.empty()) return false;
    const HANDLE file = ::CreateFileW(forSystem(full).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const auto readAt = [file](std::uint64_t offset, unsigned char* into, std::size_t size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        return size <= MAXDWORD &&
               ::ReadFile(file, into, static_cast<DWORD>(size), &got, &at) != 0 && got == size;
    };
    const std::optional<std::uint16_t> subsystem = peSubsystem(readAt);
    ::CloseHandle(file);
    return subsystem == kPeSubsystemWindowsGui;
}

}  // namespace quorvel::platform
