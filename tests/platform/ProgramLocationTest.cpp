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

}  // namespace
}  // namespace quorvel
