// Win32 implementation of ChildProcess: CreateProcessW by full path into a Job Object that ends
// its members when its last handle closes, an anonymous pipe polled with PeekNamedPipe, and the
// process handle for the exit code.

#include "platform/ChildProcess.h"

#include <windows.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "platform/WindowsPaths.h"
#include "platform/WindowsProgram.h"
#include "platform/win32/WideText.h"

namespace quorvel::platform {

using win32::toUtf8;
using win32::toWide;

namespace {

// Exit code recorded for a child that terminate() ended before it ended by itself: what a
// forced kill gives on POSIX (128 + SIGKILL), so that callers see one value on both systems.
constexpr UINT kTerminatedExitCode = 128 + 9;
// How long terminate() waits for the ended child to be gone; the system ends a job's processes
// at once, so this only bounds a child stuck in a driver call.
constexpr DWORD kTerminateWaitMs = 5000;
constexpr auto kPipePollInterval = std::chrono::milliseconds(1);
constexpr wchar_t kNullDevice[] = L"NUL";
// What the child inherits: its output pipe (twice) and the null device, nothing else.
constexpr std::size_t kInheritedHandles = 2;

class Handle {
  public:
    Handle() = default;
    explicit Handle(HANDLE handle) : m_handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    void reset(HANDLE handle = nullptr) {
        if (m_handle != nullptr) ::CloseHandle(m_handle);
        m_handle = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }
    HANDLE release() {
        HANDLE handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

  private:
    HANDLE m_handle = nullptr;
};

// The attribute list that limits what the child inherits to the handles named in it, so that a
// handle made inheritable here never leaks into a child that another thread starts meanwhile.
class InheritedHandleList {
  public:
    explicit InheritedHandleList(HANDLE* handles, std::size_t count) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        m_storage.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_storage.data());
        if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        m_list = list;
        if (!::UpdateProcThreadAttribute(m_list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                         count * sizeof(HANDLE), nullptr, nullptr)) {
            ::DeleteProcThreadAttributeList(m_list);
            m_list = nullptr;
        }
    }
    ~InheritedHandleList() {
        if (m_list != nullptr) ::DeleteProcThreadAttributeList(m_list);
    }
    InheritedHandleList(const InheritedHandleList&) = delete;
    InheritedHandleList& operator=(const InheritedHandleList&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return m_list; }

  private:
    std::vector<unsigned char> m_storage;
    LPPROC_THREAD_ATTRIBUTE_LIST m_list = nullptr;
};

// A job that ends every process in it when its last handle closes: ours, on every way out of
// this process, a crash or a forced kill included, since only this process holds it.
HANDLE makeKillOnCloseJob() {
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                   sizeof(limits))) {
        ::CloseHandle(job);
        return nullptr;
    }
    return job;
}

bool makeInheritable(HANDLE handle) {
    return ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

std::wstring systemPath(const std::string& path) {
    return toWide(windows::systemPath(path));
}

}  // namespace

struct ChildProcess::Native {
    Handle process;
    Handle job;
    Handle readPipe;
    DWORD pid = 0;
    bool started = false;
    bool jobEnded = false;
    std::optional<int> exitCode;
};

ChildProcess::ChildProcess() : m_native(std::make_unique<Native>()) {}

ChildProcess::~ChildProcess() {
    closeOutput();
    terminate();
}

