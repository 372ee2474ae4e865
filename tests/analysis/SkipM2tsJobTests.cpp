#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/ProgramLocation.h"
#include "support/JobListing.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

// The whole navigation side of a conversion, run by the command line with the real analyser on a
// fresh copy of the HDR fixture.
TEST(SkipM2tsJob, HdrFixtureGivesTheNavigationLogAndLeavesTheStreamAlone) {
    const std::string fixture = test::fixturePath("a-2160p-hdr10-ac3");
    if (fixture.empty() || platform::findOnPath("mediainfo").empty()) {
        GTEST_SKIP() << "fixture a or mediainfo absent";
    }
    test::TempDir dir;
    test::copyTree(fixture, dir / "disc");
    const std::string stream = dir / "disc/BDMV/STREAM/00000.m2ts";
    const ByteString streamBefore = test::readFile(stream);

    const test::CommandResult result =
        test::runCommand({QUORVEL_CLI_PATH, "--skip-m2ts", dir / "disc"});

    using test::operator+;
    const std::vector<std::string> expected =
        std::vector<std::string>{"========Job Started========"} + test::scanLines(true) +
        test::firstJobNavigationLines() +
        std::vector<std::string>{"[ts] QUORVEL - SUCCESS", "=========Job Ended========="};

    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(test::maskTimes(test::splitLines(result.out)), expected) << result.out;
    EXPECT_EQ(test::readFile(stream), streamBefore);

    // The playlist carries the HDR form of the extension block the scan built.
    const ByteString playlist = test::readFile(dir / "disc/BDMV/PLAYLIST/00000.mpls");
    const ByteString levels = {0x03, 0xE8, 0x00, 0x32, 0x03, 0xE8, 0x01, 0x90};
    EXPECT_NE(std::search(playlist.begin(), playlist.end(), levels.begin(), levels.end()),
              playlist.end());
}

}  // namespace
}  // namespace quorvel
