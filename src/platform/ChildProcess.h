#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::platform {

// A child program whose standard output and standard error both arrive on one pipe, with
// standard input from the null device. The child runs in a group of its own (a process group
// on POSIX, a Job Object on Windows), so that whatever it starts in turn can be ended with it,
// and a Ctrl-C at our terminal reaches the front end alone. Only the implementation knows how
// the system starts processes and polls pipes; a port replaces it and nothing else.
//
// The object owns the child and its group: however it goes out of scope (an error thrown by a
// reader included), what is left of the group is ended, the child is reaped and the pipe is
// closed. Should this process die without going out of scope (a forced kill included), the group
// still ends (on POSIX a watcher process in it sees its lifeline pipe close and kills it; on
// Windows the job, whose one handle we hold, ends its members when that handle closes): the
// child and what it started end with the job that started them.
class ChildProcess {
  public:
    enum class ReadResult {
        Data,        // `count` bytes were read
        NothingYet,  // nothing arrived within the wait
        EndOfData,   // every writer has closed the pipe and it is empty
        Failed,      // the pipe cannot be read
    };

    ChildProcess();
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` (a path, not looked up on PATH) with `arguments` as its argv[1..], each
    // passed as it is: no shell, spaces kept. With a `workingFolder` the child starts in that
    // folder, and `program` must then be an absolute path, so that nothing in the folder can
    // stand in for it. False when the pipes, the group or the child cannot be made, or when
    // the folder cannot be entered.
    bool start(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& workingFolder = {});

    // Waits up to `wait` for output, then reads up to `capacity` bytes without blocking.
    ReadResult read(char* buffer, std::size_t capacity, std::size_t& count,
                    std::chrono::milliseconds wait);

    // Bytes waiting in the pipe now, without removing any; 0 when none or when it cannot tell.
    std::size_t waitingBytes() const;

    // The child's exit code once it has ended (128 + signal number when a signal ended it on
    // POSIX; 128 + 9 on Windows when terminate() ended it); empty while it runs. Never blocks. What the child started may still run.
    std::optional<int> exitCode();

    // Waits up to `wait` for the child to end; its exit code, or empty while it still runs.
    std::optional<int> waitForExit(std::chrono::milliseconds wait);

    // Ends what is left of the child's group, the child included. On POSIX: a polite request to
    // every member, a short grace for the child to go, then a forced kill of whatever is left of
    // the group; the child and the watcher are reaped before this returns. On Windows the job's
    // processes are ended at once (a child without our console has no polite request to take).
    // A second call does nothing.
    void terminate();

    // Closes our end of the pipe; a child still writing then gets a broken pipe.
    void closeOutput();

    // Process id of the child, or -1 before start.
    long processId() const;

  private:
    // The system's handles: the child and its group, the pipes' ends, what is known of the
    // child's end.
    struct Native;
    std::unique_ptr<Native> m_native;
};

}  // namespace quorvel::platform
