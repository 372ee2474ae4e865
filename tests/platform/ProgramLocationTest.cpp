#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/ProgramLocation.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

TEST(ProgramLocation, ProgramFolderHoldsThisProgram) {
    const std::string folder = platform::programFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    EXPECT_TRUE(std::filesystem::equivalent(folder + "platform_tests", "/proc/self/exe"));
}

TEST(ProgramLocation, FindOnPathTakesOnlyExecutablePlainFiles) {
    test::TempDir dir;
    test::makeDirs(dir / "a/tool");
    test::makeDirs(dir / "b");
    test::makeDirs(dir / "c");
    test::writeText(dir / "b/tool", "not executable");
    test::writeText(dir / "c/tool", "#!/bin/sh\n");
    ASSERT_EQ(::chmod((dir / "c/tool").c_str(), 0755), 0);
    const char* saved = std::getenv("PATH");
    const std::string original = saved ? saved : "";
    ::setenv("PATH", (dir / "a:" + dir.path() + "b:" + dir.path() + "c").c_str(), 1);
    EXPECT_EQ(platform::findOnPath("tool"), dir / "c/tool");
    EXPECT_EQ(platform::findOnPath("other"), "");
    ::setenv("PATH", original.c_str(), 1);
}

// The command line takes a source given relative to the working folder, or through a link.
TEST(ProgramLocation, ResolvedPathIsAbsoluteWithoutDotsOrLinks) {
    test::TempDir dir;
    test::makeDirs(dir / "real/inner");
    std::filesystem::create_symlink(dir / "real", dir / "link");
    const std::string real = std::filesystem::canonical(dir / "real").string();
    const std::string working = platform::workingFolder();
    ASSERT_EQ(::chdir((dir / "link").c_str()), 0);
    EXPECT_EQ(platform::workingFolder(), real);
    EXPECT_EQ(platform::resolvedPath("inner/.."), real);
    EXPECT_EQ(platform::resolvedPath(dir / "link/./inner"), real + "/inner");
    EXPECT_EQ(platform::resolvedPath("missing/.."), "");
    ASSERT_EQ(::chdir(working.c_str()), 0);
}

// Where the undo records go: the environment decides, and a relative XDG_STATE_HOME counts as
// unset.
TEST(ProgramLocation, StateFolderFollowsTheEnvironment) {
    struct Case {
        const char* state;  // nullptr: unset
        const char* home;
        std::string expected;
    };
    const Case cases[] = {{"/scratch/state", "/home/a", "/scratch/state"},
                          {"/scratch/state/", "/home/a", "/scratch/state"},
                          {"relative/state", "/home/a", "/home/a/.local/state"},
                          {nullptr, "/home/a", "/home/a/.local/state"},
                          {"", "/home/a/", "/home/a/.local/state"},
                          {nullptr, nullptr, ""}};
    const std::string savedState = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    for (const Case& c : cases) {
        c.state != nullptr ? ::setenv("XDG_STATE_HOME", c.state, 1) : ::unsetenv("XDG_STATE_HOME");
        c.home != nullptr ? ::setenv("HOME", c.home, 1) : ::unsetenv("HOME");
        EXPECT_EQ(platform::stateFolder(), c.expected) << (c.state ? c.state : "(unset)");
    }
    ::setenv("XDG_STATE_HOME", savedState.c_str(), 1);
    ::setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace
}  // namespace quorvel
