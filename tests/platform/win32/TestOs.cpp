#include "platform/TestOs.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <string>
#include <thread>

// Windows has no FIFOs in the file system and no per-process file-size limit; those report
// themselves unavailable and the tests that need them skip. The immutable attribute is stood in
// for by the read-only attribute, which refuses every writer as well.
namespace quorvel::test::os {

namespace {

// The exit code a program ended by force gets here; the same number a shell shows on Linux.
constexpr int kKilledExitCode = 137;

std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int length =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                          length);
    return out;
}

// One argument as the C runtime of the started program splits its command line back.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

HANDLE openForLook(const std::string& path) {
    return ::CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
}

HANDLE inheritable(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return ::CreateFileW(wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool fifosAvailable() {
    return false;
}

bool fileSizeLimitAvailable() {
    return false;
}

// Making a link needs a privilege (or developer mode) on Windows and is not offered everywhere:
// tried once, in the temporary folder.
bool linksAvailable() {
    static const bool available = [] {
        std::error_code error;
        const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
        if (error) return false;
        const std::filesystem::path link =
            folder / ("quorvel-link-probe-" + std::to_string(::GetCurrentProcessId()));
        std::filesystem::create_symlink(folder, link, error);
        if (error) return false;
        std::filesystem::remove(link, error);
        return true;
    }();
    return available;
}

bool makeFifo(const std::string&) {
    return false;
}

std::optional<FileIdentity> fileIdentity(const std::string& path) {
    HANDLE handle = openForLook(path);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    if (!known) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
                            info.nFileIndexLow};
}

// A file this process holds open, with any sharing, cannot be opened again without sharing.
bool fileHeldOpen(const std::string& path) {
    HANDLE handle = ::CreateFileW(wide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
        return false;
    }
    return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

bool setImmutable(const std::string& path, bool immutable) {
    const std::wstring name = wide(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    const DWORD wanted = immutable ? (attributes | FILE_ATTRIBUTE_READONLY)
                                   : (attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!::SetFileAttributesW(name.c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted)) {
        return false;
    }
    if (!immutable) return true;
    // Proof, not trust: the attribute must really refuse a writer.
    HANDLE writer = ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writer != INVALID_HANDLE_VALUE) {
        ::CloseHandle(writer);
        ::SetFileAttributesW(name.c_str(), attributes);
        return false;
    }
    return true;
}

struct FileSizeLimit::Saved {};

FileSizeLimit::FileSizeLimit(std::int64_t) {}

FileSizeLimit::~FileSizeLimit() = default;

void FileSizeLimit::lift() {
    m_applied = false;
}

void setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
    // The C runtime's copy is what getenv reads; it passes the change on to the system's.
    ::_wputenv_s(wide(name).c_str(), value ? wide(*value).c_str() : L"");
}

int killedExitCode() {
    return kKilledExitCode;
}

struct Program::Native {
    PROCESS_INFORMATION process{};
    bool killed = false;
    bool collected = false;
};

Program::Program(const std::vector<std::string>& argv, const ProgramOptions& options) {
    if (argv.empty()) return;
    std::wstring commandLine;
    for (const std::string& argument : argv) {
        if (!commandLine.empty()) commandLine += L' ';
        commandLine += quoted(wide(argument));
    }
    // The environment: this process's, with the options' entries replacing or added.
    std::wstring environment;
    if (!options.environment.empty()) {
        const auto nameOf = [](const std::wstring& entry) {
            // A leading '=' belongs to the name (the system's "=C:" entries).
            return entry.substr(0, entry.find(L'=', 1));
        };
        std::vector<std::wstring> wanted;
        for (const std::string& entry : options.environment) wanted.push_back(wide(entry));
        wchar_t* current = ::GetEnvironmentStringsW();
        for (const wchar_t* entry = current; entry != nullptr && *entry != L'\0';
             entry += std::wcslen(entry) + 1) {
            const std::wstring text(entry);
            bool replaced = false;
            for (const std::wstring& w : wanted) replaced = replaced || nameOf(w) == nameOf(text);
            if (!replaced) environment += text + L'\0';
        }
        if (current != nullptr) ::FreeEnvironmentStringsW(current);
        for (const std::wstring& w : wanted) environment += w + L'\0';
        environment += L'\0';
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    HANDLE input = options.emptyInput ? inheritable("NUL", GENERIC_READ, OPEN_EXISTING)
                                      : ::GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = options.outputTo.empty()
                        ? ::GetStdHandle(STD_OUTPUT_HANDLE)
                        : inheritable(options.outputTo, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE errors = options.errorsTo.empty()
                        ? ::GetStdHandle(STD_ERROR_HANDLE)
                        : inheritable(options.errorsTo, GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = errors;
    auto native = std::make_unique<Native>();
    const BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                          CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                                          environment.empty() ? nullptr : environment.data(), nullptr, &startup,
                                          &native->process);
    if (options.emptyInput) ::CloseHandle(input);
    if (!options.outputTo.empty()) ::CloseHandle(output);
    if (!options.errorsTo.empty()) ::CloseHandle(errors);
    if (!started) return;
    ::CloseHandle(native->process.hThread);
    m_native = std::move(native);
}

Program::~Program() {
    if (!m_native) return;
    if (!m_native->collected) {
        kill();
        wait();
    }
    ::CloseHandle(m_native->process.hProcess);
}

bool Program::started() const {
    return m_native != nullptr;
}

void Program::interrupt() {
    if (m_native && !m_native->collected) {
        ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, m_native->process.dwProcessId);
    }
}

void Program::kill() {
    if (m_native && !m_native->collected &&
        ::TerminateProcess(m_native->process.hProcess, kKilledExitCode)) {
        m_native->killed = true;
    }
}

std::optional<ProgramEnd> Program::waitFor(std::chrono::milliseconds limit) {
    if (!m_native || m_native->collected) return std::nullopt;
    if (::WaitForSingleObject(m_native->process.hProcess, static_cast<DWORD>(limit.count())) !=
        WAIT_OBJECT_0) {
        return std::nullopt;
    }
    m_native->collected = true;
    DWORD code = 0;
    ::GetExitCodeProcess(m_native->process.hProcess, &code);
    if (m_native->killed) return ProgramEnd{false, kKilledExitCode};
    return ProgramEnd{true, static_cast<int>(code)};
}

ProgramEnd Program::wait() {
    if (!m_native || m_native->collected) return {};
    const std::optional<ProgramEnd> end = waitFor(std::chrono::milliseconds(INFINITE - 1));
    return end.value_or(ProgramEnd{});
}

// Windows keeps no ended-but-uncollected state that matters here: a process that has ended has.
bool processEnded(long processNumber, bool) {
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(processNumber));
    if (process == nullptr) return true;
    const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

void killProcess(long processNumber) {
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(processNumber));
    if (process == nullptr) return;
    ::TerminateProcess(process, kKilledExitCode);
    ::CloseHandle(process);
}

bool hasChildProcess() {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    const DWORD self = ::GetCurrentProcessId();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more && !found;
         more = ::Process32NextW(snapshot, &entry)) {
        found = entry.th32ParentProcessID == self && !processEnded(entry.th32ProcessID);
    }
    ::CloseHandle(snapshot);
    return found;
}

}  // namespace quorvel::test::os
