#include "platform/TestOs.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace quorvel::test::os {

namespace {

// Runs a program to its end with no input and its output thrown away; its exit code, or -1.
int runQuietly(const std::vector<std::string>& argv) {
    Program program(
        argv,
        {.environment = {}, .emptyInput = true, .outputTo = "/dev/null", .errorsTo = "/dev/null"});
    if (!program.started()) return -1;
    return program.wait().exitCode;
}

ProgramEnd endFromStatus(int status) {
    if (WIFEXITED(status)) return {true, WEXITSTATUS(status)};
    return {false, 128 + WTERMSIG(status)};
}

}  // namespace

bool fifosAvailable() {
    return true;
}

bool fileSizeLimitAvailable() {
    return true;
}

bool linksAvailable() {
    return true;
}

bool makeFifo(const std::string& path) {
    return ::mkfifo(path.c_str(), 0644) == 0;
}

std::optional<FileIdentity> fileIdentity(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
}

bool fileHeldOpen(const std::string& path) {
    std::error_code error;
    const std::filesystem::path file = std::filesystem::weakly_canonical(path, error);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code unreadable;
        if (std::filesystem::read_symlink(entry.path(), unreadable) == file) return true;
    }
    return false;
}

bool setImmutable(const std::string& path, bool immutable) {
    if (runQuietly({"chattr", immutable ? "+i" : "-i", path}) != 0) return false;
    if (!immutable) return true;
    // Proof, not trust: the attribute must really refuse a writer.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        runQuietly({"chattr", "-i", path});
        return false;
    }
    return true;
}

struct FileSizeLimit::Saved {
    struct rlimit limit {};
    struct sigaction onTooLarge {};
};

FileSizeLimit::FileSizeLimit(std::int64_t bytes) : m_saved(std::make_unique<Saved>()) {
    if (::getrlimit(RLIMIT_FSIZE, &m_saved->limit) != 0) return;
    // Past the limit the system sends SIGXFSZ, whose default ends the process; ignored, the
    // write fails with EFBIG instead.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, &m_saved->onTooLarge);
    struct rlimit limit = m_saved->limit;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        ::sigaction(SIGXFSZ, &m_saved->onTooLarge, nullptr);
        return;
    }
    m_applied = true;
}

FileSizeLimit::~FileSizeLimit() {
    lift();
}

void FileSizeLimit::lift() {
    if (!m_applied) return;
    m_applied = false;
    ::setrlimit(RLIMIT_FSIZE, &m_saved->limit);
    ::sigaction(SIGXFSZ, &m_saved->onTooLarge, nullptr);
}

void setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
}

int killedExitCode() {
    return 128 + SIGKILL;
}

struct Program::Native {
    pid_t pid = 0;
    bool collected = false;
};

Program::Program(const std::vector<std::string>& argv, const ProgramOptions& options) {
    if (argv.empty()) return;
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& wanted : options.environment) {
            if (wanted.substr(0, wanted.find('=')) == name) replaced = true;
        }
        if (!replaced) envStrings.push_back(entry);
    }
    for (const auto& wanted : options.environment) envStrings.push_back(wanted);
    std::vector<char*> envp;
    for (auto& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.emptyInput) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!options.outputTo.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, options.outputTo.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (!options.errorsTo.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, options.errorsTo.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return;
    m_native = std::make_unique<Native>();
    m_native->pid = pid;
}

Program::~Program() {
    if (!m_native || m_native->collected) return;
    kill();
    wait();
}

bool Program::started() const {
    return m_native != nullptr;
}

void Program::interrupt() {
    if (m_native && !m_native->collected) ::kill(m_native->pid, SIGINT);
}

void Program::kill() {
    if (m_native && !m_native->collected) ::kill(m_native->pid, SIGKILL);
}

std::optional<ProgramEnd> Program::waitFor(std::chrono::milliseconds limit) {
    if (!m_native || m_native->collected) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(m_native->pid, &status, WNOHANG) == m_native->pid) {
            m_native->collected = true;
            return endFromStatus(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ProgramEnd Program::wait() {
    if (!m_native || m_native->collected) return {};
    int status = 0;
    while (::waitpid(m_native->pid, &status, 0) < 0) {
        if (errno != EINTR) return {};
    }
    m_native->collected = true;
    return endFromStatus(status);
}

bool processEnded(long processNumber, bool uncollectedCounts) {
    const pid_t pid = static_cast<pid_t>(processNumber);
    if (::kill(pid, 0) == -1 && errno == ESRCH) return true;
    if (!uncollectedCounts) return false;
    // A zombie: the state after the name in parentheses in /proc/<pid>/stat is 'Z'. A process
    // gone between the two looks has ended too.
    std::ifstream in("/proc/" + std::to_string(processNumber) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return true;
    const std::size_t nameEnd = text.rfind(')');
    return nameEnd != std::string::npos && nameEnd + 2 < text.size() && text[nameEnd + 2] == 'Z';
}

void killProcess(long processNumber) {
    ::kill(static_cast<pid_t>(processNumber), SIGKILL);
}

bool hasChildProcess() {
    return !(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);
}

}  // namespace quorvel::test::os
