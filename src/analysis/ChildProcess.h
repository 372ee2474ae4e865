#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

// A child program whose standard output and standard error both arrive on one pipe, with
// standard input from the null device. This is the only file that knows how the platform starts
// processes and polls pipes; a port replaces its implementation and nothing else.
//
// The object owns the child: however it goes out of scope (an error thrown by a reader
// included), a child still running is terminated, every child is reaped and the pipe is closed.
class ChildProcess {
  public:
    enum class ReadResult {
        Data,        // `count` bytes were read
        NothingYet,  // nothing arrived within the wait
        EndOfData,   // every writer has closed the pipe and it is empty
        Failed,      // the pipe cannot be read
    };

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` (a path, not looked up on PATH) with `arguments` as its argv[1..], each
    // passed as it is: no shell, spaces kept. False when the pipe or the child cannot be made.
    bool start(const std::string& program, const std::vector<std::string>& arguments);

    // Waits up to `wait` for output, then reads up to `capacity` bytes without blocking.
    ReadResult read(char* buffer, std::size_t capacity, std::size_t& count,
                    std::chrono::milliseconds wait);

    // The child's exit code once it has ended (128 + signal number when a signal ended it);
    // empty while it runs. Never blocks.
    std::optional<int> exitCode();

    // Waits up to `wait` for the child to end; its exit code, or empty while it still runs.
    std::optional<int> waitForExit(std::chrono::milliseconds wait);

    // Ends a running child: a polite request first, then a forced kill if it lingers. The child
    // is reaped before this returns.
    void terminate();

    // Closes our end of the pipe; a child still writing then gets a broken pipe.
    void closeOutput();

    // Process id of the child, or -1 before start.
    long processId() const { return m_pid; }

  private:
    void reap(bool block);

    long m_pid = -1;
    int m_readFd = -1;
    bool m_reaped = false;
    std::optional<int> m_exitCode;
};

}  // namespace quorvel
