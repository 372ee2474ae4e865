#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
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
    struct Case {
        const char* label;
        const char* path;  // PATH, "{dir}" standing for the test folder
        const char* name;
        const char* found;  // below the test folder; empty: none
    };
    const Case cases[] = {
        {"a folder and an unexecutable file are passed over", "{dir}a:{dir}b:{dir}c", "tool",
         "c/tool"},
        {"first of two wins", "{dir}c:{dir}d", "tool", "c/tool"},
        {"nothing of that name", "{dir}a:{dir}b:{dir}c", "other", ""},
    };
    test::TempDir dir;
    test::makeDirs(dir / "a/tool");
    test::makeDirs(dir / "b");
    test::writeText(dir / "b/tool", "not executable");
    for (const char* folder : {"c", "d"}) {
        test::makeDirs(dir / folder);
        test::writeText(dir / folder + "/tool", "#!/bin/sh\n");
        ASSERT_EQ(::chmod((dir / folder + "/tool").c_str(), 0755), 0);
    }
    std::optional<std::string> saved;
    if (const char* path = std::getenv("PATH")) saved = path;
    for (const Case& c : cases) {
        std::string path = c.path;
        for (std::size_t at = path.find("{dir}"); at != std::string::npos; at = path.find("{dir}"))
            path.replace(at, 5, dir.path());
        ::setenv("PATH", path.c_str(), 1);
        const std::string expected = *c.found != '\0' ? dir / c.found : std::string{};
        EXPECT_EQ(platform::findOnPath(c.name), expected) << c.label;
    }
    if (saved) {
        ::setenv("PATH", saved->c_str(), 1);
    } else {
        ::unsetenv("PATH");
    }
}

TEST(ProgramLocation, ResolvedPathIsAbsoluteWithoutDotsOrLinks) {
    test::TempDir dir;
    test::makeDirs(dir / "real/inner");
    std::filesystem::create_symlink(dir / "real", dir / "link");
    const std::string real = std::filesystem::canonical(dir / "real").string();
    struct Case {
        std::string path;
        std::string resolved;
    };
    const Case cases[] = {
        {dir / "real/inner/..", real},
        {dir / "link/./inner", real + "/inner"},
        {dir / "missing/..", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::resolvedPath(c.path), c.resolved) << c.path;

    const std::string working = platform::workingFolder();
    ASSERT_EQ(::chdir((dir / "link").c_str()), 0);
    EXPECT_EQ(platform::resolvedPath("inner"), real + "/inner");
    EXPECT_EQ(platform::workingFolder(), real);
    ASSERT_EQ(::chdir(working.c_str()), 0);
}

}  // namespace
}  // namespace quorvel
