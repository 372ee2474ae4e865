#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::runCommand;
using test::TempDir;

const std::string kCli = QUORVEL_CLI_PATH;

TEST(Cli, HelpAndVersion) {
    const auto help = runCommand({kCli, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: quorvel-cli [--skip-m2ts] SOURCE"), std::string::npos);
    const auto version = runCommand({kCli, "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "quorvel-cli 1.12\n");
}

// The manual page is written from --help: the three usage lines must land in its SYNOPSIS, and
// nothing of them in its DESCRIPTION.
TEST(Cli, ManualPageSynopsisHoldsTheUsageLines) {
    if (runCommand({"sh", "-c", "command -v help2man"}).exitCode != 0) {
        GTEST_SKIP() << "help2man is not installed";
    }
    const auto page = runCommand({"help2man", "--no-info", kCli});
    ASSERT_EQ(page.exitCode, 0) << page.err;
    const std::size_t synopsis = page.out.find(".SH SYNOPSIS\n");
    const std::size_t description = page.out.find(".SH DESCRIPTION\n");
    ASSERT_NE(synopsis, std::string::npos);
    ASSERT_NE(description, std::string::npos);
    const std::string head = page.out.substr(synopsis, description - synopsis);
    const std::string body = page.out.substr(description);
    std::size_t usages = 0;
    for (std::size_t at = head.find(".B quorvel-cli\n"); at != std::string::npos;
         at = head.find(".B quorvel-cli\n", at + 1)) {
        ++usages;
    }
    EXPECT_EQ(usages, 3u) << head;
    EXPECT_NE(head.find("--check"), std::string::npos) << head;
    EXPECT_NE(head.find("--undo"), std::string::npos) << head;
    EXPECT_EQ(body.find("quorvel\\-cli \\fB\\-\\-check"), std::string::npos) << body;
}

TEST(Cli, UsageErrorsExitWithTwo) {
    EXPECT_EQ(runCommand({kCli}).exitCode, 2);
    EXPECT_EQ(runCommand({kCli, "--frobnicate", "/tmp"}).exitCode, 2);
    EXPECT_EQ(runCommand({kCli, "/tmp", "/var"}).exitCode, 2);
}

TEST(Cli, AFolderWithoutNavigationFilesIsRefused) {
    TempDir dir;
    test::makeDirs(dir / "BDMV/PLAYLIST");
    test::makeDirs(dir / "BDMV/CLIPINF");
    test::makeDirs(dir / "BDMV/STREAM");
    test::writeText(dir / "BDMV/PLAYLIST/00000.mpls", "");
    test::writeText(dir / "BDMV/CLIPINF/00000.clpi", "");
    test::writeText(dir / "BDMV/STREAM/00000.m2ts", "");
    // An analyser must be found before the folder is looked at.
    TempDir tools;
    test::installStandInAnalyser(tools.path(), "");
    const auto result = runCommand({kCli, dir.path()}, {"PATH=" + tools.path()});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, "Selected source is not BD format.\n");
    EXPECT_EQ(result.out, "");
}

TEST(Cli, AMissingAnalyserEndsTheProgramWithTheStartUpMessage) {
    TempDir dir;
    const auto result = runCommand({kCli, dir.path()}, {"PATH=" + dir.path()});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, "Cannot Run QUORVEL: Error:  MEDIAINFO.EXE was not found in the path.\n");
}

}  // namespace
}  // namespace quorvel
