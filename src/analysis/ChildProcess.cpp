// POSIX implementation of ChildProcess: posix_spawn into a new process group, one pipe, poll,
// waitid and waitpid.

#include "analysis/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace quorvel {

namespace {

constexpr int kStdin = 0;
constexpr int kStdout = 1;
constexpr int kStderr = 2;
constexpr const char* kNullDevice = "/dev/null";
// Exit code reported for a child ended by signal N, as shells do.
constexpr int kSignalExitBase = 128;
// How long the members of a terminated group may take to go before they are killed outright.
constexpr auto kTerminateGrace = std::chrono::milliseconds(500);
// Group id 0 in the spawn attributes: the child leads a new group named by its own id.
constexpr pid_t kOwnProcessGroup = 0;
constexpr auto kReapPollInterval = std::chrono::milliseconds(1);

int exitCodeFromStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return kSignalExitBase + WTERMSIG(status);
    return -1;
}

int exitCodeFromInfo(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) return info.si_status;
    if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
        return kSignalExitBase + info.si_status;
    }
    return -1;
}

// The spawn attributes and file actions, released however start() returns.
class SpawnSetup {
  public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
    closeOutput();
    terminate();
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments) {
    if (m_pid >= 0) return false;
    int fds[2] = {-1, -1};
    // Both ends close on exec: the child keeps only the copies on its stdout and stderr, and
    // no other child started meanwhile inherits our read end.
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    int readFd = fds[0];
    int writeFd = fds[1];

    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, kStdin, kNullDevice, O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, writeFd, kStdout);
    posix_spawn_file_actions_adddup2(&setup.actions, writeFd, kStderr);

    // A front end may ignore or block these; the child must still be stoppable and must die
    // quietly on a broken pipe.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&defaults, signal);
    sigset_t noneBlocked;
    sigemptyset(&noneBlocked);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setsigmask(&setup.attributes, &noneBlocked);
    // Its own group: whatever it starts stays in that group and can be ended with it, and a
    // terminal's Ctrl-C reaches the front end, which decides, rather than the child.
    posix_spawnattr_setpgroup(&setup.attributes, kOwnProcessGroup);
    posix_spawnattr_setflags(&setup.attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes,
                                 argv.data(), environ);
    // Our copy of the write end goes, so the pipe reports end of data once the child is done.
    closeQuietly(writeFd);
    if (rc != 0) {
        closeQuietly(readFd);
        return false;
    }
    const int flags = ::fcntl(readFd, F_GETFL);
    if (flags >= 0) ::fcntl(readFd, F_SETFL, flags | O_NONBLOCK);
    m_pid = pid;
    m_readFd = readFd;
    return true;
}

ChildProcess::ReadResult ChildProcess::read(char* buffer, std::size_t capacity, std::size_t& count,
                                            std::chrono::milliseconds wait) {
    count = 0;
    if (m_readFd < 0) return ReadResult::EndOfData;
    pollfd request{m_readFd, POLLIN, 0};
    const int ready = ::poll(&request, 1, static_cast<int>(wait.count()));
    if (ready < 0) return errno == EINTR ? ReadResult::NothingYet : ReadResult::Failed;
    if (ready == 0) return ReadResult::NothingYet;
    const ssize_t got = ::read(m_readFd, buffer, capacity);
    if (got > 0) {
        count = static_cast<std::size_t>(got);
        return ReadResult::Data;
    }
    if (got == 0) return ReadResult::EndOfData;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReadResult::NothingYet;
    return ReadResult::Failed;
}

std::size_t ChildProcess::waitingBytes() const {
    if (m_readFd < 0) return 0;
    int waiting = 0;
    if (::ioctl(m_readFd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
    return static_cast<std::size_t>(waiting);
}

std::optional<int> ChildProcess::exitCode() {
    if (m_exitCode || m_pid < 0) return m_exitCode;
    // The ended child is looked at, not reaped: until terminate() reaps it, its id cannot name
    // another process, so the group id still names our group when the group is signalled.
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
            if (info.si_pid != 0) m_exitCode = exitCodeFromInfo(info);
            return m_exitCode;
        }
        if (errno == EINTR) continue;
        // Someone else collected it (SIGCHLD ignored, for instance): it is gone, its code unknown.
        m_reaped = true;
        m_exitCode = -1;
        return m_exitCode;
    }
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!exitCode() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kReapPollInterval);
    }
    return exitCode();
}

void ChildProcess::terminate() {
    if (m_pid < 0 || m_groupEnded) return;
    m_groupEnded = true;
    // The child is not reaped yet, so the group still bears its id.
    signalGroup(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kTerminateGrace;
    for (;;) {
        if (!m_reaped) reap(false);
        if (m_reaped && !groupHasMembers()) return;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(kReapPollInterval);
    }
    signalGroup(SIGKILL);
    if (!m_reaped) reap(true);
}

bool ChildProcess::groupHasMembers() const {
    // Signal 0 only asks whether any member is left that we may signal.
    return ::kill(-static_cast<pid_t>(m_pid), 0) == 0;
}

void ChildProcess::signalGroup(int signal) const {
    ::kill(-static_cast<pid_t>(m_pid), signal);
}

void ChildProcess::closeOutput() {
    closeQuietly(m_readFd);
}

void ChildProcess::reap(bool block) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(static_cast<pid_t>(m_pid), &status, block ? 0 : WNOHANG);
        if (done == static_cast<pid_t>(m_pid)) {
            m_reaped = true;
            if (!m_exitCode) m_exitCode = exitCodeFromStatus(status);
            return;
        }
        if (done == 0) return;  // still running
        if (errno == EINTR) continue;
        // Someone else collected it: it is gone, its code unknown.
        m_reaped = true;
        if (!m_exitCode) m_exitCode = -1;
        return;
    }
}

}  // namespace quorvel
