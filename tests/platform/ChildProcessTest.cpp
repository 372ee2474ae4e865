// The child process's own guarantees: where it starts and with what, and that nothing it started
// outlives the object, nor this process when that dies without cleaning up.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
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

constexpr auto kReadLimit = 10s;

std::string writeScript(const std::string& path, const std::string& body) {
    test::writeText(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

// What the child writes until its output ends, or until `lines` whole lines have arrived.
std::string readOutput(ChildProcess& child, std::size_t lines = SIZE_MAX) {
    std::string text;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + kReadLimit;
    while (std::chrono::steady_clock::now() < deadline &&
           static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) < lines) {
        std::size_t count = 0;
        const ChildProcess::ReadResult result = child.read(buffer, sizeof buffer, count, 50ms);
        if (result == ChildProcess::ReadResult::Data) text.append(buffer, count);
        if (result == ChildProcess::ReadResult::EndOfData ||
            result == ChildProcess::ReadResult::Failed) {
            break;
        }
    }
    return text;
}

bool isZombie(long pid) {
    const ByteString stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::string text(stat.begin(), stat.end());
    const std::size_t nameEnd = text.rfind(')');
    return nameEnd != std::string::npos && nameEnd + 2 < text.size() && text[nameEnd + 2] == 'Z';
}

// Whether a process this test did not start has ended: whoever adopted it may not have reaped it
// yet, and a forced kill already sent may take a moment.
bool processEnds(long pid) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    for (;;) {
        if ((::kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH) || isZombie(pid)) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

bool noChildLeft() {
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

TEST(ChildProcess, StartsInTheGivenFolderWithItsArgumentsAsGivenOrNotAtAll) {
    struct Case {
        const char* label;
        const char* program;  // below the test folder when `absolute`, else passed as it is
        bool absolute;
        const char* folder;  // below the test folder; nullptr: this process's working folder
        bool starts;
    };
    const Case cases[] = {
        {"full path, in a folder", "tool folder/show", true, "my disc/STREAM", true},
        {"full path, no folder", "tool folder/show", true, nullptr, true},
        // It would be looked up in the folder, where a file of the disc could stand in for it.
        {"relative path, in a folder", "show", false, "tool folder", false},
        {"folder missing", "tool folder/show", true, "gone", false},
        {"program missing", "tool folder/absent", true, "my disc/STREAM", false},
    };
    const std::vector<std::string> arguments{"two words", "-v", "", "bad\xff"};
    for (const Case& c : cases) {
        test::TempDir dir;
        test::makeDirs(dir / "tool folder");
        test::makeDirs(dir / "my disc/STREAM");
        writeScript(dir / "tool folder/show", "pwd -P\nprintf '%s|' \"$@\"");
        const std::string program = c.absolute ? dir / c.program : std::string(c.program);
        const std::string folder = c.folder != nullptr ? dir / c.folder : std::string{};

        ChildProcess child;
        ASSERT_EQ(child.start(program, arguments, folder), c.starts) << c.label;
        if (!c.starts) {
            EXPECT_EQ(child.processId(), -1) << c.label;
            continue;
        }
        const std::string expectedFolder =
            platform::resolvedPath(c.folder != nullptr ? folder : platform::workingFolder());
        EXPECT_EQ(readOutput(child), expectedFolder + "\ntwo words|-v||bad\xff|") << c.label;
        EXPECT_EQ(child.waitForExit(kReadLimit), 0) << c.label;
    }
    EXPECT_TRUE(noChildLeft());
}

// The child starts a grandchild that ignores the polite request; both must end with the object,
// and with this process when it is killed outright and nothing of ours can run.
TEST(ChildProcess, GroupEndsWithTheObjectAndWithTheProcessThatOwnsIt) {
    enum class End { ObjectDestroyed, OwnerKilled };
    const End ends[] = {End::ObjectDestroyed, End::OwnerKilled};
    for (const End end : ends) {
        const char* label = end == End::ObjectDestroyed ? "object destroyed" : "owner killed";
        test::TempDir dir;
        const std::string program =
            writeScript(dir / "group", "(trap '' TERM; exec sleep 30) &\necho $!\necho $$\nwait");

        std::string pidLines;
        if (end == End::ObjectDestroyed) {
            ChildProcess child;
            ASSERT_TRUE(child.start(program, {})) << label;
            pidLines = readOutput(child, 2);
        } else {
            // Close on exec: were the group to hold the report pipe open, reading it to its end would
            // wait for the group.
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
            char buffer[256];
            ssize_t got = 0;
            while ((got = ::read(report[0], buffer, sizeof buffer)) > 0) pidLines.append(buffer, static_cast<std::size_t>(got));
            ::close(report[0]);
            ::kill(owner, SIGKILL);
            ::waitpid(owner, nullptr, 0);
        }

        const std::vector<std::string> lines = test::splitLines(pidLines);
        ASSERT_GE(lines.size(), 2u) << label << ": " << pidLines;
        for (const std::string& line : {lines[0], lines[1]}) {
            EXPECT_TRUE(processEnds(std::stol(line))) << label << ": " << line << " outlived it";
        }
        EXPECT_TRUE(noChildLeft()) << label;
    }
}

}  // namespace
}  // namespace quorvel
