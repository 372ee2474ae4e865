#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>

#include "fileio/FileSystem.h"
#include "platform/TestOs.h"
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
    if (std::distance(std::filesystem::directory_iterator(dir.path()),
                      std::filesystem::directory_iterator{}) != 2) {
        GTEST_SKIP() << "this file system cannot hold BDMV beside bdmv";
    }
    EXPECT_EQ(fs::resolveCaseInsensitive(dir.path(), "BDMV/PLAYLIST/"), dir / "BDMV/PLAYLIST/");
    EXPECT_EQ(fs::resolveCaseInsensitive(dir.path(), "bdmv/playlist"), dir / "bdmv/Playlist");
}

class RefreshCopy : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeDirs(dir / "BACKUP");
        test::writeText(source, "new contents");
    }
    TempDir dir;
    std::string source = dir / "00000.mpls";
};

TEST_F(RefreshCopy, ReplacesTheCopyUnderItsOwnSpellingAndLeavesNothingBehind) {
    test::writeText(dir / "BACKUP/00000.MPLS", "old");
    std::filesystem::permissions(dir / "BACKUP/00000.MPLS", std::filesystem::perms{0444});
    // Whatever sits where a fixed temporary name would be is never opened; a link planted where
    // a leftover of a cut refresh would be is removed, not followed.
    if (!test::os::fifosAvailable()) GTEST_SKIP() << "no FIFOs on this system";
    if (!test::os::linksAvailable()) GTEST_SKIP() << "no symbolic links on this system";
    ASSERT_TRUE(test::os::makeFifo(dir / "BACKUP/00000.MPLS.quorvel-copy"));
    std::filesystem::create_symlink(source, dir / "BACKUP/.00000.MPLS.quorvel-AbC123");

    const fs::CopyResult copy = fs::refreshCopy(source, dir / "BACKUP/");
    EXPECT_EQ(copy.outcome, fs::CopyResult::Outcome::Refreshed) << copy.reason;
    EXPECT_EQ(copy.copyPath, dir / "BACKUP/00000.MPLS");
    EXPECT_EQ(test::readFile(dir / "BACKUP/00000.MPLS"), asciiBytes("new contents"));
    EXPECT_EQ(test::readFile(source), asciiBytes("new contents"));
    // The planted FIFO is still there, and nothing else is.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "BACKUP")) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"00000.MPLS", "00000.MPLS.quorvel-copy"}));
}

TEST_F(RefreshCopy, ACopyThatIsTheFileItselfIsLeftAlone) {
    // A BACKUP folder that is a link to the folder itself, and a copy hard-linked to the file.
    if (!test::os::linksAvailable()) GTEST_SKIP() << "no symbolic links on this system";
    TempDir other;
    test::writeText(other / "00000.mpls", "new contents");
    std::filesystem::create_directory_symlink(".", other / "BACKUP");
    std::filesystem::create_hard_link(source, dir / "BACKUP/00000.mpls");
    for (const auto& [file, folder] : {std::pair{other / "00000.mpls", other / "BACKUP/"},
                                       std::pair{source, dir / "BACKUP/"}}) {
        EXPECT_EQ(fs::refreshCopy(file, folder).outcome, fs::CopyResult::Outcome::SameFile);
        EXPECT_EQ(test::readFile(file), asciiBytes("new contents"));
    }
    EXPECT_EQ(test::listFilesRecursively(other.path()), std::vector<std::string>{"00000.mpls"});
}

TEST_F(RefreshCopy, NothingIsDeletedToMakeRoomAndNoFolderIsCreated) {
    test::writeText(dir / "BACKUP/00000.mpls", "old");
    if (!test::os::fileSizeLimitAvailable()) GTEST_SKIP() << "no file-size limit on this system";
    test::os::FileSizeLimit limit(4);  // the new copy does not fit, as on a full disk
    ASSERT_TRUE(limit.applied());
    const fs::CopyResult full = fs::refreshCopy(source, dir / "BACKUP/");
    limit.lift();
    EXPECT_EQ(full.outcome, fs::CopyResult::Outcome::Failed);
    EXPECT_NE(full.reason.find("File too large"), std::string::npos) << full.reason;
    EXPECT_EQ(test::readFile(dir / "BACKUP/00000.mpls"), asciiBytes("old"));
    EXPECT_EQ(test::listFilesRecursively(dir / "BACKUP"), std::vector<std::string>{"00000.mpls"});

    EXPECT_EQ(fs::refreshCopy(source, dir / "missing/").outcome,
              fs::CopyResult::Outcome::NoFolder);
    EXPECT_FALSE(test::exists(dir / "missing"));
}

// Links above the disc folder are the user's choice; below it, none is followed on the way to a
// file, whatever the letter case of the disc's folder names.
TEST(OpenRegularFile, FollowsNoLinkBelowTheDiscFolderAndAnyAboveIt) {
    if (!test::os::linksAvailable()) GTEST_SKIP() << "no symbolic links on this system";
    struct Case {
        const char* moved;  // below the temporary folder: moved to "elsewhere"...
        const char* link;   // ...and a link to it made here
        const char* path;   // the file opened, below the temporary folder
        const char* why;    // empty: it opens
    };
    const Case cases[] = {
        {"shelf", "shelf", "shelf/disc/BDMV/PLAYLIST/00000.mpls", ""},
        {"shelf/disc", "shelf/disc", "shelf/disc/BDMV/PLAYLIST/00000.mpls", ""},
        {"shelf/disc/BDMV", "shelf/disc/BDMV", "shelf/disc/BDMV/PLAYLIST/00000.mpls",
         "its folder {root}shelf/disc/BDMV is a symbolic link"},
        {"shelf/disc/BDMV/PLAYLIST", "shelf/disc/BDMV/playlist",
         "shelf/disc/BDMV/playlist/00000.mpls",
         "its folder {root}shelf/disc/BDMV/playlist is a symbolic link"},
        {"shelf/disc/BDMV/PLAYLIST/00000.mpls", "shelf/disc/BDMV/PLAYLIST/00000.mpls",
         "shelf/disc/BDMV/PLAYLIST/00000.mpls", "it is a symbolic link"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string root = dir.path();
        test::makeDirs(root + "shelf/disc/BDMV/PLAYLIST");
        test::writeText(root + "shelf/disc/BDMV/PLAYLIST/00000.mpls", "MPLS0200");
        std::filesystem::rename(root + c.moved, root + "elsewhere");
        std::filesystem::create_symlink(root + "elsewhere", root + c.link);
        std::string why;
        const bool opened =
            fs::openRegularFile(root + c.path, platform::File::Access::Read, &why).isOpen();
        std::string expected = c.why;
        if (const auto at = expected.find("{root}"); at != std::string::npos) {
            expected.replace(at, 6, root);
        }
        EXPECT_EQ(opened, expected.empty()) << c.link << ": " << why;
        EXPECT_EQ(why, expected) << c.link;
    }
}

}  // namespace
}  // namespace quorvel
