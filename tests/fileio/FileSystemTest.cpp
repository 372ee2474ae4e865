#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fileio/FileSystem.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::TempDir;

TEST(FirstFileMatching, MatchesTheExtensionInAnyCaseAndPicksTheSmallestNameIgnoringCase) {
    TempDir dir;
    test::writeText(dir / "b.MPLS", "");
    test::writeText(dir / "C.mpls", "");
    test::writeText(dir / "a.Mpls", "");
    test::writeText(dir / "A.txt", "");
    EXPECT_EQ(fs::firstFileMatching(dir.path(), ".MPLS"), "a.Mpls");
    std::remove((dir / "a.Mpls").c_str());
    EXPECT_EQ(fs::firstFileMatching(dir.path(), ".MPLS"), "b.MPLS");
    EXPECT_EQ(fs::firstFileMatching(dir.path(), ".mpls"), "b.MPLS");
}

TEST(FirstFileMatching, PassesOverFoldersHiddenFilesAndBareExtensions) {
    TempDir dir;
    test::makeDirs(dir / "0.m2ts");
    test::writeText(dir / ".1.m2ts", "");
    test::writeText(dir / ".m2ts", "");
    test::writeText(dir / "00001.m2ts.part", "");
    EXPECT_EQ(fs::firstFileMatching(dir.path(), ".M2TS"), "");
    test::writeText(dir / "9.M2TS", "");
    EXPECT_EQ(fs::firstFileMatching(dir.path(), ".M2TS"), "9.M2TS");
}

TEST(FirstFileMatching, AMissingFolderHasNoMatch) {
    TempDir dir;
    EXPECT_EQ(fs::firstFileMatching(dir / "nowhere", ".CLPI"), "");
}

TEST(ResolveCaseInsensitive, PrefersTheExactSpellingAndFallsBackToAnyCase) {
    TempDir dir;
    test::makeDirs(dir / "bdmv/Playlist");
    EXPECT_EQ(fs::resolveCaseInsensitive(dir.path(), "BDMV/PLAYLIST/"), dir / "bdmv/Playlist/");
    test::makeDirs(dir / "BDMV");
    EXPECT_EQ(fs::resolveCaseInsensitive(dir.path(), "BDMV/PLAYLIST/"), dir / "BDMV/PLAYLIST/");
    EXPECT_EQ(fs::resolveCaseInsensitive(dir.path(), "bdmv/playlist"), dir / "bdmv/Playlist");
}

TEST(CopyFileOver, ReplacesTheDestinationEvenWhenItIsReadOnly) {
    TempDir dir;
    test::writeText(dir / "new", "new contents");
    test::writeText(dir / "old", "old");
    ASSERT_EQ(::chmod((dir / "old").c_str(), 0444), 0);
    EXPECT_TRUE(fs::copyFileOver(dir / "new", dir / "old"));
    EXPECT_EQ(test::readFile(dir / "old"), asciiBytes("new contents"));
    EXPECT_EQ(test::listFilesRecursively(dir.path()), (std::vector<std::string>{"new", "old"}));
}

TEST(CopyFileOver, NeverCreatesAFolderAndLeavesNoTemporaryBehind) {
    TempDir dir;
    test::writeText(dir / "new", "x");
    EXPECT_FALSE(fs::copyFileOver(dir / "new", dir / "missing/copy"));
    EXPECT_FALSE(test::exists(dir / "missing"));
    EXPECT_FALSE(fs::copyFileOver(dir / "absent", dir / "copy"));
    EXPECT_EQ(test::listFilesRecursively(dir.path()), std::vector<std::string>{"new"});
}

TEST(DeleteFile, ReportsWhetherAFileWasRemoved) {
    TempDir dir;
    test::writeText(dir / "f", "");
    EXPECT_TRUE(fs::deleteFile(dir / "f"));
    EXPECT_FALSE(fs::deleteFile(dir / "f"));
}

TEST(FindOnPath, FindsOnlyExecutablePlainFiles) {
    TempDir dir;
    test::makeDirs(dir / "a/tool");
    test::makeDirs(dir / "b");
    test::makeDirs(dir / "c");
    test::writeText(dir / "b/tool", "not executable");
    test::writeText(dir / "c/tool", "#!/bin/sh\n");
    ASSERT_EQ(::chmod((dir / "c/tool").c_str(), 0755), 0);
    const char* saved = std::getenv("PATH");
    const std::string original = saved ? saved : "";
    ::setenv("PATH", (dir / "a:" + dir.path() + "b:" + dir.path() + "c").c_str(), 1);
    EXPECT_EQ(fs::findOnPath("tool"), dir / "c/tool");
    EXPECT_EQ(fs::findOnPath("other"), "");
    ::setenv("PATH", original.c_str(), 1);
}

}  // namespace
}  // namespace quorvel