long ChildProcess::processId() const {
    return m_native->started ? static_cast<long>(m_native->pid) : -1L;
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& workingFolder) {
    Native& n = *m_native;
    if (n.started || program.empty()) return false;
    // Without a full path the system would look for the program in the working folder.
    if (!workingFolder.empty() && !windows::isAbsolutePath(program)) return false;
    // A command line cannot carry a NUL: the argument would arrive cut short.
    for (const std::string& argument : arguments) {
        if (argument.find('\0') != std::string::npos) return false;
    }
    const std::wstring application = systemPath(program);
    std::wstring commandLine = toWide(windowsCommandLine(program, arguments));
    const std::wstring folder = workingFolder.empty() ? std::wstring{} : systemPath(workingFolder);
    if (application.empty() || commandLine.empty() || (!workingFolder.empty() && folder.empty())) {
        return false;  // not valid UTF-8
    }

    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    // Neither end is inheritable yet; only the write end becomes so, and only for this child.
    if (!::CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return false;
    Handle readPipe(readEnd);
    Handle writePipe(writeEnd);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle nullInput(::CreateFileW(kNullDevice, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr));
    if (!nullInput || !makeInheritable(writePipe.get())) return false;

    Handle job(makeKillOnCloseJob());
    if (!job) return false;

    HANDLE inherited[kInheritedHandles] = {writePipe.get(), nullInput.get()};
    InheritedHandleList handleList(inherited, kInheritedHandles);
    if (handleList.get() == nullptr) return false;

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullInput.get();
    startup.StartupInfo.hStdOutput = writePipe.get();
    startup.StartupInfo.hStdError = writePipe.get();
    startup.lpAttributeList = handleList.get();

    // Suspended until it is in the job, so that nothing it starts can escape the job. No console
    // window; and since it gets no console of ours, a Ctrl-C at our console reaches the front end
    // alone, which decides.
    const DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT |
                        CREATE_UNICODE_ENVIRONMENT;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                          nullptr, folder.empty() ? nullptr : folder.c_str(), &startup.StartupInfo,
                          &info)) {
        return false;
    }
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    if (!::AssignProcessToJobObject(job.get(), process.get())) {
        ::TerminateProcess(process.get(), kTerminatedExitCode);
        ::WaitForSingleObject(process.get(), kTerminateWaitMs);
        return false;
    }
    if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        ::TerminateJobObject(job.get(), kTerminatedExitCode);
        ::WaitForSingleObject(process.get(), kTerminateWaitMs);
        return false;
    }
    // Our copy of the write end goes (with writePipe), so the pipe reports its end once the child
    // and whatever inherited its output are done.
    n.process.reset(process.release());
    n.job.reset(job.release());
    n.readPipe.reset(readPipe.release());
    n.pid = info.dwProcessId;
    n.started = true;
    return true;
}

ChildProcess::ReadResult ChildProcess::read(char* buffer, std::size_t capacity, std::size_t& count,
                                            std::chrono::milliseconds wait) {
    Native& n = *m_native;
    count = 0;
    if (!n.readPipe) return ReadResult::EndOfData;
    // An anonymous pipe cannot be waited on: it is looked at until data arrives or the wait is
    // over.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(n.readPipe.get(), nullptr, 0, nullptr, &available, nullptr)) {
            // Every writer has closed it and it is empty.
            return ::GetLastError() == ERROR_BROKEN_PIPE ? ReadResult::EndOfData
                                                         : ReadResult::Failed;
        }
        if (available > 0) break;
        if (std::chrono::steady_clock::now() >= deadline) return ReadResult::NothingYet;
        std::this_thread::sleep_for(kPipePollInterval);
    }
    // What is waiting is read, so ReadFile does not block.
    DWORD available = 0;
    ::PeekNamedPipe(n.readPipe.get(), nullptr, 0, nullptr, &available, nullptr);
    const std::size_t limit = std::min<std::size_t>({capacity, available, MAXDWORD});
    if (limit == 0) return ReadResult::NothingYet;
    DWORD got = 0;
    if (!::ReadFile(n.readPipe.get(), buffer, static_cast<DWORD>(limit), &got, nullptr)) {
        return ::GetLastError() == ERROR_BROKEN_PIPE ? ReadResult::EndOfData : ReadResult::Failed;
    }
    count = got;
    return got > 0 ? ReadResult::Data : ReadResult::NothingYet;
}

std::size_t ChildProcess::waitingBytes() const {
    const Native& n = *m_native;
    if (!n.readPipe) return 0;
    DWORD available = 0;
    if (!::PeekNamedPipe(n.readPipe.get(), nullptr, 0, nullptr, &available, nullptr)) return 0;
    return available;
}

std::optional<int> ChildProcess::exitCode() {
    Native& n = *m_native;
    if (n.exitCode || !n.process) return n.exitCode;
    if (::WaitForSingleObject(n.process.get(), 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    n.exitCode = ::GetExitCodeProcess(n.process.get(), &code) ? static_cast<int>(code) : -1;
    return n.exitCode;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds wait) {
    Native& n = *m_native;
    if (n.exitCode || !n.process) return n.exitCode;
    const auto ms = std::min<long long>(std::max<long long>(wait.count(), 0), INFINITE - 1);
    ::WaitForSingleObject(n.process.get(), static_cast<DWORD>(ms));
    return exitCode();
}

void ChildProcess::terminate() {
    Native& n = *m_native;
    if (!n.started || n.jobEnded) return;
    n.jobEnded = true;
    // Every process still in the job goes at once: a console program without a console of ours
    // has no polite request to take. The child's own exit code, when it ended by itself, is kept.
    ::TerminateJobObject(n.job.get(), kTerminatedExitCode);
    waitForExit(std::chrono::milliseconds(kTerminateWaitMs));
    n.job.reset();
}

void ChildProcess::closeOutput() {
    m_native->readPipe.reset();
}

}  // namespace quorvel::platform
