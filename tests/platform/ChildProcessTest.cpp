// The child process's own guarantees: where it starts and with what, and that nothing it started
// outlives the process that owns it, even one killed outright. How the analyser's run ends its
// group on an abort or an error is pinned with the runner.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/ProgramLocation.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using platform::ChildProcess;
using namespace std::chrono_literals;

std::string writeScript(const std::string& path, const std::string& body) {
    test::writeText(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

// What the child writes until its output ends, or until `lines` whole lines have arrived.
std::string readOutput(ChildProcess& child, long lines = 1000) {
    std::string text;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline &&
           std::count(text.begin(), text.end(), '\n') < lines) {
        std::size_t count = 0;
        const ChildProcess::ReadResult result = child.read(buffer, sizeof buffer, count, 50ms);
        if (result == ChildProcess::ReadResult::Data) text.append(buffer, count);
        if (result == ChildProcess::ReadResult::EndOfData) break;
    }
    return text;
}

TEST(ChildProcess, StartsInTheGivenFolderWithItsArgumentsAsGivenOrNotAtAll) {
    struct Case {
        const char* program;  // below the test folder when it holds a '/', else passed as it is
        const char* folder;   // below the test folder; nullptr: this process's working folder
        bool starts;
    };
    const Case cases[] = {
        {"tool/show", "my disc/STREAM", true},
        {"tool/show", nullptr, true},
        // It would be looked up in the folder, where a file of the disc could stand in for it.
        {"show", "tool", false},
        {"tool/show", "gone", false},
        {"tool/absent", "my disc/STREAM", false},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        test::makeDirs(dir / "tool");
        test::makeDirs(dir / "my disc/STREAM");
        writeScript(dir / "tool/show", "pwd -P\nprintf '%s|' \"$@\"");
        const std::string label = std::string(c.program) + " in " + (c.folder ? c.folder : ".");
        const std::string program =
            std::string(c.program).find('/') != std::string::npos ? dir / c.program : c.program;
        const std::string folder = c.folder != nullptr ? dir / c.folder : std::string{};

        ChildProcess child;
        ASSERT_EQ(child.start(program, {"two words", "-v", "", "bad\xff"}, folder), c.starts)
            << label;
        if (!c.starts) continue;
        const std::string ranIn = platform::resolvedPath(c.folder ? folder : ".");
        EXPECT_EQ(readOutput(child), ranIn + "\ntwo words|-v||bad\xff|") << label;
        EXPECT_EQ(child.waitForExit(10s), 0) << label;
    }
}

bool isZombie(long pid) {
    const ByteString stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::string text(stat.begin(), stat.end());
    const std::size_t nameEnd = text.rfind(')');
    return nameEnd != std::string::npos && nameEnd + 2 < text.size() && text[nameEnd + 2] == 'Z';
}

// Whether a process this test did not start ends soon; whoever adopted it may not reap it.
bool processEnds(long pid) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (::kill(static_cast<pid_t>(pid), 0) == 0 && !isZombie(pid)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The owner is killed outright, so nothing of ours runs: the watcher alone ends the child and
// the grandchild, which ignores the polite request.
TEST(ChildProcess, GroupEndsWhenItsOwnerIsKilled) {
    test::TempDir dir;
    const std::string program =
        writeScript(dir / "group", "(trap '' TERM; exec sleep 30) &\necho $!\necho $$\nwait");
    // Close on exec: the group must not hold the report pipe open, or reading it would wait.
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    const pid_t owner = ::fork();
    ASSERT_GE(owner, 0);
    if (owner == 0) {
        ::close(report[0]);
        ChildProcess child;
        if (!child.start(program, {})) std::_Exit(1);
        const std::string lines = readOutput(child, 2);
        if (::write(report[1], lines.data(), lines.size()) < 0) std::_Exit(1);
        ::close(report[1]);
        for (;;) ::pause();
    }
    ::close(report[1]);
    std::string pids;
    char buffer[256];
    for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;)
        pids.append(buffer, static_cast<std::size_t>(got));
    ::close(report[0]);
    ::kill(owner, SIGKILL);
    ::waitpid(owner, nullptr, 0);

    const std::vector<std::string> lines = test::splitLines(pids);
    ASSERT_EQ(lines.size(), 2u) << pids;
    for (const std::string& pid : lines) EXPECT_TRUE(processEnds(std::stol(pid))) << pid;
}

}  // namespace
}  // namespace quorvel
