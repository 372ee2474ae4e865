// POSIX implementation of ChildProcess: a forked watcher that leads a new process group,
// posix_spawn into that group, one pipe for the output and one for the lifeline, poll, waitid
// and waitpid.

#include "platform/ChildProcess.h"

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

namespace quorvel::platform {

namespace {

constexpr int kStdin = 0;
constexpr int kStdout = 1;
constexpr int kStderr = 2;
constexpr const char* kNullDevice = "/dev/null";
// Exit code reported for a child ended by signal N, as shells do.
constexpr int kSignalExitBase = 128;
// How long the members of a terminated group may take to go before they are killed outright.
constexpr auto kTerminateGrace = std::chrono::milliseconds(500);
constexpr auto kReapPollInterval = std::chrono::milliseconds(1);
// Signals the watcher ignores: it ends only when its lifeline closes, or by SIGKILL. The polite
// request to the group must not take it away while the child may still need ending, and a
// terminal's signals are the front end's to handle.
constexpr int kWatcherIgnores[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE};
constexpr unsigned int kHighestDescriptor = ~0U;

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

// Forks the watcher: it leads a new process group, keeps no descriptor but the lifeline's read
// end, and waits. When the lifeline's last writer is gone (this process closed it or died, by
// SIGKILL too), it kills its own group, itself included. Signalling its own group rather than a
// number it was told means it can never reach a group whose id has been reused. Returns the
// watcher's id, or -1 when it cannot be made.
pid_t startWatcher(int lifelineRead) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // _Fork rather than fork: no handler a library registered for fork runs in the child.
    const pid_t pid = ::_Fork();
    if (pid != 0) return pid;

    // The child of a process that may run several threads: only async-signal-safe calls until
    // _exit, and no return into the caller's code.
    ::setpgid(0, 0);
    for (int signal : kWatcherIgnores) ::sigaction(signal, &ignore, nullptr);
    // Nothing else stays open here: no pipe the front end or another child waits on is held.
    if (lifelineRead > 0) ::close_range(0, static_cast<unsigned int>(lifelineRead) - 1, 0);
    ::close_range(static_cast<unsigned int>(lifelineRead) + 1, kHighestDescriptor, 0);
    char byte = 0;
    for (;;) {
        const ssize_t got = ::read(lifelineRead, &byte, 1);
        if (got == 0 || (got < 0 && errno != EINTR)) break;
    }
    ::kill(0, SIGKILL);
    ::_exit(0);
}

// Blocks until `pid` has ended, leaving it unreaped; false when it is not ours to wait for.
bool awaitEndUnreaped(pid_t pid) {
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0) return true;
        if (errno != EINTR) return false;
    }
}

void reapBlocking(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

struct ChildProcess::Native {
    void killGroup();
    void reap(bool block);

    pid_t pid = -1;
    // The watcher leads the child's group, so the group bears its id; until the watcher is
    // reaped, that id cannot name anyone else's group.
    pid_t watcherPid = -1;
    int lifelineFd = -1;  // write end; the watcher holds the read end
    int readFd = -1;
    bool reaped = false;
    bool groupEnded = false;
    std::optional<int> exitCode;
};

ChildProcess::ChildProcess() : m_native(std::make_unique<Native>()) {}

ChildProcess::~ChildProcess() {
    closeOutput();
    terminate();
}

long ChildProcess::processId() const {
    return static_cast<long>(m_native->pid);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& workingFolder) {
    Native& n = *m_native;
    if (n.pid >= 0) return false;
    // A relative program would be looked up in the working folder.
    if (!workingFolder.empty() && (program.empty() || program.front() != '/')) return false;
    int fds[2] = {-1, -1};
    // Both ends close on exec: the child keeps only the copies on its stdout and stderr, and
    // no other child started meanwhile inherits our read end.
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    int readFd = fds[0];
    int writeFd = fds[1];
    // Only this process holds the lifeline's write end; the child never sees it.
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        closeQuietly(readFd);
        closeQuietly(writeFd);
        return false;
    }
    int lifelineRead = fds[0];
    int lifelineWrite = fds[1];
    const pid_t watcher = startWatcher(lifelineRead);
    closeQuietly(lifelineRead);
    if (watcher < 0) {
        closeQuietly(lifelineWrite);
        closeQuietly(readFd);
        closeQuietly(writeFd);
        return false;
    }
    // The watcher makes its group itself as well; whichever comes first, the group exists before
    // the child is put into it.
    ::setpgid(watcher, watcher);

    SpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, kStdin, kNullDevice, O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, writeFd, kStdout);
    posix_spawn_file_actions_adddup2(&setup.actions, writeFd, kStderr);
    if (!workingFolder.empty()) {
        posix_spawn_file_actions_addchdir_np(&setup.actions, workingFolder.c_str());
    }

    // A front end may ignore or block these; the child must still be stoppable and must die
    // quietly on a broken pipe.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&defaults, signal);
    sigset_t noneBlocked;
    sigemptyset(&noneBlocked);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setsigmask(&setup.attributes, &noneBlocked);
    // The watcher's group: whatever the child starts stays in it and can be ended with it, and a
    // terminal's Ctrl-C reaches the front end, which decides, rather than the child.
    posix_spawnattr_setpgroup(&setup.attributes, watcher);
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
        // The watcher ends itself once its lifeline closes.
        closeQuietly(lifelineWrite);
        reapBlocking(watcher);
        return false;
    }
    const int flags = ::fcntl(readFd, F_GETFL);
    if (flags >= 0) ::fcntl(readFd, F_SETFL, flags | O_NONBLOCK);
    n.pid = pid;
    n.watcherPid = watcher;
    n.lifelineFd = lifelineWrite;
    n.readFd = readFd;
    return true;
}

