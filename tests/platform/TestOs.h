#pragma once

// What the tests need from the operating system beyond std::filesystem: FIFOs, file identities,
// the immutable attribute, a file-size limit, the environment, and programs started, interrupted
// and killed. Only tests/platform/ calls the system; the suites call these. Paths are UTF-8.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::test::os {

// ---- What this system offers ----

// Whether makeFifo can make FIFOs, FileSizeLimit can be put in force, and std::filesystem can
// make symbolic links, on this system and for this process. Where one is missing, a test that
// needs it skips (with GTEST_SKIP) rather than fails.
bool fifosAvailable();
bool fileSizeLimitAvailable();
bool linksAvailable();

// ---- Files ----

// Makes a FIFO (named pipe) at `path`; false when it cannot. Opening one waits for a partner,
// which the code under test must never do.
bool makeFifo(const std::string& path);

// Which file a name leads to on its volume, the name's own entry when it is a link. Two names of
// one file (hard links) have equal identities; rewriting a file in place keeps it.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
std::optional<FileIdentity> fileIdentity(const std::string& path);

// Whether this process still has the file `path` names open.
bool fileHeldOpen(const std::string& path);

// Sets or clears the file system's immutable attribute, which refuses every writer, an
// administrator included. Setting is proven by a writer being refused; false where the file
// system or the process cannot set it (then nothing changed).
bool setImmutable(const std::string& path, bool immutable);

// While it lives, no file of this process may grow past `bytes`: a write beyond fails with
// "File too large", as on a full disk, and does not end the process.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(std::int64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    // Whether the limit is in force.
    bool applied() const { return m_applied; }
    // Puts the old limit back now rather than at the end of the scope.
    void lift();

  private:
    struct Saved;
    std::unique_ptr<Saved> m_saved;
    bool m_applied = false;
};

// ---- Environment ----

// Sets the variable `name` of this process's environment; nullopt removes it.
void setEnvironmentVariable(const std::string& name, const std::optional<std::string>& value);

// ---- Programs ----

// How a program ended: by its own exit with `exitCode`, or not (`exited` false) when it was
// ended from outside, and then `exitCode` is 128 plus the number of what ended it, as a shell
// reports it.
struct ProgramEnd {
    bool exited = false;
    int exitCode = -1;
};

// The exit code reported for a program that was killed by force (see ProgramEnd).
int killedExitCode();

struct ProgramOptions {
    // "NAME=value" entries that replace or add variables of the program's environment.
    std::vector<std::string> environment;
    // Standard input reads nothing; otherwise it is this program's own.
    bool emptyInput = false;
    // Files (created or emptied) that get the standard output and error; empty: this program's.
    std::string outputTo;
    std::string errorsTo;
};

// A program started in the background. One still running when this goes is killed and its end
// collected, so that a failed test leaves nothing behind.
class Program {
  public:
    // Starts `argv[0]`, looked up on PATH when it names no folder, with the rest as arguments
    // (no shell).
    explicit Program(const std::vector<std::string>& argv, const ProgramOptions& options = {});
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // False when it could not be started; then every other call does nothing.
    bool started() const;
    // What the user's Ctrl+C sends.
    void interrupt();
    // Ends it by force.
    void kill();
    // Its end, waiting at most `limit`; nullopt when it still runs.
    std::optional<ProgramEnd> waitFor(std::chrono::milliseconds limit);
    ProgramEnd wait();

  private:
    struct Native;
    std::unique_ptr<Native> m_native;
};

// Process numbers as a test's script prints them (`$$`, `$!`).
// Whether that process has ended. One that has ended but whose end its parent has not collected
// yet counts as ended only with `uncollectedCounts`: a process of ours must also be collected,
// one that another process adopted is collected by that one in its own time.
bool processEnded(long processNumber, bool uncollectedCounts = false);
// Kills that process; nothing when it has ended.
void killProcess(long processNumber);
// Whether this test program has a child process left, running or with its end not collected.
bool hasChildProcess();

}  // namespace quorvel::test::os