ChildProcess::ReadResult ChildProcess::read(char* buffer, std::size_t capacity, std::size_t& count,
                                            std::chrono::milliseconds wait) {
    const int readFd = m_native->readFd;
    count = 0;
    if (readFd < 0) return ReadResult::EndOfData;
    pollfd request{readFd, POLLIN, 0};
    const int ready = ::poll(&request, 1, static_cast<int>(wait.count()));
    if (ready < 0) return errno == EINTR ? ReadResult::NothingYet : ReadResult::Failed;
    if (ready == 0) return ReadResult::NothingYet;
    const ssize_t got = ::read(readFd, buffer, capacity);
    if (got > 0) {
        count = static_cast<std::size_t>(got);
        return ReadResult::Data;
    }
    if (got == 0) return ReadResult::EndOfData;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReadResult::NothingYet;
    return ReadResult::Failed;
}

std::size_t ChildProcess::waitingBytes() const {
    const int readFd = m_native->readFd;
    if (readFd < 0) return 0;
    int waiting = 0;
    if (::ioctl(readFd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
    return static_cast<std::size_t>(waiting);
}

std::optional<int> ChildProcess::exitCode() {
    Native& n = *m_native;
    if (n.exitCode || n.pid < 0) return n.exitCode;
    // The ended child is looked at, not reaped: until terminate() reaps it, its id cannot name
    // another process, so terminate() may still signal it by that id.
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(n.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
            if (info.si_pid != 0) n.exitCode = exitCodeFromInfo(info);
            return n.exitCode;
        }
        if (errno == EINTR) continue;
        // Someone else collected it (SIGCHLD ignored, for instance): it is gone, its code unknown.
        n.reaped = true;
        n.exitCode = -1;
        return n.exitCode;
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
    Native& n = *m_native;
    if (n.pid < 0 || n.groupEnded) return;
    n.groupEnded = true;
    // The watcher is not reaped yet, so the group id still names our group alone. The watcher
    // ignores this request; every other member may take it.
    ::kill(-n.watcherPid, SIGTERM);
    waitForExit(kTerminateGrace);
    n.killGroup();
    // The child is looked at, not reaped, until now, so its id still names it.
    if (!n.reaped) {
        ::kill(n.pid, SIGKILL);
        n.reap(true);
    }
}

void ChildProcess::closeOutput() {
    closeQuietly(m_native->readFd);
}

void ChildProcess::Native::killGroup() {
    // Its lifeline closes: the watcher kills the group, itself included.
    closeQuietly(lifelineFd);
    if (!awaitEndUnreaped(watcherPid)) return;
    // A watcher that was ended some other way has killed nothing; its unreaped id still names
    // our group alone.
    ::kill(-watcherPid, SIGKILL);
    reapBlocking(watcherPid);
}

void ChildProcess::Native::reap(bool block) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, block ? 0 : WNOHANG);
        if (done == pid) {
            reaped = true;
            if (!exitCode) exitCode = exitCodeFromStatus(status);
            return;
        }
        if (done == 0) return;  // still running
        if (errno == EINTR) continue;
        // Someone else collected it: it is gone, its code unknown.
        reaped = true;
        if (!exitCode) exitCode = -1;
        return;
    }
}

}  // namespace quorvel::platform
